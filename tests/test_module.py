"""The exceptions and the class each library error maps to, and the shape of the module."""

import base64
import inspect
import re
import subprocess
import sys
import sysconfig

import pytest

import kiv
from builders import build_image, bsdtar_xar, hfsplus_volume, payload_pbzx
from conftest import fixture_path
from kiv import _kiv


EXCEPTIONS = ["KivError", "IoError", "InvalidFormatError", "FileNotFoundError", "DecompressionError", "UnsupportedError"]
CLASSES = ["DmgPipeline", "FilesystemHandle", "DmgArchive", "DmgBuilder", "PkgReader", "XarArchive", "Archive",
           "CpioBuilder", "PbzxWriter", "HfsVolume", "ApfsVolume", "PartitionInfo", "DirEntry", "FileStat", "VolumeInfo",
           "WalkEntry", "FileEntry", "CompressionInfo", "DmgStats", "XarFile", "ChunkInfo", "ArchiveStats", "ExtractStats"]


def test_exceptions_and_their_order():
    assert _kiv.__doc__.startswith("Python module for parsing Apple DMG disk images")
    for name in EXCEPTIONS:
        cls = getattr(_kiv, name)
        assert issubclass(cls, _kiv.KivError) and issubclass(cls, Exception) and (cls.__module__, cls.__name__) == ("_kiv", name)
    assert _kiv.KivError.__doc__ == "Base exception for all kiv errors." and kiv.KivError is _kiv.KivError
    assert not issubclass(_kiv.FileNotFoundError, FileNotFoundError) and not issubclass(_kiv.IoError, OSError)
    order = [n for n in vars(_kiv) if not n.startswith("_")]
    assert order[:6] == EXCEPTIONS and [n for n in order if n in CLASSES] == CLASSES
    # Value classes, and handles only the module opens, are made by kiv only.
    for name in CLASSES[CLASSES.index("PartitionInfo"):] + ["FilesystemHandle", "PkgReader"]:
        with pytest.raises(TypeError):
            getattr(_kiv, name)()


# Every path argument is a str: a path object is refused before anything opens.
@pytest.mark.parametrize("call", [kiv.open, kiv.find_packages, kiv.DmgArchive.open, kiv.HfsVolume.open,
                                  kiv.ApfsVolume.open, kiv.XarArchive.open, kiv.Archive.open, kiv.PbzxWriter],
                         ids=lambda call: call.__qualname__)
def test_path_objects_are_refused(tmp_path, call):
    with pytest.raises(TypeError, match="^argument 'path': "):
        call(tmp_path / "missing")
    assert list(tmp_path.iterdir()) == []


HFS = "disk image (Apple_HFS : 1)"


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    """An image of an HFS+ volume, a XAR archive and a PBZX payload, each holding one file."""
    work = tmp_path_factory.mktemp("sources")
    (work / "tree").mkdir()
    (work / "tree" / "file").write_bytes(b"data")
    return {"dmg": str(build_image(work / "v.dmg", [(HFS, hfsplus_volume(work / "tree", work))])),
            "xar": str(bsdtar_xar(work, {"file": b"data"})), "pbzx": str(payload_pbzx([("./file", b"data")], work / "p.pbzx"))}


def built(path):
    builder = kiv.DmgBuilder()
    builder.add_partition(HFS, bytes(4096))
    builder.build(path)


# Every argument that names a file or folder on disk: the system would see only the name before a NUL.
ON_DISK = {
    "open": lambda s, p: kiv.open(p),
    "DmgPipeline": lambda s, p: kiv.DmgPipeline(p),
    "find_packages": lambda s, p: kiv.find_packages(p),
    "extract_pkg_payload": lambda s, p: kiv.extract_pkg_payload(p, "/x.pkg", "x"),
    "DmgArchive.open": lambda s, p: kiv.DmgArchive.open(p),
    "HfsVolume.open": lambda s, p: kiv.HfsVolume.open(p),
    "ApfsVolume.open": lambda s, p: kiv.ApfsVolume.open(p),
    "XarArchive.open": lambda s, p: kiv.XarArchive.open(p),
    "Archive.open": lambda s, p: kiv.Archive.open(p),
    "PbzxWriter": lambda s, p: kiv.PbzxWriter(p),
    "DmgBuilder.build": lambda s, p: built(p),
    "extract_partition_to": lambda s, p: kiv.DmgArchive.open(s["dmg"]).extract_partition_to(0, p),
    "extract_main_partition_to": lambda s, p: kiv.DmgArchive.open(s["dmg"]).extract_main_partition_to(p),
    "FilesystemHandle.extract_all": lambda s, p: kiv.open(s["dmg"]).filesystem().extract_all(p),
    "FilesystemHandle.extract_path": lambda s, p: kiv.open(s["dmg"]).filesystem("in_memory").extract_path("/", p),
    "XarArchive.extract_all": lambda s, p: kiv.XarArchive.open(s["xar"]).extract_all(p),
    "XarArchive.extract_path": lambda s, p: kiv.XarArchive.open(s["xar"]).extract_path("/", p),
    "Archive.extract_all": lambda s, p: kiv.Archive.open(s["pbzx"]).extract_all(p),
    "Archive.extract_path": lambda s, p: kiv.Archive.open(s["pbzx"]).extract_path("/", p),
}


