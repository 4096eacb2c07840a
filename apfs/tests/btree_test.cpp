// B-tree nodes, lookup, scan and the object map.
#include <gtest/gtest.h>

#include "apfs/btree.hpp"
#include "apfs/omap.hpp"
#include "core/endian.hpp"
#include "support.hpp"

namespace {

using apfs::BTreeNode;
using core::store_le16;
using core::store_le32;
using core::store_le64;
using Bytes = std::vector<uint8_t>;
using Recs = std::vector<std::pair<Bytes, Bytes>>;

constexpr uint16_t kRoot = 1, kLeaf = 2, kFixed = 4;

// A node block laid out as APFS writes it: table of contents, keys from the
// key area start, values back from the end (before the tree information of
// a root).  Fixed-size nodes store only offsets.
Bytes make_node(uint16_t flags, const Recs& recs, uint32_t info_key_size = 0, uint32_t info_value_size = 0,
                size_t size = 4096) {
    Bytes b(size);
    const bool fixed = flags & kFixed;
    const size_t esize = fixed ? 4 : 8, toc = recs.size() * esize, kstart = 56 + toc;
    const size_t vend = (flags & kRoot) ? size - 40 : size;
    store_le16(&b[32], flags);
    store_le32(&b[36], uint32_t(recs.size()));
    store_le16(&b[42], uint16_t(toc));
    size_t koff = 0, voff = 0;
    for (size_t i = 0; i < recs.size(); ++i) {
        const auto& [k, v] = recs[i];
        std::copy(k.begin(), k.end(), b.begin() + ptrdiff_t(kstart + koff));
        voff += v.size();
        std::copy(v.begin(), v.end(), b.begin() + ptrdiff_t(vend - voff));
        uint8_t* e = &b[56 + i * esize];
        if (fixed) {
            store_le16(e, uint16_t(koff)), store_le16(e + 2, uint16_t(voff));
        } else {
            store_le16(e, uint16_t(koff)), store_le16(e + 2, uint16_t(k.size()));
            store_le16(e + 4, uint16_t(voff)), store_le16(e + 6, uint16_t(v.size()));
        }
        koff += k.size();
    }
    if (flags & kRoot) {
        store_le32(&b[size - 32], info_key_size);
        store_le32(&b[size - 28], info_value_size);
    }
    return b;
}

Bytes u64s(std::initializer_list<uint64_t> values) {
    Bytes out;
    for (uint64_t v : values) {
        out.resize(out.size() + 8);
        store_le64(&out[out.size() - 8], v);
    }
    return out;
}

// Object-map record: key (oid, xid), value (flags, size, paddr).
std::pair<Bytes, Bytes> omap_rec(uint64_t oid, uint64_t xid, uint64_t paddr) {
    return {u64s({oid, xid}), u64s({0, paddr})};
}

// Blocks of 4096 bytes concatenated into one source.
std::unique_ptr<core::ByteSource> image(std::initializer_list<Bytes> blocks) {
    Bytes all;
    for (auto& b : blocks) all.insert(all.end(), b.begin(), b.end());
    return apfs_test::memory(std::move(all));
}

TEST(BTreeNodeTest, ShortAndMalformedNodes) {
    EXPECT_APFS_ERROR(BTreeNode::parse(Bytes(31)), CorruptedData, "corrupted data: object header too short: 31 bytes");
    EXPECT_APFS_ERROR(BTreeNode::parse(Bytes(55)), InvalidBTree, "invalid B-tree: btree node header too short");
    EXPECT_APFS_ERROR(BTreeNode::parse(Bytes(59)), Io, "I/O error: failed to fill whole buffer");
    EXPECT_TRUE(BTreeNode::parse(Bytes(60)));

    Bytes far(4096);
    store_le16(&far[40], 0xFFFF);  // table beyond the block
    EXPECT_APFS_ERROR(BTreeNode::parse(far), Io, "I/O error: failed to fill whole buffer");
    Bytes many(4096);
    store_le32(&many[36], 0xFFFFFFFF);  // more entries than the block holds
    EXPECT_APFS_ERROR(BTreeNode::parse(many), Io, "I/O error: failed to fill whole buffer");
    store_le32(&many[36], (4096 - 56) / 8);  // exactly as many as fit
    EXPECT_TRUE(BTreeNode::parse(many));
}

TEST(BTreeNodeTest, KeyAndValueBounds) {
    auto node = BTreeNode::parse(make_node(kLeaf, {{Bytes(10, 1), Bytes(20, 2)}}));
    ASSERT_TRUE(node);
    EXPECT_EQ(node->key(0, 0)->size(), 10u);
    EXPECT_EQ((*node->value(0, 0))[0], 2);

    auto raw = make_node(kLeaf, {{Bytes(10, 1), Bytes(20, 2)}});
    store_le16(&raw[56], 4000);  // key offset
    store_le16(&raw[58], 200);   // key length
    EXPECT_APFS_ERROR(BTreeNode::parse(raw)->key(0, 0), InvalidBTree,
                      "invalid B-tree: key out of bounds: start=4064, len=200, block_size=4096");
    store_le16(&raw[60], 5000);  // value offset beyond the value area end: the start wraps
    EXPECT_APFS_ERROR(BTreeNode::parse(raw)->value(0, 0), InvalidBTree,
                      "invalid B-tree: value out of bounds: start=18446744073709550712, len=20, "
                      "val_area_end=4096, block_size=4096");
    store_le16(&raw[60], 4040);  // starts inside the table of contents
    EXPECT_FALSE(BTreeNode::parse(raw)->value(0, 0));

    // In a root the values end 40 bytes before the block end.
    auto root = BTreeNode::parse(make_node(kRoot | kLeaf, {{Bytes(8), Bytes(16, 9)}}));
    ASSERT_TRUE(root && root->info);
    auto value = root->value(0, 0);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->data() - root->block.data(), 4096 - 56);
    // An index node's values are 8-byte child pointers.
    auto index = BTreeNode::parse(make_node(kFixed, {{Bytes(16), u64s({77})}}));
    EXPECT_EQ(*index->child_oid(0), 77u);
}

