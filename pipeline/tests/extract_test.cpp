// Extraction of volume subtrees and the pipeline's path helpers.
#include <map>

#include <gtest/gtest.h>

#include "../../hfsplus/tests/test_support.hpp"
#include "test_support.hpp"

namespace {

using namespace pipeline_test;
using Kind = kiv::KivError::Kind;
using Tree = std::map<std::string, std::string>;

TEST(PathHelpers, StripBasePrefixAndSanitizePath) {
    const std::tuple<const char*, const char*, const char*> strips[] = {
        {"a/bc", "a/b", ""}, {"a/b", "a/b", ""}, {"a/b/c", "a/b", "c"}, {"a/b/c", "", "a/b/c"},
        {"x/b/c", "a/b", ""}, {"a/b/c/d", "a", "b/c/d"}, {"a", "ab", ""},
    };
    for (const auto& [path, base, want] : strips)
        EXPECT_EQ(kiv::pipeline::strip_base_prefix(path, base), want) << path << " under " << base;
    const std::pair<const char*, const char*> good[] = {
        {"/a/./b/", "a/b"}, {"a//b", "a/b"}, {"./x", "x"}, {"//deep/er/", "deep/er"}, {"a..b/..c", "a..b/..c"}};
    for (const auto& [in, want] : good) EXPECT_EQ(ok(kiv::pipeline::sanitize_path(in)), fs::path(want)) << in;
    for (const char* in : {"/", "", "./."}) {
        const auto e = error_of(kiv::pipeline::sanitize_path(in));
        EXPECT_EQ(e.kind(), Kind::InvalidPath) << in;
        EXPECT_EQ(e.message(), "invalid path: empty path after sanitization: " + std::string(in));
    }
    for (const char* in : {"a/../b", "..", "/x/y/.."})
        EXPECT_EQ(error_of(kiv::pipeline::sanitize_path(in)).message(), "invalid path: path traversal detected: " + std::string(in));
}

// The entries below `root`, symbolic links left out: "relative/path" → contents, "relative/dir/" → "".
Tree tree_of(const fs::path& root) {
    Tree out;
    if (!fs::exists(root)) return out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string rel = fs::relative(e.path(), root).string();
        if (e.is_symlink()) continue;
        if (e.is_directory()) out[rel + "/"] = "";
        else {
            const Bytes data = testing_util::read_bytes(e.path());
            out[rel] = std::string(data.begin(), data.end());
        }
    }
    return out;
}

// A base, and the part of the source tree it writes below dest (none: nothing).
struct Extraction {
    const char* name;
    const char* base;
    const char* source;
    uint64_t base_dirs, symlinks;  // the base folder itself, counted once outside root mode
};

const Extraction kExtractions[] = {
    {"Root", "/", "", 0, 1},
    {"UsrWithSlashes", "/usr/", "usr", 1, 1},
    {"UsrBare", "usr", "usr", 1, 1},
    {"LibNotLibexec", "/usr/lib", "usr/lib", 1, 1},
    {"RegularFileBase", "/usr/bin/tool", nullptr, 0, 0},
};

class ExtractPath : public testing::TestWithParam<Extraction> {};

TEST_P(ExtractPath, WritesTheSourceSubtreeBelowDest) {
    KIV_REQUIRE_VOLUME();
    const Tree want = GetParam().source ? tree_of(volume().src / GetParam().source) : Tree{};
    kiv::ExtractStats expected{0, GetParam().base_dirs, GetParam().symlinks, 0};
    for (const auto& [rel, data] : want) rel.ends_with("/") ? ++expected.dirs : (++expected.files, expected.bytes += data.size());
    testing_util::ScratchDir out;
    for (auto mode : kModes) {
        const fs::path dest = out / (mode == kiv::ExtractionMode::TempFile ? "temp/x" : "memory/x");
        const auto stats = ok(open_fs(volume().dmg, mode).extract_path(GetParam().base, dest));
        EXPECT_EQ(std::tuple(stats.files, stats.dirs, stats.symlinks_skipped, stats.bytes),
                  std::tuple(expected.files, expected.dirs, expected.symlinks_skipped, expected.bytes));
        EXPECT_TRUE(fs::is_directory(dest));
        EXPECT_EQ(tree_of(dest), want);
    }
}

