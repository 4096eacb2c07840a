// Catalog records and their key order.
#include "core/endian.hpp"
#include "support.hpp"

namespace {

using namespace apfs_test;
using apfs::EntryKind;
using B = ContainerBuilder;
namespace catalog = apfs::catalog;

Bytes u16s(std::initializer_list<uint16_t> values) {
    Bytes out(values.size() * 2);
    for (size_t i = 0; i < values.size(); ++i) core::store_le16(&out[i * 2], values.begin()[i]);
    return out;
}
Bytes cstr(const std::string& s) { return {s.c_str(), s.c_str() + s.size() + 1}; }

TEST(CatalogTest, RecordsAndKeyOrder) {
    auto key = B::drec_key(2, "readme");
    expect_cases({
        {"inode", outcome(apfs::catalog::parse_inode(Bytes(91))), "corrupted data: inode value too short: 91 bytes"},
        {"drec value", outcome(apfs::DrecVal::parse(Bytes(17))), "corrupted data: drec value too short: 17 bytes"},
        {"drec key", outcome(catalog::decode_drec_name(Bytes(11))), "invalid B-tree: drec key too short for name"},
        {"drec name", outcome(catalog::decode_drec_name(std::span(key).first(key.size() - 1))),
         "invalid B-tree: drec name extends beyond key: name_end=19, key_len=18"},
        {"extent value", outcome(apfs::FileExtentVal::parse(Bytes(23))),
         "corrupted data: file extent value too short: 23 bytes"},
        {"extent key", outcome(catalog::parse_file_extent_logical_addr(Bytes(15))),
         "corrupted data: file extent key too short for a logical address: 15 bytes"},
        {"xattr", outcome(catalog::parse_xattr_value(Bytes(3))), "corrupted data: xattr value too short: 3 bytes"},
        {"xattr stream", outcome(catalog::parse_xattr_value(u16s({1, 0}))),
         "unsupported: xattr is stored as a data stream, not embedded in the record"},
        {"xattr stream cut", outcome(catalog::parse_xattr(u16s({1, 48, 7, 0, 0, 0}))),
         "corrupted data: xattr data stream too short: 8 bytes"},
    });

    // Keys too short to hold what is compared order first; so does a name
    // that is a proper prefix of the other.
    EXPECT_EQ(catalog::compare_key_to(Bytes(7), 0, 0), std::strong_ordering::less);
    auto xattr = B::xattr_key(20, "com.apple.fs.symlink");
    EXPECT_EQ(catalog::compare_xattr_key(xattr, 20, cstr("com.apple.fs.symlinkz")), std::strong_ordering::less);
    EXPECT_EQ(catalog::compare_xattr_key(xattr, 20, cstr("com.apple.fs.s")), std::strong_ordering::greater);
    EXPECT_EQ(catalog::compare_xattr_key(B::key_header(20, 4), 20, cstr("")), std::strong_ordering::less);

    key[14] = 0;  // "re\0dme"
    EXPECT_EQ(*catalog::decode_drec_name(key), "re");
    EXPECT_EQ(apfs::DrecVal::parse(B::drec_value(5, 0x14))->kind(), EntryKind::Directory);  // type in the low bits
    EXPECT_EQ(*catalog::parse_xattr_value(concat({u16s({2, 100}), bytes_of("abc")})), bytes_of("abc"));  // declares 100
    // A value in a data stream: the stream's id, then its size.
    auto stream = catalog::parse_xattr(u16s({1, 48, 40, 0, 0, 0, 17, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(std::tuple(stream->stream->id, stream->stream->size), std::tuple(40u, 17u));

    // An inode with a name field, then a data-stream field of 16 bytes
    // holding 1000: that is the size, whatever the uncompressed size says.
    Bytes v(92);
    core::store_le64(&v[84], 5);
    v = concat({v, u16s({2, 24, 4, 3, 8, 16}), bytes_of("ab"), Bytes(6), Bytes{0xE8, 3}, Bytes(14)});
    EXPECT_EQ(apfs::catalog::parse_inode(v)->size(), 1000u);
    EXPECT_FALSE(apfs::catalog::parse_inode(std::span(v).first(92))->dstream_size);
    EXPECT_EQ(apfs::catalog::parse_inode(std::span(v).first(v.size() - 9))->size(), 5u);  // the field cut short
    auto lying = v, small = v;
    core::store_le16(&lying[92], 60000);  // field headers that do not fit
    small[102] = 4;                       // a data-stream field of fewer than 8 bytes
    EXPECT_EQ(apfs::catalog::parse_inode(lying)->size(), 5u);
    EXPECT_EQ(apfs::catalog::parse_inode(small)->size(), 5u);
}

}  // namespace
