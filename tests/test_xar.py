"""XarArchive on real archives, on archives written by bsdtar, and on bad input."""

import os
import subprocess
from pathlib import Path

import pytest

import kiv
from conftest import fixture_path, require_tool, run


def make_tree(root: Path) -> dict:
    """A small tree with nesting, an empty file, a larger file and a symlink."""
    files = {
        "top.txt": b"top level\n",
        "a/b/c/deep.txt": b"deep " * 100,
        "a/empty": b"",
        "a/big.bin": os.urandom(300_000) + bytes(200_000),
        "z/\u00e9t\u00e9.txt": "accented name\n".encode(),
    }
    for rel, data in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    os.symlink("top.txt", root / "link")
    return files


def bsdtar_xar(tmp_path: Path, *options: str) -> tuple[Path, dict]:
    require_tool("bsdtar")
    src = tmp_path / "src"
    src.mkdir()
    files = make_tree(src)
    out = tmp_path / "archive.xar"
    run("bsdtar", "-c", "--format", "xar", *options, "-f", out, "-C", src, ".")
    return out, files


def regular_files(root: Path) -> dict:
    return {p.relative_to(root).as_posix(): p.read_bytes()
            for p in root.rglob("*") if p.is_file() and not p.is_symlink()}


@pytest.mark.parametrize("options", [(), ("--options", "xar:compression=none"), ("--options", "xar:compression=gzip"),
                                     ("--options", "xar:compression=bzip2")])
def test_bsdtar_archives_read_and_extract(tmp_path, options):
    archive_path, files = bsdtar_xar(tmp_path, *options)
    listing = run("bsdtar", "-tf", archive_path).stdout.decode().split()
    with kiv.XarArchive.open(str(archive_path)) as xar:
        entries = xar.files
        assert repr(xar) == f"XarArchive(files={len(entries)})"
        paths = {f.path for f in entries}
        assert paths == {p.strip("/").removeprefix("./") for p in listing if p.strip("./")}
        by_path = {f.path: (i, f) for i, f in enumerate(entries)}
        for rel, data in files.items():
            index, entry = by_path[rel]
            # An empty file may be stored without a data section.
            assert entry.file_type == "file" and entry.size == (len(data) if data else entry.size)
            assert xar.read_file(index) == data
        link_index, link = by_path["link"]
        assert link.file_type == "symlink" and link.link == "top.txt" and link.size is None
        assert xar.read_file(link_index) == b""
        directory = xar.find("/a/b/")
        assert directory is not None and directory.path == "a/b" and directory.file_type == "directory"
        assert directory.size is None and directory.compressed_size is None
        assert xar.find("a/missing") is None
        # Every entry nested in a directory comes before the directory itself.
        position = {f.path: i for i, f in enumerate(entries)}
        for f in entries:
            if "/" in f.path:
                assert position[f.path] < position[f.path.rsplit("/", 1)[0]]

        dest_all = tmp_path / "all"
        stats = xar.extract_all(str(dest_all))
        assert regular_files(dest_all) == files
        assert not (dest_all / "link").exists()
        assert (stats.files, stats.symlinks_skipped, stats.bytes) == (len(files), 1, sum(map(len, files.values())))
        assert repr(stats).startswith("ExtractStats(files=5, dirs=")
        for base in ("/", ""):
            other = xar.extract_path(base, str(tmp_path / f"base{len(base)}"))
            assert (other.files, other.dirs, other.symlinks_skipped, other.bytes) == \
                (stats.files, stats.dirs, stats.symlinks_skipped, stats.bytes)
        sub = xar.extract_path("a/b", str(tmp_path / "sub"))
        assert regular_files(tmp_path / "sub") == {"c/deep.txt": files["a/b/c/deep.txt"]}
        assert sub.files == 1


def test_index_and_argument_errors(tmp_path):
    archive_path, _ = bsdtar_xar(tmp_path)
    with kiv.XarArchive.open(str(archive_path)) as xar:
        count = len(xar.files)
        with pytest.raises(IndexError, match=f"^file index {count} out of range$"):
            xar.read_file(count)
        with pytest.raises(OverflowError):
            xar.read_file(-1)
        with pytest.raises(TypeError):
            xar.find(b"top.txt")
        assert len(xar.files) == count
    with pytest.raises(RuntimeError, match="^XarArchive is closed$"):
        xar.files
    assert repr(xar) == "XarArchive(closed)"


def test_open_errors(tmp_path):
    with pytest.raises(kiv.IoError, match=r"^I/O error: No such file or directory"):
        kiv.XarArchive.open(str(tmp_path / "missing.xar"))
    bad = tmp_path / "bad.xar"
    bad.write_bytes(b"nope" + bytes(100))
    with pytest.raises(kiv.InvalidFormatError,
                       match=r"^XAR error: invalid XAR magic: 0x6E6F7065 \(expected 0x78617221\)$"):
        kiv.XarArchive.open(str(bad))
    short = tmp_path / "short.xar"
    short.write_bytes(b"xar!\x00")
    with pytest.raises(kiv.IoError, match="^XAR error: I/O error: failed to fill whole buffer$"):
        kiv.XarArchive.open(str(short))


def test_real_archives_agree_with_bsdtar(tmp_path):
    require_tool("bsdtar")
    paths = [fixture_path("real/homebrew/container.xar")]
    paths += sorted((fixture_path("real/libarchive")).glob("test_read_format_xar_archive*.xar"))
    checked = 0
    for path in paths:
        dest = tmp_path / path.stem
        dest.mkdir()
        run("bsdtar", "-xf", path, "-C", dest)
        # Hard links share the original's data; devices and fifos list as empty files.
        with kiv.XarArchive.open(str(path)) as xar:
            for index, entry in enumerate(xar.files):
                if entry.file_type != "file":
                    continue
                on_disk = dest / entry.path
                data = xar.read_file(index)
                if on_disk.is_file() and not on_disk.is_symlink():
                    assert data == on_disk.read_bytes(), (path, entry.path)
                    checked += 1
    assert checked >= 12


def test_malformed_archives_fail_cleanly(tmp_path):
    names = ["atou64_overread", "base64_oob", "doublelink", "duplicate_filename_node", "large_mode",
             "parse_time_overread", "stream_end_eof", "stream_end_trunc", "toc_stream_end"]
    for name in names:
        path = fixture_path(f"real/libarchive/test_read_format_xar_{name}.xar")
        try:
            with kiv.XarArchive.open(str(path)) as xar:
                for index in range(len(xar.files)):
                    try:
                        xar.read_file(index)
                    except kiv.KivError:
                        pass
                try:
                    xar.extract_all(str(tmp_path / name))
                except kiv.KivError:
                    pass
        except kiv.KivError:
            pass
