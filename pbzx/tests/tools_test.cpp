// Archives made by GNU cpio and bsdtar or found in the wild, and archives of ours read by those tools.
#include <filesystem>
#include <set>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "helpers.hpp"
#include "paths.hpp"
#include "testing/testing.hpp"

using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

using namespace pbzx_test;
using testing_util::read_bytes;
using testing_util::shell_quote;

uint32_t perms_of(const fs::file_status& st) { return uint32_t(st.permissions()) & 07777; }

// Runs a shell command in `dir`, created first; its output.
std::string run_in(const fs::path& dir, const std::string& command) {
    fs::create_directories(dir);
    auto r = testing_util::run("cd " + shell_quote(dir.string()) + " && " + command + " 2>/dev/null");
    EXPECT_EQ(r.status, 0) << command;
    return r.output;
}

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

// The archive lists what GNU cpio lists, and every member matches the tree `ref` (its source, or what
// bsdtar extracts): kind, link target, mode, owner, size and data, read alone and written by
// extract_all (links skipped).  Where the archive keeps link sets (newc), the names of one are hard
// links of one file (GNU cpio stores a set's data once, with its last name).
void check_archive(const fs::path& file, const fs::path& ref, const fs::path& dest, bool link_sets = true) {
    auto archive = pbzx::Archive::from_cpio(read_bytes(file));
    auto entries = archive.list();
    ASSERT_TRUE(entries) << entries.error().message();
    std::string names;
    for (const auto& e : *entries) names += e.path + "\n";
    EXPECT_EQ(names, run_in(dest.parent_path(), "cpio -it --quiet < " + shell_quote(file.string())));
    auto stats = archive.extract_all(dest.string());
    pbzx::ExtractStats expected;
    for (const auto& e : *entries) {
        std::string name = pbzx::cpio::normalize_cpio_path(e.path);
        name.erase(0, name.find_first_not_of('/'));
        SCOPED_TRACE(name);
        struct stat owner {};
        ASSERT_EQ(::lstat((ref / name).c_str(), &owner), 0);
        auto st = fs::symlink_status(ref / name);
        EXPECT_EQ(std::tie(e.is_dir, e.is_symlink, e.uid, e.gid),
                  std::make_tuple(fs::is_directory(st), fs::is_symlink(st), owner.st_uid, owner.st_gid));
        if (fs::is_symlink(st)) {
            EXPECT_EQ(e.link_target, fs::read_symlink(ref / name).string());
            EXPECT_FALSE(fs::exists(fs::symlink_status(dest / name)));
            ++expected.symlinks_skipped;
            continue;
        }
        EXPECT_EQ(e.mode & 07777, perms_of(st));
        if (fs::is_directory(st)) {
            EXPECT_TRUE(fs::is_directory(fs::symlink_status(dest / name)));
            ++expected.dirs;
            continue;
        }
        EXPECT_EQ(e.size, fs::file_size(ref / name));
        EXPECT_EQ(read_bytes(dest / name), read_bytes(ref / name));
        EXPECT_EQ(*archive.extract_file(e.path), read_bytes(ref / name));
        EXPECT_EQ(perms_of(fs::status(dest / name)), perms_of(st));
        if (link_sets) {
            EXPECT_EQ(fs::hard_link_count(dest / name), fs::hard_link_count(ref / name));
        }
        ++expected.files, expected.bytes += e.size;
    }
    EXPECT_EQ(stats, expected);
}

