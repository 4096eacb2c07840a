"""The main job on a generated sample: an installer image, from the disk image
down to the files of a package payload.

Builds a small macOS-style installer with real tools (an HFS+ volume made by
xorriso holding a product package packed by bsdtar, whose payload is a PBZX
stream of a CPIO archive written by kiv), wraps it in a UDIF image with
kiv.DmgBuilder, then reads everything back with kiv.
"""

import os
import shutil
import struct
import subprocess
import tempfile
from pathlib import Path

import kiv


def payload(work: Path) -> bytes:
    cpio = kiv.CpioBuilder()
    cpio.add_directory("./Applications", mode=0o755)
    cpio.add_directory("./Applications/Demo.app", mode=0o755)
    cpio.add_file("./Applications/Demo.app/Info.plist", b"<plist><dict/></plist>\n")
    cpio.add_file("./Applications/Demo.app/demo", b"\x7fELF" + bytes(4096) + b"demo binary", mode=0o755)
    cpio.add_symlink("./Applications/Demo", "Demo.app")
    path = work / "Payload"
    writer = kiv.PbzxWriter(str(path))
    writer.write_cpio(cpio.finish())
    writer.finish()
    return path.read_bytes()


def package(work: Path) -> Path:
    root = work / "pkgroot"
    (root / "Demo.pkg").mkdir(parents=True)
    (root / "Distribution").write_text('<installer-gui-script minSpecVersion="2"/>\n')
    (root / "Demo.pkg" / "PackageInfo").write_text('<pkg-info identifier="org.example.demo"/>\n')
    (root / "Demo.pkg" / "Payload").write_bytes(payload(work))
    out = work / "Demo.pkg"
    subprocess.run(["bsdtar", "--format", "xar", "-cf", str(out), "-C", str(root), "Distribution", "Demo.pkg"],
                   check=True)
    return out


def hfsplus_volume(src: Path, work: Path) -> bytes:
    iso = work / "volume.iso"
    subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-hfsplus", "-V", "Demo", "-o", str(iso), str(src)],
                   check=True, stderr=subprocess.DEVNULL)
    data = iso.read_bytes()
    block = struct.unpack(">H", data[2:4])[0]
    for index in range(1, 16):
        entry = data[index * 512:(index + 1) * 512]
        if entry[48:80].rstrip(b"\0") == b"Apple_HFS":
            return data[struct.unpack(">I", entry[8:12])[0] * block:]
    raise SystemExit("xorriso wrote no HFS+ partition")


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        src = work / "volume"
        (src / "Packages").mkdir(parents=True)
        shutil.copy(package(work), src / "Packages" / "Demo.pkg")
        (src / "ReadMe.txt").write_text("Install Demo.pkg\n" * 100)
        image = work / "demo.dmg"
        builder = kiv.DmgBuilder()
        builder.compression = "lzfse"
        builder.add_partition("Protective Master Boot Record (MBR : 0)", bytes(512))
        builder.add_partition("disk image (Apple_HFS : 1)", hfsplus_volume(src, work))
        builder.build(str(image))
        print(f"wrote {image.name} ({image.stat().st_size} bytes) with {builder!r}")

        with kiv.DmgArchive.open(str(image)) as archive:
            for p in archive.partitions:
                print(f"  {p!r} stored={p.compressed_size}")
            print(" ", archive.stats, f"space savings {archive.stats.space_savings:.1f}%")
            print(" ", archive.compression_info)

        with kiv.open(str(image)) as dmg, dmg.filesystem() as fs:
            print("volume:", fs.volume_info)
            for entry in fs.walk():
                print(f"  {entry!r}")
            for pkg_path in kiv.find_packages(str(image)):
                with fs.open_pkg(pkg_path) as pkg:
                    print(f"package {pkg_path}: components {pkg.components}")
                    for component in pkg.components:
                        print("  PackageInfo:", pkg.package_info(component).strip())
                        with pkg.payload(component) as files:
                            for f in files.list():
                                print(f"    {f!r}")
                            stats = files.extract_all(str(work / "out"))
                            print("  extracted:", stats)


if __name__ == "__main__":
    main()
