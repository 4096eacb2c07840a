// Volumes written by macOS, checked against 7-Zip's extraction of the same bytes.
#include <gtest/gtest.h>

#include "test_support.hpp"
#include "testing/testing.hpp"

namespace {

using hfs_test::expect_matches_seven_zip;
using hfsplus::EntryKind;
using Kind = hfsplus::HfsPlusError::Kind;

TEST(RealVolume, MacOsVolumeListsStatsAndReads) {
    auto path = KIV_REQUIRE_FIXTURE("hfsplus.raw");
    KIV_REQUIRE_TOOL("7zz");
    auto vol = hfs_test::open_file(path);
    EXPECT_FALSE(vol.header().is_hfsx);
    EXPECT_EQ(vol.header().block_size, 4096u);
    EXPECT_GE(expect_matches_seven_zip(vol, path), 7u);

    auto root = vol.list_directory("/");
    ASSERT_TRUE(root) << root.error();
    std::vector<std::string> names;
    for (auto& e : *root) names.push_back(e.name);
    // The private folder's four NUL units sort after everything else.
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), std::string("\0\0\0\0HFS+ Private Data", 21));
    EXPECT_EQ(names[names.size() - 2], "passwords.txt");
    auto priv = vol.stat("/" + names.back());
    ASSERT_TRUE(priv) << priv.error();
    EXPECT_EQ(priv->kind, EntryKind::Directory);

    // The symbolic link lists as Symlink and stats as File with its target's length.
    auto link = std::find_if(root->begin(), root->end(), [](auto& e) { return e.name == "a_link"; });
    ASSERT_NE(link, root->end());
    EXPECT_EQ(link->kind, EntryKind::Symlink);
    EXPECT_EQ(link->size, 24u);
    auto link_stat = vol.stat("/a_link");
    ASSERT_TRUE(link_stat);
    EXPECT_EQ(link_stat->kind, EntryKind::File);
    EXPECT_EQ(link_stat->size, 24u);
    EXPECT_EQ((link_stat->mode & 0xF000), 0xA000);
    auto target = vol.read_file("/a_link");
    ASSERT_TRUE(target);
    EXPECT_EQ(std::string(target->begin(), target->end()), "a_directory/another_file");

    auto rsrc = vol.stat("/a_directory/a_resourcefork");
    ASSERT_TRUE(rsrc);
    EXPECT_EQ(rsrc->size, 0u);
    EXPECT_EQ(rsrc->resource_fork_size, 17u);
    EXPECT_EQ(rsrc->data_fork_extents, 0u);

    auto root_stat = vol.stat("/");
    ASSERT_TRUE(root_stat);
    EXPECT_EQ(root_stat->kind, EntryKind::Directory);
    EXPECT_EQ(root_stat->id, 2u);
    EXPECT_EQ(root_stat->size, 0u);
    EXPECT_EQ(root_stat->data_fork_extents, 0u);

    // HFS+ names resolve in any case.
    auto upper = vol.stat("/A_DIRECTORY/A_File");
    ASSERT_TRUE(upper) << upper.error();
    auto lower = vol.stat("/a_directory/a_file");
    ASSERT_TRUE(lower);
    EXPECT_EQ(upper->id, lower->id);
    EXPECT_EQ(upper->data_fork_extents, 1u);

    // The volume name comes with the root record.
    auto resolved = hfsplus::catalog::resolve_path(vol.source(), vol.header(), vol.catalog_tree(), "///");
    ASSERT_TRUE(resolved);
    EXPECT_EQ(resolved->name, "hfsplus_test");

    auto missing = vol.read_file("/a_directory/nothing");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message(), "file not found: a_directory/nothing");
    auto folder = vol.read_file("/a_directory");
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error().message(), "not a directory: /a_directory");
}

TEST(RealVolume, SameResultsOverMemoryAndFile) {
    auto path = KIV_REQUIRE_FIXTURE("hfsplus.raw");
    auto from_file = hfs_test::open_file(path);
    auto from_memory = hfs_test::open_memory(testing_util::read_bytes(path));
    auto a = from_file.walk();
    auto b = from_memory.walk();
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->size(), b->size());
    for (size_t i = 0; i < a->size(); ++i) {
        EXPECT_EQ((*a)[i].path, (*b)[i].path);
        if ((*a)[i].entry.kind != EntryKind::Directory) {
            EXPECT_EQ(*from_file.read_file((*a)[i].path), *from_memory.read_file((*b)[i].path));
        }
    }
}

struct ImageCase {
    const char* fixture;
    size_t min_files;
};

class RealImage : public testing::TestWithParam<ImageCase> {};

TEST_P(RealImage, EveryEntryStatsReadsAndAgreesWithSevenZip) {
    auto path = KIV_REQUIRE_FIXTURE(GetParam().fixture);
    KIV_REQUIRE_TOOL("7zz");
    auto volume = hfs_test::hfs_partition_of_dmg(path);
    ASSERT_FALSE(volume.empty()) << "7-Zip found no HFS+ partition";
    testing_util::ScratchDir dir;
    auto raw = dir / "volume.hfs";
    testing_util::write_bytes(raw, volume);
    auto vol = hfs_test::open_memory(std::move(volume));
    EXPECT_GE(expect_matches_seven_zip(vol, raw), GetParam().min_files);
}

INSTANTIATE_TEST_SUITE_P(Images, RealImage,
                         testing::Values(ImageCase{"hfsplus_zlib.dmg", 4}, ImageCase{"real/sparkle/SparkleTestCodeSignApp.dmg", 150},
                                         ImageCase{"real/homebrew/container.dmg", 3},
                                         ImageCase{"real/plaso/spotlight.10.13.dmg", 59}),
                         [](const auto& info) {
                             std::string n = info.param.fixture;
                             n = n.substr(n.rfind('/') + 1);
                             n = n.substr(0, n.find('.'));
                             std::erase_if(n, [](char c) { return !isalnum((unsigned char)c); });
                             return n;
                         });

TEST(RealVolume, GoHfsplusVolume) {
    auto path = KIV_REQUIRE_FIXTURE("real/go-hfsplus/hfsplus.dmg.gz");
    KIV_REQUIRE_TOOL("7zz");
    testing_util::ScratchDir dir;
    auto raw = dir / "gotest.hfs";
    auto r = testing_util::run("gunzip -c " + testing_util::shell_quote(path.string()) + " > " +
                               testing_util::shell_quote(raw.string()));
    ASSERT_EQ(r.status, 0);
    auto vol = hfs_test::open_file(raw);
    EXPECT_GE(expect_matches_seven_zip(vol, raw), 5u);
    auto walk = vol.walk();
    ASSERT_TRUE(walk);
    uint64_t largest = 0;
    for (auto& w : *walk) largest = std::max(largest, w.entry.size);
    EXPECT_GT(largest, 200000u);  // the one file of 262 KB
}

}  // namespace
