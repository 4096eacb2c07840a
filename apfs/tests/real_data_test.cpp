// Containers made by macOS, checked against 7-Zip.
#include "support.hpp"

namespace {

using namespace apfs_test;
namespace fs = std::filesystem;

TEST(RealApfsTest, FixtureOrderTimesAndAttributes) {
    auto path = KIV_REQUIRE_FIXTURE("apfs.raw");
    auto volume = open_file(path);
    // The walk in catalog order, each directory before its contents.
    auto walk = volume.walk();
    std::vector<std::string> paths;
    for (auto& e : *walk) paths.push_back(e.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"/passwords.txt", "/a_link", "/a_directory",
                                               "/a_directory/a_resourcefork", "/a_directory/another_file",
                                               "/a_directory/a_file", "/.fseventsd", "/.fseventsd/fseventsd-uuid",
                                               "/.fseventsd/000000001714941a", "/.fseventsd/000000001714941b"}));
    EXPECT_EQ(volume.stat("/a_directory/a_file")->mod_time / 1000000000, 1642144781u);  // 2022-01-14 07:19:41 UTC
    EXPECT_EQ(**volume.read_xattr("a_directory/a_file", "myxattr"), bytes_of("My extended attribute"));
    EXPECT_FALSE(*volume.read_xattr("a_directory/a_file", "com.apple.ResourceFork"));
    // The resource fork lives in a data stream: the record alone does not
    // hold it, and the file's own data is empty.
    core::MemorySource src(testing_util::read_bytes(path));
    const auto tree = apfs::superblock::open_first_volume(src).value().catalog;
    EXPECT_EQ(outcome(apfs::catalog::lookup_xattr(src, tree, volume.stat("a_directory/a_resourcefork")->id,
                                                  "com.apple.ResourceFork")),
              "unsupported: xattr is stored as a data stream, not embedded in the record");
    EXPECT_TRUE(volume.read_file("a_directory/a_resourcefork")->empty());

    // The resource fork, in a data stream of its own, as 7-Zip reads it.
    KIV_REQUIRE_TOOL("7zz");
    testing_util::ScratchDir dir;
    run_ok("7zz x -sns -y -o" + testing_util::shell_quote(dir.path().string()) + " " +
           testing_util::shell_quote(path.string()) + " a_directory/a_resourcefork >/dev/null 2>&1");
    EXPECT_EQ(**volume.read_xattr("a_directory/a_resourcefork", "com.apple.ResourceFork"),
              testing_util::read_bytes(dir / "a_directory/a_resourcefork:com.apple.ResourceFork"));
}

TEST(RealApfsTest, OlderCheckpointInBlockZero) {
    // With the oldest checkpoint's superblock (xid 1) in block 0, the newest
    // one of the checkpoint area is chosen and the volume reads the same.
    auto raw = testing_util::read_bytes(KIV_REQUIRE_FIXTURE("apfs.raw"));
    const uint64_t first = (apfs::NxSuperblock::parse(raw)->xp_desc_base + 1) * 4096;
    std::copy_n(raw.begin() + ptrdiff_t(first), 4096, raw.begin());
    core::MemorySource older(raw);
    auto old0 = apfs::superblock::read_nxsb(older);
    ASSERT_EQ(old0->header.xid, 1u);
    EXPECT_EQ(apfs::superblock::find_latest_nxsb(older, *old0)->header.xid, 4u);
    auto volume = open_volume(raw);
    EXPECT_EQ(volume.walk()->size(), 10u);
    EXPECT_EQ(volume.read_file("passwords.txt")->size(), 116u);
}

// A bare container and the APFS partitions of real disk images (extracted
// by 7-Zip first), their counts and files as 7-Zip reads them.
TEST(RealApfsTest, ContainersAgreeWith7Zip) {
    KIV_REQUIRE_TOOL("7zz");
    const std::tuple<const char*, const char*, uint64_t, uint64_t, uint64_t, size_t> images[] = {
        {"apfs.raw", "apfs_test", 7, 2, 1, 10},
        {"real/sparkle/SparkleTestCodeSign_apfs_lzma_aux_files.dmg", "SparkleTest", 161, 72, 7, 240},
        {"real/homebrew/container-apfs.dmg", "container-apfs", 1, 0, 0, 1}};
    for (const auto& [fixture, name, files, dirs, symlinks, walked] : images) {
        testing_util::ScratchDir dir;
        fs::path path = KIV_REQUIRE_FIXTURE(fixture);
        if (path.extension() == ".dmg") {
            run_ok("7zz e -so -tdmg " + testing_util::shell_quote(path.string()) + " 4.apfs > " +
                   testing_util::shell_quote((dir / "partition.apfs").string()) + " 2>/dev/null");
            path = dir / "partition.apfs";
        }
        auto volume = open_file(path);
        EXPECT_EQ(std::tuple(volume.volume_name(), volume.file_count(), volume.directory_count(),
                             volume.symlink_count(), volume.walk()->size()),
                  std::tuple(name, files, dirs, symlinks, walked));
        expect_same_as_7zip(volume, path);
    }
}

}  // namespace
