// Archives made by GNU cpio and bsdtar, and archives of ours read by them.
#include <filesystem>
#include <map>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "helpers.hpp"
#include "testing/testing.hpp"

namespace fs = std::filesystem;

namespace {

using namespace pbzx_test;
using testing_util::run;
using testing_util::shell_quote;

struct Node {
    char kind;  // 'f', 'd', 'l'
    uint64_t size = 0;
    uint32_t perms = 0;
    std::string target;
};

// A tree with nested folders, empty files, links and files of several MiB.
std::map<std::string, Node> make_tree(const fs::path& root) {
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

    std::map<std::string, Node> nodes;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        std::string rel = e.path().lexically_relative(root).string();
        auto st = e.symlink_status();
        uint32_t perms = uint32_t(st.permissions()) & 07777;
        if (fs::is_symlink(st)) nodes[rel] = {'l', 0, perms, fs::read_symlink(e.path()).string()};
        else if (fs::is_directory(st)) nodes[rel] = {'d', 0, perms, {}};
        else nodes[rel] = {'f', uint64_t(fs::file_size(e.path())), perms, {}};
    }
    return nodes;
}

void check_listing(const std::vector<pbzx::FileEntry>& entries, const std::map<std::string, Node>& tree,
                   const std::string& label) {
    size_t matched = 0;
    for (const auto& e : entries) {
        std::string name = pbzx::cpio::normalize_cpio_path(e.path);
        if (name.empty()) continue;  // the "." entry
        auto it = tree.find(name);
        ASSERT_NE(it, tree.end()) << label << ": " << e.path;
        const Node& n = it->second;
        ++matched;
        EXPECT_EQ(e.is_dir, n.kind == 'd') << label << ": " << name;
        EXPECT_EQ(e.is_symlink, n.kind == 'l') << label << ": " << name;
        if (n.kind == 'f') {
            EXPECT_EQ(e.size, n.size) << label << ": " << name;
        }
        if (n.kind == 'l') {
            EXPECT_EQ(e.link_target, n.target) << label << ": " << name;
        } else {
            EXPECT_EQ(e.mode & 07777, n.perms) << label << ": " << name;
        }
    }
    EXPECT_EQ(matched, tree.size()) << label;
}

void check_extraction(const pbzx::Archive& archive, const std::vector<pbzx::FileEntry>& entries, const fs::path& source,
                      const std::map<std::string, Node>& tree, const fs::path& dest, const std::string& label) {
    auto stats = archive.extract_all(dest.string());
    ASSERT_TRUE(stats) << label << ": " << stats.error().message();
    pbzx::ExtractStats expected;
    for (const auto& [name, n] : tree) {
        fs::path out = dest / name;
        if (n.kind == 'd') {
            ++expected.dirs;
            EXPECT_TRUE(fs::is_directory(fs::symlink_status(out))) << label << ": " << name;
        } else if (n.kind == 'l') {
            ++expected.symlinks_skipped;
            EXPECT_FALSE(fs::exists(fs::symlink_status(out))) << label << ": " << name;
        } else {
            ++expected.files;
            expected.bytes += n.size;
            EXPECT_EQ(testing_util::read_bytes(out), testing_util::read_bytes(source / name)) << label << ": " << name;
            EXPECT_EQ(uint32_t(fs::status(out).permissions()) & 07777, n.perms) << label << ": " << name;
        }
    }
    // The archive's own "." entry counts as a directory too.
    for (const auto& e : entries)
        if (pbzx::cpio::normalize_cpio_path(e.path).empty()) ++expected.dirs;
    EXPECT_EQ(*stats, expected) << label;
}

