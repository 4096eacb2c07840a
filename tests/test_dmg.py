"""Disk images: opening real images, decoding partitions, writing images."""

import os
import random
import threading

import pytest

import kiv
from conftest import fixture_path, require_tool, run, sevenzip_partition

SECTOR = 512


def realistic_bytes(n: int, seed: int = 1) -> bytes:
    """Compressible but not trivial data: text lines, zero runs and noise."""
    rng = random.Random(seed)
    words = [b"volume", b"catalog", b"extent", b"installer", b"payload", b"\x00" * 64, b"kiv"]
    out = bytearray()
    while len(out) < n:
        choice = rng.random()
        if choice < 0.7:
            out += b" ".join(rng.choice(words) for _ in range(8)) + b"\n"
        elif choice < 0.85:
            out += bytes(rng.randrange(1, 3000))
        else:
            out += rng.randbytes(rng.randrange(1, 500))
    return bytes(out[:n])


def padded(data: bytes) -> bytes:
    return data + bytes(-len(data) % SECTOR)


# ---------------------------------------------------------------- real images

def test_hfsplus_zlib_image_partitions_and_stats():
    path = fixture_path("hfsplus_zlib.dmg")
    with kiv.DmgArchive.open(str(path)) as image:
        parts = image.partitions
        assert [(p.id, p.name) for p in parts] == [
            (-1, "Protective Master Boot Record (MBR : 0)"),
            (0, "GPT Header (Primary GPT Header : 1)"),
            (1, "GPT Partition Data (Primary GPT Table : 2)"),
            (2, " (Apple_Free : 3)"),
            (3, "disk image (Apple_HFS : 4)"),
            (4, "GPT Partition Data (Backup GPT Table : 5)"),
            (5, "GPT Header (Backup GPT Header : 6)"),
        ]
        hfs = parts[4]
        assert hfs.partition_type == "Hfs" and hfs.sectors == 3744 and hfs.size == 3744 * SECTOR
        assert {p.partition_type for p in parts[:4] + parts[5:]} == {"Other"}
        stats = image.stats
        assert stats.version == 4
        assert stats.sector_count == 3817
        assert stats.data_fork_length == 11984
        assert stats.partition_count == 7
        assert stats.compression_ratio == pytest.approx(stats.total_compressed / stats.total_uncompressed)
        assert repr(stats).startswith("DmgStats(partitions=7, ")
        info = image.compression_info
        assert info.zlib_blocks >= 1 and info.adc_blocks == 0
        data = image.extract_partition(3)
        assert data == sevenzip_partition(path, "4.hfs")
        assert image.extract_main_partition() == data
        assert image.extract_partition_by_name("disk image (Apple_HFS : 4)") == data
    assert repr(image) == "DmgArchive(closed)"


def test_master_checksum_is_verified(tmp_path):
    path = fixture_path("hfsplus_zlib.dmg")
    raw = bytearray(path.read_bytes())
    # The XML holds each block map in base64; change one byte of the first
    # map's checksum (bytes 72..75 of the map) by re-encoding it.
    import base64
    import re

    xml_start = 11984
    xml = raw[xml_start:xml_start + 7560].decode()
    match = re.search(r"<data>\s*([A-Za-z0-9+/=\s]+?)\s*</data>", xml)
    blob = bytearray(base64.b64decode("".join(match.group(1).split())))
    blob[72] ^= 0xFF
    encoded = base64.b64encode(bytes(blob)).decode()
    new_xml = xml[:match.start(1)] + encoded + xml[match.end(1):]
    # Keep the XML length unchanged so the trailer still points at it.
    assert len(new_xml) <= len(xml)
    new_xml = new_xml + " " * (len(xml) - len(new_xml))
    raw[xml_start:xml_start + 7560] = new_xml.encode()
    damaged = tmp_path / "damaged.dmg"
    damaged.write_bytes(bytes(raw))
    with pytest.raises(kiv.InvalidFormatError, match=r"^DMG error: checksum mismatch: expected 0x13be34b8, got 0x"):
        kiv.DmgArchive.open(str(damaged))


@pytest.mark.parametrize("relative, kind", [
    ("real/sparkle/SparkleTestCodeSignApp.dmg", "Hfs"),
    ("real/sparkle/SparkleTestCodeSign_apfs_lzma_aux_files.dmg", "Apfs"),
    ("real/homebrew/container.dmg", "Hfs"),
    ("real/homebrew/container-apfs.dmg", "Apfs"),
    ("real/plaso/spotlight.10.13.dmg", "Hfs"),
])
def test_real_images_decode_like_7zip(relative, kind):
    path = fixture_path(relative)
    listing = run("7zz", "l", "-tdmg", "-slt", path).stdout.decode() if require_tool("7zz") else ""
    names = [line[len("Path = "):] for line in listing.splitlines() if line.startswith("Path = ")][1:]
    with kiv.DmgArchive.open(str(path)) as image:
        parts = image.partitions
        main = max((p for p in parts if p.partition_type == kind), key=lambda p: p.sectors)
        data = image.extract_partition(main.id)
        assert len(data) == main.size
        expected = [n for n in names if n.split(".", 1)[-1].lower() in ("hfs", "apfs", "hfsx")]
        assert expected, listing
        assert data == sevenzip_partition(path, expected[0])


