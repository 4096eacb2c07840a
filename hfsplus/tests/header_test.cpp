// The volume header, fork records and the error texts.
#include <gtest/gtest.h>

#include "core/endian.hpp"
#include "hfsplus/hfsplus.hpp"
#include "test_support.hpp"

namespace {

using hfsplus::HfsPlusError;
using Kind = HfsPlusError::Kind;

std::vector<uint8_t> header_image(size_t size, uint16_t signature, uint16_t version) {
    std::vector<uint8_t> img(size);
    if (size >= 1026) core::store_be16(img.data() + 1024, signature);
    if (size >= 1028) core::store_be16(img.data() + 1026, version);
    return img;
}

hfsplus::Result<hfsplus::VolumeHeader> parse(std::vector<uint8_t> img) {
    core::MemorySource src(std::move(img));
    return hfsplus::VolumeHeader::parse(src);
}

TEST(VolumeHeader, SignatureThenVersionThenLength) {
    auto tiny = parse(std::vector<uint8_t>(1025));
    ASSERT_FALSE(tiny);
    EXPECT_EQ(tiny.error().message(), "I/O error: failed to fill whole buffer");

    auto no_version = parse(header_image(1026, 0x482B, 0));
    ASSERT_FALSE(no_version);
    EXPECT_EQ(no_version.error().kind(), Kind::Io);

    auto zero = parse(header_image(1026, 0x0000, 0));
    ASSERT_FALSE(zero);
    EXPECT_EQ(zero.error().kind(), Kind::InvalidSignature);
    EXPECT_EQ(zero.error().number(), 0);
    EXPECT_EQ(zero.error().message(), "invalid HFS+ signature: 0x0000 (expected 0x482B or 0x4858)");

    auto hfs_wrapper = parse(header_image(1536, 0x4244, 4));  // "BD": plain HFS
    ASSERT_FALSE(hfs_wrapper);
    EXPECT_EQ(hfs_wrapper.error().message(), "invalid HFS+ signature: 0x4244 (expected 0x482B or 0x4858)");

    auto v6 = parse(header_image(1536, 0x482B, 6));
    ASSERT_FALSE(v6);
    EXPECT_EQ(v6.error().kind(), Kind::UnsupportedVersion);
    EXPECT_EQ(v6.error().message(), "unsupported version: 6");

    auto cut = parse(header_image(1535, 0x482B, 4));
    ASSERT_FALSE(cut);
    EXPECT_EQ(cut.error().message(), "I/O error: failed to fill whole buffer");

    auto hfsx = parse(header_image(1536, 0x4858, 5));
    ASSERT_TRUE(hfsx);
    EXPECT_TRUE(hfsx->is_hfsx);
    auto plus5 = parse(header_image(1536, 0x482B, 5));
    ASSERT_TRUE(plus5);
    EXPECT_FALSE(plus5->is_hfsx);
}

TEST(VolumeHeader, EveryFieldLandsInPlace) {
    std::vector<uint8_t> img(1536);
    uint8_t* h = img.data() + 1024;
    for (size_t i = 4; i < 512; ++i) h[i] = uint8_t(i * 7 + 3);
    core::store_be16(h, 0x482B);
    core::store_be16(h + 2, 4);
    auto v = parse(img);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->attributes, core::load_be32(h + 4));
    EXPECT_EQ(v->file_count, core::load_be32(h + 32));
    EXPECT_EQ(v->block_size, core::load_be32(h + 40));
    EXPECT_EQ(v->write_count, core::load_be32(h + 68));
    EXPECT_EQ(v->encodings_bitmap, core::load_be64(h + 72));
    EXPECT_EQ(v->finder_info[7], core::load_be32(h + 108));
    EXPECT_EQ(v->allocation_file.logical_size, core::load_be64(h + 112));
    EXPECT_EQ(v->extents_file.clump_size, core::load_be32(h + 192 + 8));
    EXPECT_EQ(v->catalog_file.extents[0].start_block, core::load_be32(h + 272 + 16));
    EXPECT_EQ(v->attributes_file.total_blocks, core::load_be32(h + 352 + 12));
    EXPECT_EQ(v->startup_file.extents[7].block_count, core::load_be32(h + 432 + 76));

