// Subtree extraction: selection, order, counts and never writing outside the destination.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "support.hpp"
#include "testing/testing.hpp"

using namespace xara_test;
namespace fs = std::filesystem;

namespace {

std::string stored(std::string_view name, size_t offset, size_t len, std::string_view inner = {}) {
    return "<file><name>" + std::string(name) + "</name><type>file</type>" +
           data_xml(offset, len, len, "application/octet-stream") + std::string(inner) + "</file>";
}
std::string dir(std::string_view name, std::string_view inner) {
    return "<file><name>" + std::string(name) + "</name><type>directory</type>" + std::string(inner) + "</file>";
}
std::string symlink_xml(std::string_view name, std::string_view target) {
    return "<file><name>" + std::string(name) + "</name><type>symlink</type><link>" + std::string(target) + "</link></file>";
}

// a/ { z (file "zz"), b/ { c (file "ccc") }, l -> ../z }, top (file "t"), ab/ { x (file "x") }
xara::XarArchive sample() {
    const std::string heap = "zzccctx";
    auto a = open_bytes(make_xar(
        toc_doc(dir("a", stored("z", 0, 2) + dir("b", stored("c", 2, 3)) + symlink_xml("l", "../z")) + stored("top", 5, 1) +
                dir("ab", stored("x", 6, 1))),
        bytes_of(heap)));
    EXPECT_TRUE(a) << a.error().message();
    return std::move(*a);
}

// Every path below root, relative, with a trailing '/' for directories.
std::set<std::string> tree(const fs::path& root) {
    std::set<std::string> out;
    if (!fs::exists(root)) return out;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        std::string p = fs::relative(e.path(), root).string();
        if (e.is_directory()) p += '/';
        out.insert(p);
    }
    return out;
}

std::string stats_text(const xara::ExtractStats& s) {
    return std::to_string(s.files) + "f " + std::to_string(s.dirs) + "d " + std::to_string(s.symlinks_skipped) + "s " +
           std::to_string(s.bytes) + "b";
}

}  // namespace

TEST(ExtractHelpers, SortKeyPutsDirectoriesFirstAndParentsBeforeChildren) {
    using xara::extract::tree_sort_key;
    EXPECT_EQ(tree_sort_key("a/b", false), std::string("\0a/\1b", 5));
    EXPECT_EQ(tree_sort_key("a/b", true), std::string("\0a/\0b", 5));
    struct E { std::string path; bool dir; };
    std::vector<E> entries = {{"a/z", false}, {"a", true}, {"a/b/c", false}, {"a/b", true}, {"a/\xC3\xA9", false}, {"a/Z", false}};
    std::stable_sort(entries.begin(), entries.end(),
                     [](const E& x, const E& y) { return tree_sort_key(x.path, x.dir) < tree_sort_key(y.path, y.dir); });
    std::vector<std::string> order;
    for (auto& e : entries) order.push_back(e.path);
    EXPECT_EQ(order, (std::vector<std::string>{"a", "a/b", "a/b/c", "a/Z", "a/z", "a/\xC3\xA9"}));
}

TEST(ExtractHelpers, SanitizeAndStrip) {
    using xara::extract::sanitize_path;
    EXPECT_EQ(*sanitize_path("/a//./b/"), fs::path("a/b"));
    EXPECT_EQ(*sanitize_path("./x"), fs::path("x"));
    EXPECT_EQ(sanitize_path("a/../b").error().message(), "invalid path: path traversal detected: a/../b");
    EXPECT_EQ(sanitize_path("..").error().message(), "invalid path: path traversal detected: ..");
    EXPECT_EQ(sanitize_path("/././/").error().message(), "invalid path: empty path after sanitization: /././/");
    EXPECT_EQ(sanitize_path(std::string("a\0b", 3)).error().kind(), xara::XarError::Kind::InvalidPath);
    EXPECT_EQ(*sanitize_path("...b"), fs::path("...b"));  // only an exact ".." is a parent reference

    using xara::extract::strip_base_prefix;
    EXPECT_EQ(strip_base_prefix("a/b/c", "a/b"), "c");
    EXPECT_EQ(strip_base_prefix("a/b", "a/b"), "");
    EXPECT_EQ(strip_base_prefix("a/b", ""), "a/b");
}

