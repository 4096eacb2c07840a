"""Disk images from Python: arguments, borrows, closing, reprs.

What the images hold and how they decode is the C++ suite's business."""

import os
import random
import stat
import struct
import subprocess
import sys
import threading

import pytest

import kiv
from builders import build_image, edit_block_maps
from conftest import fixture_path

HFS = "disk image (Apple_HFS : 1)"


def test_real_image_through_every_entry_point(tmp_path):
    with kiv.DmgArchive.open(str(fixture_path("hfsplus_zlib.dmg"))) as image:
        parts = image.partitions
        assert repr(parts[4]) == 'PartitionInfo(name="disk image (Apple_HFS : 4)", id=3, size=1916928, type="Hfs")'
        stats = image.stats
        assert (stats.version, stats.sector_count, stats.data_fork_length, stats.partition_count) == (4, 3817, 11984, 7)
        assert stats.compression_ratio == pytest.approx(stats.total_compressed / stats.total_uncompressed)
        assert stats.space_savings == pytest.approx((1 - stats.compression_ratio) * 100)
        assert repr(stats).startswith("DmgStats(partitions=7, ")
        assert image.compression_info.zlib_blocks >= 1 and image.compression_info.adc_blocks == 0
        data = image.extract_partition(3)
        assert len(data) == parts[4].size
        assert image.extract_main_partition() == data
        assert image.extract_partition_by_name("disk image (Apple_HFS : 4)") == data
        image.extract_partition_to(3, str(tmp_path / "by-id"))
        image.extract_main_partition_to(str(tmp_path / "main"))
        assert (tmp_path / "by-id").read_bytes() == (tmp_path / "main").read_bytes() == data
        # Failed lookups and refused arguments leave the archive usable.
        with pytest.raises(kiv.FileNotFoundError, match="^DMG error: file not found: partition 42$"):
            image.extract_partition(42)
        with pytest.raises(OverflowError):
            image.extract_partition(2**31)
        assert image.extract_partition(3) == data
    assert repr(image) == "DmgArchive(closed)"


def test_failed_extraction_writes_nothing(tmp_path):
    # An image whose one run fails to decode: no file is left behind, an existing one stays as it was, and
    # the archive stays usable.
    (tmp_path / "old.img").write_bytes(b"old")
    with kiv.DmgArchive.open(str(fixture_path("hostile/heap-overflow-lzfse-fse_in_checked_flush64.dmg"))) as image:
        (part,) = image.partitions
        for out in ("out.img", "old.img"):
            for call in (image.extract_partition, lambda id: image.extract_partition_to(id, str(tmp_path / out)),
                         lambda id: image.extract_main_partition_to(str(tmp_path / out))):
                with pytest.raises(kiv.DecompressionError, match="^DMG error: decompression error: lzfse decoded 0 bytes, expected 4096$"):
                    call(part.id)
        assert image.partitions[0].id == part.id
    assert [p.name for p in tmp_path.iterdir()] == ["old.img"] and (tmp_path / "old.img").read_bytes() == b"old"


def test_partitions_written_to_files_in_bounded_memory(tmp_path):
    # One zero run declaring 2 GiB: the file is a hole of that size, and the process stays small.
    sectors = (2 << 30) // 512
    def grow(_, runs):
        zero, end = (struct.unpack(">IIQQQQ", run) for run in runs)
        return sectors, [struct.pack(">IIQQQQ", *zero[:3], sectors, *zero[4:]),
                         struct.pack(">IIQQQQ", *end[:2], sectors, *end[3:])]
    image = edit_block_maps(build_image(tmp_path / "zero.dmg", [(HFS, bytes(4096))], compression="raw"), grow)
    for call in ("extract_partition_to(0, out)", "extract_main_partition_to(out)"):
        out = tmp_path / "zero.img"
        script = (f"import kiv, resource\nout = {str(out)!r}\nwith kiv.DmgArchive.open({str(image)!r}) as a: a.{call}\n"
                  "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)")
        peak_kib = int(subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True).stdout)
        assert peak_kib < 256 << 10, call
        assert out.stat().st_size == 2 << 30 and out.stat().st_blocks * 512 < 1 << 20
        out.unlink()