@pytest.mark.parametrize("call", ON_DISK.values(), ids=ON_DISK.keys())
def test_a_nul_in_a_path_on_disk_is_refused(sources, tmp_path, call):
    with pytest.raises(ValueError, match="^embedded null byte$"):
        call(sources, str(tmp_path / "out") + "\0x")
    assert list(tmp_path.iterdir()) == []


# Names inside a volume or archive may hold a NUL: such a path is looked up as it is.
def test_a_nul_in_a_path_inside_is_a_name(sources):
    with kiv.open(sources["dmg"]) as dmg, dmg.filesystem() as fs, kiv.Archive.open(sources["pbzx"]) as payload:
        assert fs.exists("/fi\0le") is False
        with pytest.raises(kiv.FileNotFoundError):
            payload.extract_file("./fi\0le")


def written(path, data: bytes) -> str:
    path.write_bytes(data)
    return str(path)


def image_with_first_map(tmp, offset: int, value: bytes):
    """A one-partition image with bytes of its block map rewritten in place;
    the property list keeps its length, so the trailer still points at it."""
    raw = build_image(tmp / "edited.dmg", [(HFS, b"x" * 5000)]).read_bytes()
    match = re.search(rb"<data>([^<]*)</data>", raw)
    blob = bytearray(base64.b64decode(match.group(1)))
    blob[offset:offset + len(value)] = value
    text = base64.b64encode(bytes(blob)).ljust(len(match.group(1)))
    return kiv.DmgArchive.open(written(tmp / "edited.dmg", raw[:match.start(1)] + text + raw[match.end(1):]))


def payload(tmp, edit=lambda raw: raw) -> str:
    path = payload_pbzx([("./usr", None), ("./usr/tool", b"tool")], tmp / "payload.pbzx")
    return written(path, edit(path.read_bytes()))