    core::MemorySource src(std::vector<uint8_t>(h + 432, h + 512));
    auto fork = hfsplus::volume::read_fork_data(src);
    ASSERT_TRUE(fork);
    EXPECT_EQ(*fork, v->startup_file);
    core::MemorySource short_src(std::vector<uint8_t>(79));
    EXPECT_EQ(hfsplus::volume::read_fork_data(short_src).error().kind(), Kind::Io);
}

TEST(VolumeHeader, SliceParsersAdvanceAndCheckLength) {
    std::vector<uint8_t> bytes(100);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i);
    size_t pos = 4;
    auto bsd = hfsplus::catalog::parse_bsd_info(bytes, pos);
    ASSERT_TRUE(bsd);
    EXPECT_EQ(pos, 20u);
    EXPECT_EQ(bsd->owner_id, 0x04050607u);
    EXPECT_EQ(bsd->file_mode, 0x0E0Fu);
    auto fork = hfsplus::catalog::parse_fork_data(bytes, pos);
    ASSERT_TRUE(fork);
    EXPECT_EQ(pos, 100u);
    EXPECT_EQ(fork->logical_size, 0x1415161718191A1Bull);
    pos = 21;
    auto too_short = hfsplus::catalog::parse_fork_data(bytes, pos);
    ASSERT_FALSE(too_short);
    EXPECT_EQ(too_short.error().message(), "I/O error: failed to fill whole buffer");
    EXPECT_EQ(pos, 21u);
}

TEST(Error, KindsInOrderWithTheirTexts) {
    EXPECT_EQ(int(Kind::Io), 0);
    EXPECT_EQ(int(Kind::UnsupportedVersion), 6);
    EXPECT_EQ(HfsPlusError(core::IoError::from_errno(2)).message(), "I/O error: No such file or directory (os error 2)");
    EXPECT_EQ(HfsPlusError::invalid_signature(0xBEEF).message(),
              "invalid HFS+ signature: 0xBEEF (expected 0x482B or 0x4858)");
    EXPECT_EQ(HfsPlusError::invalid_btree("x").message(), "invalid B-tree: x");
    EXPECT_EQ(HfsPlusError::file_not_found("a/b").message(), "file not found: a/b");
    EXPECT_EQ(HfsPlusError::not_a_directory("/a").message(), "not a directory: /a");
    EXPECT_EQ(HfsPlusError::corrupted_data("y").message(), "corrupted data: y");
    EXPECT_EQ(HfsPlusError::unsupported_version(65535).message(), "unsupported version: 65535");
    EXPECT_EQ(HfsPlusError::file_not_found("a").kind(), Kind::FileNotFound);
    EXPECT_EQ(HfsPlusError::not_a_directory("a").text(), "a");
}

TEST(Open, FailsOnBadHeadersAndEmptyCatalogFork) {
    auto apfs = hfsplus::HfsVolume::open(hfs_test::memory_source(std::vector<uint8_t>(4096)));
    ASSERT_FALSE(apfs);
    EXPECT_EQ(apfs.error().kind(), Kind::InvalidSignature);

    // A catalog fork whose first extent is empty cannot even give its header node.
    auto img = header_image(4096, 0x482B, 4);
    core::store_be32(img.data() + 1024 + 40, 4096);
    auto v = hfsplus::HfsVolume::open(hfs_test::memory_source(img));
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error().message(), "invalid B-tree: fork offset 0 exceeds extent capacity");

    // Block size 0: every extent covers nothing.
    core::store_be32(img.data() + 1024 + 40, 0);
    core::store_be32(img.data() + 1024 + 272 + 16, 1);
    core::store_be32(img.data() + 1024 + 272 + 20, 1);
    auto zero_bs = hfsplus::HfsVolume::open(hfs_test::memory_source(img));
    ASSERT_FALSE(zero_bs);
    EXPECT_EQ(zero_bs.error().message(), "invalid B-tree: fork offset 0 exceeds extent capacity");
}

}  // namespace
