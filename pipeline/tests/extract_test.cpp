// Extraction of volume subtrees and the pipeline's path helpers.
#include <set>

#include <gtest/gtest.h>

#include "../../hfsplus/tests/test_support.hpp"
#include "test_support.hpp"

namespace {

using namespace pipeline_test;
using kiv::DmgPipeline;
using Kind = kiv::KivError::Kind;

TEST(PathHelpers, StripBasePrefix) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"a/bc", "a/b", ""},   {"a/b", "a/b", ""},   {"a/b/c", "a/b", "c"}, {"a/b/c", "", "a/b/c"},
        {"x/b/c", "a/b", ""},  {"a/b/c/d", "a", "b/c/d"}, {"a", "ab", ""},
    };
    for (const auto& [path, base, want] : cases)
        EXPECT_EQ(kiv::pipeline::strip_base_prefix(path, base), want) << path << " under " << base;
}

TEST(PathHelpers, SanitizePath) {
    const std::pair<const char*, const char*> good[] = {
        {"/a/./b/", "a/b"}, {"a//b", "a/b"}, {"./x", "x"}, {"//deep/er/", "deep/er"}, {"a..b/..c", "a..b/..c"}};
    for (const auto& [in, want] : good) EXPECT_EQ(ok(kiv::pipeline::sanitize_path(in)), fs::path(want)) << in;
    const std::pair<const char*, const char*> bad[] = {
        {"/", "invalid path: empty path after sanitization: /"},
        {"", "invalid path: empty path after sanitization: "},
        {"./.", "invalid path: empty path after sanitization: ./."},
        {"a/../b", "invalid path: path traversal detected: a/../b"},
        {"..", "invalid path: path traversal detected: .."},
        {"/x/y/..", "invalid path: path traversal detected: /x/y/.."},
    };
    for (const auto& [in, want] : bad) {
        const auto e = error_of(kiv::pipeline::sanitize_path(in));
        EXPECT_EQ(e.kind(), Kind::InvalidPath) << in;
        EXPECT_EQ(e.message(), want);
    }
}

// The files below `root`, as "relative/path:size" (directories with a trailing '/').
std::set<std::string> tree_of(const fs::path& root) {
    std::set<std::string> out;
    if (!fs::exists(root)) return out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string rel = fs::relative(e.path(), root).string();
        out.insert(e.is_directory() ? rel + "/" : rel + ":" + std::to_string(e.file_size()));
    }
    return out;
}

// usr/{bin/tool, lib/{liba, link → liba}, libexec/helper}, top.txt
const fs::path& sample_dmg() {
    static const testing_util::ScratchDir dir;
    static const fs::path dmg = [] {
        const fs::path src = dir / "src";
        fs::create_directories(src / "usr/bin");
        fs::create_directories(src / "usr/lib");
        fs::create_directories(src / "usr/libexec");
        testing_util::write_text(src / "usr/bin/tool", "tool!");
        testing_util::write_bytes(src / "usr/lib/liba", testing_util::random_bytes(70000, 3));
        fs::create_symlink("liba", src / "usr/lib/link");
        testing_util::write_text(src / "usr/libexec/helper", "helper");
        testing_util::write_text(src / "top.txt", "top");
        return make_dmg(dir / "sample.dmg", {{kHfsName, hfs_volume_of(src, dir)}});
    }();
    return dmg;
}

struct Extraction {
    const char* name;
    const char* base;
    std::set<std::string> tree;  // written below dest
    kiv::ExtractStats stats;
};

const Extraction kExtractions[] = {
    {"Root", "/",
     {"usr/", "usr/bin/", "usr/bin/tool:5", "usr/lib/", "usr/lib/liba:70000", "usr/libexec/", "usr/libexec/helper:6",
      "top.txt:3"},
     {4, 4, 1, 70014}},
    {"UsrWithSlashes", "/usr/",
     {"bin/", "bin/tool:5", "lib/", "lib/liba:70000", "libexec/", "libexec/helper:6"},
     {3, 4, 1, 70011}},
    {"UsrBare", "usr",
     {"bin/", "bin/tool:5", "lib/", "lib/liba:70000", "libexec/", "libexec/helper:6"},
     {3, 4, 1, 70011}},
    {"LibNotLibexec", "/usr/lib", {"liba:70000"}, {1, 1, 1, 70000}},
    {"RegularFileBase", "/usr/bin/tool", {}, {0, 0, 0, 0}},
};

