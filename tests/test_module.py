"""Import, exceptions and the shape of the module."""

import inspect
import subprocess
import sys
import sysconfig

import pytest

import kiv
from kiv import _kiv


EXCEPTIONS = ["KivError", "IoError", "InvalidFormatError", "FileNotFoundError", "DecompressionError", "UnsupportedError"]
CLASSES = ["DmgPipeline", "FilesystemHandle", "DmgArchive", "DmgBuilder", "PkgReader", "XarArchive", "Archive",
           "CpioBuilder", "PbzxWriter", "HfsVolume", "ApfsVolume", "PartitionInfo", "DirEntry", "FileStat", "VolumeInfo",
           "WalkEntry", "FileEntry", "CompressionInfo", "DmgStats", "XarFile", "ChunkInfo", "ArchiveStats", "ExtractStats"]


def test_docstring_exceptions_and_attribute_order():
    assert _kiv.__doc__.startswith("Python module for parsing Apple DMG disk images")
    for name in EXCEPTIONS:
        cls = getattr(_kiv, name)
        assert issubclass(cls, _kiv.KivError) and issubclass(cls, Exception) and (cls.__module__, cls.__name__) == ("_kiv", name)
    assert _kiv.KivError.__doc__ == "Base exception for all kiv errors." and kiv.KivError is _kiv.KivError
    assert not issubclass(_kiv.FileNotFoundError, FileNotFoundError) and not issubclass(_kiv.IoError, OSError)
    order = [n for n in vars(_kiv) if not n.startswith("_")]
    assert order[:6] == EXCEPTIONS and [n for n in order if n in CLASSES] == CLASSES
    for name in ["PartitionInfo", "DmgStats", "CompressionInfo", "ExtractStats"]:  # value classes are made by kiv only
        with pytest.raises(TypeError):
            getattr(_kiv, name)()


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
    for name, func in public_callables(_kiv):
        text = func.__text_signature__
        assert str(inspect.signature(func)) == text.replace("$self", "self, /").replace("/, )", "/)"), name
        assert (func.__doc__ is None) == ("__" in name) and "\n--\n" not in (func.__doc__ or ""), name
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
