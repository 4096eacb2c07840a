// Containers made by macOS, checked against 7-Zip.
#include <gtest/gtest.h>

#include "apfs/apfs.hpp"
#include "support.hpp"

namespace {

using apfs::EntryKind;
using testing_util::shell_quote;
namespace fs = std::filesystem;

apfs::ApfsVolume open_file(const fs::path& path) {
    auto file = core::FileSource::open(path.string());
    if (!file) throw std::runtime_error("cannot open " + path.string());
    auto volume = apfs::ApfsVolume::open(std::make_unique<core::FileSource>(std::move(*file)));
    if (!volume) throw std::runtime_error(volume.error().message());
    return std::move(*volume);
}

TEST(RealApfsTest, FixtureAgreesWith7Zip) {
    auto path = KIV_REQUIRE_FIXTURE("apfs.raw");
    KIV_REQUIRE_TOOL("7zz");
    auto volume = open_file(path);
    EXPECT_EQ(volume.volume_name(), "apfs_test");
    EXPECT_EQ(volume.file_count(), 7u);
    EXPECT_EQ(volume.directory_count(), 2u);
    EXPECT_EQ(volume.symlink_count(), 1u);
    EXPECT_EQ(volume.block_size(), 4096u);
    apfs_test::expect_same_as_7zip(volume, path);
}

TEST(RealApfsTest, FixtureDetails) {
    auto path = KIV_REQUIRE_FIXTURE("apfs.raw");
    auto volume = open_file(path);
    std::vector<std::string> paths;
    auto walk = volume.walk();
    ASSERT_TRUE(walk);
    for (auto& e : *walk) paths.push_back(e.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"/passwords.txt", "/a_link", "/a_directory",
                                               "/a_directory/a_resourcefork", "/a_directory/another_file",
                                               "/a_directory/a_file", "/.fseventsd", "/.fseventsd/fseventsd-uuid",
                                               "/.fseventsd/000000001714941a", "/.fseventsd/000000001714941b"}));

    // The link keeps its target in an attribute: the listing, the walk and
    // stat all report the target's length without its NUL.
    auto link = volume.stat("a_link");
    ASSERT_TRUE(link);
    EXPECT_EQ(link->id, 20u);
    EXPECT_EQ(link->kind, EntryKind::Symlink);
    EXPECT_EQ(link->size, 24u);
    EXPECT_EQ(*volume.symlink_target(20), apfs_test::bytes_of("a_directory/another_file"));
    auto listing = volume.list_directory("/");
    ASSERT_TRUE(listing);
    for (auto& e : *listing)
        if (e.name == "a_link") {
            EXPECT_EQ(e.size, 24u);
        }

    auto file = volume.stat("/a_directory/a_file");
    EXPECT_EQ(file->size, 53u);
    EXPECT_EQ(file->mod_time / 1000000000, 1642144781u);  // 2022-01-14 07:19:41 UTC
    auto& src = volume.source();
    const auto& tree = volume.catalog_tree();
    EXPECT_EQ(**apfs::catalog::lookup_xattr(src, tree, file->id, "myxattr"),
              apfs_test::bytes_of("My extended attribute"));
    auto fork = volume.stat("a_directory/a_resourcefork");
    EXPECT_APFS_ERROR(apfs::catalog::lookup_xattr(src, tree, fork->id, "com.apple.ResourceFork"), Unsupported,
                      "unsupported: xattr is stored as a data stream, not embedded in the record");
    EXPECT_TRUE(volume.read_file("a_directory/a_resourcefork")->empty());
    EXPECT_APFS_ERROR(volume.list_directory("passwords.txt"), NotADirectory, "not a directory: passwords.txt");
}

TEST(RealApfsTest, OlderCheckpointInBlockZero) {
    // Put the oldest checkpoint's superblock (xid 1) in block 0: the newest
    // one of the descriptor area is chosen and the volume reads the same.
    auto raw = testing_util::read_bytes(KIV_REQUIRE_FIXTURE("apfs.raw"));
    core::MemorySource probe(raw);
    auto block0 = apfs::superblock::read_nxsb(probe);
    ASSERT_TRUE(block0);
    const uint64_t first = (block0->xp_desc_base + 1) * 4096;
    std::copy_n(raw.begin() + ptrdiff_t(first), 4096, raw.begin());
    core::MemorySource older(raw);
    auto old0 = apfs::superblock::read_nxsb(older);
    ASSERT_TRUE(old0);
    EXPECT_EQ(old0->header.xid, 1u);
    EXPECT_EQ(apfs::superblock::find_latest_nxsb(older, *old0)->header.xid, 4u);
    auto volume = apfs_test::open_volume(raw);
    EXPECT_EQ(volume.walk()->size(), 10u);
    EXPECT_EQ(volume.read_file("passwords.txt")->size(), 116u);
}

// The APFS partition of a real disk image, decoded by 7-Zip.
struct Partition {
    testing_util::ScratchDir dir;
    fs::path path;
};

std::unique_ptr<Partition> extract_partition(const fs::path& dmg) {
    auto p = std::make_unique<Partition>();
    p->path = p->dir / "partition.apfs";
    apfs_test::run_ok("7zz e -so -tdmg " + shell_quote(dmg.string()) + " 4.apfs > " + shell_quote(p->path.string()) +
                      " 2>/dev/null");
    return p;
}

TEST(RealApfsTest, SparkleImageAgreesWith7Zip) {
    auto dmg = KIV_REQUIRE_FIXTURE("real/sparkle/SparkleTestCodeSign_apfs_lzma_aux_files.dmg");
    KIV_REQUIRE_TOOL("7zz");
    auto part = extract_partition(dmg);
    auto volume = open_file(part->path);
    EXPECT_EQ(volume.volume_name(), "SparkleTest");
    EXPECT_EQ(volume.file_count() + volume.symlink_count(), 168u);
    EXPECT_EQ(volume.directory_count(), 72u);
    apfs_test::expect_same_as_7zip(volume, part->path);
    EXPECT_EQ(volume.walk()->size(), 240u);
}

TEST(RealApfsTest, HomebrewImageAgreesWith7Zip) {
    auto dmg = KIV_REQUIRE_FIXTURE("real/homebrew/container-apfs.dmg");
    KIV_REQUIRE_TOOL("7zz");
    auto part = extract_partition(dmg);
    auto volume = open_file(part->path);
    EXPECT_EQ(volume.volume_name(), "container-apfs");
    EXPECT_EQ(volume.file_count(), 1u);
    apfs_test::expect_same_as_7zip(volume, part->path);
    EXPECT_EQ(volume.stat("container")->size, 17u);
}

}  // namespace
