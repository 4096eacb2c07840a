"""Disk-image decoding against one worker and against peer tools, in one run.

Builds an HFS+ volume with xorriso from /usr/share, /usr/include and
/usr/lib/python3 (about 800 MiB), writes it with each compression, then
times in fresh processes (best of three; peak RSS from GNU time):
  - DmgArchive.open (checksums verified) against `cat FILE >/dev/null`,
  - open + extract_partition with all workers and with one,
  - extract_main_partition_to against extract_main_partition and a write (zlib),
  - `7zz t` of the same image against all workers,
  - `dmg2img` of the zlib image (to /dev/null) against one worker.
A peer that is not installed is skipped.
"""

import os
import subprocess
import sys
from pathlib import Path

from common import WORK, have, interleaved, measured, python_measured, require

import kiv

SOURCES = ("/usr/share", "/usr/include", "/usr/lib/python3")
COMPRESSIONS = ("zlib", "lzfse", "bzip2")


def volume() -> Path:
    """The HFS+ partition every benchmark decodes or walks: cut from the
    hybrid image xorriso makes, through its Apple partition map."""
    path = WORK / "usr.hfs"
    if not path.exists():
        require("xorriso")
        WORK.mkdir(parents=True, exist_ok=True)
        hybrid = WORK / "usr-hybrid.iso"
        subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-hfsplus", "-o", str(hybrid), *SOURCES],
                       check=True, stderr=subprocess.DEVNULL)
        data = hybrid.read_bytes()
        hybrid.unlink()
        block = int.from_bytes(data[2:4], "big")
        for entry in range(block, block * 64, block):
            if data[entry:entry + 2] != b"PM":
                break
            start, count = (int.from_bytes(data[entry + k:entry + k + 4], "big") for k in (8, 12))
            if data[entry + 48:entry + 80].rstrip(b"\0") == b"Apple_HFS":
                partial = path.with_suffix(".part")
                partial.write_bytes(data[start * block:(start + count) * block])
                partial.rename(path)
                break
        else:
            sys.exit("xorriso made no Apple_HFS partition")
    return path


def image(compression: str) -> Path:
    """The volume written by DmgBuilder with one compression."""
    path = WORK / f"usr-{compression}.dmg"
    if not path.exists():
        builder = kiv.DmgBuilder()
        builder.compression = compression
        builder.add_partition("disk image (Apple_HFS : 1)", volume().read_bytes())
        partial = path.with_suffix(".part")
        builder.build(str(partial))
        partial.rename(path)
    return path


def line(label: str, seconds: float, rss: float | None = None, note: str = "") -> None:
    memory = f"{rss:7.0f} MiB" if rss is not None else " " * 11
    print(f"  {label:<40} {seconds * 1000:8.0f} ms {memory}  {note}")


def main() -> dict[str, float]:
    """Prints every row; returns the ratios the performance goals name."""
    sevenzip, dmg2img = have("7zz"), have("dmg2img")
    part = volume()
    print(f"partition: {part.stat().st_size / 2**20:.0f} MiB, {os.cpu_count()} processors; "
          "best of 3 interleaved runs, peak RSS")
    ratios = {}
    for compression in COMPRESSIONS:
        path = image(compression)
        print(f"{compression}: image {path.stat().st_size / 2**20:.0f} MiB")
        extract = f"a = kiv.DmgArchive.open({str(path)!r}); d = a.extract_partition(0)"
        runs = {
            "open": lambda: python_measured(f"kiv.DmgArchive.open({str(path)!r})"),
            "cat": lambda: measured(["cat", str(path)]),
            "all": lambda: python_measured(extract),
            "one": lambda: python_measured(extract, workers=1),
        }
        if sevenzip:
            runs["7zz"] = lambda: measured([sevenzip, "t", "-tdmg", str(path)])
        if compression == "zlib":
            # Writing the partition to a file in the build tree: the library's own way against decoding
            # into memory and writing from Python.
            out = str(WORK / "partition.img")
            runs["to file"] = lambda: python_measured(
                f"with kiv.DmgArchive.open({str(path)!r}) as a: a.extract_main_partition_to({out!r})")
            runs["to memory, write"] = lambda: python_measured(
                f"with kiv.DmgArchive.open({str(path)!r}) as a, open({out!r}, 'wb') as f: f.write(a.extract_main_partition())")
        if dmg2img and compression == "zlib":
            runs["dmg2img"] = lambda: measured([dmg2img, "-s", "-i", str(path), "-o", "/dev/null"])
        got = interleaved(runs)
        (opening, open_rss), (reading, _), (parallel, parallel_rss), (single, single_rss) = (
            got["open"], got["cat"], got["all"], got["one"])
        line("open, checksums verified", opening, open_rss, f"{opening / reading:.2f}x `cat` ({reading * 1000:.0f} ms)")
        line("open + extract_partition, all workers", parallel, parallel_rss)
        line("open + extract_partition, one worker", single, single_rss, f"all workers {single / parallel:.2f}x faster")
        ratios[f"open / cat, {compression}"] = opening / reading
        ratios[f"all workers / one, {compression}"] = single / parallel
        if "to file" in got:
            (to_file, file_rss), (to_memory, memory_rss) = got["to file"], got["to memory, write"]
            line("extract_main_partition_to", to_file, file_rss,
                 f"{to_file / to_memory:.2f}x decoding into memory and writing ({to_memory * 1000:.0f} ms, {memory_rss:.0f} MiB)")
            ratios["to file / into memory and write, zlib"] = to_file / to_memory
        if "7zz" in got:
            line("7zz t", *got["7zz"], f"kiv, all workers, {got['7zz'][0] / parallel:.2f}x faster")
            ratios[f"all workers vs 7zz t, {compression}"] = got["7zz"][0] / parallel
        if "dmg2img" in got:
            line("dmg2img", *got["dmg2img"], f"kiv, one worker, {got['dmg2img'][0] / single:.2f}x faster")
            ratios[f"one worker vs dmg2img, {compression}"] = got["dmg2img"][0] / single
    return ratios


if __name__ == "__main__":
    main()
    sys.exit(0)
