"""XarArchive through Python: entries, reads, extraction, arguments and error mapping."""

import os
from pathlib import Path

import pytest

import kiv
from conftest import fixture_path, require_tool, run

FILES = {"top.txt": b"top level\n", "a/b/c/deep.txt": b"deep " * 100, "a/empty": b"", "a/big.bin": os.urandom(300_000)}


def bsdtar_xar(tmp_path: Path, *options: str) -> Path:
    """An archive of FILES and a symbolic link "link" to top.txt, written by bsdtar."""
    require_tool("bsdtar")
    src = tmp_path / "src"
    for rel, data in FILES.items():
        (src / rel).parent.mkdir(parents=True, exist_ok=True)
        (src / rel).write_bytes(data)
    os.symlink("top.txt", src / "link")
    out = tmp_path / "archive.xar"
    run("bsdtar", "-c", "--format", "xar", *options, "-f", out, "-C", src, ".")
    return out


def test_entries_reads_extraction_and_arguments(tmp_path):
    with kiv.XarArchive.open(str(bsdtar_xar(tmp_path))) as xar:
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
        with pytest.raises(TypeError):
            xar.find(b"top.txt")
    with pytest.raises(RuntimeError, match="^XarArchive is closed$"):
        xar.files
    assert repr(xar) == "XarArchive(closed)"


# Each error kind of the library reaches Python as its exception class, with the message.
@pytest.mark.parametrize("make, use, error, message", [
    (lambda tmp: tmp / "missing.xar", None, kiv.IoError, r"I/O error: No such file or directory"),
    (lambda tmp: tmp / "bad.xar", None, kiv.InvalidFormatError, r"XAR error: invalid XAR magic: 0x6E6F7065 \(expected 0x78617221\)$"),
    (lambda tmp: fixture_path("real/libarchive/test_read_format_xar_stream_end_trunc.xar"),
     lambda xar, tmp: [xar.read_file(i) for i in range(len(xar.files))], kiv.DecompressionError,
     r"XAR error: decompression failed: gzip decoded 1 bytes, expected 100$"),
    # Raised from extraction, which runs without the interpreter lock; the archive stays usable.
    (lambda tmp: bsdtar_xar(tmp, "--options", "xar:compression=xz"), lambda xar, tmp: xar.extract_all(str(tmp / "out")),
     kiv.UnsupportedError, r"XAR error: unsupported encoding: application/x-xz$"),
])
def test_errors_map_to_their_classes(tmp_path, make, use, error, message):
    (tmp_path / "bad.xar").write_bytes(b"nope" + bytes(100))
    xar = None
    with pytest.raises(error, match="^" + message):
        xar = kiv.XarArchive.open(str(make(tmp_path)))
        use(xar, tmp_path)
    if xar is not None:
        with xar:
            assert xar.files  # still open after the failure
