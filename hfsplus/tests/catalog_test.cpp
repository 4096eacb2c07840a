// Catalog keys and records, name orders on real trees, listing and path resolution.
#include <gtest/gtest.h>

#include "core/endian.hpp"
#include "test_support.hpp"
#include "testing/testing.hpp"

namespace {

using hfs_test::VolumeBuilder;
using hfsplus::EntryKind;
using hfsplus::HfsPlusError;
using Kind = HfsPlusError::Kind;

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<std::string> names(const std::vector<hfsplus::DirEntry>& list) {
    std::vector<std::string> out;
    for (auto& e : list) out.push_back(e.name);
    return out;
}

// A tree with enough records for several leaves and two index levels (512-byte nodes).
struct Sample {
    VolumeBuilder builder{false, 4096, 512};
    uint32_t a = 0, b = 0, c = 0, many = 0, file = 0;
    std::vector<uint8_t> image;

    explicit Sample(bool hfsx = false) : builder(hfsx, 4096, 512) {
        a = builder.add_folder(2, u"a");
        b = builder.add_folder(a, u"b");
        c = builder.add_folder(2, u"c");
        file = builder.add_file(2, u"file.txt", bytes("hello"));
        builder.add_symlink(2, u"link", "a/b");
        builder.add_file(2, u"Applications", bytes("apps"));
        many = builder.add_folder(2, u"many");
        for (int i = 0; i < 60; ++i) builder.add_file(many, u"entry" + std::u16string(1, char16_t(u'A' + i % 26)) + char16_t(u'0' + i / 26), bytes(std::to_string(i)));
        builder.add_file(2, u"\u00E4rger", bytes("umlaut"));
        builder.add_file(2, u"\u01C5", bytes("dz"));
        builder.add_file(2, u"_under", {});
        if (hfsx) builder.add_file(2, u"A", bytes("upper"));  // beside the folder "a": HFSX only
        image = builder.build();
    }
};

TEST(Catalog, WalkIsPreOrderInCatalogOrder) {
    Sample s;
    auto vol = hfs_test::open_memory(s.image);
    EXPECT_GE(vol.catalog_tree().tree_depth, 3);
    auto walk = vol.walk();
    ASSERT_TRUE(walk) << walk.error();
    std::vector<std::string> paths;
    for (auto& w : *walk)
        if (!w.path.starts_with("/many/")) paths.push_back(w.path);
    // "_" (0x5F) sorts before "A", which folds to "a" (0x61).
    EXPECT_EQ(paths, (std::vector<std::string>{"/_under", "/a", "/a/b", "/Applications", "/c", "/file.txt",
                                               "/link", "/many", "/\u00E4rger", "/\u01C5"}));
    auto many = vol.list_directory("/many");
    ASSERT_TRUE(many);
    ASSERT_EQ(many->size(), 60u);  // spread over several leaves
    EXPECT_EQ(many->front().name, "entryA0");
    EXPECT_EQ(many->back().name, "entryZ1");
}

TEST(Catalog, ListingAndStatOfEntries) {
    Sample s;
    auto vol = hfs_test::open_memory(s.image);
    auto root = vol.list_directory("/");
    auto empty_path = vol.list_directory("");
    ASSERT_TRUE(root && empty_path);
    EXPECT_EQ(names(*root), names(*empty_path));

    auto link = std::find_if(root->begin(), root->end(), [](auto& e) { return e.name == "link"; });
    ASSERT_NE(link, root->end());
    EXPECT_EQ(link->kind, EntryKind::Symlink);
    EXPECT_EQ(link->size, 3u);
    auto link_stat = vol.stat("/link");
    ASSERT_TRUE(link_stat);
    EXPECT_EQ(link_stat->kind, EntryKind::File);
    EXPECT_EQ(link_stat->size, 3u);

    auto file = vol.stat("/file.txt");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->id, s.file);
    EXPECT_EQ(file->uid, 501u);
    EXPECT_EQ(file->gid, 20u);
    EXPECT_EQ(file->mode, 0100644);
    EXPECT_EQ(file->create_time, 0xC0000000u + s.file * 10);
    EXPECT_EQ(file->modify_time, 0xC0000000u + s.file * 10 + 1);
    EXPECT_EQ(file->data_fork_extents, 1u);

    auto folder = vol.stat("/a/b/");
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->kind, EntryKind::Directory);
    EXPECT_EQ(folder->id, s.b);
    auto root_stat = vol.stat("/");
    ASSERT_TRUE(root_stat);
    EXPECT_EQ(root_stat->id, 2u);

    auto of_file = vol.list_directory("/file.txt");
    ASSERT_TRUE(of_file);
    EXPECT_TRUE(of_file->empty());
    auto nothing = hfsplus::catalog::list_directory(vol.source(), vol.header(), vol.catalog_tree(), 9999);
    ASSERT_TRUE(nothing);
    EXPECT_TRUE(nothing->empty());

    auto empty = vol.read_file("/_under");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

