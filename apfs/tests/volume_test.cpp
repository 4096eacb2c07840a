// Volume operations and file data over containers built at test time.
#include <gtest/gtest.h>

#include "apfs/apfs.hpp"
#include "container_builder.hpp"
#include "core/endian.hpp"
#include "support.hpp"

namespace {

using apfs::EntryKind;
using apfs::FileExtentRecord;
using apfs_test::ContainerBuilder;
using apfs_test::Extent;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7 + i / 4096);
    return b;
}

Bytes slice(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + ptrdiff_t(from), b.begin() + ptrdiff_t(from + n)); }

// A sink that refuses every write.
struct BrokenSink : core::ByteSink {
    core::IoResult<void> write_all(std::span<const uint8_t>) override {
        return core::io_fail(core::IoError::from_errno(28));
    }
};

TEST(ReadFileDataTest, ExtentsHolesAndOverlaps) {
    // Four blocks of distinct bytes.
    const Bytes disk = pattern(4 * 4096, 1);
    core::MemorySource src(disk);
    auto read = [&](std::vector<FileExtentRecord> extents, uint64_t size) {
        core::VecSink sink;
        auto n = apfs::extents::read_file_data(src, 4096, extents, size, sink);
        EXPECT_TRUE(n) << n.error().message();
        EXPECT_EQ(n.value_or(0), sink.data().size());
        return sink.take();
    };
    // One extent of 8192 bytes for a file of 10000: the output stops at 8192.
    EXPECT_EQ(read({{0, 8192, 1, 0}}, 10000), slice(disk, 4096, 8192));
    // The first extent starts at 4096: a hole of zeros first.
    auto holed = read({{4096, 4096, 2, 0}}, 8192);
    EXPECT_EQ(slice(holed, 0, 4096), Bytes(4096, 0));
    EXPECT_EQ(slice(holed, 4096, 4096), slice(disk, 8192, 4096));
    // Overlapping extents: the second continues 4096 bytes into itself.
    auto overlap = read({{4096, 8192, 2, 0}, {0, 8192, 0, 0}}, 12288);
    EXPECT_EQ(slice(overlap, 0, 8192), slice(disk, 0, 8192));
    EXPECT_EQ(slice(overlap, 8192, 4096), slice(disk, 3 * 4096, 4096));
    // Zero-length extents are skipped, the flag byte is ignored, extents are cut at the size.
    EXPECT_EQ(read({{0, 0, 3, 0}, {0, 0xAB00000000001000ull, 1, 0}}, 100), slice(disk, 4096, 100));
    // Equal logical addresses keep catalog order.
    EXPECT_EQ(read({{0, 4096, 2, 0}, {0, 4096, 1, 0}}, 4096), slice(disk, 8192, 4096));
    EXPECT_TRUE(read({{0, 4096, 1, 0}}, 0).empty());
    EXPECT_TRUE(read({}, 4096).empty());

    core::VecSink sink;
    EXPECT_APFS_ERROR(apfs::extents::read_file_data(src, 4096, {{0, 4096, 1ull << 60, 0}}, 4096, sink), CorruptedData,
                      "corrupted data: extent physical block 1152921504606846976 overflows the device address space");
    EXPECT_APFS_ERROR(apfs::extents::read_file_data(src, 4096, {{0, 8192, 3, 0}}, 8192, sink), Io,
                      "I/O error: failed to fill whole buffer");
    BrokenSink broken;
    EXPECT_APFS_ERROR(apfs::extents::read_file_data(src, 4096, {{0, 4096, 1, 0}}, 4096, broken), Io,
                      "I/O error: No space left on device (os error 28)");
}

// A container with enough files that both the catalog and the volume object
// map need index nodes, with multi-extent files and a symlink.
struct Sample {
    ContainerBuilder builder{ContainerBuilder::Options{4096, 4, "Sample Volume"}};
    Bytes image;
    Bytes multi = pattern(3 * 4096 + 500, 9);
    uint64_t dirs_id = 0;

