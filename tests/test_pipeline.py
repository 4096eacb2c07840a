"""From a disk image to its volume, its packages and their payloads."""

import os
import shutil
import threading
from pathlib import Path

import pytest

import kiv
from conftest import fixture_path, require_tool
from volume_tools import MACOS_HFS_VOLUMES, hfsplus_volume, image_with, is_bare_hfs, payload_pbzx, product_package

PAYLOAD_FILES = [("./usr", None), ("./usr/bin", None), ("./usr/bin/tool", b"#!/bin/sh\necho tool\n"),
                 ("./usr/share/doc.txt", b"documentation " * 500)]


@pytest.fixture(scope="module")
def installer(tmp_path_factory):
    """An image whose HFS+ volume holds files, a symlink and two packages."""
    work = tmp_path_factory.mktemp("installer")
    src = work / "src"
    (src / "Packages").mkdir(parents=True)
    (src / "docs" / "deep").mkdir(parents=True)
    (src / "docs" / "readme.txt").write_bytes(b"read me\n")
    (src / "docs" / "deep" / "data.bin").write_bytes(os.urandom(200_000))
    (src / "docs" / "empty").write_bytes(b"")
    os.symlink("readme.txt", src / "docs" / "link")
    (src / "usr" / "lib").mkdir(parents=True)
    (src / "usr" / "libexec").mkdir()
    (src / "usr" / "lib" / "a.dylib").write_bytes(b"lib")
    (src / "usr" / "libexec" / "helper").write_bytes(b"helper")
    payload = payload_pbzx(PAYLOAD_FILES, work)
    pkg = product_package(work, {"Core.pkg": payload, "Extra.pkg": payload})
    shutil.copy(pkg, src / "Packages" / "Installer.pkg")
    (src / "Packages" / "NOTAPKG.PKG").write_bytes(b"capitals")
    (src / "Bundle.pkg").mkdir()
    image = image_with(hfsplus_volume(src, work), work / "installer.dmg")
    return image, src


def test_open_filesystem_and_read(installer, tmp_path):
    image, src = installer
    with kiv.open(str(image)) as dmg:
        assert repr(dmg) == "DmgPipeline(open)"
        assert [p.partition_type for p in dmg.partitions] == ["Other", "Hfs"]
        handles = [dmg.filesystem(), dmg.filesystem(None), dmg.filesystem("temp_file"), dmg.filesystem("in_memory")]
    for fs in handles:
        with fs:
            assert fs.fs_type == "hfsplus" and repr(fs) == "FilesystemHandle(HfsPlus, open)"
            info = fs.volume_info
            assert info.fs_type == "hfsplus" and info.is_hfsx is False and info.name is None
            names = {e.name: e for e in fs.list_directory("/docs")}
            assert names["link"].kind == "symlink" and names["deep"].kind == "directory"
            assert fs.read_file("/docs/deep/data.bin") == (src / "docs/deep/data.bin").read_bytes()
            stat = fs.stat("/docs/readme.txt")
            assert (stat.kind, stat.size, stat.nlink, stat.fs_type) == ("file", 8, None, "hfsplus")
            assert stat.data_fork_extents == 1 and stat.resource_fork_size is None
            assert fs.exists("/") and fs.exists("") and not fs.exists("/nope")
            walk = [w.path for w in fs.walk()]
            assert "/docs/deep/data.bin" in walk and walk.index("/docs") < walk.index("/docs/deep")
            with pytest.raises(kiv.FileNotFoundError, match="^HFS\\+ error: file not found: "):
                fs.read_file("/docs/missing")
    with pytest.raises(RuntimeError, match="^FilesystemHandle is closed$"):
        handles[0].walk()


def test_extraction(installer, tmp_path):
    image, src = installer
    with kiv.open(str(image)) as dmg, dmg.filesystem() as fs:
        every = fs.extract_all(str(tmp_path / "all"))
        same = fs.extract_path("/", str(tmp_path / "root"))
        assert (every.files, every.dirs, every.symlinks_skipped, every.bytes) == \
            (same.files, same.dirs, same.symlinks_skipped, same.bytes)
        assert every.symlinks_skipped == 1 and not (tmp_path / "all/docs/link").exists()
        assert (tmp_path / "all/docs/deep/data.bin").read_bytes() == (src / "docs/deep/data.bin").read_bytes()
        for base in ("/usr/", "usr"):
            stats = fs.extract_path(base, str(tmp_path / base.strip("/")))
            out = tmp_path / base.strip("/")
            assert sorted(p.relative_to(out).as_posix() for p in out.rglob("*")) == \
                ["lib", "lib/a.dylib", "libexec", "libexec/helper"]
        lib = fs.extract_path("/usr/lib", str(tmp_path / "lib"))
        assert (lib.files, lib.dirs) == (1, 1)
        with pytest.raises(kiv.FileNotFoundError, match="^no entries found under: /missing/$"):
            fs.extract_path("/missing/", str(tmp_path / "never"))
        with pytest.raises(kiv.FileNotFoundError, match="^no entries found under: $"):
            fs.extract_path("", str(tmp_path / "never"))
        assert not (tmp_path / "never").exists()


@pytest.mark.parametrize("relative", MACOS_HFS_VOLUMES + ["real/homebrew/container-apfs.dmg"])
def test_macos_volumes_extract_whole_in_both_modes(relative, tmp_path):
    path = fixture_path(relative)
    data = path.read_bytes()
    image = image_with(data, tmp_path / "volume.dmg") if is_bare_hfs(data) else path
    with kiv.open(str(image)) as dmg:
        for mode in ("temp_file", "in_memory"):
            with dmg.filesystem(mode) as fs:
                out = tmp_path / mode
                stats = fs.extract_all(str(out))
                files = [w for w in fs.walk() if w.kind == "file" and "HFS+ Private" not in w.path]
                assert (stats.files, stats.bytes) == (len(files), sum(w.size for w in files))
                for w in files:
                    assert (out / w.path[1:]).read_bytes() == fs.read_file(w.path), w.path
                assert not [p for p in out.iterdir() if "HFS+ Private" in p.name]


