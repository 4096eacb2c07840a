"""HfsVolume and ApfsVolume on raw partition images."""

import pytest

import kiv
from conftest import fixture_path
from volume_tools import image_with


def test_hfs_volume_reads_the_macos_fixture():
    path = fixture_path("hfsplus.raw")
    with kiv.HfsVolume.open(str(path)) as vol:
        assert repr(vol) == "HfsVolume(open)"
        listing = {e.name: e for e in vol.list_directory("/")}
        assert listing["a_link"].kind == "symlink"
        assert vol.stat("/a_link").kind == "file"
        stat = vol.stat("/passwords.txt")
        assert (stat.fs_type, stat.size, stat.nlink) == ("hfsplus", 116, None)
        assert isinstance(stat.data_fork_extents, int)
        assert vol.stat("/a_directory/a_resourcefork").resource_fork_size
        assert len(vol.read_file("/a_directory/a_file")) == 53
        walk = vol.walk()
        assert all(w.path.startswith("/") for w in walk)
        assert vol.exists("/") and not vol.exists("/nope")
        with pytest.raises(kiv.InvalidFormatError):
            vol.exists("/passwords.txt/below")
        with pytest.raises(kiv.FileNotFoundError, match="^HFS\\+ error: file not found: "):
            vol.read_file("/nope")
        assert not hasattr(vol, "volume_info")
    with pytest.raises(RuntimeError, match="^HfsVolume is closed$"):
        vol.walk()
    assert repr(vol) == "HfsVolume(closed)"


def test_apfs_volume_reads_the_macos_fixture():
    path = fixture_path("apfs.raw")
    with kiv.ApfsVolume.open(str(path)) as vol:
        info = vol.volume_info
        assert info.fs_type == "apfs" and info.name
        assert (info.total_blocks, info.free_blocks, info.version, info.is_hfsx) == (None, None, None, None)
        entries = {w.path: w for w in vol.walk()}
        link = next(w for p, w in entries.items() if p.endswith("/a_link"))
        assert link.kind == "symlink" and link.size == 24
        passwords = next(p for p in entries if p.endswith("/passwords.txt"))
        stat = vol.stat(passwords)
        assert (stat.fs_type, stat.size) == ("apfs", 116) and isinstance(stat.nlink, int)
        assert stat.data_fork_extents is None and stat.resource_fork_size is None
        assert vol.exists("/") and not vol.exists("/missing")
    with pytest.raises(RuntimeError, match="^ApfsVolume is closed$"):
        vol.walk()


def test_open_errors(tmp_path):
    for cls in (kiv.HfsVolume, kiv.ApfsVolume):
        with pytest.raises(kiv.IoError, match="^I/O error: No such file or directory"):
            cls.open(str(tmp_path / "missing.img"))
    with pytest.raises(kiv.InvalidFormatError, match="^HFS\\+ error: "):
        kiv.HfsVolume.open(str(fixture_path("apfs.raw")))
    with pytest.raises(kiv.KivError, match="^APFS error: "):
        kiv.ApfsVolume.open(str(fixture_path("hfsplus.raw")))


def test_apfs_sparse_files_far_beyond_their_container(tmp_path):
    """80 KB containers holding a 4 GiB and a 1 PiB sparse file: in memory a
    clean refusal, on disk a hole (4 GiB) or a clean error (the 1 PiB file's
    extents stop half-way), in every mode and quickly."""
    nearly4g = fixture_path("hostile/oom-read_file-sparse-4GiB.apfs")
    petabyte = fixture_path("hostile/timeout-read_file_to-sparse-1PiB.apfs")
    for path, name in ((nearly4g, "/sparse_4g"), (petabyte, "/huge_sparse")):
        with kiv.ApfsVolume.open(str(path)) as vol:
            with pytest.raises(kiv.UnsupportedError, match="file too large to read into memory: "):
                vol.read_file(name)
        image = image_with(path.read_bytes(), tmp_path / f"{path.stem}.dmg", name="disk image (Apple_APFS : 1)")
        for mode in ("temp_file", "in_memory"):
            out = tmp_path / f"{path.stem}-{mode}"
            with kiv.open(str(image)) as dmg, dmg.filesystem(mode) as fs:
                with pytest.raises(kiv.UnsupportedError):
                    fs.read_file(name)
                if path == petabyte:
                    with pytest.raises(kiv.InvalidFormatError, match="its extents end at byte 562949953425408"):
                        fs.extract_all(str(out))
                    continue
                fs.extract_all(str(out))
            written = (out / name.lstrip("/")).stat()
            assert written.st_size == 4294967295 and written.st_blocks * 512 <= 65536
