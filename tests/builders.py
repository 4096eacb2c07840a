"""Files made at test time: disk images and PBZX payloads by kiv's writers,
HFS+ volumes by xorriso, APFS containers by mkapfs, XAR archives and packages by bsdtar."""

import os
import plistlib
import struct
from pathlib import Path

import kiv
from conftest import require_tool, run


def hfsplus_volume(src: Path, work: Path) -> bytes:
    # The tree at `src` as the Apple_HFS partition of an xorriso hybrid ISO, up to the image's end.  The
    # Apple partition map holds 512-byte "PM" entries from block 1, the start block at 8, the type at 48.
    require_tool("xorriso")
    iso = work / "volume.iso"
    run("xorriso", "-as", "mkisofs", "-quiet", "-hfsplus", "-V", "KIVSLASH", "-o", iso, src)
    data, at = iso.read_bytes(), 512
    while data[at:at + 2] == b"PM" and data[at + 48:at + 58] != b"Apple_HFS\0":
        at += 512
    assert data[at:at + 2] == b"PM", "no Apple_HFS partition in the ISO"
    return data[struct.unpack(">I", data[at + 8:at + 12])[0] * 512:]


def apfs_container(work: Path) -> bytearray:
    """An empty 128 MiB APFS container made by mkapfs (its smallest size), 4 KiB blocks."""
    require_tool("mkapfs")
    path = work / "container.apfs"
    with open(path, "wb") as f:
        f.truncate(128 << 20)
    run("mkapfs", "-L", "Made", path)
    return bytearray(path.read_bytes())


def seal_apfs_object(data: bytearray, at: int, size: int = 4096) -> None:
    """Writes the Fletcher-64 checksum of the object at `at`."""
    m, s1, s2 = 0xFFFFFFFF, 0, 0
    for word in struct.unpack_from(f"<{(size - 8) // 4}I", data, at + 8):
        s1 = (s1 + word) % m
        s2 = (s2 + s1) % m
    c1 = m - (s1 + s2) % m
    struct.pack_into("<Q", data, at, (m - (s1 + c1) % m) << 32 | c1)


def build_image(path: Path, partitions, compression="zlib", chunk_size=None) -> Path:
    builder = kiv.DmgBuilder()
    builder.compression = compression
    if chunk_size is not None:
        builder.chunk_size = chunk_size
    for name, data in partitions:
        builder.add_partition(name, data)
    builder.build(str(path))
    return path


def edit_block_maps(path: Path, edit) -> Path:
    """Rewrites every block map of the image at `path`: `edit(sectors, runs)` gets the partition's sector
    count and its 40-byte run records and returns both anew.  Neither the data fork nor the master checksum
    (over the block maps' own checksums) changes; the trailer's property-list length and sector count follow."""
    data = path.read_bytes()
    trailer = bytearray(data[-512:])
    at, length = struct.unpack(">QQ", trailer[0xD8:0xE8])
    plist = plistlib.loads(data[at:at + length])
    total = 0
    for entry in plist["resource-fork"]["blkx"]:
        blob = entry["Data"]
        count = struct.unpack(">I", blob[200:204])[0]
        runs = [blob[204 + 40 * i:244 + 40 * i] for i in range(count)]
        sectors, runs = edit(struct.unpack(">Q", blob[16:24])[0], runs)
        entry["Data"] = blob[:16] + struct.pack(">Q", sectors) + blob[24:200] + struct.pack(">I", len(runs)) + b"".join(runs)
        total += sectors
    xml = plistlib.dumps(plist)
    trailer[0xE0:0xE8] = struct.pack(">Q", len(xml))
    trailer[492:500] = struct.pack(">Q", total)
    path.write_bytes(data[:at] + xml + bytes(trailer))
    return path


def payload_pbzx(entries, out: Path) -> Path:
    """A PBZX payload of a CPIO archive: entries are (path, bytes or None for a folder)."""
    cpio = kiv.CpioBuilder()
    for path, data in entries:
        cpio.add_directory(path) if data is None else cpio.add_file(path, data)
    writer = kiv.PbzxWriter(str(out), chunk_size=4096)
    writer.write_cpio(cpio.finish())
    writer.finish()
    return out


def product_package(work: Path, components: dict) -> Path:
    """A product package laid out as macOS does: Distribution and one folder
    per component with PackageInfo, Bom and Payload."""
    files = {"Distribution": b"<installer-gui-script/>"}
    for name, payload in components.items():
        files |= {f"{name}/PackageInfo": f'<pkg-info identifier="{name}"/>'.encode(), f"{name}/Bom": b"BOMStore",
                  f"{name}/Payload": payload}
    return bsdtar_xar(work, files)


def bsdtar_xar(work: Path, files: dict, *options: str) -> Path:
    """An archive of `files` (path: bytes) and a symbolic link "link" to the first, written by bsdtar."""
    require_tool("bsdtar")
    src = work / "xar-tree"
    for rel, data in files.items():
        (src / rel).parent.mkdir(parents=True, exist_ok=True)
        (src / rel).write_bytes(data)
    os.symlink(next(iter(files)), src / "link")
    out = work / "archive.xar"
    run("bsdtar", "-c", "--format", "xar", *options, "-f", out, "-C", src, *sorted(p.name for p in src.iterdir()))
    return out