class ExtractPath : public testing::TestWithParam<Extraction> {};

TEST_P(ExtractPath, WritesTheSubtreeBelowDest) {
    KIV_REQUIRE_TOOL("xorriso");
    testing_util::ScratchDir out;
    for (auto mode : {kiv::ExtractionMode::TempFile, kiv::ExtractionMode::InMemory}) {
        auto fs = ok(ok(DmgPipeline::open(sample_dmg().string())).open_filesystem_with_mode(mode));
        const fs::path dest = out / (mode == kiv::ExtractionMode::TempFile ? "temp/x" : "memory/x");
        const auto stats = ok(fs.extract_path(GetParam().base, dest));
        EXPECT_EQ(stats.files, GetParam().stats.files);
        EXPECT_EQ(stats.dirs, GetParam().stats.dirs);
        EXPECT_EQ(stats.symlinks_skipped, GetParam().stats.symlinks_skipped);
        EXPECT_EQ(stats.bytes, GetParam().stats.bytes);
        EXPECT_TRUE(fs::is_directory(dest));
        EXPECT_EQ(tree_of(dest), GetParam().tree);
    }
}

INSTANTIATE_TEST_SUITE_P(Bases, ExtractPath, testing::ValuesIn(kExtractions),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ExtractPath, ContentsAreTheVolumeFiles) {
    KIV_REQUIRE_TOOL("xorriso");
    testing_util::ScratchDir out;
    auto fs = ok(ok(DmgPipeline::open(sample_dmg().string())).open_filesystem());
    ok(fs.extract_path("/", out.path()));
    EXPECT_EQ(testing_util::read_bytes(out / "usr/lib/liba"), testing_util::random_bytes(70000, 3));
    // An existing file is truncated.
    testing_util::write_bytes(out / "top.txt", Bytes(10000, 'z'));
    ok(fs.extract_path("/", out.path()));
    EXPECT_EQ(testing_util::read_bytes(out / "top.txt"), (Bytes{'t', 'o', 'p'}));
    // A symbolic link where a file goes is not written through.
    fs::remove(out / "top.txt");
    testing_util::write_text(out / "victim", "v");
    fs::create_symlink(out / "victim", out / "top.txt");
    EXPECT_EQ(error_of(fs.extract_path("/", out.path())).message(),
              "I/O error: Too many levels of symbolic links (os error 40)");
    EXPECT_EQ(testing_util::read_bytes(out / "victim"), (Bytes{'v'}));
}