TEST(Catalog, PathResolution) {
    Sample s;
    auto vol = hfs_test::open_memory(s.image);
    auto& src = vol.source();
    for (const char* p : {"", "///"}) {
        auto r = hfsplus::catalog::resolve_path(src, vol.header(), vol.catalog_tree(), p);
        ASSERT_TRUE(r) << r.error();
        EXPECT_EQ(r->name, "Test");
        ASSERT_TRUE(std::holds_alternative<hfsplus::CatalogFolder>(r->record));
        EXPECT_EQ(std::get<hfsplus::CatalogFolder>(r->record).folder_id, 2u);
    }
    auto r = hfsplus::catalog::resolve_path(src, vol.header(), vol.catalog_tree(), "a//b");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->name, "b");

    auto miss = vol.stat("/missing/x");
    EXPECT_EQ(miss.error().message(), "file not found: missing");
    auto miss2 = vol.stat("/a/missing");
    EXPECT_EQ(miss2.error().message(), "file not found: a/missing");
    auto under_file = vol.stat("/file.txt/x");
    EXPECT_EQ(under_file.error().message(), "not a directory: file.txt");
    EXPECT_EQ(under_file.error().kind(), Kind::NotADirectory);
    auto dot = vol.stat("/a/../c");
    EXPECT_EQ(dot.error().message(), "file not found: a/..");  // ".." is an ordinary name
    auto folder = vol.resolve_path_to_file("/a/b");
    EXPECT_EQ(folder.error().message(), "not a directory: /a/b");
    auto read_folder = vol.read_file("a");
    EXPECT_EQ(read_folder.error().message(), "not a directory: a");
}

TEST(Catalog, CaseFoldingOnHfsPlusExactNamesOnHfsx) {
    Sample plus;
    auto vol = hfs_test::open_memory(plus.image);
    auto x = vol.stat("/applications");
    auto y = vol.stat("/APPLICATIONS");
    ASSERT_TRUE(x && y);
    EXPECT_EQ(x->id, y->id);
    EXPECT_TRUE(vol.stat("/\u00C4RGER"));  // Ä finds ä
    EXPECT_TRUE(vol.stat("/\u01C6"));      // macOS folds Ǆ ǅ ǆ together

    Sample hfsx(true);
    auto xvol = hfs_test::open_memory(hfsx.image);
    EXPECT_TRUE(xvol.header().is_hfsx);
    EXPECT_TRUE(xvol.stat("/Applications"));
    EXPECT_EQ(xvol.stat("/APPLICATIONS").error().kind(), Kind::FileNotFound);
    EXPECT_EQ(xvol.stat("/\u00C4rger").error().kind(), Kind::FileNotFound);
    EXPECT_EQ(xvol.stat("/\u01C6").error().kind(), Kind::FileNotFound);
    auto upper = xvol.read_file("/A");
    auto lower = xvol.read_file("/a");
    ASSERT_TRUE(upper);
    EXPECT_EQ(std::string(upper->begin(), upper->end()), "upper");
    EXPECT_EQ(lower.error().message(), "not a directory: /a");
    auto root = xvol.list_directory("/");
    ASSERT_TRUE(root);
    auto n = names(*root);
    // Binary order: "A" (0x41) before "_" (0x5F) before "a".
    EXPECT_LT(std::find(n.begin(), n.end(), "A"), std::find(n.begin(), n.end(), "_under"));
    EXPECT_LT(std::find(n.begin(), n.end(), "_under"), std::find(n.begin(), n.end(), "a"));
}

TEST(Catalog, KeyAndRecordParsing) {
    using hfsplus::catalog::parse_catalog_key;
    using hfsplus::catalog::parse_catalog_record;
    std::vector<uint8_t> key = {0, 7, 0, 0, 0, 2, 0, 2, 0, 'h', 0, 'i', 0xEE, 0, 1};
    auto k = parse_catalog_key(key);
    ASSERT_TRUE(k);
    EXPECT_EQ(k->key.parent_id, 2u);
    EXPECT_EQ(k->key.name, (std::vector<uint16_t>{'h', 'i'}));
    EXPECT_EQ(k->data_offset, 10u);  // odd key length 7, padded
    EXPECT_EQ(parse_catalog_key(std::span(key).first(7)).error().message(), "invalid B-tree: catalog key too short");
    EXPECT_EQ(parse_catalog_key(std::span(key).first(11)).error().message(),
              "invalid B-tree: catalog key name extends beyond data: name_end=12, data_len=11");

    EXPECT_EQ(parse_catalog_record(std::vector<uint8_t>{0}).error().message(), "invalid B-tree: catalog record too short");
    EXPECT_EQ(parse_catalog_record(std::vector<uint8_t>{0, 7}).error().message(),
              "invalid B-tree: unknown catalog record type: 0x0007");
    auto folder = hfs_test::folder_record_data(77);
    EXPECT_EQ(parse_catalog_record(std::span(folder).first(83)).error().kind(), Kind::Io);
    auto f = parse_catalog_record(std::span(folder).first(84));
    ASSERT_TRUE(f);
    EXPECT_EQ(std::get<hfsplus::CatalogFolder>(*f).folder_id, 77u);
    auto thread = hfs_test::thread_record_data(4, 9, u"név");
    auto t = parse_catalog_record(thread);
    ASSERT_TRUE(t);
    EXPECT_EQ(std::get<hfsplus::CatalogFileThread>(*t).name, "név");
    EXPECT_EQ(std::get<hfsplus::CatalogFileThread>(*t).parent_id, 9u);
    EXPECT_EQ(parse_catalog_record(std::span(thread).first(thread.size() - 1)).error().message(),
              "I/O error: failed to fill whole buffer");
}