    Sample() {
        auto top = builder.add_dir(ContainerBuilder::kRoot, "top");
        for (int d = 0; d < 6; ++d) {
            auto dir = builder.add_dir(top, "dir" + std::to_string(d));
            for (int f = 0; f < 25; ++f)
                builder.add_file(dir, "file" + std::to_string(f) + ".txt",
                                 pattern(size_t(f * 300 + d), uint8_t(f + d)));
        }
        builder.add_file(ContainerBuilder::kRoot, "empty", {});
        // Three extents, stored in catalog order 0, 8192, 4096 of logical order.
        builder.add_file_extents(ContainerBuilder::kRoot, "multi", multi.size(),
                                 {Extent{0, slice(multi, 0, 4096)}, Extent{4096, slice(multi, 4096, 4096)},
                                  Extent{8192, slice(multi, 8192, multi.size() - 8192)}});
        builder.add_symlink(top, "to_dir0", "dir0");
        image = builder.build();
    }
};

TEST(BuiltContainerTest, AgreesWith7Zip) {
    KIV_REQUIRE_TOOL("7zz");
    Sample s;
    const auto& layout = s.builder.layout();
    ASSERT_GT(layout.catalog_nodes.size(), 20u);
    ASSERT_GT(layout.volume_omap_nodes.size(), 5u);  // index nodes in both trees
    testing_util::ScratchDir dir;
    testing_util::write_bytes(dir / "sample.apfs", s.image);
    auto volume = apfs_test::open_volume(s.image);
    EXPECT_EQ(volume.volume_name(), "Sample Volume");
    EXPECT_EQ(volume.file_count(), 152u);
    EXPECT_EQ(volume.directory_count(), 7u);
    EXPECT_EQ(volume.symlink_count(), 1u);
    EXPECT_EQ(volume.block_size(), 4096u);
    apfs_test::expect_same_as_7zip(volume, dir / "sample.apfs");
    EXPECT_EQ(*volume.read_file("multi"), s.multi);

    // The same container read from a file.
    auto file = core::FileSource::open((dir / "sample.apfs").string());
    ASSERT_TRUE(file);
    auto from_file = apfs::ApfsVolume::open(std::make_unique<core::FileSource>(std::move(*file)));
    ASSERT_TRUE(from_file);
    EXPECT_EQ(*from_file->read_file("/top/dir5/file24.txt"), pattern(24 * 300 + 5, 29));
    EXPECT_EQ(from_file->walk()->size(), 160u);
}

TEST(BuiltContainerTest, SparseFilesReadHolesAsZeros) {
    // 7-Zip refuses files with gaps between extents, so this relies on the
    // builder checked above.
    ContainerBuilder b;
    Bytes data = pattern(4096, 3);
    b.add_file_extents(ContainerBuilder::kRoot, "sparse", 5 * 4096, {Extent{8192, data}});
    b.add_file_extents(ContainerBuilder::kRoot, "tail", 3 * 4096, {Extent{0, data}});
    auto volume = apfs_test::open_volume(b.build());
    auto sparse = volume.read_file("sparse");
    ASSERT_TRUE(sparse);
    Bytes expected(8192, 0);
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(*sparse, expected);  // nothing is added after the last extent
    EXPECT_EQ(volume.stat("sparse")->size, 5u * 4096);
    EXPECT_EQ(volume.read_file("tail")->size(), 4096u);
}

TEST(BuiltContainerTest, SixteenKiBBlocks) {
    ContainerBuilder b({16384, 0, "Sixteen"});
    const Bytes data = pattern(40000, 5);
    auto dir = b.add_dir(ContainerBuilder::kRoot, "d");
    b.add_file(dir, "big", data);
    auto volume = apfs_test::open_volume(b.build());
    EXPECT_EQ(volume.block_size(), 16384u);
    EXPECT_EQ(*volume.read_file("d/big"), data);
}