def test_partition_files_replace_what_the_path_names(tmp_path):
    # A link is followed to the file it names, which is replaced with its permission bits kept; a device
    # (a null device of our own, where we may make one) is written into, never replaced.
    image = build_image(tmp_path / "x.dmg", [(HFS, b"x" * 1024)])
    (tmp_path / "target.img").write_bytes(b"old")
    os.chmod(tmp_path / "target.img", 0o640)
    os.symlink("target.img", tmp_path / "link.img")
    names = ["link.img", "target.img", "x.dmg"]
    try:
        os.mknod(tmp_path / "null", 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        names.append("null")
    except PermissionError:
        pass
    with kiv.DmgArchive.open(str(image)) as a:
        a.extract_partition_to(0, str(tmp_path / "link.img"))
        if "null" in names:
            a.extract_main_partition_to(str(tmp_path / "null"))
            assert stat.S_ISCHR((tmp_path / "null").stat().st_mode)
    assert os.readlink(tmp_path / "link.img") == "target.img"
    assert (tmp_path / "target.img").read_bytes() == b"x" * 1024
    assert stat.S_IMODE((tmp_path / "target.img").stat().st_mode) == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(names)


def test_a_pipe_gets_what_memory_and_files_get(tmp_path):
    # Tables listing runs out of order, over each other or past the partition: a FIFO at the path gets the
    # bytes memory and a file get, or the same refusal and no bytes.
    original = build_image(tmp_path / "x.dmg", [(HFS, random.Random(7).randbytes(16384))], compression="raw",
                           chunk_size=4096).read_bytes()
    zero_fill = struct.pack(">IIQQQQ", 0, 0, 0, 32, 0, 0)
    edits = {"swapped": lambda s, runs: (s, [runs[1], runs[0], *runs[2:]]),
             "reversed": lambda s, runs: (s, runs[::-1]),
             "zero fill over data": lambda s, runs: (s, [zero_fill, *runs]),
             "listed twice": lambda s, runs: (s, [runs[0], *runs]),
             "fewer sectors": lambda s, runs: (s - 8, runs)}

    def outcome(call):
        try:
            return call()
        except kiv.KivError as e:
            return type(e), str(e)

    for name, edit in edits.items():
        (tmp_path / f"{name}.dmg").write_bytes(original)
        edited = edit_block_maps(tmp_path / f"{name}.dmg", edit)
        pipe, got = tmp_path / "pipe", []
        os.mkfifo(pipe)
        reader = threading.Thread(target=lambda: got.append(open(pipe, "rb").read()), daemon=True)
        reader.start()
        with kiv.DmgArchive.open(str(edited)) as a:
            memory = outcome(lambda: a.extract_partition(0))
            assert outcome(lambda: a.extract_partition_to(0, str(pipe))) == (None if isinstance(memory, bytes) else memory)
            reader.join(30)
            assert got == [memory if isinstance(memory, bytes) else b""], name
            if isinstance(memory, bytes):
                a.extract_partition_to(0, str(tmp_path / "file.img"))
                assert (tmp_path / "file.img").read_bytes() == memory
        os.unlink(pipe)


def test_partition_files_behind_long_names_and_dangling_links(tmp_path):
    # A name of 250 bytes (the hidden name beside it is cut to fit) and a link whose file is missing (the
    # file is made where it points, the link stays) both get the partition.
    image = build_image(tmp_path / "x.dmg", [(HFS, random.Random(3).randbytes(3000))])
    long_name = "é" * 125
    os.symlink("made.img", tmp_path / "dangling.img")
    with kiv.DmgArchive.open(str(image)) as a:
        data = a.extract_main_partition()
        for name in (long_name, "dangling.img"):
            a.extract_main_partition_to(str(tmp_path / name))
    assert (tmp_path / long_name).read_bytes() == (tmp_path / "made.img").read_bytes() == data
    assert os.readlink(tmp_path / "dangling.img") == "made.img"
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["dangling.img", long_name, "made.img", "x.dmg"])


