"""Disk images from Python: arguments, error classes, borrows, closing, reprs.

What the images hold and how they decode is the C++ suite's business."""

import base64
import random
import re
import threading

import pytest

import kiv
from conftest import fixture_path

def build_image(tmp_path, partitions, compression="zlib", **settings):
    builder = kiv.DmgBuilder()
    builder.compression = compression
    for key, value in settings.items():
        setattr(builder, key, value)
    for name, data in partitions:
        builder.add_partition(name, data)
    out = tmp_path / f"{compression}.dmg"
    builder.build(str(out))
    return out


def with_first_map(path, offset: int, value: bytes):
    """Rewrites bytes of the first block map of a written image in place; the
    property list keeps its length, so the trailer still points at it."""
    raw = path.read_bytes()
    match = re.search(rb"<data>([^<]*)</data>", raw)
    blob = bytearray(base64.b64decode(match.group(1)))
    blob[offset:offset + len(value)] = value
    text = base64.b64encode(bytes(blob))
    path.write_bytes(raw[:match.start(1)] + text.ljust(len(match.group(1))) + raw[match.end(1):])
    return path


def test_real_image_through_every_entry_point(tmp_path):
    with kiv.DmgArchive.open(str(fixture_path("hfsplus_zlib.dmg"))) as image:
        parts = image.partitions
        assert [(p.id, p.partition_type) for p in parts][3:5] == [(2, "Other"), (3, "Hfs")]
        assert repr(parts[4]) == 'PartitionInfo(name="disk image (Apple_HFS : 4)", id=3, size=1916928, type="Hfs")'
        stats = image.stats
        assert (stats.version, stats.sector_count, stats.data_fork_length, stats.partition_count) == (4, 3817, 11984, 7)
        assert stats.compression_ratio == pytest.approx(stats.total_compressed / stats.total_uncompressed)
        assert stats.space_savings == pytest.approx((1 - stats.compression_ratio) * 100)
        assert repr(stats).startswith("DmgStats(partitions=7, ")
        assert image.compression_info.zlib_blocks >= 1 and image.compression_info.adc_blocks == 0
        data = image.extract_partition(3)
        assert len(data) == parts[4].size and data[1024:1026] == b"H+"
        assert image.extract_main_partition() == data
        assert image.extract_partition_by_name("disk image (Apple_HFS : 4)") == data
        image.extract_partition_to(3, str(tmp_path / "by-id"))
        image.extract_main_partition_to(str(tmp_path / "main"))
        assert (tmp_path / "by-id").read_bytes() == (tmp_path / "main").read_bytes() == data
        # Failed lookups and refused arguments leave the archive usable.
        with pytest.raises(kiv.FileNotFoundError, match="^DMG error: file not found: partition 42$"):
            image.extract_partition(42)
        with pytest.raises(kiv.FileNotFoundError, match=r"^DMG error: file not found: nope$"):
            image.extract_partition_by_name("nope")
        with pytest.raises(OverflowError):
            image.extract_partition(2**31)
        with pytest.raises(TypeError):
            image.extract_partition("3")
        assert image.extract_partition(3) == data
    assert repr(image) == "DmgArchive(closed)"


# Crafted images that once read past a buffer, overflowed the stack, or made
# extraction write or allocate without end: refused before Python allocates.
@pytest.mark.parametrize("name, at_open, error, message", [
    ("heap-overflow-lzfse-fse_in_checked_flush64.dmg", False, kiv.DecompressionError,
     r"^DMG error: decompression error: lzfse decoded 0 bytes, expected 4096$"),
    ("stack-overflow-libplist-xml-depth177k.dmg", True, kiv.InvalidFormatError,
     r"^DMG error: invalid plist: plist parse error: nesting too deep at offset 3598$"),
    ("stack-overflow-libplist-bplist-depth89k.dmg", True, kiv.InvalidFormatError,
     r"^DMG error: invalid plist: plist parse error: nesting too deep at offset 2056$"),
    ("timeout-stream-zero-fill-512PiB.dmg", False, kiv.InvalidFormatError,
     r"^DMG error: invalid block map: partition of 1125899906842624 sectors exceeds the image's 524288 sectors$"),
    ("oom-in-memory-partition-16GiB.dmg", False, kiv.InvalidFormatError,
     r"^DMG error: invalid block map: partition of 33554432 sectors exceeds the image's 524288 sectors$"),
])
def test_hostile_images_fail_cleanly(tmp_path, name, at_open, error, message):
    expect_failure(fixture_path("hostile/" + name), at_open, error, message, tmp_path / "out.img")


