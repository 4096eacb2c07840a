// On-disk structures one at a time: objects, superblocks and the choice of
// checkpoint, B-tree nodes, the object map and catalog records.
#include "support.hpp"

namespace {

using namespace apfs_test;
using apfs::ApfsSuperblock;
using apfs::BTreeNode;
using apfs::NxSuperblock;
using apfs::btree::btree_lookup;
using apfs::btree::btree_scan;
using apfs::omap::omap_lookup;
using apfs::superblock::read_nxsb;
namespace catalog = apfs::catalog;

constexpr uint16_t kRootNode = 1, kLeaf = 2, kFixed = 4;
constexpr uint64_t k0 = 0;

// The object-map field of the superblock chosen for `image`.
uint64_t latest_tag(const Bytes& image) {
    core::MemorySource src(image);
    return apfs::superblock::find_latest_nxsb(src, *NxSuperblock::parse(image))->omap_oid;
}

// An object-map record: key (oid, xid), value (flags and size, address); an index record of such a tree.
std::pair<Bytes, Bytes> omap_rec(uint64_t oid, uint64_t xid, uint64_t paddr) { return {pack(oid, xid), pack(k0, paddr)}; }
std::pair<Bytes, Bytes> child(uint64_t oid, uint64_t block) { return {pack(oid, k0), pack(block)}; }
std::unique_ptr<core::ByteSource> blocks(std::initializer_list<Bytes> nodes) { return memory(concat(nodes)); }
apfs::KeyCompare by_id(uint64_t id) {
    return [id](auto k) { return apfs::omap::compare_omap_key(k, id); };
}

TEST(FormatTest, MalformedStructuresFailWithTheirMessage) {
    const Bytes good = nxsb(5, 9);
    Bytes magic = good, damaged = good, apsb(4096);
    store(&magic[32], uint32_t(0x1234ABCD));  // not resealed: the magic is checked first
    damaged[3000] ^= 0xFF;
    store(&apsb[32], uint32_t(apfs::kApfsMagic));

    Bytes many(4096);
    store(&many[36], uint32_t(0xFFFFFFFF));  // more entries than the block holds
    Bytes bad = make_node(kLeaf, {{Bytes(10, 1), Bytes(20, 2)}}), inside = bad;
    store(&bad[56], uint16_t(4000), uint16_t(200), uint16_t(5000));  // key offset and length; the value start wraps
    store(&inside[60], uint16_t(4040));  // the value starts inside the table of contents
    const auto node = *BTreeNode::parse(bad);
    // The root's only child is the root itself.
    auto loop = blocks({make_node(kRootNode | kFixed, {child(1, 0)})});
    auto key = ContainerBuilder::drec_key(2, "readme");

    expect_cases({
        {"short object", outcome(apfs::ObjectHeader::parse(Bytes(31))), "corrupted data: object header too short: 31 bytes"},
        // A block size the source cannot hold fails without taking that memory.
        {"huge block", outcome(apfs::object::read_block(*memory(good), 0, 0xFFFFFFFF)), kShortRead},
        {"container as volume", outcome(ApfsSuperblock::parse(good)), "invalid magic: 0x4253584E"},
        {"short source", outcome(read_nxsb(*memory(Bytes(100)))), kShortRead},
        {"bad magic", outcome(read_nxsb(*memory(magic))), "invalid magic: 0x1234ABCD"},
        {"bad checksum", outcome(read_nxsb(*memory(damaged))), "invalid checksum"},

        {"short node header", outcome(BTreeNode::parse(Bytes(55))), "invalid B-tree: btree node header too short"},
        {"short free lists", outcome(BTreeNode::parse(Bytes(59))), kShortRead},
        {"too many entries", outcome(BTreeNode::parse(many)), kShortRead},
        {"key bounds", outcome(node.key(0, 0)),
         "invalid B-tree: key out of bounds: start=4064, len=200, block_size=4096"},
        {"value bounds", outcome(node.value(0, 0)),
         "invalid B-tree: value out of bounds: start=18446744073709550712, len=20, val_area_end=4096, block_size=4096"},
        {"value in table", outcome(BTreeNode::parse(inside)->value(0, 0)),
         "invalid B-tree: value out of bounds: start=56, len=20, val_area_end=4096, block_size=4096"},
        {"lookup cycle", outcome(btree_lookup(*loop, 0, 4096, 16, 16, by_id(5))),
         "invalid B-tree: tree deeper than 16 levels"},
        {"scan cycle", outcome(btree_scan(*loop, 0, 4096, 16, 16, by_id(5))),
         "invalid B-tree: node at block 0 reached twice"},
        {"omap value", outcome(apfs::omap::parse_omap_val(Bytes(15))), "invalid B-tree: omap value too short"},

        {"inode", outcome(catalog::parse_inode(Bytes(91))), "corrupted data: inode value too short: 91 bytes"},
        {"drec value", outcome(apfs::DrecVal::parse(Bytes(17))), "corrupted data: drec value too short: 17 bytes"},
        {"drec key", outcome(catalog::decode_drec_name(Bytes(11))), "invalid B-tree: drec key too short for name"},
        {"drec name", outcome(catalog::decode_drec_name(std::span(key).first(key.size() - 1))),
         "invalid B-tree: drec name extends beyond key: name_end=19, key_len=18"},
        {"extent value", outcome(apfs::FileExtentVal::parse(Bytes(23))),
         "corrupted data: file extent value too short: 23 bytes"},
        {"extent key", outcome(catalog::parse_file_extent_logical_addr(Bytes(15))),
         "corrupted data: file extent key too short for a logical address: 15 bytes"},
        {"xattr", outcome(catalog::parse_xattr_value(Bytes(3))), "corrupted data: xattr value too short: 3 bytes"},
        {"xattr stream", outcome(catalog::parse_xattr_value(pack(uint16_t(1), uint16_t(0)))),
         "unsupported: xattr is stored as a data stream, not embedded in the record"},
    });
    // Superblocks cut in their magic, fields, volume ids or name.
    for (size_t cut : {35, 183, 190}) EXPECT_EQ(outcome(NxSuperblock::parse(std::span(good).first(cut))), kShortRead);
    for (size_t cut : {33, 959}) EXPECT_EQ(outcome(ApfsSuperblock::parse(std::span(apsb).first(cut))), kShortRead);
}

TEST(FormatTest, NewestValidCheckpoint) {
    // Checkpoint area 1..3: a superblock with a bad checksum, and two
    // superblocks sharing the highest xid: the earlier wins.
    auto bad = nxsb(90, 200);
    bad[500] ^= 1;
    EXPECT_EQ(latest_tag(concat({nxsb(4, 100, 3), bad, nxsb(9, 300), nxsb(9, 400)})), 300u);
    EXPECT_EQ(latest_tag(concat({nxsb(9, 100, 2), nxsb(9, 300), nxsb(2, 400)})), 100u);  // block 0 wins ties
    // A count far beyond the source stops at its end.
    EXPECT_EQ(latest_tag(concat({nxsb(1, 100, 0x7FFFFFFF), nxsb(9, 300)})), 300u);
}

TEST(FormatTest, ObjectMapDescentAndScan) {
    // The first equal record of a leaf is taken as it stands, an address 0 too.
    auto leaf = blocks({make_node(kRootNode | kLeaf | kFixed, {omap_rec(7, 3, 30), omap_rec(7, 5, 50), omap_rec(8, 1, 0)})});
    EXPECT_EQ(std::pair(*omap_lookup(*leaf, 0, 4096, 7), *omap_lookup(*leaf, 0, 4096, 8)), std::pair(30ul, 0ul));
    // An index claiming 7 in a leaf that holds 8, and 8 in one that starts at
    // 9: both descents miss; the scan finds (7, xid 5) and (7, xid 3) and
    // takes the newest, and refuses the address 0 it finds for 8.
    auto scanned = blocks({make_node(kRootNode | kFixed, {child(1, 1), child(7, 2), child(8, 3)}),
                           make_node(kLeaf | kFixed, {omap_rec(1, 1, 10), omap_rec(7, 5, 50), omap_rec(7, 3, 30)}),
                           make_node(kLeaf | kFixed, {omap_rec(8, 1, 0)}), make_node(kLeaf | kFixed, {omap_rec(9, 1, 90)})});
    EXPECT_EQ(*omap_lookup(*scanned, 0, 4096, 7), 50u);
    expect_cases({
        {"missing", outcome(omap_lookup(*leaf, 0, 4096, 6)), "corrupted data: OMAP lookup failed: OID 6 not found"},
        {"address 0", outcome(omap_lookup(*scanned, 0, 4096, 8)), "corrupted data: OMAP lookup: OID 8 resolved to paddr 0"},
    });
}

}  // namespace
