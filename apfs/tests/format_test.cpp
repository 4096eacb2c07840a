// Objects, checksums, superblocks, checkpoint choice and error texts.
#include <gtest/gtest.h>

#include "apfs/apfs.hpp"
#include "apfs/fletcher.hpp"
#include "container_builder.hpp"
#include "core/endian.hpp"
#include "support.hpp"

namespace {

using apfs::ApfsError;
using apfs::NxSuperblock;
using apfs_test::ContainerBuilder;
using core::store_le32;
using core::store_le64;

// A sealed container superblock block; `tag` lands in the object-map field.
std::vector<uint8_t> nxsb(uint64_t xid, uint64_t tag, uint32_t block_size = 4096, uint32_t desc_count = 0,
                          uint64_t desc_base = 1) {
    std::vector<uint8_t> b(block_size);
    store_le64(&b[8], 1);
    store_le64(&b[16], xid);
    store_le32(&b[24], 0x80000001);
    store_le32(&b[32], apfs::kNxMagic);
    store_le32(&b[36], block_size);
    store_le32(&b[104], desc_count);
    store_le64(&b[112], desc_base);
    store_le64(&b[160], tag);
    store_le32(&b[180], 1);
    store_le64(&b[184], 1026);
    ContainerBuilder::seal(b.data(), b.size());
    return b;
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(ApfsErrorTest, KindsAndTextsAreThoseCallersMapOn) {
    EXPECT_EQ(ApfsError::short_read().message(), "I/O error: failed to fill whole buffer");
    EXPECT_EQ(ApfsError::invalid_magic(0xABCDEF).message(), "invalid magic: 0x00ABCDEF");
    EXPECT_EQ(ApfsError::invalid_checksum().message(), "invalid checksum");
    EXPECT_EQ(ApfsError::invalid_btree("x").message(), "invalid B-tree: x");
    EXPECT_EQ(ApfsError::file_not_found("a").message(), "file not found: a");
    EXPECT_EQ(ApfsError::not_a_directory("a/b").message(), "not a directory: a/b");
    EXPECT_EQ(ApfsError::corrupted("c").message(), "corrupted data: c");
    EXPECT_EQ(ApfsError::unsupported("u").message(), "unsupported: u");
    EXPECT_EQ(ApfsError::no_volume().message(), "no volume found in container");
    const ApfsError all[] = {ApfsError::short_read(), ApfsError::invalid_magic(0), ApfsError::invalid_checksum(),
                             ApfsError::invalid_btree(""), ApfsError::file_not_found(""),
                             ApfsError::not_a_directory(""), ApfsError::corrupted(""), ApfsError::unsupported(""),
                             ApfsError::no_volume()};
    for (size_t i = 0; i < std::size(all); ++i) EXPECT_EQ(size_t(all[i].kind()), i);
    auto os = ApfsError::io(core::IoError::from_errno(2));
    EXPECT_EQ(os.io_error().os_code(), 2);
}

TEST(FletcherTest, MatchesObjectsWrittenByMacOS) {
    auto path = KIV_REQUIRE_FIXTURE("apfs.raw");
    auto raw = testing_util::read_bytes(path);
    std::span<const uint8_t> block0(raw.data(), 4096);
    EXPECT_TRUE(apfs::fletcher::verify_object(block0));
    std::vector<uint8_t> changed(block0.begin(), block0.end());
    changed[1000] ^= 1;
    EXPECT_FALSE(apfs::fletcher::verify_object(changed));
    // A trailing remainder of 1 to 3 bytes takes no part.
    changed = std::vector<uint8_t>(block0.begin(), block0.end());
    changed.push_back(0x55);
    EXPECT_TRUE(apfs::fletcher::verify_object(changed));
    EXPECT_FALSE(apfs::fletcher::verify_object(std::vector<uint8_t>(7)));
}

TEST(ObjectTest, HeaderAndBlockReads) {
    EXPECT_APFS_ERROR(apfs::ObjectHeader::parse(std::vector<uint8_t>(31)), CorruptedData,
                      "corrupted data: object header too short: 31 bytes");
    core::MemorySource src(std::vector<uint8_t>(10000, 7));
    auto block = apfs::object::read_block(src, 1, 4096);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->size(), 4096u);
    EXPECT_APFS_ERROR(apfs::object::read_block(src, 2, 4096), Io, "I/O error: failed to fill whole buffer");
    // A block size the source cannot hold fails without taking that memory.
    EXPECT_APFS_ERROR(apfs::object::read_block(src, 0, 0xFFFFFFFF), Io, "I/O error: failed to fill whole buffer");
}

TEST(NxSuperblockTest, ParseFailuresInOrder) {
    auto good = nxsb(5, 9);
    EXPECT_APFS_ERROR(NxSuperblock::parse(std::span(good).first(31)), CorruptedData,
                      "corrupted data: object header too short: 31 bytes");
    EXPECT_APFS_ERROR(NxSuperblock::parse(std::span(good).first(35)), Io, "I/O error: failed to fill whole buffer");
    auto bad = good;
    store_le32(&bad[32], 0x1234ABCD);
    EXPECT_APFS_ERROR(NxSuperblock::parse(bad), InvalidMagic, "invalid magic: 0x1234ABCD");
    EXPECT_EQ(NxSuperblock::parse(bad).error().magic(), 0x1234ABCDu);
    EXPECT_APFS_ERROR(NxSuperblock::parse(std::span(good).first(183)), Io, "I/O error: failed to fill whole buffer");
    // One volume id declared but cut off.
    EXPECT_APFS_ERROR(NxSuperblock::parse(std::span(good).first(190)), Io, "I/O error: failed to fill whole buffer");
    auto sb = NxSuperblock::parse(good);
    ASSERT_TRUE(sb);
    EXPECT_EQ(sb->header.xid, 5u);
    EXPECT_EQ(sb->omap_oid, 9u);
    EXPECT_EQ(sb->fs_oids, std::vector<uint64_t>{1026});
}

TEST(NxSuperblockTest, AtMostOneHundredVolumeIds) {
    auto b = nxsb(1, 1);
    store_le32(&b[180], 150);
    for (int i = 0; i < 150 && 184 + 8 * i + 8 <= 4096; ++i) store_le64(&b[184 + 8 * i], 1000 + i);
    auto sb = NxSuperblock::parse(b);
    ASSERT_TRUE(sb);
    EXPECT_EQ(sb->max_file_systems, 150u);
    ASSERT_EQ(sb->fs_oids.size(), 100u);
    EXPECT_EQ(sb->fs_oids.back(), 1099u);
    EXPECT_TRUE(NxSuperblock::parse(std::span(b).first(984)));
    EXPECT_FALSE(NxSuperblock::parse(std::span(b).first(983)));
}

TEST(ApfsSuperblockTest, ParseFailuresAndVolumeName) {
    std::vector<uint8_t> b(4096);
    store_le32(&b[32], apfs::kApfsMagic);
    EXPECT_APFS_ERROR(apfs::ApfsSuperblock::parse(std::span(b).first(20)), CorruptedData,
                      "corrupted data: object header too short: 20 bytes");
    EXPECT_APFS_ERROR(apfs::ApfsSuperblock::parse(std::span(b).first(33)), Io,
                      "I/O error: failed to fill whole buffer");
    EXPECT_APFS_ERROR(apfs::ApfsSuperblock::parse(std::span(b).first(959)), Io,
                      "I/O error: failed to fill whole buffer");
    // A container superblock where a volume superblock belongs.
    EXPECT_APFS_ERROR(apfs::ApfsSuperblock::parse(nxsb(1, 1)), InvalidMagic, "invalid magic: 0x4253584E");

    std::fill(b.begin() + 704, b.begin() + 960, 'n');
    auto whole = apfs::ApfsSuperblock::parse(b);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->volume_name, std::string(256, 'n'));
    const char odd[] = "caf\xC3\xA9 \xFF\xE2\x82 ok";  // a stray byte and a cut-off sequence
    std::fill(b.begin() + 704, b.begin() + 960, 0);
    std::copy(odd, odd + sizeof odd - 1, b.begin() + 704);
    EXPECT_EQ(apfs::ApfsSuperblock::parse(b)->volume_name, "caf\xC3\xA9 \xEF\xBF\xBD\xEF\xBF\xBD ok");
}