# Crafted images that once read past a buffer, overflowed the stack, or made
# extraction write or allocate without end.
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
    ("ubsan-lzfse-pointer-overflow.dmg", False, None, None),
])
def test_hostile_images_fail_cleanly(tmp_path, name, at_open, error, message):
    path = fixture_path("hostile/" + name)
    if at_open:
        with pytest.raises(error, match=message):
            kiv.DmgArchive.open(str(path))
        return
    out = tmp_path / "out.img"
    with kiv.DmgArchive.open(str(path)) as image:
        (part,) = image.partitions
        if error is None:
            assert image.extract_partition(part.id) == sevenzip_partition(path, "0.hfs")
            return
        with pytest.raises(error, match=message):
            image.extract_partition(part.id)
        with pytest.raises(error, match=message):
            image.extract_partition_to(part.id, str(out))
        assert not out.exists()


def test_encrypted_image_fails_cleanly():
    path = fixture_path("real/sparkle/SparkleTestCodeSignApp.enc.dmg")
    with pytest.raises(kiv.InvalidFormatError, match="^DMG error: invalid DMG magic: expected 'koly' trailer$"):
        kiv.DmgArchive.open(str(path))


# ---------------------------------------------------------------- bad input

def test_open_errors(tmp_path):
    with pytest.raises(kiv.IoError, match=r"^DMG error: I/O error: No such file or directory"):
        kiv.DmgArchive.open(str(tmp_path / "missing.dmg"))
    short = tmp_path / "short.dmg"
    short.write_bytes(b"koly")
    with pytest.raises(kiv.IoError, match="^DMG error: I/O error: "):
        kiv.DmgArchive.open(str(short))
    junk = tmp_path / "junk.dmg"
    junk.write_bytes(bytes(4096))
    with pytest.raises(kiv.InvalidFormatError, match="invalid DMG magic"):
        kiv.DmgArchive.open(str(junk))
    with pytest.raises(TypeError):
        kiv.DmgArchive.open(tmp_path / "missing.dmg")


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


def test_data_fork_checksum_mismatch(tmp_path):
    path = build_image(tmp_path, [("disk image (Apple_HFS : 1)", realistic_bytes(100_000))])
    raw = bytearray(path.read_bytes())
    raw[10] ^= 0x01
    path.write_bytes(bytes(raw))
    with pytest.raises(kiv.InvalidFormatError, match=r"^DMG error: checksum mismatch: expected 0x[0-9a-f]+, got 0x"):
        kiv.DmgArchive.open(str(path))


def test_lookup_errors_leave_archive_usable(tmp_path):
    path = build_image(tmp_path, [("disk image (Apple_HFS : 1)", b"hello")])
    with kiv.DmgArchive.open(str(path)) as image:
        with pytest.raises(kiv.FileNotFoundError, match="^DMG error: file not found: "):
            image.extract_partition(42)
        with pytest.raises(kiv.FileNotFoundError, match=r"^DMG error: file not found: nope$"):
            image.extract_partition_by_name("nope")
        with pytest.raises(OverflowError):
            image.extract_partition(2**31)
        with pytest.raises(TypeError):
            image.extract_partition("0")
        assert image.extract_partition(0) == padded(b"hello")


# ---------------------------------------------------------------- writing