INSTANTIATE_TEST_SUITE_P(Bases, ExtractPath, testing::ValuesIn(kExtractions),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ExtractPath, ExistingFilesAreTruncatedAndLinksAtTheirPlaceNotFollowed) {
    KIV_REQUIRE_VOLUME();
    testing_util::ScratchDir out;
    auto fs = open_fs(volume().dmg);
    fs::create_directories(out / "usr/bin");
    testing_util::write_bytes(out / "usr/bin/tool", Bytes(10000, 'z'));
    ok(fs.extract_path("/usr/bin", out / "usr/bin"));
    EXPECT_EQ(testing_util::read_bytes(out / "usr/bin/tool").size(), 20u);
    fs::remove(out / "usr/bin/tool");
    testing_util::write_text(out / "victim", "v");
    fs::create_symlink(out / "victim", out / "usr/bin/tool");
    EXPECT_EQ(error_of(fs.extract_path("/usr/bin", out / "usr/bin")).message(),
              "I/O error: Too many levels of symbolic links (os error 40)");
    EXPECT_EQ(testing_util::read_bytes(out / "victim"), (Bytes{'v'}));
}

TEST(ExtractPath, NothingAtTheBaseFailsBeforeDestIsMade) {
    KIV_REQUIRE_VOLUME();
    testing_util::ScratchDir out;
    auto fs = open_fs(volume().dmg);
    for (const char* base : {"", "//", "/missing/", "/usr/li"}) {
        const auto e = error_of(fs.extract_path(base, out / "dest"));
        EXPECT_EQ(std::tuple(e.kind(), e.message()), std::tuple(Kind::NoEntries, "no entries found under: " + std::string(base)));
        EXPECT_FALSE(fs::exists(out / "dest"));
    }
    testing_util::write_text(out / "file", "x");  // a destination that cannot be made
    EXPECT_EQ(error_of(fs.extract_path("/", out / "file" / "sub")).kind(), Kind::Io);
}

// Hand-built volumes holding names no real filesystem could hold: the
// extraction stops at them with what was written before still there.
TEST(ExtractPath, HostileNamesStopTheExtraction) {
    const std::tuple<std::u16string, const char*, const char*> rows[] = {
        {u"..", "invalid path: path traversal detected: b/..", "invalid path: path traversal detected: .."},
        {std::u16string(u"x\0y", 3), "invalid path: name contains a NUL character: \"b/x\\0y\"",
         "invalid path: name contains a NUL character: \"x\\0y\""},
    };
    for (const auto& [name, from_root, from_b] : rows) {
        SCOPED_TRACE(from_root);
        hfs_test::VolumeBuilder builder;
        builder.add_file(2, u"a", {'1'});
        builder.add_file(builder.add_folder(2, u"b"), name, {'x'});
        testing_util::ScratchDir out;
        auto fs = open_fs(make_dmg(out / "evil.dmg", {{kHfsName, builder.build()}}));
        const auto e = error_of(fs.extract_path("/", out / "dest"));
        EXPECT_EQ(std::tuple(e.kind(), e.message()), std::tuple(Kind::InvalidPath, std::string(from_root)));
        EXPECT_TRUE(fs::exists(out / "dest/a"));  // written before the bad entry
        EXPECT_EQ(tree_of(out / "dest/b"), Tree{});
        EXPECT_EQ(error_of(fs.extract_path("/b", out / "dest2")).message(), from_b);
    }
}