TEST(ReadNxsbTest, ChecksumAndBlockSize) {
    EXPECT_APFS_ERROR(apfs::superblock::read_nxsb(*apfs_test::memory(std::vector<uint8_t>(100))), Io,
                      "I/O error: failed to fill whole buffer");
    auto b = nxsb(3, 1);
    b[3000] ^= 0xFF;
    EXPECT_APFS_ERROR(apfs::superblock::read_nxsb(*apfs_test::memory(b)), InvalidChecksum, "invalid checksum");
    auto wrong = nxsb(3, 1);
    store_le32(&wrong[32], 0x42535041);
    EXPECT_APFS_ERROR(apfs::superblock::read_nxsb(*apfs_test::memory(wrong)), InvalidMagic,
                      "invalid magic: 0x42535041");

    // 16 KiB blocks: the checksum covers the whole block, not the first 4 KiB.
    auto big = nxsb(3, 1, 16384);
    big[10000] = 1;
    ContainerBuilder::seal(big.data(), big.size());
    ASSERT_FALSE(apfs::fletcher::verify_object(std::span(big).first(4096)));
    auto sb = apfs::superblock::read_nxsb(*apfs_test::memory(big));
    ASSERT_TRUE(sb) << sb.error().message();
    EXPECT_EQ(sb->block_size, 16384u);
    big[12000] ^= 1;
    EXPECT_APFS_ERROR(apfs::superblock::read_nxsb(*apfs_test::memory(big)), InvalidChecksum, "invalid checksum");
    EXPECT_APFS_ERROR(apfs::superblock::read_nxsb(*apfs_test::memory(std::vector(big.begin(), big.begin() + 8192))),
                      Io, "I/O error: failed to fill whole buffer");
}