def test_packages_and_payloads(installer):
    image, _ = installer
    assert kiv.find_packages(str(image)) == ["/Packages/Installer.pkg"]
    with kiv.open(str(image)) as dmg, dmg.filesystem() as fs:
        for streaming in (False, True):
            with fs.open_pkg("/Packages/Installer.pkg", streaming=streaming) as pkg:
                assert pkg.components == ["Core.pkg", "Extra.pkg"]
                assert pkg.is_product_package
                assert pkg.distribution() == "<installer-gui-script/>"
                assert pkg.package_info("Core.pkg") == '<pkg-info identifier="Core.pkg"/>'
                assert pkg.package_info("Missing.pkg") is None
                with pytest.raises(kiv.FileNotFoundError, match="^XAR error: file not found: Missing.pkg/Payload$"):
                    pkg.payload("Missing.pkg")
                archive = pkg.payload("Core.pkg")
            with archive:  # outlives the package reader
                assert [e.path for e in archive.list()] == [p for p, _ in PAYLOAD_FILES]
                assert archive.extract_file("./usr/bin/tool") == PAYLOAD_FILES[2][1]
        with pytest.raises(TypeError):
            fs.open_pkg("/Packages/Installer.pkg", streaming=1)
        with pytest.raises(kiv.InvalidFormatError, match="^HFS\\+ error: not a directory: "):
            fs.open_pkg("/Bundle.pkg", streaming=True)
    archive = kiv.extract_pkg_payload(str(image), "/Packages/Installer.pkg", "Extra.pkg")
    assert archive.decompressed_size > 0 and archive.list()[2].path == "./usr/bin/tool"
    with pytest.raises(TypeError):
        kiv.extract_pkg_payload(str(image), "/Packages/Installer.pkg", None)


def test_partition_choice_and_errors(tmp_path):
    path = fixture_path("hfsplus_zlib.dmg")
    with kiv.DmgPipeline(str(path)) as dmg:
        with pytest.raises(ValueError, match='^invalid mode "IN_MEMORY": expected'):
            dmg.filesystem("IN_MEMORY")
        with dmg.filesystem("in_memory") as fs:
            assert fs.read_file("/passwords.txt").startswith(b"place,user,password")
    with pytest.raises(ValueError):
        dmg.filesystem("bogus")
    with pytest.raises(RuntimeError, match="^DmgPipeline is closed$"):
        dmg.filesystem()
    apfs = fixture_path("real/homebrew/container-apfs.dmg")
    with kiv.open(str(apfs)) as dmg, dmg.filesystem() as fs:
        assert fs.fs_type == "apfs" and repr(fs) == "FilesystemHandle(Apfs, open)"
        assert fs.volume_info.name is not None and fs.volume_info.is_hfsx is None
        assert fs.stat("/").nlink is not None
    plain = tmp_path / "plain.dmg"
    builder = kiv.DmgBuilder()
    builder.add_partition("Apple_Free", bytes(4096))
    builder.build(str(plain))
    with kiv.open(str(plain)) as dmg:
        with pytest.raises(kiv.FileNotFoundError, match="^no filesystem partition found in DMG$"):
            dmg.filesystem()
    broken = image_with(bytes(8192), tmp_path / "broken.dmg", extra=[("disk image (Apple_APFS : 2)", bytes(8192))])
    with kiv.open(str(broken)) as dmg:
        with pytest.raises(kiv.InvalidFormatError, match="^HFS\\+ error: invalid HFS\\+ signature"):
            dmg.filesystem()
    with pytest.raises(kiv.IoError, match="^DMG error: I/O error: "):
        kiv.open(str(tmp_path / "missing.dmg"))
    with pytest.raises(TypeError):
        kiv.open(tmp_path / "missing.dmg")


def test_handles_outlive_their_pipeline(installer):
    image, _ = installer
    dmg = kiv.DmgPipeline(str(image))
    first, second = dmg.filesystem(), dmg.filesystem("in_memory")
    dmg.__exit__(None, None, None)
    first.__exit__(None, None, None)
    assert second.exists("/docs/readme.txt")


def test_damaged_volumes_fail_cleanly(tmp_path):
    """Volumes with random damage, inside images that open: only clean errors."""
    import random

    volumes = [("disk image (Apple_HFS : 1)", fixture_path("hfsplus.raw").read_bytes()),
               ("disk image (Apple_APFS : 1)", fixture_path("apfs.raw").read_bytes())]
    rng = random.Random(2026)
    image = tmp_path / "damaged.dmg"
    for _ in range(150):
        name, volume = rng.choice(volumes)
        data = bytearray(volume)
        for _ in range(rng.randrange(1, 12)):
            data[rng.randrange(1 << 16) if rng.random() < 0.7 else rng.randrange(len(data))] = rng.randrange(256)
        builder = kiv.DmgBuilder()
        builder.compression = "raw"
        builder.add_partition(name, bytes(data))
        builder.build(str(image))
        try:
            with kiv.open(str(image)) as dmg, dmg.filesystem(rng.choice(["temp_file", "in_memory"])) as fs:
                for entry in fs.walk():
                    try:
                        fs.stat(entry.path)
                        if entry.kind == "file":
                            fs.read_file(entry.path)
                    except kiv.KivError:
                        pass
                fs.extract_all(str(tmp_path / "out"))
        except kiv.KivError:
            pass