// Every real archive in a text format agrees with the tools, the CPIO data of a payload made by
// pkgbuild included.  Binary cpio has no text magic: it is refused before anything is extracted.  A
// symbolic link named "TRAILER!!!" ends the archive before its 128 KiB target is read.
TEST(CpioToolsTest, RealArchivesAgreeWithTheTools) {
    KIV_REQUIRE_TOOL("cpio");
    KIV_REQUIRE_TOOL("bsdtar");
    auto root = KIV_REQUIRE_FIXTURE("real");
    testing_util::ScratchDir scratch;
    std::vector<fs::path> files = {scratch / "pkgbuild.cpio"};
    auto payload = pbzx::Archive::open((root / "libarchive/PR2857_pkgbuild_latest_Payload.pbzx").string());
    ASSERT_TRUE(payload);
    testing_util::write_bytes(files[0], payload->data().to_vector());
    for (auto& e : fs::recursive_directory_iterator(root.parent_path()))
        if (e.path().string().find("hostile") == std::string::npos && e.path().string().find("bad_long_value") == std::string::npos &&
            std::set<std::string>{".cpio", ".newc", ".crc", ".bin"}.contains(e.path().extension()))
            files.push_back(e.path());
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i]);
        auto dir = scratch / std::to_string(i);
        if (auto data = read_bytes(files[i]); text(data).starts_with("07070") && !files[i].string().contains("symlink_trailer")) {
            run_in(dir / "ref", "bsdtar -xf " + shell_quote(files[i].string()));
            check_archive(files[i], dir / "ref", dir / "out");
        } else {
            auto archive = pbzx::Archive::from_cpio(data);
            if (text(data).starts_with("07070")) {
                EXPECT_EQ(archive.list(), std::vector<pbzx::FileEntry>{});
                EXPECT_EQ(archive.extract_all((dir / "out").string()), pbzx::ExtractStats{});
                EXPECT_TRUE(fs::is_empty(dir / "out"));
            } else {
                for (std::string message : {error_of(archive.list()), error_of(archive.extract_all((dir / "out").string()))})
                    EXPECT_TRUE(message.starts_with("Invalid CPIO archive: Invalid CPIO magic at offset 0: ")) << message;
                EXPECT_FALSE(fs::exists(dir / "out"));
            }
        }
    }
    EXPECT_GE(files.size(), 20u);
}

TEST(CpioToolsTest, ArchivesOfGnuCpioBsdtarAndOurBuilder) {
    KIV_REQUIRE_TOOL("cpio");
    KIV_REQUIRE_TOOL("bsdtar");
    testing_util::ScratchDir scratch;
    fs::path src = scratch / "src";
    make_tree(src);
    for (std::string format : {"newc", "crc", "odc"}) {
        for (auto [maker, command] : {std::pair("gnu"s, "cpio -o --quiet -H "), {"bsdtar"s, "bsdtar -cnf - -T - --format "}}) {
            if (format == "crc" && maker == "bsdtar") continue;
            auto label = maker + format;
            SCOPED_TRACE(label);
            run_in(src, "find . | sort | "s + command + format + " > " + shell_quote((scratch / label).string()));
            check_archive(scratch / label, src, scratch / ("out-" + label), format != "odc");
        }
    }
    // Our builder's archive of the tree: GNU cpio and bsdtar extract the tree.
    pbzx::CpioBuilder b;
    for (auto& e : fs::recursive_directory_iterator(src)) {
        auto name = "./" + e.path().lexically_relative(src).string();
        auto st = e.symlink_status();
        ASSERT_TRUE(fs::is_symlink(st)     ? b.add_symlink(name, fs::read_symlink(e.path()).string(), 0777)
                    : fs::is_directory(st) ? b.add_directory(name, 0170000 | perms_of(st))  // type bits are ignored
                                           : b.add_file(name, read_bytes(e.path()), perms_of(st)));
    }
    testing_util::write_bytes(scratch / "ours.cpio", b.finish());
    for (auto [label, command] : {std::pair("gnu", "cpio -idm --quiet < "), {"bsdtar", "bsdtar -xf "}}) {
        SCOPED_TRACE(label);
        run_in(scratch / label, command + shell_quote((scratch / "ours.cpio").string()));
        EXPECT_EQ(testing_util::run("diff -r --no-dereference " + shell_quote(src.string()) + " " + shell_quote((scratch / label).string())).status, 0);
    }
}

}  // namespace
