// Objects, checksums, superblocks and the choice of checkpoint.
#include "core/endian.hpp"
#include "support.hpp"

namespace {

using namespace apfs_test;
using apfs::ApfsSuperblock;
using apfs::NxSuperblock;
using apfs::superblock::read_nxsb;
using core::store_le32;
using core::store_le64;

// A sealed container superblock; `tag` lands in the object-map field.
Bytes nxsb(uint64_t xid, uint64_t tag, uint32_t checkpoint_blocks = 0, uint32_t block_size = 4096) {
    Bytes b(block_size);
    store_le64(&b[8], 1), store_le64(&b[16], xid), store_le32(&b[24], 0x80000001);
    store_le32(&b[32], apfs::kNxMagic), store_le32(&b[36], block_size);
    store_le32(&b[104], checkpoint_blocks), store_le64(&b[112], 1);  // the area starts at block 1
    store_le64(&b[160], tag), store_le32(&b[180], 1), store_le64(&b[184], 1026);
    ContainerBuilder::seal(b.data(), b.size());
    return b;
}

// `sb` claiming another block size, resealed.
Bytes with_block_size(Bytes sb, uint32_t block_size) {
    store_le32(&sb[36], block_size);
    ContainerBuilder::seal(sb.data(), sb.size());
    return sb;
}

// The object-map field of the superblock chosen for `image`.
uint64_t latest_tag(const Bytes& image) {
    core::MemorySource src(image);
    return apfs::superblock::find_latest_nxsb(src, *NxSuperblock::parse(image))->omap_oid;
}

TEST(FormatTest, MalformedObjectsAndSuperblocks) {
    core::MemorySource src(Bytes(10000, 7));
    const Bytes good = nxsb(5, 9);
    Bytes magic = good, damaged = good, apsb(4096), big = nxsb(3, 1, 0, 16384);
    store_le32(&magic[32], 0x1234ABCD);  // not resealed: the magic is checked first
    damaged[3000] ^= 0xFF;
    store_le32(&apsb[32], apfs::kApfsMagic);
    const Bytes big_cut(big.begin(), big.begin() + 8192);
    big[12000] ^= 1;
    expect_cases({
        {"short object", outcome(apfs::ObjectHeader::parse(Bytes(31))), "corrupted data: object header too short: 31 bytes"},
        {"block past the end", outcome(apfs::object::read_block(src, 2, 4096)), kShortRead},
        // A block size the source cannot hold fails without taking that memory.
        {"huge block", outcome(apfs::object::read_block(src, 0, 0xFFFFFFFF)), kShortRead},
        {"block beyond 64 bits", outcome(apfs::object::read_block(src, 1ull << 60, 65536)),
         "corrupted data: block 1152921504606846976 overflows the device address space"},
        {"nx magic cut", outcome(NxSuperblock::parse(std::span(good).first(35))), kShortRead},
        {"nx fields cut", outcome(NxSuperblock::parse(std::span(good).first(183))), kShortRead},
        {"nx volume id cut", outcome(NxSuperblock::parse(std::span(good).first(190))), kShortRead},
        {"short volume", outcome(ApfsSuperblock::parse(std::span(apsb).first(20))),
         "corrupted data: object header too short: 20 bytes"},
        {"volume magic cut", outcome(ApfsSuperblock::parse(std::span(apsb).first(33))), kShortRead},
        {"volume name cut", outcome(ApfsSuperblock::parse(std::span(apsb).first(959))), kShortRead},
        {"container as volume", outcome(ApfsSuperblock::parse(good)), "invalid magic: 0x4253584E"},
        {"short source", outcome(read_nxsb(*memory(Bytes(100)))), kShortRead},
        {"bad magic", outcome(read_nxsb(*memory(magic))), "invalid magic: 0x1234ABCD"},
        {"bad checksum", outcome(read_nxsb(*memory(damaged))), "invalid checksum"},
        // With 16 KiB blocks the checksum covers the whole block.
        {"16 KiB checksum", outcome(read_nxsb(*memory(big))), "invalid checksum"},
        {"16 KiB cut", outcome(read_nxsb(*memory(big_cut))), kShortRead},
        // Block sizes are powers of two from 4 KiB to 64 KiB.
        {"block size 0", outcome(read_nxsb(*memory(with_block_size(good, 0)))),
         "corrupted data: block size 0 is not a power of two from 4096 to 65536"},
        {"block size 2048", outcome(read_nxsb(*memory(with_block_size(good, 2048)))),
         "corrupted data: block size 2048 is not a power of two from 4096 to 65536"},
        {"block size 6144", outcome(read_nxsb(*memory(with_block_size(good, 6144)))),
         "corrupted data: block size 6144 is not a power of two from 4096 to 65536"},
        {"block size 128 KiB", outcome(read_nxsb(*memory(with_block_size(good, 131072)))),
         "corrupted data: block size 131072 is not a power of two from 4096 to 65536"},
    });
}

TEST(FormatTest, SuperblockFields) {
    // At most 100 volume ids are read, whatever the declared maximum.
    auto b = nxsb(1, 1);
    store_le32(&b[180], 150);
    for (int i = 0; i < 100; ++i) store_le64(&b[184 + 8 * i], 1000 + i);
    EXPECT_EQ(NxSuperblock::parse(b)->fs_oids.size(), 100u);
    EXPECT_FALSE(NxSuperblock::parse(std::span(b).first(983)));

    // The volume name stops at its NUL or after 256 bytes; bad UTF-8 is replaced.
    Bytes apsb(4096);
    store_le32(&apsb[32], apfs::kApfsMagic);
    std::fill(apsb.begin() + 704, apsb.begin() + 960, 'n');
    EXPECT_EQ(ApfsSuperblock::parse(apsb)->volume_name, std::string(256, 'n'));
    const std::string odd = "caf\xC3\xA9 \xFF\xE2\x82 ok";  // a stray byte and a cut-off sequence
    std::copy(odd.c_str(), odd.c_str() + odd.size() + 1, &apsb[704]);
    EXPECT_EQ(ApfsSuperblock::parse(apsb)->volume_name, "caf\xC3\xA9 \xEF\xBF\xBD\xEF\xBF\xBD ok");
}

TEST(FormatTest, NewestValidCheckpointWins) {
    // Checkpoint area 1..4: a checkpoint map, a superblock with a bad
    // checksum, and two superblocks sharing the highest xid: the earlier wins.
    Bytes map(4096);
    store_le64(&map[16], 50), store_le32(&map[24], 0x4000000C);
    ContainerBuilder::seal(map.data(), map.size());
    auto bad = nxsb(90, 200);
    bad[500] ^= 1;
    EXPECT_EQ(latest_tag(concat({nxsb(4, 100, 4), map, bad, nxsb(9, 300), nxsb(9, 400)})), 300u);
    EXPECT_EQ(latest_tag(concat({nxsb(9, 100, 2), nxsb(9, 300), nxsb(2, 400)})), 100u);  // block 0 wins ties
    // A newer superblock with a block size the format does not allow is skipped.
    EXPECT_EQ(latest_tag(concat({nxsb(1, 100, 2), with_block_size(nxsb(9, 300), 1), nxsb(5, 400)})), 400u);
    EXPECT_EQ(latest_tag(nxsb(1, 100, 0)), 100u);                                        // no area
    // A count with the top bit set marks a non-contiguous area: block 0 is used.
    EXPECT_EQ(latest_tag(concat({nxsb(1, 100, 0x80000002), nxsb(9, 300), nxsb(10, 400)})), 100u);
    // A count far beyond the source stops at its end.
    EXPECT_EQ(latest_tag(concat({nxsb(1, 100, 0x7FFFFFFF), nxsb(9, 300)})), 300u);
}

}  // namespace