TEST(ExtractTree, EverythingWithAnEmptyOrRootPrefix) {
    for (const char* prefix : {"", "/", "//"}) {
        auto a = sample();
        testing_util::ScratchDir scratch;
        auto s = a.extract_path(prefix, (scratch / "out").string());
        ASSERT_TRUE(s) << s.error().message();
        EXPECT_EQ(stats_text(*s), "4f 3d 1s 7b") << prefix;
        EXPECT_EQ(tree(scratch / "out"), (std::set<std::string>{"a/", "a/z", "a/b/", "a/b/c", "top", "ab/", "ab/x"}));
        EXPECT_EQ(text_of(testing_util::read_bytes(scratch / "out/a/b/c")), "ccc");
        EXPECT_FALSE(fs::is_symlink(scratch / "out/a/l"));
    }
    auto a = sample();
    testing_util::ScratchDir scratch;
    auto s = a.extract_all((scratch / "deep/new/out").string());  // missing ancestors are made
    ASSERT_TRUE(s) << s.error().message();
    EXPECT_EQ(stats_text(*s), "4f 3d 1s 7b");
}

TEST(ExtractTree, PrefixSelectsASubtreeAndStripsIt) {
    auto a = sample();
    testing_util::ScratchDir scratch;
    auto s = a.extract_path("/a/", (scratch / "out").string());
    ASSERT_TRUE(s) << s.error().message();
    // a itself counts once; "ab" is not below "a".
    EXPECT_EQ(stats_text(*s), "2f 2d 1s 5b");
    EXPECT_EQ(tree(scratch / "out"), (std::set<std::string>{"z", "b/", "b/c"}));

    testing_util::ScratchDir scratch2;
    auto f = a.extract_path("a/b/c", (scratch2 / "out").string());
    ASSERT_TRUE(f);
    EXPECT_EQ(stats_text(*f), "0f 0d 0s 0b");
    EXPECT_TRUE(tree(scratch2 / "out").empty());

    testing_util::ScratchDir scratch3;
    auto none = a.extract_path("a/b/nothing", (scratch3 / "out").string());
    ASSERT_TRUE(none);
    EXPECT_EQ(stats_text(*none), "0f 0d 0s 0b");
    EXPECT_TRUE(fs::is_directory(scratch3 / "out"));
}

TEST(ExtractTree, ParentsAndSubdirectoriesComeFirst) {
    // a/z cannot be decoded: by then a, a/b and a/b/c must already be on disk.
    auto a = open_bytes(make_xar(
        toc_doc(dir("a", "<file><name>z</name><type>file</type>" + data_xml(0, 3, 9, "application/zlib") + "</file>" +
                             dir("b", stored("c", 3, 1)))),
        bytes_of("xyzC")));
    ASSERT_TRUE(a) << a.error().message();
    testing_util::ScratchDir scratch;
    auto s = a->extract_all((scratch / "out").string());
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().kind(), xara::XarError::Kind::DecompressionFailed);
    EXPECT_EQ(tree(scratch / "out"), (std::set<std::string>{"a/", "a/b/", "a/b/c", "a/z"}));  // a/z left partial
}