TEST(Catalog, ThreadRecordsUnderANameAndMissingData) {
    VolumeBuilder b;
    b.add_raw_record(2, u"thread", hfs_test::thread_record_data(3, 1, u"x"));
    b.add_raw_record(2, u"bare", {});
    b.add_raw_record(2, u"junk", {0, 9, 0, 0});
    b.add_file(2, u"ok", bytes("fine"));
    auto vol = hfs_test::open_memory(b.build());
    EXPECT_EQ(vol.stat("/thread").error().message(), "corrupted data: unexpected thread record");
    EXPECT_EQ(vol.list_directory("/thread").error().message(), "corrupted data: unexpected thread record");
    EXPECT_EQ(vol.read_file("/thread").error().message(), "corrupted data: unexpected thread record");
    EXPECT_EQ(vol.stat("/thread/x").error().message(),
              "corrupted data: unexpected thread record in path resolution");
    EXPECT_EQ(vol.stat("/bare").error().message(), "invalid B-tree: record data missing after key");
    // Listing skips records without data and thread records, and fails on unknown types.
    auto list = vol.list_directory("/");
    ASSERT_FALSE(list);
    EXPECT_EQ(list.error().message(), "invalid B-tree: unknown catalog record type: 0x0009");
}

TEST(Catalog, CyclesAreBounded) {
    // A folder listed inside itself.
    {
        VolumeBuilder b;
        uint32_t a = b.add_folder(2, u"a");
        b.add_raw_record(a, u"again", hfs_test::folder_record_data(a));
        auto vol = hfs_test::open_memory(b.build());
        auto walk = vol.walk();
        ASSERT_FALSE(walk);
        EXPECT_EQ(walk.error().kind(), Kind::CorruptedData);
        EXPECT_TRUE(vol.stat("/a/again/again/again"));  // resolution itself is finite
    }
    Sample s;
    const auto& layout = s.builder.layout();
    const uint64_t node = 512;
    // A leaf whose forward link points back at itself.
    {
        auto img = s.image;
        core::store_be32(img.data() + layout.catalog_offset + layout.last_leaf * node, layout.last_leaf);
        auto vol = hfs_test::open_memory(img);
        auto list = hfsplus::catalog::list_directory(vol.source(), vol.header(), vol.catalog_tree(), 0xFFFFFF00);
        ASSERT_FALSE(list);
        EXPECT_EQ(list.error().kind(), Kind::InvalidBTree);
    }
    // An index node whose first child is itself.
    {
        auto img = s.image;
        uint8_t* root = img.data() + layout.catalog_offset + layout.catalog_root * node;
        uint16_t first = core::load_be16(root + node - 2);
        uint16_t key_len = core::load_be16(root + first);
        core::store_be32(root + first + 2 + key_len, layout.catalog_root);
        auto vol = hfs_test::open_memory(img);
        auto st = vol.stat("/_under");
        ASSERT_FALSE(st);
        EXPECT_EQ(st.error().kind(), Kind::InvalidBTree);
        EXPECT_EQ(vol.list_directory("/").error().kind(), Kind::InvalidBTree);
    }
    // An empty tree: root node 0.
    {
        auto img = s.image;
        core::store_be32(img.data() + layout.catalog_offset + 16, 0);
        auto vol = hfs_test::open_memory(img);
        EXPECT_EQ(vol.stat("/a").error().message(), "file not found: a");
        EXPECT_EQ(vol.stat("/").error().message(), "file not found: root folder");
        auto list = hfsplus::catalog::list_directory(vol.source(), vol.header(), vol.catalog_tree(), 2);
        ASSERT_TRUE(list);
        EXPECT_TRUE(list->empty());
    }
}

TEST(Catalog, BuilderAgreesWithSevenZip) {
    KIV_REQUIRE_TOOL("7zz");
    Sample s;
    testing_util::ScratchDir dir;
    testing_util::write_bytes(dir / "v.hfs", s.image);
    auto vol = hfs_test::open_memory(s.image);
    EXPECT_GE(hfs_test::expect_matches_seven_zip(vol, dir / "v.hfs"), 60u);
}

}  // namespace
