"""HFS+ volumes made at test time by xorriso, and packages made by bsdtar."""

import struct
from pathlib import Path

import kiv
from conftest import require_tool, run


def hfsplus_volume(src: Path, work: Path) -> bytes:
    # The tree at `src` as the Apple_HFS partition of an xorriso hybrid ISO, up to the image's end.
    require_tool("xorriso")
    iso = work / "volume.iso"
    run("xorriso", "-as", "mkisofs", "-quiet", "-hfsplus", "-o", iso, src)
    data = iso.read_bytes()
    block, index = struct.unpack(">H", data[2:4])[0], 1
    while True:
        entry = data[index * 512:(index + 1) * 512]
        assert entry[:2] == b"PM", "no Apple_HFS partition in the ISO"
        if entry[48:80].rstrip(b"\0") == b"Apple_HFS":
            return data[struct.unpack(">I", entry[8:12])[0] * block:]
        index += 1


def image_with(volume: bytes, path: Path, name="disk image (Apple_HFS : 1)", extra=()) -> Path:
    builder = kiv.DmgBuilder()
    builder.add_partition("Protective Master Boot Record (MBR : 0)", bytes(512))
    for extra_name, extra_data in [*extra, (name, volume)]:
        builder.add_partition(extra_name, extra_data)
    builder.build(str(path))
    return path


def payload_pbzx(entries, work: Path) -> bytes:
    """A PBZX payload of a CPIO archive: entries are (path, bytes or None for a folder)."""
    cpio = kiv.CpioBuilder()
    for path, data in entries:
        cpio.add_directory(path) if data is None else cpio.add_file(path, data)
    out = work / "Payload.pbzx"
    writer = kiv.PbzxWriter(str(out), chunk_size=4096)
    writer.write_cpio(cpio.finish())
    writer.finish()
    return out.read_bytes()


def product_package(work: Path, components: dict, distribution: bytes = b"<installer-gui-script/>") -> Path:
    """A product package laid out as macOS does: Distribution and one folder
    per component with PackageInfo, Bom and Payload, packed with bsdtar."""
    require_tool("bsdtar")
    root = work / "pkgroot"
    root.mkdir()
    (root / "Distribution").write_bytes(distribution)
    for name, payload in components.items():
        (root / name).mkdir()
        for file, data in (("PackageInfo", f'<pkg-info identifier="{name}"/>'.encode()), ("Bom", b"BOMStore"),
                           ("Payload", payload)):
            (root / name / file).write_bytes(data)
    out = work / "product.pkg"
    run("bsdtar", "--format", "xar", "-cf", out, "-C", root, *sorted(p.name for p in root.iterdir()))
    return out