TEST(ExtractPath, NothingAtTheBaseFailsBeforeDestIsMade) {
    KIV_REQUIRE_TOOL("xorriso");
    testing_util::ScratchDir out;
    auto fs = ok(ok(DmgPipeline::open(sample_dmg().string())).open_filesystem());
    for (const char* base : {"", "//", "/missing/", "/usr/li"}) {
        const auto e = error_of(fs.extract_path(base, out / "dest"));
        EXPECT_EQ(e.kind(), Kind::NoEntries) << base;
        EXPECT_EQ(e.message(), "no entries found under: " + std::string(base));
        EXPECT_FALSE(fs::exists(out / "dest"));
    }
    // A destination that cannot be created is an I/O error.
    testing_util::write_text(out / "file", "x");
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
        const uint32_t dir = builder.add_folder(2, u"b");
        builder.add_file(dir, name, {'x'});
        testing_util::ScratchDir out;
        const auto dmg = make_dmg(out / "evil.dmg", {{kHfsName, builder.build()}});
        auto fs = ok(ok(DmgPipeline::open(dmg.string())).open_filesystem());
        const auto e = error_of(fs.extract_path("/", out / "dest"));
        EXPECT_EQ(e.kind(), Kind::InvalidPath);
        EXPECT_EQ(e.message(), from_root);
        EXPECT_TRUE(fs::exists(out / "dest/a"));  // written before the bad entry
        EXPECT_EQ(tree_of(out / "dest/b"), std::set<std::string>());
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
    const Bytes good = testing_util::random_bytes(5000, 1), cut = testing_util::random_bytes(4096, 2);
    builder.add_file(2, u"good", good);
    const uint32_t dir = builder.add_folder(2, u"z");
    builder.add_file(dir, u"short", cut, 1, 3 * 4096);
    testing_util::ScratchDir out;
    const auto dmg = make_dmg(out / "v.dmg", {{kHfsName, builder.build()}});
    for (auto mode : {kiv::ExtractionMode::TempFile, kiv::ExtractionMode::InMemory}) {
        auto fs = ok(ok(DmgPipeline::open(dmg.string())).open_filesystem_with_mode(mode));
        const fs::path dest = out / (mode == kiv::ExtractionMode::TempFile ? "temp" : "memory");
        const auto e = error_of(fs.extract_path("/", dest));
        EXPECT_EQ(e.kind(), Kind::HfsPlus);
        EXPECT_EQ(e.message(), "HFS+ error: corrupted data: file \"/z/short\" declares 12288 bytes but only 4096 "
                               "could be read");
        EXPECT_EQ(tree_of(dest), (std::set<std::string>{"good:5000", "link:3", "z/"}));
        EXPECT_EQ(testing_util::read_bytes(dest / "link"), (Bytes{'l', 'n', 'k'}));
        EXPECT_EQ(error_of(fs.extract_path(std::string("/\0\0\0\0HFS+ Private Data", 22), dest)).kind(),
                  Kind::NoEntries);
    }
}

TEST(VolumeRecords, HfsxAndRawDatesComeThroughUnchanged) {
    hfs_test::VolumeBuilder builder(/*hfsx=*/true);
    const uint32_t id = builder.add_file(2, u"f", {'1', '2'});
    testing_util::ScratchDir out;
    const auto dmg = make_dmg(out / "hfsx.dmg", {{"disk image (Apple_HFSX : 1)", builder.build()}});
    auto fs = ok(ok(DmgPipeline::open(dmg.string())).open_filesystem_with_mode(kiv::ExtractionMode::InMemory));
    const auto info = fs.volume_info();
    EXPECT_EQ(info.is_hfsx, true);
    EXPECT_EQ(info.version, 5);
    const auto st = ok(fs.stat("/f"));
    EXPECT_EQ(st.id, id);
    EXPECT_EQ(st.create_time, int64_t(0xC0000000u + 10 * id));
    EXPECT_EQ(st.modify_time, int64_t(0xC0000000u + 10 * id + 1));
    EXPECT_EQ(st.uid, 501u);
    EXPECT_EQ(st.gid, 20u);
}

TEST(VolumeRecords, ExistsThroughADamagedCatalogNodeFails) {
    hfs_test::VolumeBuilder builder;
    builder.add_file(2, u"f", {'1'});
    Bytes volume = builder.build();
    const size_t node = builder.catalog_offset + size_t(builder.catalog_root) * 4096;
    std::fill(volume.begin() + ptrdiff_t(node), volume.begin() + ptrdiff_t(node) + 14, 0xEE);  // the node descriptor
    testing_util::ScratchDir out;
    const auto dmg = make_dmg(out / "bad.dmg", {{kHfsName, volume}});
    auto fs = ok(ok(DmgPipeline::open(dmg.string())).open_filesystem());
    const auto e = error_of(fs.exists("/f"));
    EXPECT_EQ(e.kind(), Kind::HfsPlus) << e.message();
    EXPECT_EQ(error_of(fs.extract_path("/", out / "dest")).kind(), Kind::HfsPlus);
}