def expect_failure(path, at_open, error, message, out):
    """Opening fails, or every way of extracting the one partition fails,
    writes no file and leaves the archive usable."""
    if at_open:
        with pytest.raises(error, match=message):
            kiv.DmgArchive.open(str(path))
        return
    with kiv.DmgArchive.open(str(path)) as image:
        (part,) = image.partitions
        for call in (lambda: image.extract_partition(part.id), lambda: image.extract_partition_to(part.id, str(out))):
            with pytest.raises(error, match=message):
                call()
        assert not out.exists() and image.partitions[0].id == part.id


# Each library error reaches Python as the class its variant maps to.
@pytest.mark.parametrize("offset, value, at_open, error, message", [
    (72, b"\xff", True, kiv.InvalidFormatError, r"^DMG error: checksum mismatch: expected 0x[0-9a-f]+, got 0x"),
    (0, b"MISH", True, kiv.InvalidFormatError, r"^DMG error: invalid block map: invalid mish magic: \[77, 73, 83, 72\]$"),
    (204, (3).to_bytes(4, "big"), True, kiv.UnsupportedError, r"^DMG error: unsupported compression type: 0x3$"),
    (200, (0xFFFFFFFF).to_bytes(4, "big"), True, kiv.IoError, r"^DMG error: I/O error: failed to fill whole buffer$"),
    (204, (0x80000004).to_bytes(4, "big"), False, kiv.UnsupportedError, r"^DMG error: unsupported: ADC compression$"),
    (204, (0x80000006).to_bytes(4, "big"), False, kiv.IoError, r"^DMG error: I/O error: "),
    (204, (0x80000007).to_bytes(4, "big"), False, kiv.DecompressionError, r"^DMG error: decompression error: lzfse "),
])
def test_errors_map_to_classes(tmp_path, offset, value, at_open, error, message):
    path = with_first_map(build_image(tmp_path, [("disk image (Apple_HFS : 1)", b"x" * 5000)]), offset, value)
    expect_failure(path, at_open, error, message, tmp_path / "out.img")


def test_open_errors(tmp_path):
    with pytest.raises(kiv.IoError, match=r"^DMG error: I/O error: No such file or directory \(os error 2\)$"):
        kiv.DmgArchive.open(str(tmp_path / "missing.dmg"))
    (tmp_path / "junk.dmg").write_bytes(bytes(4096))
    with pytest.raises(kiv.InvalidFormatError, match="^DMG error: invalid DMG magic: expected 'koly' trailer$"):
        kiv.DmgArchive.open(str(tmp_path / "junk.dmg"))
    with pytest.raises(TypeError):
        kiv.DmgArchive.open(tmp_path / "missing.dmg")


# Each compression name reaches the writer as its own method.
@pytest.mark.parametrize("compression, count", [("raw", "raw_blocks"), ("zlib", "zlib_blocks"),
                                                ("bzip2", "bzip2_blocks"), ("lzfse", "lzfse_blocks")])
def test_each_compression_name_writes_its_runs(tmp_path, compression, count):
    data = random.Random(2).randbytes(10_000)
    path = build_image(tmp_path, [("disk image (Apple_HFS : 1)", data), ("AT&T <disk>", b"x")],
                       compression=compression, chunk_size=4096)
    with kiv.DmgArchive.open(str(path)) as image:
        assert getattr(image.compression_info, count) == 4
        assert repr(image.partitions[1]) == 'PartitionInfo(name="AT&T <disk>", id=1, size=512, type="Other")'
        assert image.extract_partition(0) == data + bytes(240)


