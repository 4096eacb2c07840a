"""Seeds the corpus of each fuzz target from the shared fixtures.

usage: seed.py FIXTURES CORPUS_ROOT

Copies real files as they are, cuts raw volumes down to the blocks that hold
their metadata (so that mutations land there), inflates the tables of
contents of the XAR fixtures for the TOC target, and wraps the CPIO fixtures
in PBZX streams.  Hostile inputs are not seeds: the regression tests replay
them.
"""

import glob
import lzma
import os
import struct
import sys
import zlib


def main(fixtures: str, root: str) -> None:
    def out(target: str, name: str, data: bytes) -> None:
        folder = os.path.join(root, target)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "seed-" + name), "wb") as f:
            f.write(data)

    def files(*patterns: str) -> list[str]:
        found = []
        for pattern in patterns:
            found += glob.glob(os.path.join(fixtures, pattern))
        return sorted(p for p in found if os.path.isfile(p))

    def read(path: str, limit: int | None = None) -> bytes:
        with open(path, "rb") as f:
            return f.read(limit) if limit else f.read()

    for path in files("*.dmg", "real/*/*.dmg"):
        for target in ("udif_memory", "udif_file"):
            out(target, os.path.basename(path), read(path))
    # Raw volumes: their metadata sit in the first few hundred 4 KiB blocks.
    for path, blocks in (("hfsplus.raw", 282), ("real/hfsplus-rs/hfsp-small.img", 130),
                         ("real/libdmg-hfsplus/ImgTest.dmg", 256)):
        if os.path.exists(os.path.join(fixtures, path)):
            out("hfsplus", os.path.basename(path), read(os.path.join(fixtures, path), blocks * 4096))
    if os.path.exists(os.path.join(fixtures, "apfs.raw")):
        out("apfs", "apfs.raw", read(os.path.join(fixtures, "apfs.raw"), 110 * 4096))

    for path in files("real/*/*.xar", "real/*/*.pkg"):
        data = read(path)
        out("xar", os.path.basename(path), data)
        if data[:4] != b"xar!" or len(data) < 28:
            continue
        header_size, _, compressed, _ = struct.unpack(">HHQQ", data[4:24])
        try:
            toc = zlib.decompress(data[header_size:header_size + compressed])
        except zlib.error:
            continue
        out("xar_toc", os.path.basename(path) + ".xml", toc)

    cpios = files("*.cpio", "real/*/*.cpio", "real/libarchive/test_gcpio_compat_ref.*")
    for path in cpios:
        out("cpio", os.path.basename(path), read(path))
    for path in files("real/*/*.pbzx"):
        out("pbzx", os.path.basename(path), read(path))
    # PBZX streams of the CPIO fixtures: two xz chunks, or one stored chunk.
    for path in cpios[:6]:
        data = read(path)
        half = max(1, len(data) // 2)
        stream = b"pbzx" + struct.pack(">Q", half)
        for piece in (data[:half], data[half:]):
            packed = lzma.compress(piece, format=lzma.FORMAT_XZ)
            stream += struct.pack(">QQ", len(piece), len(packed)) + packed
        out("pbzx", os.path.basename(path) + ".xz.pbzx", stream)
        stored = b"pbzx" + struct.pack(">QQQ", len(data), len(data), len(data)) + data
        out("pbzx", os.path.basename(path) + ".stored.pbzx", stored)


if __name__ == "__main__":
    if not os.path.isdir(sys.argv[1]):
        print(f"no fixtures at {sys.argv[1]}: corpora start empty", file=sys.stderr)
        sys.exit(0)
    main(sys.argv[1], sys.argv[2])