def test_builder_settings_and_errors(tmp_path):
    builder = kiv.DmgBuilder()
    assert (builder.compression, builder.compression_level, builder.chunk_size, builder.skip_checksums) == \
        ("zlib", 6, None, False)
    with pytest.raises(ValueError, match=r"^invalid compression \"ZLIB\": expected 'raw', 'zlib', 'bzip2', or 'lzfse'$"):
        builder.compression = "ZLIB"
    builder.compression_level = 10
    assert (builder.compression, builder.compression_level) == ("zlib", 10)
    for name, value, error in (("compression_level", -1, OverflowError), ("chunk_size", None, TypeError),
                               ("skip_checksums", 1, TypeError)):
        with pytest.raises(error):
            setattr(builder, name, value)
    with pytest.raises(TypeError):
        builder.add_partition("x", bytearray(b"abc"))
    # A name the image's property list cannot carry is refused when added.
    with pytest.raises(ValueError, match=r'^invalid partition name "nul\\0x": U\+0000 at byte 3 is not a character XML 1\.0 allows$'):
        builder.add_partition("nul\x00x", b"abc")
    assert repr(builder) == 'DmgBuilder(compression="zlib", partitions=0)'
    # Each build writes what was added so far; the builder stays usable.
    builder.add_partition(HFS, b"a" * 10_000)
    builder.build(str(tmp_path / "one.dmg"))
    builder.add_partition("AT&T <disk>", b"b" * 600)  # names are escaped in the property list
    builder.skip_checksums = True
    builder.build(str(tmp_path / "two.dmg"))
    with kiv.DmgArchive.open(str(tmp_path / "two.dmg")) as two:
        assert repr(two.partitions[1]) == 'PartitionInfo(name="AT&T <disk>", id=1, size=1024, type="Other")'
        assert two.extract_partition(1) == b"b" * 600 + bytes(424)
    # Each compression name reaches the writer as its own method, cut at the chunk size.
    for compression in ("raw", "zlib", "bzip2", "lzfse"):
        path = build_image(tmp_path / "image.dmg", [(HFS, random.Random(2).randbytes(10_000))], compression, chunk_size=4096)
        with kiv.DmgArchive.open(str(path)) as image:
            assert getattr(image.compression_info, f"{compression}_blocks") == 3
    with kiv.DmgArchive.open(str(build_image(tmp_path / "empty.dmg", [], "raw"))) as empty:
        assert (empty.stats.compression_ratio, empty.stats.space_savings) == (1.0, 0.0)
        with pytest.raises(kiv.FileNotFoundError, match="^DMG error: file not found: no partitions found$"):
            empty.extract_main_partition()


# The extraction runs without the interpreter lock and holds the object
# exclusively: any other call on it fails at once instead of waiting.
def test_concurrent_call_is_refused_and_closing(tmp_path):
    data = random.Random(3).randbytes(1 << 20) * 48
    path = build_image(tmp_path / "image.dmg", [(HFS, data)], "bzip2")
    image = kiv.DmgArchive.open(str(path))
    results = []
    worker = threading.Thread(target=lambda: results.append(image.extract_partition(0) == data))
    worker.start()
    seen = set()
    while worker.is_alive() and not seen:
        try:
            repr(image)
        except RuntimeError as e:
            seen.add(str(e))
            for call in (lambda: image.extract_partition(0), lambda: image.__exit__(None, None, None)):
                with pytest.raises(RuntimeError, match="^Already borrowed$"):
                    call()
    worker.join()
    assert results == [True] and seen == {"Already mutably borrowed"}
    assert repr(image) == "DmgArchive(open)"
    # Closing twice, entering a closed object, and exceptions through the context.
    assert image.__enter__() is image
    assert image.__exit__(None, None, None) is False
    assert image.__exit__(None, None, None) is False
    assert image.__enter__() is image
    with pytest.raises(RuntimeError, match="^DmgArchive is closed$"):
        image.extract_partition(0)
    with pytest.raises(KeyError):
        with kiv.DmgArchive.open(str(path)):
            raise KeyError("propagates")


def test_different_objects_decode_in_parallel_threads(tmp_path):
    data = random.Random(5).randbytes(1 << 20) * 4
    path = build_image(tmp_path / "image.dmg", [(HFS, data)], chunk_size=256 * 1024)
    results = []

    def work():
        for _ in range(2):
            with kiv.DmgArchive.open(str(path)) as image:
                results.append(image.extract_partition(0) == data)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * 8