def test_builder_settings_and_errors(tmp_path):
    builder = kiv.DmgBuilder()
    assert (builder.compression, builder.compression_level, builder.chunk_size, builder.skip_checksums) == \
        ("zlib", 6, None, False)
    with pytest.raises(ValueError, match=r'^invalid compression "ZLIB": expected'):
        builder.compression = "ZLIB"
    assert builder.compression == "zlib"
    builder.compression_level = 10
    assert builder.compression_level == 10
    with pytest.raises(OverflowError):
        builder.compression_level = -1
    with pytest.raises(TypeError):
        builder.chunk_size = None
    builder.chunk_size = 0
    assert builder.chunk_size == 0
    with pytest.raises(TypeError):
        builder.skip_checksums = 1
    with pytest.raises(AttributeError):
        del builder.compression
    with pytest.raises(TypeError):
        builder.add_partition("x", bytearray(b"abc"))
    assert repr(builder) == 'DmgBuilder(compression="zlib", partitions=0)'
    # Each build writes what was added so far; the builder stays usable.
    builder.add_partition("disk image (Apple_HFS : 1)", b"a" * 10_000)
    builder.build(str(tmp_path / "one.dmg"))
    builder.add_partition("more", b"b" * 600)
    builder.skip_checksums = True
    builder.build(str(tmp_path / "two.dmg"))
    with kiv.DmgArchive.open(str(tmp_path / "one.dmg")) as one, kiv.DmgArchive.open(str(tmp_path / "two.dmg")) as two:
        assert len(one.partitions) == 1 and len(two.partitions) == 2
        assert two.extract_partition(1) == b"b" * 600 + bytes(424)
    with kiv.DmgArchive.open(str(build_image(tmp_path, [], compression="raw"))) as empty:
        assert (empty.stats.compression_ratio, empty.stats.space_savings) == (1.0, 0.0)
        with pytest.raises(kiv.FileNotFoundError, match="^DMG error: file not found: no partitions found$"):
            empty.extract_main_partition()


def test_closed_archive_and_exit(tmp_path):
    path = build_image(tmp_path, [("disk image (Apple_HFS : 1)", b"abc")])
    image = kiv.DmgArchive.open(str(path))
    assert repr(image) == "DmgArchive(open)"
    assert image.__enter__() is image
    assert image.__exit__(None, None, None) is False
    assert image.__exit__(None, None, None) is False
    assert image.__enter__() is image
    for call in (lambda: image.stats, lambda: image.partitions, lambda: image.extract_partition(0)):
        with pytest.raises(RuntimeError, match="^DmgArchive is closed$"):
            call()
    with pytest.raises(KeyError):
        with kiv.DmgArchive.open(str(path)):
            raise KeyError("propagates")


def test_concurrent_call_is_refused(tmp_path):
    data = random.Random(3).randbytes(1 << 20) * 48
    path = build_image(tmp_path, [("disk image (Apple_HFS : 1)", data)], compression="bzip2")
    image = kiv.DmgArchive.open(str(path))
    results = []
    worker = threading.Thread(target=lambda: results.append(len(image.extract_partition(0))))
    worker.start()
    seen = set()
    while worker.is_alive() and not seen:
        try:
            repr(image)
        except RuntimeError as e:
            seen.add(str(e))
            # The extraction holds the object exclusively: any other call fails at once.
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                image.extract_partition(0)
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                image.__exit__(None, None, None)
    worker.join()
    assert results == [len(data)]
    assert seen <= {"Already mutably borrowed"}
    assert repr(image) == "DmgArchive(open)"


def test_different_objects_decode_in_parallel_threads(tmp_path):
    data = random.Random(5).randbytes(1 << 20) * 6
    path = build_image(tmp_path, [("disk image (Apple_HFS : 1)", data)], chunk_size=256 * 1024)
    results = []

    def work():
        for _ in range(3):
            with kiv.DmgArchive.open(str(path)) as image:
                results.append(image.extract_partition(0) == data)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * 12
