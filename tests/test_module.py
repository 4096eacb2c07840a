"""Import, exceptions and the shape of the module."""

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
    import pytest

    for name in ["PartitionInfo", "DmgStats", "CompressionInfo", "ExtractStats"]:
        with pytest.raises(TypeError):
            getattr(_kiv, name)()
