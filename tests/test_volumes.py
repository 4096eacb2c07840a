"""HfsVolume and ApfsVolume from Python: results, errors, closing."""

import struct

import pytest

import kiv
from builders import apfs_container, build_image, seal_apfs_object
from conftest import fixture_path


@pytest.mark.parametrize("cls, fs_type, name", [(kiv.HfsVolume, "hfsplus", "HFS\\+"), (kiv.ApfsVolume, "apfs", "APFS")])
def test_volume_reads_the_macos_fixture(cls, fs_type, name):
    with cls.open(str(fixture_path(f"{fs_type}.raw"))) as vol:
        assert repr(vol) == f"{cls.__name__}(open)"
        assert {w.path: w.kind for w in vol.walk()}["/a_link"] == "symlink"
        assert {e.name: e.kind for e in vol.list_directory("/")}["a_directory"] == "directory"
        stat = vol.stat("/passwords.txt")
        assert (stat.fs_type, stat.size) == (fs_type, 116)
        assert len(vol.read_file("/a_directory/a_file")) == 53
        assert vol.exists("/") and not vol.exists("/nope")
        with pytest.raises(kiv.FileNotFoundError, match=f"^{name} error: file not found: "):
            vol.read_file("/nope")
        with pytest.raises(kiv.InvalidFormatError):
            vol.exists("/passwords.txt/below")
        # The fields each volume fills in its records; the others are None.
        if cls is kiv.HfsVolume:
            assert stat.nlink is None and isinstance(stat.data_fork_extents, int)
            assert vol.stat("/a_directory/a_resourcefork").resource_fork_size == 17
            assert not hasattr(vol, "volume_info")
        else:
            assert isinstance(stat.nlink, int) and stat.data_fork_extents is stat.resource_fork_size is None
            info = vol.volume_info
            assert (info.fs_type, info.name, info.total_blocks, info.version, info.is_hfsx) == ("apfs", "apfs_test", None, None, None)
    with pytest.raises(RuntimeError, match=f"^{cls.__name__} is closed$"):
        vol.walk()
    assert repr(vol) == f"{cls.__name__}(closed)"


def test_apfs_sparse_files_far_beyond_their_container(tmp_path):
    # 80 KB containers holding a 4 GiB and a 1 PiB sparse file (which the volume refuses to read into
    # memory): extracted as holes (or a clean error where the file system cannot hold the size), in every mode.
    for fixture, name, size in (("oom-read_file-sparse-4GiB", "sparse_4g", 4294967295),
                                ("timeout-read_file_to-sparse-1PiB", "huge_sparse", 1 << 50)):
        path = fixture_path(f"hostile/{fixture}.apfs")
        image = build_image(tmp_path / f"{fixture}.dmg", [("disk image (Apple_APFS : 1)", path.read_bytes())])
        for mode in ("temp_file", "in_memory"):
            with kiv.open(str(image)) as dmg, dmg.filesystem(mode) as fs:
                try:
                    fs.extract_all(str(tmp_path / mode))
                except kiv.IoError as e:  # a size this file system cannot hold
                    assert size == 1 << 50 and "File too large (os error 27)" in str(e)
                    continue
            written = (tmp_path / mode / name).stat()
            assert written.st_size == size and written.st_blocks * 512 <= 65536


def test_encrypted_apfs_volume_is_unsupported(tmp_path):
    # An mkapfs container opens; with its container superblocks marked as encrypting in software and its
    # volume superblock without the unencrypted flag it is refused, opened alone or from a disk image in
    # either mode, before any ciphertext is read as a catalog.
    data = apfs_container(tmp_path)
    (tmp_path / "clear.apfs").write_bytes(data)
    with kiv.ApfsVolume.open(str(tmp_path / "clear.apfs")) as vol:
        assert vol.walk() == []
    marked = set()
    for at in range(0, len(data), 4096):
        magic = bytes(data[at + 32:at + 36])
        if magic == b"NXSB":  # nx_flags: software encryption
            struct.pack_into("<Q", data, at + 1264, struct.unpack_from("<Q", data, at + 1264)[0] | 4)
        elif magic == b"APSB":  # fs_flags: no longer unencrypted
            struct.pack_into("<Q", data, at + 264, struct.unpack_from("<Q", data, at + 264)[0] & ~1)
        else:
            continue
        seal_apfs_object(data, at)
        marked.add(magic)
    assert marked == {b"NXSB", b"APSB"}
    (tmp_path / "encrypted.apfs").write_bytes(data)
    refused = "^APFS error: unsupported: encrypted volume$"
    with pytest.raises(kiv.UnsupportedError, match=refused):
        kiv.ApfsVolume.open(str(tmp_path / "encrypted.apfs"))
    image = build_image(tmp_path / "encrypted.dmg", [("disk image (Apple_APFS : 1)", bytes(data))])
    for mode in ("temp_file", "in_memory"):
        with kiv.open(str(image)) as dmg, pytest.raises(kiv.UnsupportedError, match=refused):
            dmg.filesystem(mode)
