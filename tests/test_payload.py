"""Archive, CpioBuilder and PbzxWriter: real payloads, round trips, bad input."""

import os
import subprocess
from pathlib import Path

import pytest

import kiv
from conftest import fixture_path, require_tool, run


def build_cpio() -> tuple[bytes, list]:
    cpio = kiv.CpioBuilder()
    cpio.add_directory("./usr", mode=0o755)
    cpio.add_directory("./usr/bin")
    cpio.add_file("./usr/bin/tool", b"#!/bin/sh\necho hi\n", mode=0o100755)
    cpio.add_file("./usr/share.txt", b"x" * 70_000)
    cpio.add_symlink("./usr/bin/alias", "tool")
    entries = ["./usr", "./usr/bin", "./usr/bin/tool", "./usr/share.txt", "./usr/bin/alias"]
    return cpio.finish(), entries


def test_cpio_builder_output_is_read_by_real_tools(tmp_path):
    data, entries = build_cpio()
    archive = kiv.Archive.from_cpio(data)
    listed = archive.list()
    assert [e.path for e in listed] == entries
    tool = listed[2]
    assert (tool.mode, tool.size, tool.is_dir, tool.is_symlink) == (0o100755, 18, False, False)
    assert listed[3].mode == 0o100644 and listed[1].mode & 0o170000 == 0o040000
    assert listed[4].is_symlink and listed[4].link_target == "tool"
    assert repr(listed[0]).startswith('FileEntry(path="./usr", kind="dir"')
    assert archive.extract_file("./usr/bin/tool") == b"#!/bin/sh\necho hi\n"
    for tool_args in (["cpio", "-i", "-d", "--quiet"], ["bsdtar", "-x", "-f", "-"]):
        require_tool(tool_args[0])
        dest = tmp_path / tool_args[0]
        dest.mkdir()
        subprocess.run(tool_args, input=data, cwd=dest, check=True, capture_output=True)
        assert (dest / "usr/bin/tool").read_bytes() == b"#!/bin/sh\necho hi\n"
        assert (dest / "usr/share.txt").read_bytes() == b"x" * 70_000
        assert os.readlink(dest / "usr/bin/alias") == "tool"
        assert (dest / "usr/bin/tool").stat().st_mode & 0o777 == 0o755


def test_cpio_builder_state():
    cpio = kiv.CpioBuilder()
    assert repr(cpio) == "CpioBuilder(len=0)"
    cpio.add_directory("./usr/bin")
    assert cpio.len == 120
    with pytest.raises(TypeError):
        cpio.add_file("./x", bytearray(b"abc"))
    with pytest.raises(TypeError):
        cpio.add_file("./x", b"abc", mode=None)
    with pytest.raises(OverflowError):
        cpio.add_file("./x", b"abc", mode=2**32)
    assert cpio.len == 120
    cpio.finish()
    assert repr(cpio) == "CpioBuilder(finished)"
    for call in (cpio.finish, lambda: cpio.len, lambda: cpio.add_directory("./y")):
        with pytest.raises(RuntimeError, match="^CpioBuilder already finished$"):
            call()
    only_trailer = kiv.Archive.from_cpio(kiv.CpioBuilder().finish())
    assert only_trailer.list() == []


