"""PBZX decoding: Archive.open with all workers, with one, and xz -dc -T1.

Writes a payload of at least 256 MiB of realistic data (files from /usr in a
CPIO archive) in 16 MiB chunks, then times in fresh processes.
"""

import os
import subprocess
import sys
from pathlib import Path

from common import WORK, python_timed, require, row, timed

import kiv

SIZE = int(os.environ.get("KIV_BENCH_PBZX_MIB", "256")) * 1024 * 1024


def payload() -> Path:
    path = WORK / "bench.pbzx"
    if path.exists():
        return path
    WORK.mkdir(parents=True, exist_ok=True)
    cpio = kiv.CpioBuilder()
    total = 0
    for root, dirs, files in os.walk("/usr"):
        dirs.sort()
        for name in sorted(files):
            full = os.path.join(root, name)
            if os.path.islink(full) or not os.path.isfile(full):
                continue
            try:
                data = Path(full).read_bytes()
            except OSError:
                continue
            cpio.add_file("." + full, data, mode=0o644)
            total += len(data)
            if total >= SIZE:
                break
        if total >= SIZE:
            break
    writer = kiv.PbzxWriter(str(path), chunk_size=16 * 1024 * 1024)
    writer.write_cpio(cpio.finish())
    writer.finish()
    return path


def xz_concatenation(path: Path) -> Path:
    """The chunks' .xz streams back to back, for xz to decode in one run."""
    out = WORK / "bench-chunks.xz"
    raw = path.read_bytes()
    offset, pieces = 12, []
    while offset < len(raw):
        stored = int.from_bytes(raw[offset + 8:offset + 16], "big")
        pieces.append(raw[offset + 16:offset + 16 + stored])
        offset += 16 + stored
    out.write_bytes(b"".join(pieces))
    return out


def main() -> None:
    require("xz")
    path = payload()
    chunks = xz_concatenation(path)
    with kiv.Archive.open(str(path)) as archive:
        decoded = archive.decompressed_size
    print(f"payload: {decoded / 2**20:.0f} MiB of CPIO in {path.stat().st_size / 2**20:.0f} MiB, "
          f"{os.cpu_count()} processors")
    code = f"a = kiv.Archive.open({str(path)!r})"
    parallel = python_timed(code)
    single = python_timed(code, workers=1)
    xz = timed(["xz", "-dc", "-T1", str(chunks)])
    print(row("Archive.open, all workers", parallel))
    print(row("Archive.open, one worker", single) + f"  parallel speed-up {single / parallel:.2f}x")
    print(row("xz -dc -T1", xz) + f"  kiv is {xz / parallel:.2f}x faster")


if __name__ == "__main__":
    sys.exit(main())
