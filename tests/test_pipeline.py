"""The pipeline classes and functions of the Python layer: arguments, modes, reprs, records, close and
lifetimes.  What the volume walks, extracts and chooses is the C++ suite's."""

import os
import random
import shutil

import pytest

import kiv
from builders import build_image, edit_block_maps, hfsplus_volume, payload_pbzx, product_package
from conftest import fixture_path

PAYLOAD_FILES = [("./usr", None), ("./usr/bin", None), ("./usr/bin/tool", b"#!/bin/sh\necho tool\n")]


@pytest.fixture(scope="module")
def installer(tmp_path_factory):
    """An image whose HFS+ volume holds a folder, a file, a symlink and a product package."""
    work = tmp_path_factory.mktemp("installer")
    src = work / "src"
    (src / "docs").mkdir(parents=True)
    (src / "docs" / "readme.txt").write_bytes(b"read me\n")
    os.symlink("docs/readme.txt", src / "link")
    payload = payload_pbzx(PAYLOAD_FILES, work / "Payload.pbzx").read_bytes()
    shutil.copy(product_package(work, {"Core.pkg": payload, "Extra.pkg": payload}), src / "Installer.pkg")
    return build_image(work / "installer.dmg", [("disk image (Apple_HFS : 1)", hfsplus_volume(src, work))])


def test_filesystem_modes_records_and_close(installer, tmp_path):
    with kiv.open(str(installer)) as dmg:
        assert repr(dmg) == "DmgPipeline(open)" and [p.partition_type for p in dmg.partitions] == ["Hfs"]
        with pytest.raises(ValueError, match="^invalid mode \"IN_MEMORY\": expected 'temp_file' or 'in_memory'$"):
            dmg.filesystem("IN_MEMORY")
        handles = {mode: dmg.filesystem(mode) for mode in (None, "temp_file", "in_memory")}
    with pytest.raises(RuntimeError, match="^DmgPipeline is closed$"):
        dmg.filesystem()
    for mode, fs in handles.items():
        with fs:  # each outlives the pipeline
            assert fs.fs_type == "hfsplus" and repr(fs) == "FilesystemHandle(HfsPlus, open)"
            info = fs.volume_info
            assert info.fs_type == "hfsplus" and info.is_hfsx is False and info.name is None
            assert {e.name: e.kind for e in fs.list_directory("/")} == \
                {"docs": "directory", "link": "symlink", "Installer.pkg": "file"}
            assert fs.read_file("/docs/readme.txt") == b"read me\n"
            stat = fs.stat("/docs/readme.txt")
            assert (stat.kind, stat.size, stat.nlink, stat.fs_type, stat.resource_fork_size) == ("file", 8, None, "hfsplus", None)
            assert fs.exists("") and not fs.exists("/nope")
            assert "/docs/readme.txt" in [w.path for w in fs.walk()]
            with pytest.raises(kiv.FileNotFoundError, match="^HFS\\+ error: file not found: docs/missing$"):
                fs.read_file("/docs/missing")
            every = fs.extract_all(str(tmp_path / f"{mode}-all"))
            assert (every.files, every.dirs, every.symlinks_skipped) == (2, 1, 1)
            assert fs.extract_path("/docs/", str(tmp_path / f"{mode}-docs")).files == 1
        with pytest.raises(RuntimeError, match="^FilesystemHandle is closed$"):
            fs.walk()


def test_packages_and_payloads(installer):
    assert kiv.find_packages(str(installer)) == ["/Installer.pkg"]
    with kiv.open(str(installer)) as dmg, dmg.filesystem() as fs:
        for streaming in (False, True):
            with fs.open_pkg("/Installer.pkg", streaming=streaming) as pkg:
                assert pkg.components == ["Core.pkg", "Extra.pkg"] and pkg.is_product_package
                assert pkg.distribution() == "<installer-gui-script/>" and "Core.pkg/Bom" in pkg.list_files()
                assert pkg.package_info("Core.pkg") == '<pkg-info identifier="Core.pkg"/>'
                assert pkg.payload_bytes("Core.pkg").startswith(b"pbzx")
                with pytest.raises(kiv.FileNotFoundError, match="^XAR error: file not found: Missing.pkg/Payload$"):
                    pkg.payload("Missing.pkg")
                archive = pkg.payload("Core.pkg")
            with archive:  # outlives the package reader
                assert [e.path for e in archive.list()] == [p for p, _ in PAYLOAD_FILES]
                assert archive.extract_file("./usr/bin/tool") == PAYLOAD_FILES[2][1]
    archive = kiv.extract_pkg_payload(str(installer), "/Installer.pkg", "Extra.pkg")
    assert archive.decompressed_size > 0 and archive.list()[2].path == "./usr/bin/tool"
    with pytest.raises(TypeError):
        kiv.extract_pkg_payload(str(installer), "/Installer.pkg", None)


