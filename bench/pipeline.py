"""The disk-image pipeline: temporary-file against in-memory mode, and volume
extraction against 7-Zip, in one run.

On the zlib image of the disk-image benchmark (an HFS+ volume of about
800 MiB), times in fresh processes (best of three; peak RSS from GNU time):
  - DmgPipeline + filesystem() + walk() in the default temporary-file mode
    and in memory,
  - FilesystemHandle.extract_all (the volume already open, default mode)
    against `7zz x` of the same volume, into a RAM-backed file system
    (/dev/shm) and into the build tree's disk.  Each run writes a directory
    of its own and starts after `sync`, so that the writeback of the one
    before does not weigh on it; KIV_BENCH_EXTRACT_DIRS (colon-separated)
    names other destinations.
"""

import itertools
import os
import shutil
import subprocess
import sys
from pathlib import Path

from common import WORK, have, interleaved, measured, python_measured

from dmg import image, volume


def line(label: str, seconds: float, rss: float, note: str = "") -> None:
    print(f"  {label:<40} {seconds * 1000:8.0f} ms {rss:7.0f} MiB  {note}")


def destinations() -> list[Path]:
    named = os.environ.get("KIV_BENCH_EXTRACT_DIRS")
    if named:
        return [Path(d) for d in named.split(":") if d]
    return [d for d in (Path("/dev/shm"), WORK) if d.is_dir()]


def main() -> dict[str, float]:
    """Prints every row; returns the ratios the performance goals name."""
    path = image("zlib")
    ratios = {}
    walk = "fs = kiv.DmgPipeline({!r}).filesystem({!r}); n = len(fs.walk())"
    got = interleaved({mode: lambda mode=mode: python_measured(walk.format(str(path), mode))
                       for mode in ("temp_file", "in_memory")})
    print("zlib image, pipeline open + walk; best of 3 interleaved runs, peak RSS")
    ratio = got["temp_file"][0] / got["in_memory"][0]
    line("temp_file (default)", *got["temp_file"], f"{ratio:.2f}x in-memory")
    line("in_memory", *got["in_memory"])
    ratios["temp-file / in-memory"] = ratio
    ratios["temp-file peak RSS MiB"] = got["temp_file"][1]

    sevenzip = have("7zz")
    for where in destinations():
        # Each run writes a fresh directory; all are removed at the end, so
        # that no run waits for the removal (and the discards) of another.
        dests = (where / f"kiv-bench-extracted-{n}" for n in itertools.count())

        def extract() -> tuple[float, float]:
            code = (f"fs = kiv.DmgPipeline({str(path)!r}).filesystem(); t = time.perf_counter(); "
                    f"s = fs.extract_all({str(next(dests))!r})")
            return python_measured(code)

        runs = {"kiv": extract}
        if sevenzip:
            # 7-Zip exits with 2 for the symbolic links it declines to create.
            runs["7zz"] = lambda: measured([sevenzip, "x", "-y", "-thfs", f"-o{next(dests)}", str(volume())],
                                           accept=(0, 2), stderr=subprocess.DEVNULL)
        got = interleaved(runs)
        for old in where.glob("kiv-bench-extracted-*"):
            shutil.rmtree(old, ignore_errors=True)
        print(f"extract_all into {where}")
        line("FilesystemHandle.extract_all", *got["kiv"])
        if "7zz" in got:
            line("7zz x of the volume", *got["7zz"], f"kiv {got['7zz'][0] / got['kiv'][0]:.2f}x faster")
            ratios[f"extract_all vs 7zz x, {where}"] = got["7zz"][0] / got["kiv"][0]
    return ratios


if __name__ == "__main__":
    main()
    sys.exit(0)