TEST(OmapTest, TreeInformationSettlesFixedSizes) {
    // Key and value sizes 0 in the tree information keep the defaults 16/16.
    auto plain = image({make_node(kRoot | kLeaf | kFixed, {omap_rec(7, 1, 70)})});
    EXPECT_EQ(*apfs::omap::omap_lookup(*plain, 0, 4096, 7), 70u);
    // A value size of 24 is used instead: the address is still at 8.
    Bytes wide = u64s({0, 71, 0});
    auto sized = image({make_node(kRoot | kLeaf | kFixed, {{u64s({7, 1}), wide}}, 0, 24)});
    auto found = apfs::btree::btree_lookup(
        *sized, 0, 4096, 16, 16, [](auto k) { return apfs::omap::compare_omap_key(k, 7); });
    ASSERT_TRUE(found && *found);
    EXPECT_EQ((*found)->size(), 24u);
    EXPECT_EQ(*apfs::omap::omap_lookup(*sized, 0, 4096, 7), 71u);
}

TEST(OmapTest, ExactRecordThenNewestByScan) {
    // One leaf holding (7, xid 3) and (7, xid 5): the first equal record wins.
    auto leaf = image({make_node(kRoot | kLeaf | kFixed, {omap_rec(7, 3, 30), omap_rec(7, 5, 50), omap_rec(8, 1, 0)})});
    EXPECT_EQ(*apfs::omap::omap_lookup(*leaf, 0, 4096, 7), 30u);
    EXPECT_EQ(*apfs::omap::omap_lookup(*leaf, 0, 4096, 8), 0u);  // an exact hit is taken as it stands
    EXPECT_APFS_ERROR(apfs::omap::omap_lookup(*leaf, 0, 4096, 6), CorruptedData,
                      "corrupted data: OMAP lookup failed: OID 6 not found");

    // An index whose second key claims 7 while its leaf starts at 9: the
    // descent misses, the scan finds (7, 3) and (7, 5) and takes xid 5.
    auto tree = image({make_node(kRoot | kFixed, {{u64s({1, 0}), u64s({1})}, {u64s({7, 0}), u64s({2})}}),
                       make_node(kLeaf | kFixed, {omap_rec(1, 1, 10), omap_rec(7, 5, 50), omap_rec(7, 3, 30)}),
                       make_node(kLeaf | kFixed, {omap_rec(9, 1, 90)})});
    EXPECT_EQ(*apfs::omap::omap_lookup(*tree, 0, 4096, 7), 50u);
    auto zero = image({make_node(kRoot | kFixed, {{u64s({1, 0}), u64s({1})}, {u64s({7, 0}), u64s({2})}}),
                       make_node(kLeaf | kFixed, {omap_rec(7, 5, 0)}), make_node(kLeaf | kFixed, {})});
    EXPECT_APFS_ERROR(apfs::omap::omap_lookup(*zero, 0, 4096, 7), CorruptedData,
                      "corrupted data: OMAP lookup: OID 7 resolved to paddr 0");

    EXPECT_APFS_ERROR(apfs::omap::parse_omap_val(Bytes(15)), InvalidBTree, "invalid B-tree: omap value too short");
    EXPECT_APFS_ERROR(apfs::omap::read_omap_tree_root(*leaf, 0, 40), Io, "I/O error: failed to fill whole buffer");
}

