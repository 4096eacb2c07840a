// Extraction of volume subtrees and the pipeline's path helpers.
#include <map>

#include <gtest/gtest.h>

#include "../../hfsplus/tests/test_support.hpp"
#include "test_support.hpp"

namespace {

using namespace pipeline_test;
using Tree = std::map<std::string, std::string>;

TEST(PathHelpers, StripBasePrefixAndSanitizePath) {
    const std::tuple<const char*, const char*, const char*> strips[] = {
        {"a/bc", "a/b", ""}, {"a/bcd", "a/b", ""}, {"a/b", "a/b", ""}, {"a/b/c", "a/b", "c"}, {"a/b/c", "", "a/b/c"},
        {"x/b/c", "a/b", ""}, {"a/b/c/d", "a", "b/c/d"}, {"a", "ab", ""}};
    for (const auto& [path, base, want] : strips)
        EXPECT_EQ(kiv::pipeline::strip_base_prefix(path, base), want) << path << " under " << base;
    const std::pair<const char*, const char*> good[] = {
        {"/a/./b/", "a/b"}, {"a//b", "a/b"}, {"./x", "x"}, {"//deep/er/", "deep/er"}, {"a..b/..c", "a..b/..c"}};
    for (const auto& [in, want] : good) EXPECT_EQ(ok(kiv::pipeline::sanitize_path(in)), fs::path(want)) << in;
    const std::pair<const char*, const char*> bad[] = {
        {"/", "empty path after sanitization"}, {"", "empty path after sanitization"}, {"./.", "empty path after sanitization"},
        {"a/../b", "path traversal detected"},  {"..", "path traversal detected"},      {"/x/y/..", "path traversal detected"}};
    for (const auto& [in, text] : bad)
        EXPECT_EQ(error_of(kiv::pipeline::sanitize_path(in)).message(), std::string("invalid path: ") + text + ": " + in);
}

// The entries below `root`, symbolic links left out: "relative/path" → contents, "relative/dir/" → "".
Tree tree_of(const fs::path& root) {
    Tree out;
    for (const auto& e : fs::recursive_directory_iterator(root))  // a missing root throws, failing the test
        if (!e.is_symlink()) {
            const Bytes data = e.is_directory() ? Bytes{} : testing_util::read_bytes(e.path());
            out[fs::relative(e.path(), root).string() + (e.is_directory() ? "/" : "")] = std::string(data.begin(), data.end());
        }
    return out;
}

TEST(ExtractPath, WritesTheSourceSubtreeBelowDest) {
    KIV_REQUIRE_VOLUME();
    // A base, the part of the source tree it writes below dest (none: nothing), whether the base folder itself is
    // counted (once, outside root mode) and the symbolic links skipped.
    const std::tuple<const char*, const char*, uint64_t, uint64_t> rows[] = {
        {"/", "", 0, 1}, {"/usr/", "usr", 1, 1}, {"usr", "usr", 1, 1}, {"/usr/lib", "usr/lib", 1, 1},
        {"/usr/bin/tool", nullptr, 0, 0}};
    for (const auto& [base, source, base_dirs, symlinks] : rows) {
        SCOPED_TRACE(base);
        const Tree want = source ? tree_of(volume().src / source) : Tree{};
        kiv::ExtractStats expected{0, base_dirs, symlinks, 0};
        for (const auto& [rel, data] : want) rel.ends_with("/") ? ++expected.dirs : (++expected.files, expected.bytes += data.size());
        for (auto mode : kModes) {
            const testing_util::ScratchDir out;
            const fs::path dest = out / "x/y";  // made with its parent
            const auto stats = ok(open_fs(volume().dmg, mode).extract_path(base, dest));
            EXPECT_EQ(std::tuple(stats.files, stats.dirs, stats.symlinks_skipped, stats.bytes),
                      std::tuple(expected.files, expected.dirs, expected.symlinks_skipped, expected.bytes));
            EXPECT_EQ(tree_of(dest), want);
        }
    }
}

// A base is a whole name: "/a/b" takes neither the folder "a/bcd" nor the file "a/b2".
TEST(ExtractPath, ABaseIsAWholeName) {
    hfs_test::VolumeBuilder builder;
    const uint32_t a = builder.add_folder(2, u"a");
    builder.add_file(builder.add_folder(a, u"b"), u"c", {'C'});
    builder.add_file(builder.add_folder(a, u"bcd"), u"x", {'X'});
    builder.add_file(a, u"b2", {'Y'});
    testing_util::ScratchDir out;
    auto fs = open_fs(make_dmg(out / "v.dmg", {{kHfsName, builder.build()}}));
    const auto stats = ok(fs.extract_path("/a/b", out / "dest"));
    EXPECT_EQ(std::tuple(stats.files, stats.dirs, stats.bytes), std::tuple(1u, 1u, 1u));  // the base folder counted once
    EXPECT_EQ(tree_of(out / "dest"), (Tree{{"c", "C"}}));
}

// Nothing at the base fails before dest is made, an unmakeable dest is an I/O error, an existing file is truncated
// and a symbolic link where a file goes is not written through.
TEST(ExtractPath, DestinationRules) {
    KIV_REQUIRE_VOLUME();
    testing_util::ScratchDir out;
    auto fs = open_fs(volume().dmg);
    for (const char* base : {"", "//", "/missing/", "/usr/li"}) {
        EXPECT_EQ(error_of(fs.extract_path(base, out / "dest")).message(), "no entries found under: " + std::string(base));
        EXPECT_FALSE(fs::exists(out / "dest"));
    }
    testing_util::write_bytes(out / "tool", Bytes(10000, 'z'));
    EXPECT_EQ(error_of(fs.extract_path("/", out / "tool" / "sub")).message(), "I/O error: Not a directory (os error 20)");
    ok(fs.extract_path("/usr/bin", out.path()));
    EXPECT_EQ(testing_util::read_bytes(out / "tool").size(), 20u);
    fs::remove(out / "tool");
    testing_util::write_text(out / "victim", "v");
    fs::create_symlink(out / "victim", out / "tool");
    EXPECT_EQ(error_of(fs.extract_path("/usr/bin", out.path())).message(),
              "invalid path: symbolic link in the way: " + (out / "tool").string());
    EXPECT_EQ(testing_util::read_bytes(out / "victim"), (Bytes{'v'}));
}

// A hand-built HFSX volume holding what no tool writes: a name no real
// filesystem could hold, or a file whose extents end early.  The extraction
// stops there with what came before still there (a short file is not left
// behind): the folders HFS+ keeps link targets in left out, the links written
// with their targets' contents.
TEST(ExtractPath, HandBuiltVolumesStopAtWhatNoFilesystemHolds) {
    const std::string short_file = "HFS+ error: corrupted data: file \"/z/x\" declares 12288 bytes but only 4096 could be read";
    const std::tuple<std::u16string, std::string, std::string> rows[] = {
        {u"..", "invalid path: path traversal detected: z/..", "invalid path: path traversal detected: .."},
        {std::u16string(u"x\0y", 3), "invalid path: name contains a NUL character: \"z/x\\0y\"",
         "invalid path: name contains a NUL character: \"x\\0y\""},
        {u"x", short_file, short_file}};
    for (const auto& [name, from_root, from_z] : rows) {
        SCOPED_TRACE(from_root);
        hfs_test::VolumeBuilder builder(/*hfsx=*/true);
        const Bytes good = testing_util::random_bytes(5000, 1);
        builder.add_file(2, u"good", good);
        builder.add_hard_links({'l', 'n', 'k'}, {{2, u"link"}});
        builder.add_folder(builder.add_folder(2, u".HFS+ Private Directory Data\r"), u"dir_1");
        const Bytes bad = name == u"x" ? testing_util::random_bytes(4096, 2) : Bytes{'x'};
        builder.add_file(builder.add_folder(2, u"z"), name, bad, 1, name == u"x" ? std::optional<uint64_t>(3 * 4096) : std::nullopt);
        testing_util::ScratchDir out;
        const auto dmg = make_dmg(out / "v.dmg", {{"disk image (Apple_HFSX : 1)", builder.build()}});
        for (auto mode : kModes) {
            auto fs = open_fs(dmg, mode);
            const fs::path dest = out / (mode == ExtractionMode::TempFile ? "temp" : "memory");
            EXPECT_EQ(error_of(fs.extract_path("/", dest)).message(), from_root);
            EXPECT_EQ(tree_of(dest), (Tree{{"good", std::string(good.begin(), good.end())}, {"link", "lnk"}, {"z/", ""}}));
            EXPECT_EQ(error_of(fs.extract_path("/z", dest / "z")).message(), from_z);
            EXPECT_EQ(error_of(fs.extract_path(std::string("/\0\0\0\0HFS+ Private Data", 22), dest)).kind(), Kind::NoEntries);
        }
    }
}

// An HFSX volume's records come through raw; through a damaged catalog node, exists and extraction fail.
TEST(VolumeRecords, HfsxRecordsAndADamagedCatalogNode) {
    hfs_test::VolumeBuilder builder(/*hfsx=*/true);
    const uint32_t id = builder.add_file(2, u"f", {'1', '2'});
    Bytes volume = builder.build();
    testing_util::ScratchDir out;
    auto fs = open_fs(make_dmg(out / "hfsx.dmg", {{"disk image (Apple_HFSX : 1)", volume}}), ExtractionMode::InMemory);
    EXPECT_EQ(std::tuple(fs.volume_info().is_hfsx, fs.volume_info().version), std::tuple(true, 5));
    const auto st = ok(fs.stat("/f"));
    EXPECT_EQ(std::tuple(st.id, st.create_time, st.modify_time, st.uid, st.gid),
              std::tuple(id, int64_t(0xC0000000u + 10 * id), int64_t(0xC0000000u + 10 * id + 1), 501u, 20u));
    std::fill_n(volume.begin() + ptrdiff_t(builder.catalog_offset + size_t(builder.catalog_root) * 4096), 14, 0xEE);
    auto damaged = open_fs(make_dmg(out / "bad.dmg", {{kHfsName, volume}}));  // the root node's descriptor gone
    EXPECT_EQ(error_of(damaged.exists("/f")).kind(), Kind::HfsPlus);
    EXPECT_EQ(error_of(damaged.extract_path("/", out / "dest")).kind(), Kind::HfsPlus);
}

}  // namespace
