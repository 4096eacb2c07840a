"""Import, exceptions and the shape of the module."""

import subprocess
import sys
import sysconfig

import pytest

import kiv
from kiv import _kiv


def test_docstring_and_exception_hierarchy():
    assert _kiv.__doc__.startswith("Python module for parsing Apple DMG disk images")
    names = ["KivError", "IoError", "InvalidFormatError", "FileNotFoundError", "DecompressionError", "UnsupportedError"]
    for name in names:
        cls = getattr(_kiv, name)
        assert issubclass(cls, Exception)
        assert cls.__module__ == "_kiv" and cls.__name__ == name
        if name != "KivError":
            assert issubclass(cls, _kiv.KivError)
    assert _kiv.KivError.__doc__ == "Base exception for all kiv errors."
    assert _kiv.FileNotFoundError is not FileNotFoundError
    assert not issubclass(_kiv.FileNotFoundError, FileNotFoundError)
    assert not issubclass(_kiv.IoError, OSError)
    assert kiv.KivError is _kiv.KivError


def test_module_attributes_in_order():
    order = [n for n in vars(_kiv) if not n.startswith("_")]
    exceptions = order[:6]
    assert exceptions == ["KivError", "IoError", "InvalidFormatError", "FileNotFoundError",
                          "DecompressionError", "UnsupportedError"]
    expected_classes = ["DmgPipeline", "FilesystemHandle", "DmgArchive", "DmgBuilder", "PkgReader", "XarArchive",
                        "Archive", "CpioBuilder", "PbzxWriter", "HfsVolume", "ApfsVolume", "PartitionInfo",
                        "DirEntry", "FileStat", "VolumeInfo", "WalkEntry", "FileEntry", "CompressionInfo",
                        "DmgStats", "XarFile", "ChunkInfo", "ArchiveStats", "ExtractStats"]
    present = [n for n in order if n in expected_classes]
    assert present == [n for n in expected_classes if n in present]


def test_value_classes_cannot_be_constructed():
    for name in ["PartitionInfo", "DmgStats", "CompressionInfo", "ExtractStats"]:
        with pytest.raises(TypeError):
            getattr(_kiv, name)()


# The text signature of every public function and method, and of the four
# constructors (the class docstring's).
SIGNATURES = {
    "open": "(path)",
    "find_packages": "(path)",
    "extract_pkg_payload": "(dmg_path, pkg_path, component)",
    "DmgPipeline.filesystem": "($self, mode=None)",
    "FilesystemHandle.list_directory": "($self, path)",
    "FilesystemHandle.read_file": "($self, path)",
    "FilesystemHandle.stat": "($self, path)",
    "FilesystemHandle.walk": "($self)",
    "FilesystemHandle.exists": "($self, path)",
    "FilesystemHandle.extract_all": "($self, dest)",
    "FilesystemHandle.extract_path": "($self, base_path, dest)",
    "FilesystemHandle.open_pkg": "($self, pkg_path, streaming=False)",
    "DmgArchive.open": "(path)",
    "DmgArchive.extract_partition": "($self, id)",
    "DmgArchive.extract_partition_by_name": "($self, name)",
    "DmgArchive.extract_partition_to": "($self, id, path)",
    "DmgArchive.extract_main_partition": "($self)",
    "DmgArchive.extract_main_partition_to": "($self, path)",
    "DmgBuilder.add_partition": "($self, name, data)",
    "DmgBuilder.build": "($self, path)",
    "PkgReader.list_files": "($self)",
    "PkgReader.distribution": "($self)",
    "PkgReader.package_info": "($self, component)",
    "PkgReader.payload_bytes": "($self, component)",
    "PkgReader.payload": "($self, component)",
    "XarArchive.open": "(path)",
    "XarArchive.find": "($self, path)",
    "XarArchive.read_file": "($self, index)",
    "XarArchive.extract_all": "($self, dest)",
    "XarArchive.extract_path": "($self, base_path, dest)",
    "Archive.open": "(path)",
    "Archive.from_cpio": "(data)",
    "Archive.list": "($self)",
    "Archive.extract_file": "($self, path)",
    "Archive.extract_all": "($self, dest)",
    "Archive.extract_path": "($self, base_path, dest)",
    "Archive.cpio_data": "($self)",
    "CpioBuilder.add_file": "($self, path, content, mode=420)",
    "CpioBuilder.add_directory": "($self, path, mode=493)",
    "CpioBuilder.add_symlink": "($self, path, target, mode=511)",
    "CpioBuilder.finish": "($self)",
    "PbzxWriter.write_cpio": "($self, data)",
    "PbzxWriter.finish": "($self)",
    **{f"{cls}.{name}": text for cls in ("HfsVolume", "ApfsVolume") for name, text in [
        ("open", "(path)"), ("list_directory", "($self, path)"), ("read_file", "($self, path)"),
        ("stat", "($self, path)"), ("walk", "($self)"), ("exists", "($self, path)")]},
    **{f"{cls}.{name}": text
       for cls in ("DmgPipeline", "FilesystemHandle", "HfsVolume", "ApfsVolume", "DmgArchive", "PkgReader",
                   "XarArchive", "Archive")
       for name, text in [("__enter__", "($self)"), ("__exit__", "($self, _exc_type=None, _exc_val=None, _exc_tb=None)")]},
}
CONSTRUCTORS = {"DmgPipeline": "(path)", "DmgBuilder": "()", "CpioBuilder": "()",
                "PbzxWriter": "(path, chunk_size=None, compression_level=None)"}


def public_callables(module):
    for name, value in vars(module).items():
        if name.startswith("_") or (isinstance(value, type) and issubclass(value, BaseException)):
            continue
        if not isinstance(value, type):
            yield name, value
            continue
        for attr, member in vars(value).items():
            if (not attr.startswith("_") or attr in ("__enter__", "__exit__")) and not isinstance(member, property):
                yield f"{name}.{attr}", getattr(value, attr)


def test_every_public_callable_has_its_text_signature():
    import inspect

    found = dict(public_callables(_kiv))
    assert sorted(found) == sorted(SIGNATURES)
    assert len([n for n in found if "__" not in n]) == 55
    for name, func in found.items():
        text = SIGNATURES[name]
        assert func.__text_signature__ == text, name
        assert str(inspect.signature(func)) == text.replace("$self", "self, /").replace("/, )", "/)"), name
        doc = func.__doc__
        assert (doc is None) == ("__" in name), name
        assert doc is None or not (doc.startswith(name.split(".")[-1] + "(") or "\n--\n" in doc), name
    assert _kiv.FilesystemHandle.open_pkg.__doc__ == (
        "Open a .pkg file from the filesystem.\n\nArgs:\n    pkg_path: Path to the .pkg file within the filesystem.\n"
        "    streaming: If True, stream to temp file (lower memory). Default False.")
    assert str(inspect.signature(_kiv.CpioBuilder().add_file)) == "(path, content, mode=420)"
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
    with second.Archive.from_cpio(second.CpioBuilder().finish()) as archive:
        assert archive.list() == []
    with pytest.raises(second.IoError):
        second.open("/nonexistent/image.dmg")


def test_free_threaded_interpreter_keeps_the_lock_off():
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        pytest.skip("the interpreter is built with the global lock")
    out = subprocess.run([sys.executable, "-c", "import sys, kiv; print(sys._is_gil_enabled())"],
                         check=True, capture_output=True, text=True).stdout
    assert out.strip() == "False"