// The folders HFS+ keeps link targets in are not extracted; the links are,
// with their targets' contents.  A file whose extents end early is an
// error and is not left behind shorter.
TEST(ExtractPath, HfsMetadataFoldersAreSkippedAndShortFilesFail) {
    hfs_test::VolumeBuilder builder;
    builder.add_hard_links({'l', 'n', 'k'}, {{2, u"link"}});
    builder.add_folder(builder.add_folder(2, u".HFS+ Private Directory Data\r"), u"dir_1");
    const Bytes good = testing_util::random_bytes(5000, 1);
    builder.add_file(2, u"good", good);
    builder.add_file(builder.add_folder(2, u"z"), u"short", testing_util::random_bytes(4096, 2), 1, 3 * 4096);
    testing_util::ScratchDir out;
    const auto dmg = make_dmg(out / "v.dmg", {{kHfsName, builder.build()}});
    for (auto mode : kModes) {
        auto fs = open_fs(dmg, mode);
        const fs::path dest = out / (mode == kiv::ExtractionMode::TempFile ? "temp" : "memory");
        const auto e = error_of(fs.extract_path("/", dest));
        EXPECT_EQ(e.kind(), Kind::HfsPlus);
        EXPECT_EQ(e.message(), "HFS+ error: corrupted data: file \"/z/short\" declares 12288 bytes but only 4096 "
                               "could be read");
        EXPECT_EQ(tree_of(dest), (Tree{{"good", std::string(good.begin(), good.end())}, {"link", "lnk"}, {"z/", ""}}));
        EXPECT_EQ(error_of(fs.extract_path(std::string("/\0\0\0\0HFS+ Private Data", 22), dest)).kind(), Kind::NoEntries);
    }
}

TEST(VolumeRecords, HfsxAndRawDatesComeThroughUnchanged) {
    hfs_test::VolumeBuilder builder(/*hfsx=*/true);
    const uint32_t id = builder.add_file(2, u"f", {'1', '2'});
    testing_util::ScratchDir out;
    auto fs = open_fs(make_dmg(out / "hfsx.dmg", {{"disk image (Apple_HFSX : 1)", builder.build()}}),
                      kiv::ExtractionMode::InMemory);
    EXPECT_EQ(std::tuple(fs.volume_info().is_hfsx, fs.volume_info().version), std::tuple(true, 5));
    const auto st = ok(fs.stat("/f"));
    EXPECT_EQ(std::tuple(st.id, st.create_time, st.modify_time, st.uid, st.gid),
              std::tuple(id, int64_t(0xC0000000u + 10 * id), int64_t(0xC0000000u + 10 * id + 1), 501u, 20u));
}

TEST(VolumeRecords, ExistsThroughADamagedCatalogNodeFails) {
    hfs_test::VolumeBuilder builder;
    builder.add_file(2, u"f", {'1'});
    Bytes volume = builder.build();
    const size_t node = builder.catalog_offset + size_t(builder.catalog_root) * 4096;
    std::fill_n(volume.begin() + ptrdiff_t(node), 14, 0xEE);  // the node descriptor
    testing_util::ScratchDir out;
    auto fs = open_fs(make_dmg(out / "bad.dmg", {{kHfsName, volume}}));
    EXPECT_EQ(error_of(fs.exists("/f")).kind(), Kind::HfsPlus);
    EXPECT_EQ(error_of(fs.extract_path("/", out / "dest")).kind(), Kind::HfsPlus);
}

TEST(VolumeRecords, ResourceForksAndSymlinksOfARealVolume) {
    testing_util::ScratchDir out;
    auto fs = open_fs(make_dmg(out / "real.dmg", {{kHfsName, testing_util::read_bytes(KIV_REQUIRE_FIXTURE("hfsplus.raw"))}}));
    EXPECT_GT(ok(fs.stat("/a_directory/a_resourcefork")).resource_fork_size.value_or(0), 0u);
    EXPECT_FALSE(ok(fs.stat("/a_directory/a_file")).resource_fork_size);
    EXPECT_EQ(ok(fs.extract_path("/", out / "dest")).symlinks_skipped, 1u);
    EXPECT_FALSE(fs::exists(fs::symlink_status(out / "dest/a_link")));
    EXPECT_EQ(testing_util::read_bytes(out / "dest/passwords.txt").size(), 116u);
}

}  // namespace