TEST(FindLatestTest, NewestValidDescriptorWins) {
    // Descriptor area at blocks 1..4: a checkpoint map, a superblock with a
    // bad checksum, and two superblocks sharing the highest xid.
    std::vector<uint8_t> map(4096);
    store_le32(&map[24], 0x4000000C);
    store_le64(&map[16], 50);
    ContainerBuilder::seal(map.data(), map.size());
    auto bad = nxsb(90, 200);
    bad[500] ^= 1;
    auto image = concat({nxsb(4, 100, 4096, 4), map, bad, nxsb(9, 300), nxsb(9, 400)});
    core::MemorySource src(image);
    auto block0 = apfs::superblock::read_nxsb(src);
    ASSERT_TRUE(block0);
    auto latest = apfs::superblock::find_latest_nxsb(src, *block0);
    ASSERT_TRUE(latest);
    EXPECT_EQ(latest->header.xid, 9u);
    EXPECT_EQ(latest->omap_oid, 300u);  // the earlier of the two

    // Block 0 wins ties, and a count of 0 reads nothing.
    auto tie = concat({nxsb(9, 100, 4096, 2), nxsb(9, 300), nxsb(2, 400)});
    core::MemorySource tie_src(tie);
    EXPECT_EQ(apfs::superblock::find_latest_nxsb(tie_src, *NxSuperblock::parse(tie))->omap_oid, 100u);
    core::MemorySource empty;
    auto alone = *NxSuperblock::parse(nxsb(1, 100, 4096, 0));
    EXPECT_EQ(apfs::superblock::find_latest_nxsb(empty, alone)->omap_oid, 100u);
}

TEST(FindLatestTest, HugeOrNonContiguousAreasEndQuickly) {
    // A count with the top bit set marks a non-contiguous area; block 0 is used.
    auto image = concat({nxsb(1, 100, 4096, 0x80000002), nxsb(9, 300), nxsb(10, 400)});
    core::MemorySource src(image);
    EXPECT_EQ(apfs::superblock::find_latest_nxsb(src, *NxSuperblock::parse(image))->omap_oid, 100u);
    // A count far beyond the source stops at its end.
    auto huge = concat({nxsb(1, 100, 4096, 0x7FFFFFFF), nxsb(9, 300)});
    core::MemorySource huge_src(huge);
    EXPECT_EQ(apfs::superblock::find_latest_nxsb(huge_src, *NxSuperblock::parse(huge))->omap_oid, 300u);
}

}  // namespace