TEST(VolumeRecords, ResourceForksAndSymlinksOfARealVolume) {
    const Bytes raw = testing_util::read_bytes(KIV_REQUIRE_FIXTURE("hfsplus.raw"));
    testing_util::ScratchDir out;
    const auto dmg = make_dmg(out / "real.dmg", {{kHfsName, raw}});
    auto fs = ok(ok(DmgPipeline::open(dmg.string())).open_filesystem());
    EXPECT_GT(ok(fs.stat("/a_directory/a_resourcefork")).resource_fork_size.value_or(0), 0u);
    EXPECT_FALSE(ok(fs.stat("/a_directory/a_file")).resource_fork_size);
    const auto stats = ok(fs.extract_path("/", out / "dest"));
    EXPECT_EQ(stats.symlinks_skipped, 1u);
    EXPECT_FALSE(fs::exists(fs::symlink_status(out / "dest/a_link")));
    EXPECT_EQ(testing_util::read_bytes(out / "dest/passwords.txt").size(), 116u);
}

// macOS volumes with compressed files, hard links, names with "/" and the
// private folders: every file extracts with the contents read_file gives
// (which the HFS+ tests hold against 7-Zip).
TEST(ExtractPath, MacOsVolumesExtractWhole) {
    for (const char* fixture : {"real/libdmg-hfsplus/ImgTest.dmg", "real/keramics/hfsplus_zlib.dmg",
                                "real/hfsplus-rs/hfsp-small.img"}) {
        SCOPED_TRACE(fixture);
        const fs::path path = KIV_REQUIRE_FIXTURE(fixture);
        testing_util::ScratchDir out;
        fs::path dmg = path;
        const Bytes bytes = testing_util::read_bytes(path);
        if (bytes.size() > 1025 && bytes[1024] == 'H' && bytes[1025] == '+')  // a bare volume
            dmg = make_dmg(out / "v.dmg", {{kHfsName, bytes}});
        for (auto mode : {kiv::ExtractionMode::TempFile, kiv::ExtractionMode::InMemory}) {
            auto fs = ok(ok(DmgPipeline::open(dmg.string())).open_filesystem_with_mode(mode));
            const fs::path dest = out / (mode == kiv::ExtractionMode::TempFile ? "temp" : "memory");
            const auto stats = ok(fs.extract_path("/", dest));
            uint64_t files = 0, bytes = 0;
            for (const auto& e : ok(fs.walk())) {
                if (e.kind != kiv::FsEntryKind::File || e.path.find("HFS+ Private") != std::string::npos) continue;
                ++files;
                bytes += e.size;
                EXPECT_EQ(testing_util::read_bytes(dest / e.path.substr(1)), ok(fs.read_file(e.path))) << e.path;
            }
            EXPECT_EQ(std::tuple(stats.files, stats.bytes), std::tuple(files, bytes));
            for (const auto& top : fs::directory_iterator(dest))
                EXPECT_EQ(top.path().filename().string().find("HFS+ Private"), std::string::npos);
        }
    }
}

TEST(ExtractPath, ApfsVolumeExtractsLikeSevenZipLists) {
    const fs::path path = KIV_REQUIRE_FIXTURE("real/homebrew/container-apfs.dmg");
    testing_util::ScratchDir out;
    auto fs = ok(ok(DmgPipeline::open(path.string())).open_filesystem_with_mode(kiv::ExtractionMode::InMemory));
    const auto stats = ok(fs.extract_path("/", out.path()));
    uint64_t files = 0, bytes = 0;
    for (const auto& e : ok(fs.walk()))
        if (e.kind == kiv::FsEntryKind::File) {
            ++files;
            bytes += e.size;
            EXPECT_EQ(testing_util::read_bytes(out.path() / e.path.substr(1)), ok(fs.read_file(e.path))) << e.path;
        }
    EXPECT_GE(files, 1u);
    EXPECT_EQ(stats.files, files);
    EXPECT_EQ(stats.bytes, bytes);
}

}  // namespace