def test_pbzx_round_trip_and_xz_chunks(tmp_path):
    data, entries = build_cpio()
    path = tmp_path / "payload.pbzx"
    writer = kiv.PbzxWriter(str(path), chunk_size=4096, compression_level=100)
    assert writer.total_written == 0 and repr(writer) == "PbzxWriter(open)"
    writer.write_cpio(data[:5000])
    writer.write_cpio(data[5000:])
    total = writer.total_written
    writer.finish()
    raw = path.read_bytes()
    assert len(raw) == total
    assert raw[:4] == b"pbzx" and raw[4:12] == bytes([0, 0, 0, 0, 1, 0, 0, 0])
    for call in (writer.finish, lambda: writer.total_written, lambda: writer.write_cpio(b"")):
        with pytest.raises(RuntimeError, match="^PbzxWriter already finished$"):
            call()
    assert repr(writer) == "PbzxWriter(finished)"
    with kiv.Archive.open(str(path)) as archive:
        assert archive.cpio_data() == data
        assert archive.decompressed_size == len(data)
        assert [e.path for e in archive.list()] == entries
        assert repr(archive) == f"Archive(size={len(data)})"
    # Every chunk is a complete .xz stream that xz decodes on its own.
    require_tool("xz")
    offset, chunks, joined = 12, 0, b""
    while offset < len(raw):
        size = int.from_bytes(raw[offset:offset + 8], "big")
        stored = int.from_bytes(raw[offset + 8:offset + 16], "big")
        blob = raw[offset + 16:offset + 16 + stored]
        assert blob[:6] == b"\xfd7zXZ\x00"
        out = subprocess.run(["xz", "-dc"], input=blob, check=True, capture_output=True).stdout
        assert len(out) == size <= 4096
        joined += out
        offset += 16 + stored
        chunks += 1
    assert joined == data and chunks == -(-len(data) // 4096) + 1


def test_pbzx_writer_edge_cases(tmp_path):
    header_only = tmp_path / "empty.pbzx"
    writer = kiv.PbzxWriter(str(header_only))
    writer.finish()
    assert len(header_only.read_bytes()) == 12
    with kiv.Archive.open(str(header_only)) as archive:
        assert archive.decompressed_size == 0 and archive.list() == []
    writer = kiv.PbzxWriter(str(tmp_path / "e2.pbzx"))
    writer.write_cpio(b"")
    assert writer.total_written == 12
    with pytest.raises(OverflowError):
        kiv.PbzxWriter(str(tmp_path / "never.pbzx"), compression_level=-1)
    assert not (tmp_path / "never.pbzx").exists()
    with pytest.raises(kiv.IoError, match="^I/O error: "):
        kiv.PbzxWriter(str(tmp_path / "no/such/dir/x.pbzx"))
    zero = kiv.PbzxWriter(str(tmp_path / "zero.pbzx"), chunk_size=0)
    with pytest.raises(kiv.KivError):
        zero.write_cpio(b"abc")
    zero.finish()


def test_real_pkgbuild_payload():
    path = fixture_path("real/libarchive/PR2857_pkgbuild_latest_Payload.pbzx")
    require_tool("cpio")
    with kiv.Archive.open(str(path)) as archive:
        entries = archive.list()
        assert len(entries) == 5
        cpio_listing = subprocess.run(["cpio", "-t", "--quiet"], input=archive.cpio_data(),
                                      capture_output=True, check=True).stdout.decode().split("\n")
        assert [e.path for e in entries] == [p for p in cpio_listing if p]


@pytest.mark.parametrize("name", ["syslog.newc.cpio", "syslog.crc.cpio", "syslog.odc.cpio",
                                  "real/libarchive/test_gcpio_compat_ref.newc",
                                  "real/libarchive/test_gcpio_compat_ref.crc"])
def test_real_cpio_fixtures(tmp_path, name):
    """Every file reads and extracts as bsdtar extracts it; GNU cpio's hard links (the data stored
    once, with the last name) share one file."""
    data = fixture_path(name).read_bytes()
    archive = kiv.Archive.from_cpio(data)
    entries = archive.list()
    require_tool("bsdtar")
    listing = run("bsdtar", "-tf", fixture_path(name)).stdout.decode().split()
    assert [e.path for e in entries] == listing
    stats = archive.extract_all(str(tmp_path / "out"))
    reference = tmp_path / "ref"
    reference.mkdir()
    run("bsdtar", "-xf", fixture_path(name), "-C", reference)
    files = [e for e in entries if not e.is_dir and not e.is_symlink]
    for entry in files:
        theirs = reference / entry.path
        assert archive.extract_file(entry.path) == theirs.read_bytes() and entry.size == theirs.stat().st_size
        ours = tmp_path / "out" / entry.path
        assert ours.read_bytes() == theirs.read_bytes()
        assert ours.stat().st_nlink == theirs.stat().st_nlink
    assert (stats.files, stats.bytes) == (len(files), sum(e.size for e in files))


def test_binary_cpio_lists_as_empty(tmp_path):
    archive = kiv.Archive.from_cpio(fixture_path("syslog.bin.cpio").read_bytes())
    assert archive.list() == []
    assert archive.extract_all(str(tmp_path)).files == 0
    assert kiv.Archive.from_cpio(b"07070").list() == []


def test_payload_errors(tmp_path):
    with pytest.raises(kiv.IoError, match="^PBZX error: I/O error: No such file or directory"):
        kiv.Archive.open(str(tmp_path / "missing"))
    bad = tmp_path / "bad.pbzx"
    bad.write_bytes(b"nope" + bytes(20))
    with pytest.raises(kiv.InvalidFormatError, match=r"^PBZX error: Invalid PBZX magic: expected 'pbzx', got "):
        kiv.Archive.open(str(bad))
    data, _ = build_cpio()
    good = tmp_path / "good.pbzx"
    writer = kiv.PbzxWriter(str(good))
    writer.write_cpio(data)
    writer.finish()
    cut = tmp_path / "cut.pbzx"
    cut.write_bytes(good.read_bytes()[:-10])
    with pytest.raises(kiv.IoError, match="^PBZX error: I/O error: failed to fill whole buffer$"):
        kiv.Archive.open(str(cut))
    archive = kiv.Archive.from_cpio(data)
    with pytest.raises(kiv.FileNotFoundError, match=r"^PBZX error: File not found: \./nope$"):
        archive.extract_file("./nope")
    cpio = kiv.CpioBuilder()
    cpio.add_file("../escape", b"bad")
    evil = kiv.Archive.from_cpio(cpio.finish())
    with pytest.raises(kiv.InvalidFormatError, match=r"^PBZX error: Invalid path: Path traversal detected: \.\./escape$"):
        evil.extract_all(str(tmp_path / "dest"))
    assert not (tmp_path / "escape").exists()
    with evil:
        pass
    with pytest.raises(RuntimeError, match="^Archive is closed$"):
        evil.list()
