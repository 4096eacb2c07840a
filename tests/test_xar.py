"""XarArchive through Python: entries, reads, extraction, arguments and closing."""

import os

import pytest

import kiv
from builders import bsdtar_xar

FILES = {"top.txt": b"top level\n", "a/b/c/deep.txt": b"deep " * 100, "a/empty": b"", "a/big.bin": os.urandom(300_000)}


def test_entries_reads_extraction_and_arguments(tmp_path):
    with kiv.XarArchive.open(str(bsdtar_xar(tmp_path, FILES))) as xar:
        entries = xar.files
        assert repr(xar) == f"XarArchive(files={len(entries)})"
        index = {f.path: i for i, f in enumerate(entries)}
        assert {path: xar.read_file(i) for path, i in index.items() if path in FILES} == FILES
        link = entries[index["link"]]
        assert (link.file_type, link.link, link.size, xar.read_file(index["link"])) == ("symlink", "top.txt", None, b"")
        directory = xar.find("a/b")
        assert (directory.path, directory.file_type, directory.size, directory.compressed_size) == ("a/b", "directory", None, None)
        assert xar.find("a/missing") is None
        stats = xar.extract_all(str(tmp_path / "all"))
        assert (stats.files, stats.symlinks_skipped, stats.bytes) == (len(FILES), 1, sum(map(len, FILES.values())))
        assert repr(stats).startswith("ExtractStats(files=4, dirs=")
        assert xar.extract_path("a/b", str(tmp_path / "sub")).files == 1
        with pytest.raises(IndexError, match=f"^file index {len(entries)} out of range$"):
            xar.read_file(len(entries))
        with pytest.raises(OverflowError):
            xar.read_file(-1)
    with pytest.raises(RuntimeError, match="^XarArchive is closed$"):
        xar.files
    assert repr(xar) == "XarArchive(closed)"