TEST(VolumeTest, ListingStatAndLinks) {
    ContainerBuilder b;
    auto docs = b.add_dir(ContainerBuilder::kRoot, "docs");
    auto readme = b.add_file(docs, "readme.txt", apfs_test::bytes_of("read me"));
    b.add_symlink(ContainerBuilder::kRoot, "nuls", std::string("docs/readme.txt\0", 16));
    auto bare = b.add_symlink(ContainerBuilder::kRoot, "bare", "");  // no target attribute
    auto volume = apfs_test::open_volume(b.build());

    for (const char* root : {"", "/", "//"}) {
        auto entries = volume.list_directory(root);
        ASSERT_TRUE(entries) << root;
        EXPECT_EQ(entries->size(), 3u) << root;
    }
    EXPECT_APFS_ERROR(volume.list_directory("docs/readme.txt/"), NotADirectory, "not a directory: docs/readme.txt/");
    EXPECT_APFS_ERROR(volume.list_directory("nowhere"), FileNotFound, "file not found: nowhere");

    auto st = volume.stat("/docs/readme.txt");
    ASSERT_TRUE(st);
    EXPECT_EQ(st->id, readme);
    EXPECT_EQ(st->size, 7u);
    EXPECT_EQ(st->kind, EntryKind::File);
    EXPECT_EQ(st->mode, 0100644);
    EXPECT_EQ(st->uid, 501u);
    EXPECT_EQ(st->gid, 20u);
    auto dir = volume.stat("docs");
    EXPECT_EQ(dir->kind, EntryKind::Directory);
    EXPECT_EQ(dir->nlink, 1u);  // the child count

    // The target is stored with two NULs: both are dropped everywhere.
    EXPECT_EQ(volume.stat("nuls")->size, 15u);
    EXPECT_EQ(*volume.read_file("nuls"), apfs_test::bytes_of("docs/readme.txt"));
    auto listing = volume.list_directory("/");
    ASSERT_TRUE(listing);
    for (auto& e : *listing)
        if (e.name == "nuls") {
            EXPECT_EQ(e.size, 15u);
        }
    core::VecSink sink;
    EXPECT_EQ(*volume.read_file_to("nuls", sink), 15u);
    EXPECT_EQ(sink.data(), apfs_test::bytes_of("docs/readme.txt"));
    // A symlink without its attribute reads like any inode without extents.
    EXPECT_FALSE(*volume.symlink_target(bare));
    EXPECT_EQ(volume.stat("bare")->size, 0u);
    EXPECT_TRUE(volume.read_file("bare")->empty());

    EXPECT_TRUE(volume.read_file("docs")->empty());
    EXPECT_EQ(*volume.read_file_to("docs", sink), 0u);
    BrokenSink broken;
    EXPECT_EQ(volume.read_file_to("docs/readme.txt", broken).error().kind(), apfs::ApfsError::Kind::Io);
    // The volume stays usable after failures.
    EXPECT_EQ(*volume.read_file("docs/readme.txt"), apfs_test::bytes_of("read me"));
}

TEST(VolumeTest, WalkOrderAndCycles) {
    ContainerBuilder b;
    auto a = b.add_dir(ContainerBuilder::kRoot, "a");
    auto bdir = b.add_dir(a, "b");
    b.add_dir(bdir, "c");
    auto walk = apfs_test::open_volume(b.build()).walk();
    ASSERT_TRUE(walk);
    std::vector<std::string> paths;
    for (auto& e : *walk) paths.push_back(e.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"/a", "/a/b", "/a/b/c"}));

    b.add_drec(bdir, "up", a, 4);  // a directory record leading back to /a
    EXPECT_APFS_ERROR(apfs_test::open_volume(b.build()).walk(), CorruptedData,
                      "corrupted data: directory cycle: inode " + std::to_string(a) + " reached again at /a/b/up");
}

TEST(VolumeTest, DeepNestingIsBounded) {
    ContainerBuilder b;
    uint64_t dir = ContainerBuilder::kRoot;
    for (size_t i = 0; i < apfs::ApfsVolume::kMaxWalkDepth + 1; ++i) dir = b.add_dir(dir, "d");
    auto walk = apfs_test::open_volume(b.build()).walk();
    ASSERT_FALSE(walk);
    EXPECT_EQ(walk.error().kind(), apfs::ApfsError::Kind::CorruptedData);
    EXPECT_NE(walk.error().message().find("nested deeper than 1024 levels"), std::string::npos);
}

