// B-tree nodes, lookup, scan and the object map.
#include "core/endian.hpp"
#include "support.hpp"

namespace {

using namespace apfs_test;
using apfs::BTreeNode;
using apfs::btree::btree_lookup;
using apfs::btree::btree_scan;
using apfs::omap::omap_lookup;
using core::store_le16;
using core::store_le32;

constexpr uint16_t kRootNode = 1, kLeaf = 2, kFixed = 4;

Bytes u64s(std::initializer_list<uint64_t> values) {
    Bytes out(values.size() * 8);
    for (size_t i = 0; i < values.size(); ++i) core::store_le64(&out[i * 8], values.begin()[i]);
    return out;
}
// An object-map record: key (oid, xid), value (flags and size, address).
std::pair<Bytes, Bytes> omap_rec(uint64_t oid, uint64_t xid, uint64_t paddr) { return {u64s({oid, xid}), u64s({0, paddr})}; }
// An index record of an object-map tree.
std::pair<Bytes, Bytes> child(uint64_t oid, uint64_t block) { return {u64s({oid, 0}), u64s({block})}; }
std::unique_ptr<core::ByteSource> blocks(std::initializer_list<Bytes> nodes) { return memory(concat(nodes)); }
apfs::KeyCompare by_id(uint64_t id) {
    return [id](auto k) { return apfs::omap::compare_omap_key(k, id); };
}

TEST(BTreeTest, MalformedNodesAndTrees) {
    Bytes far(4096), many(4096);
    store_le16(&far[40], 0xFFFF);       // table beyond the block
    store_le32(&many[36], 0xFFFFFFFF);  // more entries than the block holds
    Bytes bad = make_node(kLeaf, {{Bytes(10, 1), Bytes(20, 2)}});
    store_le16(&bad[56], 4000), store_le16(&bad[58], 200);  // key offset and length
    store_le16(&bad[60], 5000);  // value offset beyond the value area end: the start wraps
    Bytes inside = make_node(kLeaf, {{Bytes(10, 1), Bytes(20, 2)}});
    store_le16(&inside[60], 4040);  // the value starts inside the table of contents
    const auto node = *BTreeNode::parse(bad);
    // The root's only child is the root itself; two index records sharing one leaf.
    auto loop = blocks({make_node(kRootNode | kFixed, {child(1, 0)})});
    auto shared = blocks({make_node(kRootNode | kFixed, {child(1, 1), child(2, 1)}),
                          make_node(kLeaf | kFixed, {omap_rec(1, 1, 10)})});
    expect_cases({
        {"short object", outcome(BTreeNode::parse(Bytes(31))), "corrupted data: object header too short: 31 bytes"},
        {"short header", outcome(BTreeNode::parse(Bytes(55))), "invalid B-tree: btree node header too short"},
        {"short free lists", outcome(BTreeNode::parse(Bytes(59))), kShortRead},
        {"far table", outcome(BTreeNode::parse(far)), kShortRead},
        {"too many entries", outcome(BTreeNode::parse(many)), kShortRead},
        {"key index", outcome(node.key(1, 0)), "invalid B-tree: key index out of range: 1"},
        {"value index", outcome(node.value(1, 0)), "invalid B-tree: value index out of range: 1"},
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
        {"shared leaf", outcome(btree_scan(*shared, 0, 4096, 16, 16, by_id(1))),
         "invalid B-tree: node at block 1 reached twice"},
        {"omap value", outcome(apfs::omap::parse_omap_val(Bytes(15))), "invalid B-tree: omap value too short"},
        {"omap object cut", outcome(apfs::omap::read_omap_tree_root(*shared, 0, 40)), kShortRead},
    });
    store_le32(&many[36], (4096 - 56) / 8);  // exactly as many as fit
    EXPECT_TRUE(BTreeNode::parse(many));
}

TEST(BTreeTest, TreeInformationSettlesFixedSizes) {
    // Sizes 0 keep the defaults 16/16; a value size of 24 is used instead,
    // the address still at 8.
    auto plain = blocks({make_node(kRootNode | kLeaf | kFixed, {omap_rec(7, 1, 70)})});
    EXPECT_EQ(*omap_lookup(*plain, 0, 4096, 7), 70u);
    Bytes wide = make_node(kRootNode | kLeaf | kFixed, {{u64s({7, 1}), u64s({0, 71, 0})}});
    store_le32(&wide[4096 - 28], 24);
    auto sized = blocks({wide});
    EXPECT_EQ((*btree_lookup(*sized, 0, 4096, 16, 16, by_id(7)))->size(), 24u);
    EXPECT_EQ(*omap_lookup(*sized, 0, 4096, 7), 71u);
}

TEST(BTreeTest, DescentScanAndObjectMap) {
    // An index whose first key is above the target: not found, and the child
    // (past the end of the source) is not read; a key above it descends.
    auto unread = blocks({make_node(kRootNode | kFixed, {child(50, 999)})});
    EXPECT_EQ(btree_lookup(*unread, 0, 4096, 16, 16, by_id(10)).value(), std::nullopt);
    EXPECT_EQ(outcome(btree_lookup(*unread, 0, 4096, 16, 16, by_id(60))), kShortRead);

    // The first equal record of a leaf is taken as it stands, even at address 0.
    auto leaf = blocks({make_node(kRootNode | kLeaf | kFixed, {omap_rec(7, 3, 30), omap_rec(7, 5, 50), omap_rec(8, 1, 0)})});
    EXPECT_EQ(*omap_lookup(*leaf, 0, 4096, 7), 30u);
    EXPECT_EQ(*omap_lookup(*leaf, 0, 4096, 8), 0u);
    // An index claiming 7 in a leaf that starts at 9: the descent misses, the
    // scan finds (7, xid 5) and (7, xid 3) and takes the newest.
    auto index = make_node(kRootNode | kFixed, {child(1, 1), child(7, 2)});
    auto scanned = blocks({index, make_node(kLeaf | kFixed, {omap_rec(1, 1, 10), omap_rec(7, 5, 50), omap_rec(7, 3, 30)}),
                           make_node(kLeaf | kFixed, {omap_rec(9, 1, 90)})});
    EXPECT_EQ(*omap_lookup(*scanned, 0, 4096, 7), 50u);
    auto zero = blocks({index, make_node(kLeaf | kFixed, {omap_rec(7, 5, 0)}), make_node(kLeaf | kFixed, {})});
    expect_cases({
        {"missing", outcome(omap_lookup(*leaf, 0, 4096, 6)), "corrupted data: OMAP lookup failed: OID 6 not found"},
        {"address 0", outcome(omap_lookup(*zero, 0, 4096, 7)), "corrupted data: OMAP lookup: OID 7 resolved to paddr 0"},
    });
}

}  // namespace