@pytest.mark.parametrize("compression", ["raw", "zlib", "bzip2", "lzfse"])
def test_written_images_round_trip_and_7zip_agrees(tmp_path, compression):
    # Ends with data no coder can shrink: 7-Zip must still read every chunk.
    first = realistic_bytes(3 * 1024 * 1024 + 123, seed=2) + random.Random(9).randbytes(1024 * 1024 + 700)
    second = bytes(70_000) + b"tail"
    path = build_image(tmp_path, [("disk image (Apple_HFS : 1)", first), ("second & <odd> name", second)],
                       compression=compression, chunk_size=1 << 20)
    with kiv.DmgArchive.open(str(path)) as image:
        parts = image.partitions
        assert [p.name for p in parts] == ["disk image (Apple_HFS : 1)", "second & <odd> name"]
        assert [p.id for p in parts] == [0, 1]
        assert image.extract_partition(0) == padded(first)
        assert image.extract_partition(1) == padded(second)
        out = tmp_path / "main.img"
        image.extract_main_partition_to(str(out))
        assert out.read_bytes() == padded(first)
        info = image.compression_info
        counts = {"raw": info.raw_blocks, "zlib": info.zlib_blocks, "bzip2": info.bzip2_blocks,
                  "lzfse": info.lzfse_blocks}
        assert counts[compression] >= 3
        assert image.stats.sector_count == (len(padded(first)) + len(padded(second))) // SECTOR
    require_tool("7zz")
    test = run("7zz", "t", "-tdmg", path).stdout.decode()
    assert "Everything is Ok" in test and "WARNING" not in test.upper()
    listing = run("7zz", "l", "-tdmg", "-slt", path).stdout.decode()
    names = [line[len("Path = "):] for line in listing.splitlines() if line.startswith("Path = ")][1:]
    assert sevenzip_partition(path, names[0]) == padded(first)


def test_builder_settings_and_errors(tmp_path):
    builder = kiv.DmgBuilder()
    assert (builder.compression, builder.compression_level, builder.chunk_size, builder.skip_checksums) == \
        ("zlib", 6, None, False)
    assert repr(builder) == 'DmgBuilder(compression="zlib", partitions=0)'
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

    # Chunk size 0 is raised to the writer's minimum; level 10 is capped.
    builder.add_partition("disk image (Apple_HFS : 1)", b"a" * 10_000)
    builder.build(str(tmp_path / "one.dmg"))
    builder.add_partition("more", b"b" * 600)
    builder.build(str(tmp_path / "two.dmg"))
    with kiv.DmgArchive.open(str(tmp_path / "one.dmg")) as one, kiv.DmgArchive.open(str(tmp_path / "two.dmg")) as two:
        assert len(one.partitions) == 1 and len(two.partitions) == 2
        assert two.extract_partition(1) == padded(b"b" * 600)


def test_skip_checksums_and_empty_image(tmp_path):
    path = build_image(tmp_path, [("disk image (Apple_HFS : 1)", b"x" * 5000)], skip_checksums=True)
    with kiv.DmgArchive.open(str(path)) as image:
        assert image.extract_partition(0) == padded(b"x" * 5000)
    empty = build_image(tmp_path, [], compression="raw")
    with kiv.DmgArchive.open(str(empty)) as image:
        assert image.partitions == []
        assert image.stats.compression_ratio == 1.0 and image.stats.space_savings == 0.0
        assert "ratio=1.00" in repr(image.stats)
        with pytest.raises(kiv.FileNotFoundError, match="no partitions found"):
            image.extract_main_partition()


# ---------------------------------------------------------------- resource protocol

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
    data = realistic_bytes(48 * 1024 * 1024, seed=3)
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
    assert results == [len(padded(data))]
    assert seen <= {"Already mutably borrowed"}
    assert repr(image) == "DmgArchive(open)"


# ---------------------------------------------------------------- hand-made bad images

import bz2
import lzma
import zlib as _zlib

from udif_craft import block_map, image, one_partition, plist_xml, run_bytes


def open_crafted(tmp_path, data: bytes, name="crafted.dmg"):
    path = tmp_path / name
    path.write_bytes(data)
    return kiv.DmgArchive.open(str(path))


@pytest.mark.parametrize("block_type, stored, sectors, error, message", [
    (0x80000004, b"\x00" * 16, 1, kiv.UnsupportedError, r"^DMG error: unsupported: "),
    (0x80000005, b"not zlib at all", 1, kiv.IoError, r"^DMG error: I/O error: "),
    (0x80000006, b"BZh9 broken", 1, kiv.IoError, r"^DMG error: I/O error: "),
    (0x80000008, b"\xfd7zXZ\x00broken", 1, kiv.IoError, r"^DMG error: I/O error: "),
    (0x80000005, _zlib.compress(b"short"), 1, kiv.DecompressionError, r"^DMG error: decompression error: "),
    (0x80000007, b"bvx2garbage", 1, kiv.DecompressionError, r"^DMG error: decompression error: "),
])
def test_bad_runs_raise_by_variant(tmp_path, block_type, stored, sectors, error, message):
    with open_crafted(tmp_path, one_partition(block_type, stored, sectors)) as img:
        with pytest.raises(error, match=message):
            img.extract_partition(0)
        # Streamed and parallel decoding agree on the failure; the archive stays usable.
        with pytest.raises(error, match=message):
            img.extract_partition_to(0, str(tmp_path / "out.img"))
        assert img.partitions[0].id == 0


