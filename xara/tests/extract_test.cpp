// Subtree extraction: selection, order, counts and never writing outside the destination.
#include <gtest/gtest.h>

#include "support.hpp"
#include "testing/testing.hpp"

using namespace xara_test;
namespace fs = std::filesystem;
using Tree = std::set<std::string>;

namespace {

xara::XarArchive open_toc(const std::string& body, std::string_view heap = "zzccctx") {
    return open_bytes(make_xar(toc_doc(body), bytes_of(heap))).value();
}

// The counts as "Nf Nd Ns Nb", or the error text.
std::string extract(xara::XarArchive& a, std::string_view prefix, const fs::path& dest) {
    auto s = a.extract_path(prefix, dest.string());
    if (!s) return s.error().message();
    return std::to_string(s->files) + "f " + std::to_string(s->dirs) + "d " + std::to_string(s->symlinks_skipped) + "s " +
           std::to_string(s->bytes) + "b";
}

}  // namespace

TEST(Extract, SelectionOrderCountsAndPathAttacks) {
    // a/ { z "zz", b/ { c "ccc" }, l -> ../z }, top "t", ab/ { x "x" }, empty (no data)
    const std::string body = dir("a", stored("z", 0, 2) + dir("b", stored("c", 2, 3)) + symlink_xml("l", "../z")) +
                             stored("top", 5, 1) + dir("ab", stored("x", 6, 1)) + file_xml("empty", "file");
    const Tree all = {"a/", "a/z=zz", "a/b/", "a/b/c=ccc", "top=t", "ab/", "ab/x=x", "empty="};
    const std::string b64 = "<file><name enctype=\"base64\">", traversal = "invalid path: path traversal detected: ";
    const std::string rest = "</name><type>file</type>" + data_xml(0, 1, 1, "application/octet-stream") + "</file>";
    // Entries, prefix, counts or error, what is on disk.
    const std::vector<std::tuple<std::string, std::string, std::string, Tree>> rows = {
        {body, "", "5f 3d 1s 7b", all},
        {body, "/", "5f 3d 1s 7b", all},
        {body, "//", "5f 3d 1s 7b", all},  // slashes are trimmed: all of it
        {body, "/a/", "2f 2d 1s 5b", {"z=zz", "b/", "b/c=ccc"}},  // a itself counts once; "ab" is not below "a"
        {body, "a/b/c", "0f 0d 0s 0b", {}},
        {body, "a/b/nothing", "0f 0d 0s 0b", {}},
        // A base is a whole name: "a/b" does not take "a/bcd".
        {dir("a", dir("b", stored("c", 2, 3)) + stored("bcd", 0, 2)), "a/b", "1f 1d 0s 3b", {"c=ccc"}},
        // a/z cannot be decoded: by then a, a/b and a/b/c are on disk, and a/z is left partial.
        {dir("a", file_xml("z", "file", data_xml(0, 3, 9, "application/zlib")) + dir("b", stored("c", 2, 1))), "",
         "decompression failed: zlib: incorrect header check", {"a/", "a/b/", "a/b/c=c", "a/z="}},
        // Absolute names and dots that are no parent stay inside; symbolic links are never created.
        {stored("/tmp/abs", 0, 1) + stored("..x", 0, 1) + symlink_xml("evil", "/") + dir("d", symlink_xml("up", "../../..")), "",
         "2f 1d 2s 2b", {"tmp/", "tmp/abs=z", "..x=z", "d/"}},
        {dir("..", stored("x", 0, 1)), "", traversal + "..", {}},
        {dir("ok", stored("..", 0, 1)), "", traversal + "ok/..", {"ok/"}},
        {b64 + "Li4vLi4vZXNjYXBl" + rest, "", traversal + "../../escape", {}},
        {dir("a/../../up"), "", traversal + "a/../../up", {}},
        {symlink_xml("..", "/etc/passwd"), "", traversal + "..", {}},
        {dir("d", symlink_xml("..", "x")), "", traversal + "d/..", {"d/"}},
        {stored(".", 0, 1), "", "invalid path: empty path after sanitization: .", {}},
        {file_xml("/", "file"), "", "invalid path: empty path after sanitization: /", {}},
        {b64 + "YQBi" + rest, "", std::string("invalid path: path contains a NUL byte: a\0b", 43), {}},
    };
    for (const auto& [entries, prefix, result, expected] : rows) {
        SCOPED_TRACE(entries + " prefix " + prefix);
        auto a = open_toc(entries);
        testing_util::ScratchDir scratch;
        const fs::path out = scratch / "deep/out";  // missing ancestors are made
        EXPECT_EQ(extract(a, prefix, out), result);
        EXPECT_EQ(tree(out), expected);
        EXPECT_TRUE(fs::is_directory(out));
        for (const auto& p : tree(scratch.path())) EXPECT_TRUE(p.starts_with("deep/")) << p;
    }
}

// Hard links without data read and extract as the original; one with data of its own keeps it.
TEST(Extract, HardLinksKeepTheirOwnDataOrShareTheOriginals) {
    const std::string link = "<type link=\"1\">hardlink</type>";
    auto a = open_toc("<file id=\"1\"><name>f1</name><type link=\"original\">hardlink</type>" + data_xml(0, 2, 2, "application/octet-stream") +
                      "</file><file id=\"2\"><name>copy</name>" + link + "</file><file id=\"3\"><name>own</name>" + link +
                      data_xml(5, 1, 1, "application/octet-stream") + "</file>");
    std::string read;
    for (size_t i = 0; i < a.files().size(); ++i) read += a.files()[i].path + "=" + text_of(a.read_file(i).value()) + " ";
    EXPECT_EQ(read, "f1=zz copy=zz own=t ");
    testing_util::ScratchDir scratch;
    EXPECT_EQ(extract(a, "", scratch.path()), "3f 0d 0s 5b");
    EXPECT_EQ(tree(scratch.path()), (Tree{"f1=zz", "copy=zz", "own=t"}));
}

TEST(Extract, FileSystemFailuresAreIo) {
    testing_util::ScratchDir scratch;
    testing_util::write_text(scratch / "file", "x");
    auto a = open_toc(stored("x", 0, 1));
    for (const char* prefix : {"", "nothing"})  // the destination is made even for no entries
        EXPECT_EQ(extract(a, prefix, scratch / "file"), "I/O error: File exists (os error 17)") << prefix;
    // A file entry and a directory entry of the same path: the directory comes first.
    auto clash = open_toc(stored("x", 0, 1) + dir("x", stored("y", 0, 1)));
    EXPECT_EQ(extract(clash, "", scratch / "out"), "I/O error: Is a directory (os error 21)");
}

TEST(Extract, SymbolicLinksOnDiskAreNotWrittenThrough) {
    testing_util::ScratchDir scratch;
    testing_util::write_text(scratch / "file", "x");
    auto a = open_toc(stored("x", 0, 1));
    fs::create_symlink(scratch / "file", scratch / "x");
    EXPECT_EQ(extract(a, "", scratch.path()), "invalid path: symbolic link in the way: " + (scratch / "x").string());
    EXPECT_EQ(testing_util::read_bytes(scratch / "file"), std::vector<uint8_t>{'x'});
}