def test_a_package_payload_that_is_not_cpio_is_refused(tmp_path):
    # An Apple Archive in the PBZX stream of a package on the volume: every way to its members says so.
    foreign = tmp_path / "aa.pbzx"
    writer = kiv.PbzxWriter(str(foreign))
    writer.write_cpio(b"AA01\x35\x00TYP1DPAT P" + bytes(100))
    writer.finish()
    src = tmp_path / "src"
    src.mkdir()
    shutil.copy(product_package(tmp_path, {"Core.pkg": foreign.read_bytes()}), src / "Installer.pkg")
    image = build_image(tmp_path / "aa.dmg", [("disk image (Apple_HFS : 1)", hfsplus_volume(src, tmp_path))])
    refused = r'^PBZX error: Invalid CPIO archive: Invalid CPIO magic at offset 0: "AA015\\0"$'
    archives = [kiv.extract_pkg_payload(str(image), "/Installer.pkg", "Core.pkg")]
    with kiv.open(str(image)) as dmg:
        for mode in ("temp_file", "in_memory"):
            with dmg.filesystem(mode) as fs, fs.open_pkg("/Installer.pkg") as pkg:
                archives.append(pkg.payload("Core.pkg"))
    for archive in archives:
        with archive, pytest.raises(kiv.InvalidFormatError, match=refused):
            archive.list()


def test_apfs_handle():
    with kiv.open(str(fixture_path("real/homebrew/container-apfs.dmg"))) as dmg, dmg.filesystem("in_memory") as fs:
        assert fs.fs_type == "apfs" and repr(fs) == "FilesystemHandle(Apfs, open)"


def test_hfs_volume_named_with_a_slash(tmp_path):
    # Finder allows "/" in a volume name; the catalog stores it as it stands, in the root folder's key and thread.
    src = tmp_path / "src"
    (src / "usr").mkdir(parents=True)
    (src / "usr" / "a.txt").write_bytes(b"a\n")
    volume = hfsplus_volume(src, tmp_path).replace("KIVSLASH".encode("utf-16-be"), "KIV/LASH".encode("utf-16-be"))
    image = build_image(tmp_path / "slash.dmg", [("disk image (Apple_HFS : 1)", volume)])
    with kiv.open(str(image)) as dmg:
        for mode in ("temp_file", "in_memory"):
            with dmg.filesystem(mode) as fs:
                assert fs.exists("/") and fs.stat("/").kind == "directory"
                assert [e.name for e in fs.list_directory("/")] == ["usr"]
                assert [w.path for w in fs.walk()] == ["/usr", "/usr/a.txt"]
                assert fs.extract_all(str(tmp_path / mode)).files == 1


def test_runs_listed_out_of_order_land_at_their_sectors(tmp_path):
    # Each run names its own sectors, so the order of the table does not matter: every way of reading the
    # partition gives the volume as written.
    src = tmp_path / "src"
    files = {f"d{i % 3}/f{i}.bin": random.Random(i).randbytes(1000 + 3000 * i) for i in range(24)}
    for path, data in files.items():
        (src / path).parent.mkdir(parents=True, exist_ok=True)
        (src / path).write_bytes(data)
    volume = hfsplus_volume(src, tmp_path)
    orders = {"swapped": lambda runs: [runs[1], runs[0], *runs[2:]], "reversed": lambda runs: runs[::-1]}
    for name, order in orders.items():
        image = build_image(tmp_path / f"{name}.dmg", [("disk image (Apple_HFS : 1)", volume)], chunk_size=16384)
        edit_block_maps(image, lambda sectors, runs: (sectors, order(runs)))
        with kiv.DmgArchive.open(str(image)) as dmg:
            assert dmg.extract_main_partition()[:len(volume)] == volume
            dmg.extract_main_partition_to(str(tmp_path / f"{name}.img"))
            assert (tmp_path / f"{name}.img").read_bytes()[:len(volume)] == volume
        with kiv.open(str(image)) as dmg:
            for mode in ("temp_file", "in_memory"):
                with dmg.filesystem(mode) as fs:
                    assert {path: fs.read_file("/" + path) for path in files} == files, (name, mode)