# Each library's errors reach Python as the class their variant maps to, with
# the full message; some are raised from calls that run without the lock.
@pytest.mark.parametrize("call, error, message", [
    (lambda tmp: kiv.open(str(tmp / "missing.dmg")), kiv.IoError,
     r"DMG error: I/O error: No such file or directory \(os error 2\)$"),
    (lambda tmp: image_with_first_map(tmp, 72, b"\xff"), kiv.InvalidFormatError,
     "DMG error: checksum mismatch: expected 0x[0-9a-f]+, got 0x[0-9a-f]+$"),
    (lambda tmp: image_with_first_map(tmp, 204, (3).to_bytes(4, "big")), kiv.UnsupportedError,
     "DMG error: unsupported compression type: 0x3$"),
    (lambda tmp: image_with_first_map(tmp, 0, b"MISH"), kiv.InvalidFormatError,
     r"DMG error: invalid block map: invalid mish magic: \[77, 73, 83, 72\]$"),
    (lambda tmp: image_with_first_map(tmp, 204, (0x80000007).to_bytes(4, "big")).extract_partition(0),
     kiv.DecompressionError, "DMG error: decompression error: lzfse "),
    (lambda tmp: image_with_first_map(tmp, 204, (0x80000004).to_bytes(4, "big")).extract_partition(0),
     kiv.UnsupportedError, "DMG error: unsupported: ADC compression$"),
    # A corrupt zlib, bzip2 or xz run is the image library's I/O error.
    (lambda tmp: image_with_first_map(tmp, 204, (0x80000006).to_bytes(4, "big")).extract_partition(0),
     kiv.IoError, "DMG error: I/O error: "),
    (lambda tmp: kiv.open(str(build_image(tmp / "plain.dmg", [("Apple_Free", bytes(4096))]))).filesystem(),
     kiv.FileNotFoundError, "no filesystem partition found in DMG$"),
    (lambda tmp: kiv.open(str(build_image(tmp / "broken.dmg", [(HFS, bytes(8192))]))).filesystem("in_memory"),
     kiv.InvalidFormatError, r"HFS\+ error: invalid HFS\+ signature: 0x0000 \(expected 0x482B or 0x4858\)$"),
    (lambda tmp: kiv.ApfsVolume.open(written(tmp / "zero.img", bytes(8192))), kiv.InvalidFormatError,
     "APFS error: invalid magic: 0x00000000$"),
    # Files the Python layer opens itself fail as plain I/O errors, without a library's prefix.
    (lambda tmp: kiv.HfsVolume.open(str(tmp / "missing.img")), kiv.IoError, "I/O error: No such file or directory"),
    (lambda tmp: kiv.XarArchive.open(str(tmp / "missing.xar")), kiv.IoError, "I/O error: No such file or directory"),
    (lambda tmp: kiv.PbzxWriter(str(tmp / "no/dir/x.pbzx")), kiv.IoError, r"I/O error: No such file or directory \(os error 2\)$"),
    (lambda tmp: kiv.ApfsVolume.open(str(fixture_path("hostile/oom-read_file-sparse-4GiB.apfs"))).read_file("sparse_4g"),
     kiv.UnsupportedError, "APFS error: unsupported: file too large to read into memory: 4294967295 bytes"),
    (lambda tmp: kiv.Archive.open(payload(tmp, lambda raw: raw[:-10])), kiv.IoError,
     "PBZX error: I/O error: failed to fill whole buffer$"),
    (lambda tmp: kiv.Archive.open(payload(tmp, lambda raw: b"nope" + raw[4:])), kiv.InvalidFormatError,
     r"PBZX error: Invalid PBZX magic: expected 'pbzx', got \[110, 111, 112, 101\]$"),
    (lambda tmp: kiv.Archive.open(payload(tmp, lambda raw: raw[:12] + (7).to_bytes(8, "big") + raw[20:])),
     kiv.InvalidFormatError, "PBZX error: Invalid chunk at offset 28: Decompressed size mismatch: expected 7, got "),
    (lambda tmp: kiv.PbzxWriter(str(tmp / "zero"), chunk_size=0).write_cpio(b"abc"), kiv.DecompressionError,
     "PBZX error: Compression error: chunk size must be greater than 0$"),
    (lambda tmp: kiv.Archive.open(payload(tmp)).extract_file("./nope"), kiv.FileNotFoundError,
     r"PBZX error: File not found: \./nope$"),
    (lambda tmp: kiv.Archive.open(str(payload_pbzx([("../escape", b"bad")], tmp / "bad.pbzx"))).extract_all(str(tmp / "dest")),
     kiv.InvalidFormatError, r"PBZX error: Invalid path: Path traversal detected: \.\./escape$"),
    (lambda tmp: kiv.XarArchive.open(payload(tmp)), kiv.InvalidFormatError,
     r"XAR error: invalid XAR magic: 0x70627A78 \(expected 0x78617221\)$"),
    (lambda tmp: kiv.XarArchive.open(written(tmp / "short.xar", b"xar!\x00")), kiv.IoError,
     "XAR error: I/O error: failed to fill whole buffer$"),
    (lambda tmp: kiv.XarArchive.open(str(fixture_path("real/libarchive/test_read_format_xar_doublelink.xar"))),
     kiv.InvalidFormatError, "XAR error: XML parse error: duplicate direct <type> field in <file>$"),
    (lambda tmp: kiv.XarArchive.open(str(fixture_path("real/libarchive/test_read_format_xar_stream_end_trunc.xar")))
     .extract_all(str(tmp)), kiv.DecompressionError,
     "XAR error: decompression failed: gzip decoded 1 bytes, expected 100$"),
    (lambda tmp: kiv.XarArchive.open(str(bsdtar_xar(tmp, {"a": b"a" * 100}, "--options", "xar:compression=xz")))
     .extract_all(str(tmp / "out")), kiv.UnsupportedError, "XAR error: unsupported encoding: application/x-xz$"),
])
def test_errors_map_to_their_classes(tmp_path, call, error, message):
    with pytest.raises(error, match="^" + message):
        call(tmp_path)


