"""The disk-image pipeline: temporary-file against in-memory mode, and volume
extraction against 7-Zip, in one run.

On the zlib image of the disk-image benchmark (an HFS+ volume of about
800 MiB), times in fresh processes (best of three; peak RSS from GNU time):
  - DmgPipeline + filesystem() + walk() in the default temporary-file mode
    and in memory,
  - FilesystemHandle.extract_all to disk (the volume already open, default
    mode) against `7zz x` of the same volume.
"""

import shutil
import sys

from common import WORK, have, measured, python_measured

from dmg import image, volume


def line(label: str, seconds: float, rss: float, note: str = "") -> None:
    print(f"  {label:<40} {seconds * 1000:8.0f} ms {rss:7.0f} MiB  {note}")


def main() -> dict[str, float]:
    """Prints every row; returns the ratios the performance goals name."""
    path = image("zlib")
    ratios = {}
    walks = {}
    for mode in ("temp_file", "in_memory"):
        code = f"fs = kiv.DmgPipeline({str(path)!r}).filesystem({mode!r}); n = len(fs.walk())"
        walks[mode] = python_measured(code)
    print("zlib image, pipeline open + walk")
    ratio = walks["temp_file"][0] / walks["in_memory"][0]
    line("temp_file (default)", *walks["temp_file"], f"{ratio:.2f}x in-memory")
    line("in_memory", *walks["in_memory"])
    ratios["temp-file / in-memory"] = ratio
    ratios["temp-file peak RSS MiB"] = walks["temp_file"][1]

    dest = WORK / "extracted"

    def clear() -> None:
        shutil.rmtree(dest, ignore_errors=True)

    code = (f"fs = kiv.DmgPipeline({str(path)!r}).filesystem(); t = time.perf_counter(); "
            f"s = fs.extract_all({str(dest)!r})")
    ours, ours_rss = python_measured(code, before=clear)
    clear()
    print("extract_all to disk")
    line("FilesystemHandle.extract_all", ours, ours_rss)
    sevenzip = have("7zz")
    if sevenzip:
        # 7-Zip exits with 2 for the symbolic links it declines to create.
        seven, seven_rss = measured([sevenzip, "x", "-y", "-thfs", f"-o{dest}", str(volume())], before=clear,
                                    accept=(0, 2))
        clear()
        line("7zz x of the volume", seven, seven_rss, f"kiv {seven / ours:.2f}x faster")
        ratios["extract_all vs 7zz x"] = seven / ours
    return ratios


if __name__ == "__main__":
    main()
    sys.exit(0)
