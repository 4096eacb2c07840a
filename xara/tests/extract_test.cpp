// Subtree extraction: selection, order, counts and never writing outside the destination.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "support.hpp"
#include "testing/testing.hpp"

using namespace xara_test;
namespace fs = std::filesystem;
using Tree = std::set<std::string>;

namespace {

xara::XarArchive open_toc(const std::string& body, std::string_view heap = "X") {
    auto a = open_bytes(make_xar(toc_doc(body), bytes_of(heap)));
    EXPECT_TRUE(a) << a.error().message();
    return std::move(*a);
}

// Every path below root, relative, with a trailing '/' for directories.
Tree tree(const fs::path& root) {
    Tree out;
    if (!fs::exists(root)) return out;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        out.insert(fs::relative(e.path(), root).string() + (e.is_directory() ? "/" : ""));
    }
    return out;
}

// The counts as "Nf Nd Ns Nb", or the error text.
std::string extract(xara::XarArchive& a, std::string_view prefix, const fs::path& dest) {
    auto s = a.extract_path(prefix, dest.string());
    if (!s) return s.error().message();
    return std::to_string(s->files) + "f " + std::to_string(s->dirs) + "d " + std::to_string(s->symlinks_skipped) + "s " +
           std::to_string(s->bytes) + "b";
}

}  // namespace

TEST(Extract, PrefixSelectsASubtreeAndStripsIt) {
    // a/ { z "zz", b/ { c "ccc" }, l -> ../z }, top "t", ab/ { x "x" }, empty (no data)
    const std::string body = dir("a", stored("z", 0, 2) + dir("b", stored("c", 2, 3)) + symlink_xml("l", "../z")) +
                             stored("top", 5, 1) + dir("ab", stored("x", 6, 1)) + file_xml("empty", "file");
    const Tree all = {"a/", "a/z", "a/b/", "a/b/c", "top", "ab/", "ab/x", "empty"};
    const std::vector<std::tuple<std::string, std::string, Tree>> rows = {
        {"", "5f 3d 1s 7b", all},
        {"/", "5f 3d 1s 7b", all},
        {"//", "5f 3d 1s 7b", all},
        {"/a/", "2f 2d 1s 5b", {"z", "b/", "b/c"}},  // a itself counts once; "ab" is not below "a"
        {"a/b/c", "0f 0d 0s 0b", {}},
        {"a/b/nothing", "0f 0d 0s 0b", {}},
    };
    for (const auto& [prefix, stats, expected] : rows) {
        SCOPED_TRACE(prefix);
        auto a = open_toc(body, "zzccctx");
        testing_util::ScratchDir scratch;
        const fs::path out = scratch / "deep/new/out";  // missing ancestors are made
        EXPECT_EQ(extract(a, prefix, out), stats);
        EXPECT_EQ(tree(out), expected);
        EXPECT_TRUE(fs::is_directory(out));
        if (expected.contains("a/b/c")) {
            EXPECT_EQ(text_of(testing_util::read_bytes(out / "a/b/c")), "ccc");
        }
    }
}

TEST(Extract, ParentsAndSubdirectoriesComeFirst) {
    // a/z cannot be decoded: by then a, a/b and a/b/c must already be on disk.
    auto a = open_toc(dir("a", file_xml("z", "file", data_xml(0, 3, 9, "application/zlib")) + dir("b", stored("c", 3, 1))), "xyzC");
    testing_util::ScratchDir scratch;
    EXPECT_EQ(extract(a, "", scratch / "out"), "decompression failed: zlib: incorrect header check");
    EXPECT_EQ(tree(scratch / "out"), (Tree{"a/", "a/b/", "a/b/c", "a/z"}));  // a/z left partial
}

TEST(ExtractSafety, PathAttacksStopTheExtractionInsideTheDestination) {
    const std::string b64 = "<file><name enctype=\"base64\">";
    const std::string rest = "</name><type>file</type>" + data_xml(0, 1, 1, "application/octet-stream") + "</file>";
    const std::vector<std::pair<std::string, std::string>> rows = {
        {dir("..", stored("x", 0, 1)), "invalid path: path traversal detected: .."},
        {dir("ok", stored("..", 0, 1)), "invalid path: path traversal detected: ok/.."},
        {b64 + "Li4vLi4vZXNjYXBl" + rest, "invalid path: path traversal detected: ../../escape"},
        {dir("a/../../up"), "invalid path: path traversal detected: a/../../up"},
        {symlink_xml("..", "/etc/passwd"), "invalid path: path traversal detected: .."},
        {dir("d", symlink_xml("..", "x")), "invalid path: path traversal detected: d/.."},
        {stored(".", 0, 1), "invalid path: empty path after sanitization: ."},
        {file_xml("/", "file"), "invalid path: empty path after sanitization: /"},
        {b64 + "YQBi" + rest, std::string("invalid path: path contains a NUL byte: a\0b", 43)},
    };
    for (const auto& [body, message] : rows) {
        SCOPED_TRACE(body);
        auto a = open_toc(body);
        testing_util::ScratchDir scratch;
        EXPECT_EQ(extract(a, "", scratch / "out"), message);
        for (const auto& p : tree(scratch.path())) EXPECT_TRUE(p.starts_with("out/")) << p;
    }
    // Absolute names and dots that are no parent stay inside; symbolic links are never created.
    auto a = open_toc(stored("/tmp/abs", 0, 1) + stored("..x", 0, 1) + symlink_xml("evil", "/") +
                      dir("d", symlink_xml("up", "../../..")));
    testing_util::ScratchDir scratch;
    EXPECT_EQ(extract(a, "", scratch / "out"), "2f 1d 2s 2b");
    EXPECT_EQ(tree(scratch / "out"), (Tree{"tmp/", "tmp/abs", "..x", "d/"}));
}

TEST(ExtractErrors, FileSystemFailuresAreIo) {
    testing_util::ScratchDir scratch;
    testing_util::write_text(scratch / "file", "x");
    auto a = open_toc(stored("x", 0, 1));
    EXPECT_EQ(extract(a, "", scratch / "file"), "I/O error: File exists (os error 17)");
    // A file entry and a directory entry of the same path: the directory comes first.
    auto clash = open_toc(stored("x", 0, 1) + dir("x", stored("y", 0, 1)));
    EXPECT_EQ(extract(clash, "", scratch / "out"), "I/O error: Is a directory (os error 21)");
    // A symbolic link where a file goes is not written through.
    fs::create_directories(scratch / "linked");
    fs::create_symlink(scratch / "file", scratch / "linked/x");
    EXPECT_EQ(extract(a, "", scratch / "linked"), "I/O error: Too many levels of symbolic links (os error 40)");
    EXPECT_EQ(testing_util::read_bytes(scratch / "file"), std::vector<uint8_t>{'x'});
}
