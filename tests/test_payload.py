"""CpioBuilder, PbzxWriter and Archive through Python: arguments, states and reprs."""

import pytest

import kiv

TOOL = b"#!/bin/sh\necho hi\n"


def test_builder_arguments_and_state():
    cpio = kiv.CpioBuilder()
    assert repr(cpio) == "CpioBuilder(len=0)"
    cpio.add_directory("./usr/bin")
    assert cpio.len == 120
    for mode, error in ((None, TypeError), (2**32, OverflowError)):
        with pytest.raises(error):
            cpio.add_file("./x", b"abc", mode=mode)
    assert kiv.Archive.from_cpio(cpio.finish()).list()[0].path == "./usr/bin"
    assert repr(cpio) == "CpioBuilder(finished)"
    for call in (cpio.finish, lambda: cpio.len, lambda: cpio.add_directory("./y")):
        with pytest.raises(RuntimeError, match="^CpioBuilder already finished$"):
            call()


def test_writer_and_archive(tmp_path):
    cpio = kiv.CpioBuilder()
    cpio.add_directory("./usr")
    cpio.add_file("./usr/tool", TOOL, mode=0o100755)
    cpio.add_file("./usr/share.txt", b"x" * 70_000)
    cpio.add_symlink("./usr/alias", "tool")
    data, path = cpio.finish(), tmp_path / "payload.pbzx"
    writer = kiv.PbzxWriter(str(path), chunk_size=4096, compression_level=100)
    assert writer.total_written == 0 and repr(writer) == "PbzxWriter(open)"
    writer.write_cpio(data[:5000])
    writer.write_cpio(data[5000:])
    total = writer.total_written
    writer.finish()
    assert path.stat().st_size == total
    assert repr(writer) == "PbzxWriter(finished)"
    for call in (writer.finish, lambda: writer.total_written, lambda: writer.write_cpio(b"")):
        with pytest.raises(RuntimeError, match="^PbzxWriter already finished$"):
            call()
    with kiv.Archive.open(str(path)) as archive:
        assert (archive.cpio_data(), archive.decompressed_size) == (data, len(data))
        assert repr(archive) == f"Archive(size={len(data)})"
        listed = archive.list()
        assert [(e.path, e.mode, e.size, e.is_dir, e.is_symlink, e.link_target) for e in listed] == [
            ("./usr", 0o040755, 0, True, False, None), ("./usr/tool", 0o100755, len(TOOL), False, False, None),
            ("./usr/share.txt", 0o100644, 70_000, False, False, None), ("./usr/alias", 0o120777, 4, False, True, "tool")]
        assert repr(listed[0]).startswith('FileEntry(path="./usr", kind="dir"')
        assert archive.extract_file("./usr/tool") == TOOL
        stats = archive.extract_all(str(tmp_path / "all"))
        assert (stats.files, stats.dirs, stats.symlinks_skipped, stats.bytes) == (2, 1, 1, len(TOOL) + 70_000)
        assert archive.extract_path("usr", str(tmp_path / "sub")).files == 2
    assert repr(archive) == "Archive(closed)"
    with pytest.raises(RuntimeError, match="^Archive is closed$"):
        archive.list()
    with pytest.raises(OverflowError):
        kiv.PbzxWriter(str(tmp_path / "never.pbzx"), compression_level=-1)
    assert not (tmp_path / "never.pbzx").exists()


# A payload whose decoded bytes are no CPIO archive (here the head of an Apple Archive) is refused by
# every operation and nothing is extracted; an empty payload is an empty archive.
def test_a_payload_that_is_not_cpio_is_refused(tmp_path):
    path, out = tmp_path / "aa.pbzx", str(tmp_path / "out")
    writer = kiv.PbzxWriter(str(path))
    writer.write_cpio(b"AA01\x35\x00TYP1DPAT P" + bytes(100))
    writer.finish()
    with kiv.Archive.open(str(path)) as archive:
        for call in (archive.list, lambda: archive.extract_file("./x"), lambda: archive.extract_all(out),
                     lambda: archive.extract_path("./usr", out)):
            with pytest.raises(kiv.InvalidFormatError,
                               match=r'^PBZX error: Invalid CPIO archive: Invalid CPIO magic at offset 0: "AA015\\0"$'):
                call()
    assert list(tmp_path.iterdir()) == [path]
    assert kiv.Archive.from_cpio(b"").list() == []
