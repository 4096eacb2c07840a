"""HFS+ volumes made at test time by xorriso, and packages made by bsdtar."""

import struct
import subprocess
from pathlib import Path

import kiv
from conftest import fixture_path, require_tool, run, sevenzip_partition

# HFS+ volumes macOS wrote, with compressed files, hard links, names holding
# "/" and the private folders: bare volumes, or a UDIF image of one.
MACOS_HFS_VOLUMES = ["real/libdmg-hfsplus/ImgTest.dmg", "real/keramics/hfsplus_zlib.dmg",
                     "real/hfsplus-rs/hfsp-small.img"]


def is_bare_hfs(data: bytes) -> bool:
    return data[1024:1026] in (b"H+", b"HX")


def bare_hfs_volume(relative: str, work: Path) -> Path:
    """The fixture itself when it is a bare volume, else its HFS+ partition as 7-Zip decodes it."""
    path = fixture_path(relative)
    if is_bare_hfs(path.read_bytes()):
        return path
    out = work / "volume.hfs"
    out.write_bytes(sevenzip_partition(path, "*.hfs"))
    return out


def hfsplus_volume(src: Path, work: Path) -> bytes:
    """An HFS+ volume holding the tree at `src`: the Apple_HFS partition of an
    xorriso hybrid ISO, from its first block to the end of the image."""
    require_tool("xorriso")
    iso = work / "volume.iso"
    run("xorriso", "-as", "mkisofs", "-quiet", "-hfsplus", "-o", iso, src)
    data = iso.read_bytes()
    block = struct.unpack(">H", data[2:4])[0]
    index = 1
    while data[index * 512:index * 512 + 2] == b"PM":
        entry = data[index * 512:(index + 1) * 512]
        start = struct.unpack(">I", entry[8:12])[0]
        if entry[48:80].rstrip(b"\0") == b"Apple_HFS":
            return data[start * block:]
        index += 1
    raise AssertionError("no Apple_HFS partition in the ISO")


def image_with(volume: bytes, path: Path, name="disk image (Apple_HFS : 1)", extra=()) -> Path:
    builder = kiv.DmgBuilder()
    builder.add_partition("Protective Master Boot Record (MBR : 0)", bytes(512))
    for extra_name, extra_data in extra:
        builder.add_partition(extra_name, extra_data)
    builder.add_partition(name, volume)
    builder.build(str(path))
    return path


def payload_pbzx(entries, work: Path) -> bytes:
    """A PBZX payload of a CPIO archive: entries are (path, bytes or None for a folder)."""
    cpio = kiv.CpioBuilder()
    for path, data in entries:
        if data is None:
            cpio.add_directory(path)
        else:
            cpio.add_file(path, data)
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
        folder = root / name
        folder.mkdir()
        (folder / "PackageInfo").write_bytes(f'<pkg-info identifier="{name}"/>'.encode())
        (folder / "Bom").write_bytes(b"BOMStore")
        (folder / "Payload").write_bytes(payload)
    out = work / "product.pkg"
    subprocess.run(["bsdtar", "--format", "xar", "-cf", str(out), "-C", str(root)] + sorted(p.name for p in root.iterdir()),
                   check=True, capture_output=True)
    return out