@pytest.mark.parametrize("coder", [
    (0x80000005, lambda d: _zlib.compress(d)),
    (0x80000006, lambda d: bz2.compress(d)),
    (0x80000008, lambda d: lzma.compress(d, format=lzma.FORMAT_XZ)),
])
def test_longer_runs_are_cut_at_the_declared_length(tmp_path, coder):
    block_type, encode = coder
    data = bytes(range(256)) * 8  # four sectors
    with open_crafted(tmp_path, one_partition(block_type, encode(data), 2)) as img:
        assert img.extract_partition(0) == data[:1024]


def test_unknown_block_type_and_plist_shapes(tmp_path):
    with pytest.raises(kiv.UnsupportedError, match=r"^DMG error: unsupported compression type: 0x3$"):
        open_crafted(tmp_path, one_partition(3, b"", 1))
    cases = [
        (b'<?xml version="1.0"?><plist version="1.0"><array/></plist>', "expected dictionary"),
        (b'<?xml version="1.0"?><plist version="1.0"><dict/></plist>', "missing resource-fork"),
        (b'<?xml version="1.0"?><plist version="1.0"><dict><key>resource-fork</key><dict/></dict></plist>',
         "missing blkx array"),
        (plist_xml([{"Name": "x"}]), "missing Data in blkx entry"),
        (b"this is not a property list", "plist parse error: "),
    ]
    for i, (xml, text) in enumerate(cases):
        with pytest.raises(kiv.InvalidFormatError, match=f"^DMG error: invalid plist: {text}"):
            open_crafted(tmp_path, image(b"", [], xml=xml), name=f"plist{i}.dmg")
    short_map = block_map([], 1)[:100]
    with pytest.raises(kiv.InvalidFormatError, match=r"^DMG error: invalid block map: mish data too short$"):
        open_crafted(tmp_path, image(b"", [{"Name": "x", "Data": short_map}]))
    bad_magic = b"MISH" + block_map([], 1)[4:]
    with pytest.raises(kiv.InvalidFormatError, match=r"invalid mish magic: \[77, 73, 83, 72\]$"):
        open_crafted(tmp_path, image(b"", [{"Name": "x", "Data": bad_magic}]))
    # A run count the data cannot hold is a short read, not a huge allocation.
    greedy = block_map([], 1)[:200] + (0xFFFFFFFF).to_bytes(4, "big")
    with pytest.raises(kiv.IoError, match="^DMG error: I/O error: failed to fill whole buffer$"):
        open_crafted(tmp_path, image(b"", [{"Name": "x", "Data": greedy}]))


def test_ids_attributes_and_names(tmp_path):
    runs = [run_bytes(0xFFFFFFFF, 0, 0, 0, 0)]
    entries = [
        {"Name": "a", "ID": "-1", "Attributes": "0x0050", "Data": block_map(runs, 0)},
        {"Name": "b", "ID": "4294967296", "Attributes": "80", "Data": block_map(runs, 0)},
        {"Name": "c", "ID": "x", "Attributes": "0X50", "Data": block_map(runs, 0)},
        {"Name": "", "CFName": "disk image (Apple_APFS : 4)", "ID": "7", "Data": block_map(runs, 0)},
        {"Name": "AT&amp;T &lt;disk&gt;", "ID": "+8", "Data": block_map(runs, 0)},
    ]
    with open_crafted(tmp_path, image(b"", entries)) as img:
        parts = img.partitions
        assert [(p.name, p.id) for p in parts] == [("a", -1), ("b", 0), ("c", 0),
                                                 ("disk image (Apple_APFS : 4)", 7), ("AT&T <disk>", 8)]
        assert parts[3].partition_type == "Apfs"
        assert img.extract_partition(-1) == b""
        assert repr(parts[4]) == 'PartitionInfo(name="AT&T <disk>", id=8, size=0, type="Other")'


def test_truncated_data_fork_fails_to_open(tmp_path):
    good = build_image(tmp_path, [("disk image (Apple_HFS : 1)", realistic_bytes(50_000))])
    raw = good.read_bytes()
    with pytest.raises(kiv.IoError, match="failed to fill whole buffer"):
        open_crafted(tmp_path, raw[:100] + raw[-512:], name="cut.dmg")


def test_different_objects_decode_in_parallel_threads(tmp_path):
    data = realistic_bytes(6 * 1024 * 1024, seed=5)
    path = build_image(tmp_path, [("disk image (Apple_HFS : 1)", data)], chunk_size=256 * 1024)
    failures = []

    def work():
        try:
            for _ in range(3):
                with kiv.DmgArchive.open(str(path)) as image:
                    assert image.extract_partition(0) == data
        except Exception as e:  # noqa: BLE001 - reported below
            failures.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