TEST(VolumeTest, CheckpointsAndVolumeSlots) {
    // Block 0 holds an older checkpoint naming a stale volume superblock.
    ContainerBuilder::Options stale;
    stale.stale_block0 = true;
    ContainerBuilder b(stale);
    b.add_file(ContainerBuilder::kRoot, "f", apfs_test::bytes_of("x"));
    EXPECT_EQ(apfs_test::open_volume(b.build()).volume_name(), "Built");

    ContainerBuilder::Options second;
    second.volume_in_second_slot = true;
    ContainerBuilder b2(second);
    b2.add_file(ContainerBuilder::kRoot, "f", apfs_test::bytes_of("x"));
    auto image = b2.build();
    EXPECT_EQ(*apfs_test::open_volume(image).read_file("f"), apfs_test::bytes_of("x"));

    // Every volume id 0: no volume.
    for (uint64_t blk : {uint64_t(0), b2.layout().desc_base + 1}) {
        std::fill_n(&image[blk * 4096 + 184], 32, 0);
        ContainerBuilder::seal(&image[blk * 4096], 4096);
    }
    EXPECT_APFS_ERROR(apfs::ApfsVolume::open(apfs_test::memory(image)), NoVolume, "no volume found in container");
}

TEST(VolumeTest, DamagedObjects) {
    ContainerBuilder b;
    b.add_file(ContainerBuilder::kRoot, "f", apfs_test::bytes_of("x"));
    const Bytes image = b.build();
    const auto& layout = b.layout();
    auto with = [&](uint64_t blk, size_t at, uint32_t value) {
        Bytes copy = image;
        core::store_le32(&copy[blk * 4096 + at], value);
        return apfs::ApfsVolume::open(apfs_test::memory(copy));
    };
    // Volume superblocks are not checksummed, but their magic is checked.
    EXPECT_APFS_ERROR(with(layout.volume_superblock, 32, 0x11223344), InvalidMagic, "invalid magic: 0x11223344");
    // The container's object map names no such volume.
    EXPECT_APFS_ERROR(with(layout.container_omap_root, 56 + 4, 999), CorruptedData,
                      "corrupted data: OMAP lookup failed: OID 1026 not found");
    // Block 0 damaged: its checksum fails.
    EXPECT_APFS_ERROR(with(0, 2000, 1), InvalidChecksum, "invalid checksum");
    // A catalog root whose table lies beyond the block: opening reads no
    // catalog node, the first query fails.
    auto damaged = with(layout.catalog_root, 40, 0xFFFF);
    ASSERT_TRUE(damaged);
    EXPECT_APFS_ERROR(damaged->walk(), Io, "I/O error: failed to fill whole buffer");
    EXPECT_APFS_ERROR(damaged->stat("f"), Io, "I/O error: failed to fill whole buffer");
}

TEST(MkapfsTest, LabelComesBackAsVolumeName) {
    KIV_REQUIRE_TOOL("mkapfs");
    testing_util::ScratchDir dir;
    const auto image = (dir / "made.apfs").string();
    apfs_test::run_ok("truncate -s 512M " + testing_util::shell_quote(image) + " && mkapfs -L 'Kiv Label' " +
                      testing_util::shell_quote(image) + " >/dev/null 2>&1");
    auto file = core::FileSource::open(image);
    ASSERT_TRUE(file);
    auto volume = apfs::ApfsVolume::open(std::make_unique<core::FileSource>(std::move(*file)));
    ASSERT_TRUE(volume) << volume.error().message();
    EXPECT_EQ(volume->volume_name(), "Kiv Label");
    auto root = volume->list_directory("/");
    ASSERT_TRUE(root) << root.error().message();
    EXPECT_TRUE(root->empty());
    EXPECT_EQ(volume->stat("/")->kind, EntryKind::Directory);
    EXPECT_TRUE(volume->walk()->empty());
}

}  // namespace
