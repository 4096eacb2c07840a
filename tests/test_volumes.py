"""HfsVolume and ApfsVolume on raw partition images."""

import pytest

import kiv
from conftest import fixture_path, require_tool, run
from volume_tools import MACOS_HFS_VOLUMES, bare_hfs_volume, image_with


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


@pytest.mark.parametrize("relative", MACOS_HFS_VOLUMES)
def test_hfs_volume_reads_compressed_files_and_hard_links_as_7zip_does(relative, tmp_path):
    volume = bare_hfs_volume(relative, tmp_path)
    require_tool("7zz")
    run("7zz", "x", "-y", f"-o{tmp_path / '7z'}", volume)
    top = next((tmp_path / "7z").iterdir())
    # 7-Zip writes hard links empty, beside the files they point to.
    inodes = [p.read_bytes() for p in (top / "[HFS+ Private Data]").iterdir()]
    links = 0
    with kiv.HfsVolume.open(str(volume)) as vol:
        for entry in vol.walk():
            if entry.kind != "file" or "HFS+ Private" in entry.path:
                continue
            ours = vol.read_file(entry.path)
            assert len(ours) == entry.size == vol.stat(entry.path).size
            theirs = (top / entry.path[1:].replace(":", "_")).read_bytes()
            if ours and not theirs:
                assert ours in inodes, entry.path
                links += 1
            else:
                assert ours == theirs, entry.path
        assert links >= 2
        if "ImgTest" in relative:
            assert vol.stat("/testfile_compressed.txt").size == 256_545
            assert [e.size for e in vol.list_directory("/") if e.name in ("PkgInfo", "SmallFile0")] == [8, 1569]
        if "keramics" in relative:
            assert "forward:slash" in {e.name for e in vol.list_directory("/")}
            assert vol.read_file("/forward:slash") == b""
            assert vol.exists("/nfd_t\u00e9stfil\u00e8")  # typed composed, stored decomposed


def test_apfs_sparse_files_far_beyond_their_container(tmp_path):
    """80 KB containers holding a 4 GiB and a 1 PiB sparse file: in memory a
    clean refusal, on disk holes (or a clean error where the file system
    cannot hold the size), in every mode and quickly."""
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
                try:
                    fs.extract_all(str(out))
                except kiv.IoError as e:  # a size this file system cannot hold
                    assert path == petabyte and "File too large (os error 27)" in str(e)
                    continue
            written = (out / name.lstrip("/")).stat()
            assert written.st_size == (4294967295 if path == nearly4g else 1 << 50)
            assert written.st_blocks * 512 <= 65536