TEST(CpioToolsTest, ArchivesFromGnuCpioAndBsdtar) {
    KIV_REQUIRE_TOOL("cpio");
    KIV_REQUIRE_TOOL("bsdtar");
    testing_util::ScratchDir scratch;
    fs::path src = scratch / "src";
    auto tree = make_tree(src);
    const std::pair<std::string, std::string> makers[] = {
        {"gnu-newc", "find . | cpio -o --quiet -H newc"},
        {"gnu-crc", "find . | cpio -o --quiet -H crc"},
        {"gnu-odc", "find . | cpio -o --quiet -H odc"},
        {"bsdtar-newc", "bsdtar --format newc -cf - ."},
        {"bsdtar-odc", "bsdtar --format odc -cf - ."},
    };
    for (const auto& [label, command] : makers) {
        fs::path archive_path = scratch / (label + ".cpio");
        auto made = run("cd " + shell_quote(src.string()) + " && " + command + " > " + shell_quote(archive_path.string()));
        ASSERT_EQ(made.status, 0) << label;
        auto archive = pbzx::Archive::from_cpio(testing_util::read_bytes(archive_path));
        auto entries = archive.list();
        ASSERT_TRUE(entries) << label << ": " << entries.error().message();
        check_listing(*entries, tree, label);

        // GNU cpio stores "a/b/big.bin", bsdtar "./a/b/big.bin".
        std::string stored = label.starts_with("gnu") ? "a/b/big.bin" : "./a/b/big.bin";
        auto big = archive.extract_file(stored);
        ASSERT_TRUE(big) << label;
        EXPECT_EQ(*big, testing_util::read_bytes(src / "a/b/big.bin"));

        check_extraction(archive, *entries, src, tree, scratch / ("out-" + label), label);

        // A subtree, with its prefix stripped.
        auto sub = archive.extract_path("./a/b", (scratch / ("sub-" + label)).string());
        ASSERT_TRUE(sub) << label;
        EXPECT_EQ(sub->files, 3u);
        EXPECT_EQ(sub->symlinks_skipped, 1u);
        EXPECT_EQ(testing_util::read_bytes(scratch / ("sub-" + label) / "c/random"),
                  testing_util::read_bytes(src / "a/b/c/random"));

        // The same archive carried in a PBZX stream decodes to the same bytes.
        fs::path pbzx_path = scratch / (label + ".pbzx");
        auto writer = pbzx::PbzxWriter::create(pbzx_path.string(), 1u << 20, 1);
        ASSERT_TRUE(writer);
        ASSERT_TRUE(writer->write_cpio(archive.data()));
        ASSERT_TRUE(writer->finish());
        auto decoded = pbzx::Archive::open(pbzx_path.string());
        ASSERT_TRUE(decoded) << label;
        EXPECT_EQ(decoded->data(), archive.data()) << label;
    }
}

TEST(CpioToolsTest, BuilderOutputReadsBackWithGnuCpioAndBsdtar) {
    KIV_REQUIRE_TOOL("cpio");
    KIV_REQUIRE_TOOL("bsdtar");
    testing_util::ScratchDir scratch;
    pbzx::CpioBuilder b;
    auto big = payload_like(2u << 20, 7);
    ASSERT_TRUE(b.add_directory("./usr", 0755));
    ASSERT_TRUE(b.add_directory("./usr/bin", 0750));
    ASSERT_TRUE(b.add_file("./usr/bin/tool", big, 0755));
    ASSERT_TRUE(b.add_file("./usr/bin/empty", {}, 0644));
    ASSERT_TRUE(b.add_file("./usr/odd name.txt", bytes("abc"), 0600));
    ASSERT_TRUE(b.add_symlink("./usr/bin/alias", "tool", 0777));
    fs::path archive = scratch / "built.cpio";
    testing_util::write_bytes(archive, b.finish());

    auto listed = run("bsdtar -tf " + shell_quote(archive.string()));
    EXPECT_EQ(listed.output, "./usr\n./usr/bin\n./usr/bin/tool\n./usr/bin/empty\n./usr/odd name.txt\n./usr/bin/alias\n");

    const std::pair<std::string, std::string> readers[] = {
        {"gnu", "cpio -idm --quiet < "},
        {"bsdtar", "bsdtar -xf "},
    };
    for (const auto& [label, command] : readers) {
        fs::path out = scratch / label;
        fs::create_directories(out);
        auto r = run("cd " + shell_quote(out.string()) + " && " + command + shell_quote(archive.string()) + " 2>&1");
        ASSERT_EQ(r.status, 0) << label << ": " << r.output;
        EXPECT_EQ(testing_util::read_bytes(out / "usr/bin/tool"), big) << label;
        EXPECT_EQ(fs::file_size(out / "usr/bin/empty"), 0u) << label;
        EXPECT_EQ(testing_util::read_bytes(out / "usr/odd name.txt"), bytes("abc")) << label;
        EXPECT_EQ(fs::read_symlink(out / "usr/bin/alias"), "tool") << label;
        EXPECT_EQ(uint32_t(fs::status(out / "usr/bin/tool").permissions()), 0755u) << label;
        EXPECT_EQ(uint32_t(fs::status(out / "usr/odd name.txt").permissions()), 0600u) << label;
    }
}

}  // namespace