# The text signature of every public function and method, __enter__ and __exit__ included.
CLOSABLE = ["DmgPipeline", "FilesystemHandle", "HfsVolume", "ApfsVolume", "DmgArchive", "PkgReader", "XarArchive", "Archive"]
SIGNATURES = {name: text for text, names in [
    ("(path)", "open find_packages DmgArchive.open XarArchive.open Archive.open HfsVolume.open ApfsVolume.open"),
    ("(data)", "Archive.from_cpio"),
    ("(dmg_path, pkg_path, component)", "extract_pkg_payload"),
    ("($self)", "FilesystemHandle.walk HfsVolume.walk ApfsVolume.walk DmgArchive.extract_main_partition PkgReader.list_files "
                "PkgReader.distribution Archive.list Archive.cpio_data CpioBuilder.finish PbzxWriter.finish"),
    ("($self, path)", "XarArchive.find Archive.extract_file DmgArchive.extract_main_partition_to DmgBuilder.build"
     + "".join(f" {c}.{m}" for c in CLOSABLE[1:4] for m in ("list_directory", "read_file", "stat", "exists"))),
    ("($self, mode=None)", "DmgPipeline.filesystem"),
    ("($self, dest)", "FilesystemHandle.extract_all XarArchive.extract_all Archive.extract_all"),
    ("($self, base_path, dest)", "FilesystemHandle.extract_path XarArchive.extract_path Archive.extract_path"),
    ("($self, pkg_path, streaming=False)", "FilesystemHandle.open_pkg"),
    ("($self, id)", "DmgArchive.extract_partition"),
    ("($self, name)", "DmgArchive.extract_partition_by_name"),
    ("($self, id, path)", "DmgArchive.extract_partition_to"),
    ("($self, name, data)", "DmgBuilder.add_partition"),
    ("($self, component)", "PkgReader.package_info PkgReader.payload_bytes PkgReader.payload"),
    ("($self, index)", "XarArchive.read_file"),
    ("($self, path, content, mode=420)", "CpioBuilder.add_file"),
    ("($self, path, mode=493)", "CpioBuilder.add_directory"),
    ("($self, path, target, mode=511)", "CpioBuilder.add_symlink"),
    ("($self, data)", "PbzxWriter.write_cpio"),
    ("($self)", " ".join(f"{c}.__enter__" for c in CLOSABLE)),
    ("($self, _exc_type=None, _exc_val=None, _exc_tb=None)", " ".join(f"{c}.__exit__" for c in CLOSABLE)),
] for name in names.split()}
CONSTRUCTORS = {"DmgPipeline": "(path)", "DmgBuilder": "()", "CpioBuilder": "()",
                "PbzxWriter": "(path, chunk_size=None, compression_level=None)"}


def public_callables(module):
    for name, value in vars(module).items():
        if not name.startswith("_") and not (isinstance(value, type) and issubclass(value, BaseException)):
            yield from ([(name, value)] if not isinstance(value, type) else
                        [(f"{name}.{a}", getattr(value, a)) for a, member in vars(value).items()
                         if (not a.startswith("_") or a in ("__enter__", "__exit__")) and not isinstance(member, property)])


# The import checks each text signature against the parameters calls are
# matched to; here every callable has one, inspect reads it, and the
# docstring keeps only the text after it.
def test_every_public_callable_has_a_text_signature():
    found = dict(public_callables(_kiv))
    assert sorted(found) == sorted(SIGNATURES)
    for name, func in found.items():
        text = func.__text_signature__
        assert text == SIGNATURES[name], name
        assert str(inspect.signature(func)) == text.replace("$self", "self, /").replace("/, )", "/)"), name
        assert (func.__doc__ is None) == ("__" in name) and "\n--\n" not in (func.__doc__ or ""), name
    for name, text in CONSTRUCTORS.items():
        cls = getattr(_kiv, name)
        assert cls.__text_signature__ == text and not cls.__doc__.startswith(name)
        if sys.version_info >= (3, 12):  # inspect takes a class's signature as text from 3.12 on
            assert str(inspect.signature(cls)) == text


def test_second_module_object_gets_every_member():
    import importlib.util
    import warnings

    spec = importlib.util.find_spec("kiv._kiv")
    second = importlib.util.module_from_spec(spec)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        spec.loader.exec_module(second)
    names = [n for n in vars(_kiv) if not n.startswith("_")]
    assert [n for n in vars(second) if not n.startswith("_")] == names and len(names) == 6 + 3 + 23
    for name in names:
        if name in ("open", "find_packages", "extract_pkg_payload"):
            assert getattr(second, name).__self__ is second and getattr(_kiv, name).__self__ is _kiv
        else:
            assert getattr(second, name) is getattr(_kiv, name)
    with pytest.raises(second.IoError):
        second.open("/nonexistent/image.dmg")


def test_free_threaded_interpreter_keeps_the_lock_off():
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        pytest.skip("the interpreter is built with the global lock")
    out = subprocess.run([sys.executable, "-c", "import sys, kiv; print(sys._is_gil_enabled())"],
                         check=True, capture_output=True, text=True).stdout
    assert out.strip() == "False"