TEST(BTreeTest, DescentAndScanOrder) {
    auto by_id = [](uint64_t id) { return [id](auto k) { return apfs::omap::compare_omap_key(k, id); }; };
    // An index whose first key is greater than the target: not found, and the
    // child (a block past the end of the source) is never read.
    auto unread = image({make_node(kRoot | kFixed, {{u64s({50, 0}), u64s({999})}})});
    auto none = apfs::btree::btree_lookup(*unread, 0, 4096, 16, 16, by_id(10));
    ASSERT_TRUE(none);
    EXPECT_FALSE(*none);
    EXPECT_FALSE(apfs::btree::btree_lookup(*unread, 0, 4096, 16, 16, by_id(60)));  // descends: short read

    auto tree = image({make_node(kRoot | kFixed, {{u64s({1, 0}), u64s({1})}, {u64s({5, 0}), u64s({2})}}),
                       make_node(kLeaf | kFixed, {omap_rec(1, 1, 10), omap_rec(5, 1, 51)}),
                       make_node(kLeaf | kFixed, {omap_rec(5, 2, 52), omap_rec(6, 1, 60)})});
    auto fives = apfs::btree::btree_scan(*tree, 0, 4096, 16, 16, by_id(5));
    ASSERT_TRUE(fives);
    ASSERT_EQ(fives->size(), 2u);
    EXPECT_EQ(core::load_le64(&(*fives)[0].second[8]), 51u);
    EXPECT_EQ(core::load_le64(&(*fives)[1].second[8]), 52u);
    EXPECT_TRUE(apfs::btree::btree_scan(*tree, 0, 4096, 16, 16, by_id(3))->empty());
    EXPECT_EQ(*apfs::omap::omap_lookup(*tree, 0, 4096, 6), 60u);
}

TEST(BTreeTest, CyclesEndInAnError) {
    auto by_id = [](uint64_t id) { return [id](auto k) { return apfs::omap::compare_omap_key(k, id); }; };
    // The root's only child is the root itself.
    auto loop = image({make_node(kRoot | kFixed, {{u64s({1, 0}), u64s({0})}})});
    EXPECT_APFS_ERROR(apfs::btree::btree_lookup(*loop, 0, 4096, 16, 16, by_id(5)), InvalidBTree,
                      "invalid B-tree: tree deeper than 16 levels");
    EXPECT_APFS_ERROR(apfs::btree::btree_scan(*loop, 0, 4096, 16, 16, by_id(5)), InvalidBTree,
                      "invalid B-tree: node at block 0 reached twice");
    // Two index nodes sharing one leaf: a scan reads each node once.
    auto shared = image({make_node(kRoot | kFixed, {{u64s({1, 0}), u64s({1})}, {u64s({2, 0}), u64s({1})}}),
                         make_node(kLeaf | kFixed, {omap_rec(1, 1, 10)})});
    EXPECT_APFS_ERROR(apfs::btree::btree_scan(*shared, 0, 4096, 16, 16, by_id(1)), InvalidBTree,
                      "invalid B-tree: node at block 1 reached twice");
}

}  // namespace
