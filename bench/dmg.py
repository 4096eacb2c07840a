"""Disk-image decoding: parallel extraction against one worker and against 7-Zip.

Builds an HFS+ volume of at least 512 MiB from /usr with xorriso, writes it
with each compression, then times in fresh processes:
  - DmgArchive.extract_partition with all workers and with one worker,
  - `7zz x` of the same image,
  - DmgArchive.open (with checksum verification) against reading the file once.
"""

import os
import subprocess
import sys

from common import WORK, python_timed, require, row, timed

import kiv

SIZE = int(os.environ.get("KIV_BENCH_DMG_MIB", "512")) * 1024 * 1024


def volume() -> bytes:
    path = WORK / "usr-hfsplus.iso"
    if not path.exists():
        require("xorriso")
        WORK.mkdir(parents=True, exist_ok=True)
        subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-hfsplus", "-o", str(path), "/usr/share", "/usr/include"],
                       check=True, stderr=subprocess.DEVNULL)
    data = path.read_bytes()
    if len(data) < SIZE:
        data += data * (SIZE // len(data))
    return data[:SIZE]


def main() -> None:
    sevenzip = require("7zz")
    data = volume()
    print(f"partition: {len(data) / 2**20:.0f} MiB, {os.cpu_count()} processors")
    for compression in ("zlib", "lzfse", "bzip2", "raw"):
        image = WORK / f"bench-{compression}.dmg"
        if not image.exists():
            builder = kiv.DmgBuilder()
            builder.compression = compression
            builder.add_partition("disk image (Apple_HFS : 1)", data)
            builder.build(str(image))
        size = image.stat().st_size
        print(f"{compression}: image {size / 2**20:.0f} MiB")
        code = f"a = kiv.DmgArchive.open({str(image)!r}); d = a.extract_partition(0)"
        parallel = python_timed(code)
        single = python_timed(code, workers=1)
        out = WORK / "7z-out"
        seven = timed([sevenzip, "x", "-y", "-tdmg", f"-o{out}", str(image)])
        opening = python_timed(f"kiv.DmgArchive.open({str(image)!r})")
        reading = timed(["cat", str(image)])
        print(row("extract_partition, all workers", parallel))
        print(row("extract_partition, one worker", single, None) + f"  parallel speed-up {single / parallel:.2f}x")
        print(row("7zz x -tdmg", seven) + f"  kiv is {seven / parallel:.2f}x faster")
        print(row("open with checksum verification", opening) + f"  reading the file once: {reading * 1000:.1f} ms")
        subprocess.run(["rm", "-rf", str(out)])


if __name__ == "__main__":
    sys.exit(main())
