// Archives made by GNU cpio and bsdtar, and archives of ours read by them.
#include <filesystem>

#include <gtest/gtest.h>

#include "helpers.hpp"
#include "paths.hpp"
#include "testing/testing.hpp"

namespace fs = std::filesystem;

namespace {

using namespace pbzx_test;
using testing_util::read_bytes;
using testing_util::run;
using testing_util::shell_quote;

uint32_t perms_of(const fs::file_status& st) { return uint32_t(st.permissions()) & 07777; }

// A tree with nested folders, empty files, links, hard links and files of several MiB.
void make_tree(const fs::path& root) {
    fs::create_directories(root / "a/b/c");
    fs::create_directories(root / "empty dir");
    testing_util::write_text(root / "top.txt", "top level\n");
    testing_util::write_text(root / "a/empty", "");
    testing_util::write_bytes(root / "a/b/big.bin", payload_like(3u << 20, 1));
    testing_util::write_bytes(root / "a/b/c/random", testing_util::random_bytes(1234567, 2));
    testing_util::write_text(root / "a/b/c/script.sh", "#!/bin/sh\necho hi\n");
    fs::permissions(root / "a/b/c/script.sh", fs::perms(0755));
    fs::permissions(root / "top.txt", fs::perms(0600));
    fs::create_symlink("b/big.bin", root / "a/link-to-big");
    fs::create_symlink("../nowhere", root / "a/b/dangling");
    // Link sets: sorted, the last name (which newc writers give the data) lies outside a/b.
    fs::create_hard_link(root / "a/b/big.bin", root / "hard-big");
    fs::create_hard_link(root / "top.txt", root / "a/top-2");
    fs::create_hard_link(root / "top.txt", root / "a/b/c/top-3");
}

// Every member matches the source tree, and extract_all writes its files and folders (links skipped).
// Where the archive keeps link sets (newc), the names of one are hard links of one file.
void check_archive(const pbzx::Archive& archive, const fs::path& src, const fs::path& dest, bool link_sets = true) {
    auto entries = archive.list();
    ASSERT_TRUE(entries) << entries.error().message();
    auto stats = archive.extract_all(dest.string());
    pbzx::ExtractStats expected;
    ptrdiff_t listed = 0;
    for (const auto& e : *entries) {
        std::string name = pbzx::cpio::normalize_cpio_path(e.path);
        listed += !name.empty();  // the "." entry counts as a directory, but is not in the tree
        auto st = fs::symlink_status(src / name);
        ASSERT_TRUE(fs::exists(st)) << e.path;
        EXPECT_EQ(e.is_dir, fs::is_directory(st)) << name;
        EXPECT_EQ(e.is_symlink, fs::is_symlink(st)) << name;
        if (fs::is_symlink(st)) {
            EXPECT_EQ(e.link_target, fs::read_symlink(src / name).string()) << name;
            EXPECT_FALSE(fs::exists(fs::symlink_status(dest / name))) << name;
            ++expected.symlinks_skipped;
            continue;
        }
        EXPECT_EQ(e.mode & 07777, perms_of(st)) << name;
        if (fs::is_directory(st)) {
            EXPECT_TRUE(fs::is_directory(fs::symlink_status(dest / name))) << name;
            ++expected.dirs;
        } else {
            EXPECT_EQ(e.size, fs::file_size(src / name)) << name;
            EXPECT_EQ(read_bytes(dest / name), read_bytes(src / name)) << name;
            EXPECT_EQ(perms_of(fs::status(dest / name)), perms_of(st)) << name;
            EXPECT_EQ(*archive.extract_file(e.path), read_bytes(src / name)) << name;
            if (link_sets) EXPECT_EQ(fs::hard_link_count(dest / name), fs::hard_link_count(src / name)) << name;
            ++expected.files, expected.bytes += e.size;
        }
    }
    EXPECT_EQ(stats, expected);
    EXPECT_EQ(listed, std::distance(fs::recursive_directory_iterator(src), {}));
}

TEST(CpioToolsTest, ArchivesOfGnuCpioBsdtarAndOurBuilder) {
    KIV_REQUIRE_TOOL("cpio");
    KIV_REQUIRE_TOOL("bsdtar");
    testing_util::ScratchDir scratch;
    fs::path src = scratch / "src";
    make_tree(src);
    const std::pair<std::string, std::string> makers[] = {
        {"gnu-newc", "find . | sort | cpio -o --quiet -H newc"},
        {"gnu-crc", "find . | sort | cpio -o --quiet -H crc"},
        {"gnu-odc", "find . | sort | cpio -o --quiet -H odc"},
        {"bsdtar-newc", "bsdtar --format newc -cf - ."},
        {"bsdtar-odc", "bsdtar --format odc -cf - ."},
    };
    for (const auto& [label, command] : makers) {
        SCOPED_TRACE(label);
        fs::path archive_path = scratch / (label + ".cpio");
        ASSERT_EQ(run("cd " + shell_quote(src.string()) + " && " + command + " > " + shell_quote(archive_path.string())).status, 0);
        auto archive = pbzx::Archive::from_cpio(read_bytes(archive_path));
        check_archive(archive, src, scratch / ("out-" + label), !label.ends_with("odc"));

        // GNU cpio stores "a/b/big.bin", bsdtar "./a/b/big.bin".
        auto big = archive.extract_file(label.starts_with("gnu") ? "a/b/big.bin" : "./a/b/big.bin");
        ASSERT_TRUE(big);
        EXPECT_EQ(*big, read_bytes(src / "a/b/big.bin"));

        // A subtree, with its prefix stripped.
        auto sub = archive.extract_path("./a/b", (scratch / ("sub-" + label)).string());
        ASSERT_TRUE(sub);
        EXPECT_EQ(std::pair(sub->files, sub->symlinks_skipped), std::pair(uint64_t(4), uint64_t(1)));
        EXPECT_EQ(read_bytes(scratch / ("sub-" + label) / "c/random"), read_bytes(src / "a/b/c/random"));
        EXPECT_EQ(read_bytes(scratch / ("sub-" + label) / "big.bin"), read_bytes(src / "a/b/big.bin"));
    }

    // Our builder's archive of the tree: GNU cpio and bsdtar extract the tree, and what our reader lists.
    pbzx::CpioBuilder b;
    for (auto& e : fs::recursive_directory_iterator(src)) {
        auto name = "./" + e.path().lexically_relative(src).string();
        auto st = e.symlink_status();
        ASSERT_TRUE(fs::is_symlink(st)     ? b.add_symlink(name, fs::read_symlink(e.path()).string(), 0777)
                    : fs::is_directory(st) ? b.add_directory(name, 0170000 | perms_of(st))  // type bits are ignored
                                           : b.add_file(name, read_bytes(e.path()), perms_of(st)));
    }
    auto ours = pbzx::Archive::from_cpio(b.finish());
    testing_util::write_bytes(scratch / "ours.cpio", ours.data().to_vector());
    for (auto [label, command] : {std::pair("gnu", "cpio -idm --quiet < "), {"bsdtar", "bsdtar -xf "}}) {
        SCOPED_TRACE(label);
        fs::path out = scratch / label;
        fs::create_directories(out);
        auto r = run("cd " + shell_quote(out.string()) + " && " + command + shell_quote((scratch / "ours.cpio").string()) + " 2>&1");
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(run("diff -r --no-dereference " + shell_quote(src.string()) + " " + shell_quote(out.string())).status, 0);
        check_archive(ours, out, scratch / (std::string("ours-") + label), false);
    }
}

}  // namespace
