// Catalog records, comparators, lookups and path resolution.
#include <gtest/gtest.h>

#include "apfs/apfs.hpp"
#include "container_builder.hpp"
#include "core/endian.hpp"
#include "support.hpp"

#include <map>

namespace {

using apfs::EntryKind;
using apfs_test::ContainerBuilder;
using Bytes = std::vector<uint8_t>;
namespace catalog = apfs::catalog;

Bytes with_u16s(Bytes b, size_t at, std::initializer_list<uint16_t> values) {
    for (uint16_t v : values) {
        if (b.size() < at + 2) b.resize(at + 2);
        core::store_le16(&b[at], v);
        at += 2;
    }
    return b;
}

TEST(CatalogRecordTest, KeyComparators) {
    auto inode = ContainerBuilder::key_header(20, 3);
    EXPECT_EQ(catalog::compare_key_to(inode, 20, 3), std::strong_ordering::equal);
    EXPECT_EQ(catalog::compare_key_to(inode, 20, 9), std::strong_ordering::less);
    EXPECT_EQ(catalog::compare_key_to(inode, 19, 9), std::strong_ordering::greater);
    EXPECT_EQ(catalog::compare_key_to(Bytes(7), 0, 0), std::strong_ordering::less);

    auto key = ContainerBuilder::xattr_key(20, "com.apple.fs.symlink");
    auto name = [](std::string s) { Bytes b(s.begin(), s.end()); b.push_back(0); return b; };
    EXPECT_EQ(catalog::compare_xattr_key(key, 20, name("com.apple.fs.symlink")), std::strong_ordering::equal);
    EXPECT_EQ(catalog::compare_xattr_key(key, 20, name("com.apple.fs.symlinkz")), std::strong_ordering::less);
    EXPECT_EQ(catalog::compare_xattr_key(key, 20, name("com.apple.a")), std::strong_ordering::greater);
    EXPECT_EQ(catalog::compare_xattr_key(key, 21, name("a")), std::strong_ordering::less);
    EXPECT_EQ(catalog::compare_xattr_key(ContainerBuilder::key_header(20, 4), 20, name("")),
              std::strong_ordering::less);  // no name bytes: a proper prefix of "\0"
}

TEST(CatalogRecordTest, InodeValues) {
    EXPECT_APFS_ERROR(apfs::InodeVal::parse(Bytes(91)), CorruptedData, "corrupted data: inode value too short: 91 bytes");
    auto fixed = apfs::InodeVal::parse(Bytes(92));
    ASSERT_TRUE(fixed);
    EXPECT_FALSE(fixed->dstream_size);

    // A name field, then a data-stream field of 16 bytes holding 1000: the
    // size is 1000 whatever the uncompressed-size field says.
    Bytes v(92);
    core::store_le64(&v[84], 5);
    v = with_u16s(v, 92, {2, 24});
    v.insert(v.end(), {4, 0, 3, 0, 8, 0, 16, 0});
    v.insert(v.end(), {'a', 'b', 0, 0, 0, 0, 0, 0});
    Bytes stream(16);
    core::store_le64(stream.data(), 1000);
    v.insert(v.end(), stream.begin(), stream.end());
    auto inode = apfs::InodeVal::parse(v);
    ASSERT_TRUE(inode);
    EXPECT_EQ(inode->size(), 1000u);
    // The same field cut short leaves the uncompressed size.
    EXPECT_EQ(apfs::InodeVal::parse(std::span(v).first(v.size() - 9))->size(), 5u);
    // A field count whose headers do not fit: no data stream.
    auto lying = with_u16s(v, 92, {60000});
    EXPECT_EQ(apfs::InodeVal::parse(lying)->size(), 5u);
    // A data-stream header of fewer than 8 bytes is passed over.
    auto small = v;
    small[102] = 4;
    EXPECT_EQ(apfs::InodeVal::parse(small)->size(), 5u);
}

TEST(CatalogRecordTest, DirectoryRecordsExtentsAndAttributes) {
    EXPECT_APFS_ERROR(catalog::decode_drec_name(Bytes(11)), InvalidBTree, "invalid B-tree: drec key too short for name");
    auto key = ContainerBuilder::drec_key(2, "readme");
    EXPECT_EQ(*catalog::decode_drec_name(key), "readme");
    EXPECT_APFS_ERROR(catalog::decode_drec_name(std::span(key).first(key.size() - 1)), InvalidBTree,
                      "invalid B-tree: drec name extends beyond key: name_end=19, key_len=18");
    key[14] = 0;  // "re\0dme"
    EXPECT_EQ(*catalog::decode_drec_name(key), "re");

    EXPECT_APFS_ERROR(apfs::DrecVal::parse(Bytes(17)), CorruptedData, "corrupted data: drec value too short: 17 bytes");
    EXPECT_EQ(apfs::DrecVal::parse(ContainerBuilder::drec_value(5, 4))->kind(), EntryKind::Directory);
    EXPECT_EQ(apfs::DrecVal::parse(ContainerBuilder::drec_value(5, 10))->kind(), EntryKind::Symlink);
    EXPECT_EQ(apfs::DrecVal::parse(ContainerBuilder::drec_value(5, 0x14))->kind(), EntryKind::Directory);
    EXPECT_EQ(apfs::DrecVal::parse(ContainerBuilder::drec_value(5, 1))->kind(), EntryKind::File);

    EXPECT_APFS_ERROR(apfs::FileExtentVal::parse(Bytes(23)), CorruptedData,
                      "corrupted data: file extent value too short: 23 bytes");
    EXPECT_APFS_ERROR(catalog::parse_file_extent_logical_addr(Bytes(15)), CorruptedData,
                      "corrupted data: file extent key too short for a logical address: 15 bytes");
    EXPECT_EQ(*catalog::parse_file_extent_logical_addr(ContainerBuilder::extent_key(9, 4096)), 4096u);

    EXPECT_APFS_ERROR(catalog::parse_xattr_value(Bytes(3)), CorruptedData, "corrupted data: xattr value too short: 3 bytes");
    EXPECT_APFS_ERROR(catalog::parse_xattr_value(with_u16s({}, 0, {1, 0})), Unsupported,
                      "unsupported: xattr is stored as a data stream, not embedded in the record");
    auto embedded = with_u16s({}, 0, {2, 100});  // declares 100 bytes, holds 3
    embedded.insert(embedded.end(), {'a', 'b', 'c'});
    EXPECT_EQ(*catalog::parse_xattr_value(embedded), (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(std::string(apfs::to_string(EntryKind::Symlink)), "Symlink");
}

class PathTest : public ::testing::Test {
protected:
    void SetUp() override {
        ContainerBuilder b;
        docs_ = b.add_dir(ContainerBuilder::kRoot, "docs");
        readme_ = b.add_file(docs_, "readme.txt", apfs_test::bytes_of("hello"));
        b.add_file(ContainerBuilder::kRoot, "Upper", apfs_test::bytes_of("U"));
        b.add_drec(ContainerBuilder::kRoot, "ghost", 5000, 8);    // no inode
        b.add_drec(ContainerBuilder::kRoot, "gone_dir", 5001, 4);  // no inode either
        b.add_record(ContainerBuilder::drec_key(ContainerBuilder::kRoot, "short"), Bytes(10));  // bad value
        auto bad_name = ContainerBuilder::drec_key(ContainerBuilder::kRoot, "badname");
        bad_name[8] = 0xFF, bad_name[9] |= 3;  // name length beyond the key
        b.add_record(bad_name, ContainerBuilder::drec_value(docs_, 4));
        volume_.emplace(apfs_test::open_volume(b.build()));
        tree_ = volume_->catalog_tree();
    }
    std::optional<apfs::ApfsVolume> volume_;
    catalog::Tree tree_;
    uint64_t docs_ = 0, readme_ = 0;
};

TEST_F(PathTest, Resolution) {
    auto& src = volume_->source();
    for (const char* root : {"", "/", "///"}) EXPECT_EQ(catalog::resolve_path(src, tree_, root)->first, 2u) << root;
    EXPECT_EQ(catalog::resolve_path(src, tree_, "docs/readme.txt")->first, readme_);
    EXPECT_EQ(catalog::resolve_path(src, tree_, "//docs//readme.txt/")->first, readme_);
    EXPECT_EQ(catalog::resolve_path(src, tree_, "/docs")->second.mode & 0xF000, 0x4000);
    EXPECT_APFS_ERROR(catalog::resolve_path(src, tree_, "docs/readme.txt/x"), NotADirectory,
                      "not a directory: docs/readme.txt");
    EXPECT_APFS_ERROR(catalog::resolve_path(src, tree_, "/docs/missing/x"), FileNotFound, "file not found: missing");
    EXPECT_APFS_ERROR(catalog::resolve_path(src, tree_, "upper"), FileNotFound, "file not found: upper");
    EXPECT_TRUE(catalog::resolve_path(src, tree_, "Upper"));
    EXPECT_APFS_ERROR(catalog::resolve_path(src, tree_, "ghost"), FileNotFound, "file not found: inode OID 5000");
    EXPECT_APFS_ERROR(catalog::resolve_path(src, tree_, "short"), CorruptedData,
                      "corrupted data: drec value too short: 10 bytes");
    EXPECT_APFS_ERROR(catalog::resolve_path(src, tree_, "badname"), FileNotFound, "file not found: badname");
    EXPECT_EQ(catalog::split_path("a//b/"), (std::vector<std::string_view>{"a", "b"}));
}

TEST_F(PathTest, ListingToleratesBadRecords) {
    auto entries = catalog::list_directory(volume_->source(), tree_, 2);
    ASSERT_TRUE(entries);
    std::map<std::string, apfs::DirEntry> by_name;
    for (auto& e : *entries) by_name[e.name] = e;
    EXPECT_EQ(by_name.size(), 4u);  // docs, Upper, ghost, gone_dir; "short" and "badname" skipped
    EXPECT_FALSE(by_name.count("short") || by_name.count("badname"));
    const auto& ghost = by_name.at("ghost");
    EXPECT_EQ(ghost.size, 0u);
    EXPECT_EQ(ghost.mod_time, 0u);
    EXPECT_EQ(by_name.at("gone_dir").kind, EntryKind::Directory);
    EXPECT_EQ(by_name.at("Upper").size, 1u);
    EXPECT_NE(by_name.at("Upper").mod_time, 0u);
    EXPECT_APFS_ERROR(catalog::lookup_inode(volume_->source(), tree_, 4999), FileNotFound,
                      "file not found: inode OID 4999");
    EXPECT_FALSE(*catalog::lookup_xattr(volume_->source(), tree_, readme_, "nothing"));
}

}  // namespace