TEST(ExtractSafety, TraversalAndEmptyNamesStopTheExtraction) {
    struct Case { std::string toc; std::string message; };
    const std::vector<Case> cases = {
        {dir("..", stored("x", 0, 1)), "invalid path: path traversal detected: .."},
        {dir("ok", stored("..", 0, 1)), "invalid path: path traversal detected: ok/.."},
        {"<file><name enctype=\"base64\">Li4vLi4vZXNjYXBl</name><type>file</type>" + data_xml(0, 1, 1, "application/octet-stream") +
             "</file>",
         "invalid path: path traversal detected: ../../escape"},
        {"<file><name>a/../../up</name><type>directory</type></file>", "invalid path: path traversal detected: a/../../up"},
        {symlink_xml("..", "/etc/passwd"), "invalid path: path traversal detected: .."},
        {dir("d", symlink_xml("..", "x")), "invalid path: path traversal detected: d/.."},
        {stored(".", 0, 1), "invalid path: empty path after sanitization: ."},
        {"<file><name>/</name><type>file</type></file>", "invalid path: empty path after sanitization: /"},
    };
    for (const auto& c : cases) {
        auto a = open_bytes(make_xar(toc_doc(c.toc), bytes_of("X")));
        ASSERT_TRUE(a) << a.error().message();
        testing_util::ScratchDir scratch;
        auto s = a->extract_all((scratch / "out").string());
        ASSERT_FALSE(s) << c.toc;
        EXPECT_EQ(s.error().message(), c.message);
        // Nothing appears beside the destination.
        for (const auto& p : tree(scratch.path())) EXPECT_EQ(p.rfind("out/", 0), 0u) << p;
    }
}

TEST(ExtractSafety, AbsoluteNamesStayInside) {
    auto a = open_bytes(make_xar(toc_doc("<file><name>/tmp/abs</name><type>file</type>" +
                                         data_xml(0, 1, 1, "application/octet-stream") + "</file>"),
                                 bytes_of("X")));
    ASSERT_TRUE(a);
    testing_util::ScratchDir scratch;
    auto s = a->extract_all((scratch / "out").string());
    ASSERT_TRUE(s) << s.error().message();
    EXPECT_EQ(tree(scratch / "out"), (std::set<std::string>{"tmp/", "tmp/abs"}));
}

TEST(ExtractSafety, SymlinksAreNeverCreated) {
    auto a = open_bytes(make_xar(toc_doc(symlink_xml("evil", "/") + dir("d", symlink_xml("up", "../../..")))));
    ASSERT_TRUE(a);
    testing_util::ScratchDir scratch;
    auto s = a->extract_all((scratch / "out").string());
    ASSERT_TRUE(s) << s.error().message();
    EXPECT_EQ(stats_text(*s), "0f 1d 2s 0b");
    EXPECT_EQ(tree(scratch / "out"), (std::set<std::string>{"d/"}));
}

TEST(ExtractErrors, FileSystemFailuresAreIo) {
    auto a = sample();
    testing_util::ScratchDir scratch;
    testing_util::write_text(scratch / "file", "x");
    auto s = a.extract_all((scratch / "file").string());
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().kind(), xara::XarError::Kind::Io);

    // A file entry and a directory entry of the same path.
    auto clash = open_bytes(make_xar(toc_doc(stored("x", 0, 1) + dir("x", stored("y", 0, 1))), bytes_of("Q")));
    ASSERT_TRUE(clash);
    auto c = clash->extract_all((scratch / "out").string());
    ASSERT_FALSE(c);
    EXPECT_EQ(c.error().kind(), xara::XarError::Kind::Io);
    EXPECT_EQ(c.error().message().rfind("I/O error: ", 0), 0u);
}

TEST(ExtractErrors, FileWithoutDataIsEmpty) {
    auto a = open_bytes(make_xar(toc_doc("<file><name>empty</name><type>file</type></file>")));
    ASSERT_TRUE(a);
    testing_util::ScratchDir scratch;
    auto s = a->extract_all((scratch / "out").string());
    ASSERT_TRUE(s);
    EXPECT_EQ(stats_text(*s), "1f 0d 0s 0b");
    EXPECT_EQ(fs::file_size(scratch / "out/empty"), 0u);
}
