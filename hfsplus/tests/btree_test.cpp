// B-tree nodes, records and search over small hand-made trees.
#include <gtest/gtest.h>

#include "core/endian.hpp"
#include "test_support.hpp"

namespace {

using hfs_test::make_node;
using hfsplus::BTreeHeader;
using hfsplus::HfsPlusError;
using Kind = HfsPlusError::Kind;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kNode = 512;

// A record keyed by a u32: key length 4, the value, then payload bytes.
Bytes keyed(uint32_t value, Bytes payload = {}) {
    Bytes r(6 + payload.size());
    core::store_be16(r.data(), 4);
    core::store_be32(r.data() + 2, value);
    std::copy(payload.begin(), payload.end(), r.begin() + 6);
    return r;
}
Bytes index_rec(uint32_t value, uint32_t child) {
    Bytes p(4);
    core::store_be32(p.data(), child);
    return keyed(value, p);
}

hfsplus::Comparator target(uint32_t want) {
    return [want](std::span<const uint8_t> rec) {
        if (rec.size() < 6) return std::strong_ordering::less;
        return core::load_be32(rec.data() + 2) <=> want;
    };
}

// Nodes laid out back to back from byte 0; block size = node size.
struct Tree {
    Bytes image;
    BTreeHeader header;

    explicit Tree(const std::vector<Bytes>& nodes, uint32_t root) {
        for (auto& n : nodes) image.insert(image.end(), n.begin(), n.end());
        header.block_size = kNode;
        header.node_size = kNode;
        header.root_node = root;
        header.fork.extents[0] = {0, uint32_t(nodes.size())};
    }
    hfsplus::Result<std::optional<hfsplus::SearchHit>> search(uint32_t want) {
        core::MemorySource src(image);
        return hfsplus::btree::search_btree(src, header, target(want));
    }
};

// Header, an index over two leaves: [1 2 3] -> [5 6].
Tree sample_tree() {
    return Tree({make_node(1, 0, {}, kNode), make_node(0, 2, {index_rec(1, 2), index_rec(5, 3)}, kNode),
                 make_node(-1, 1, {keyed(1), keyed(2), keyed(3)}, kNode, 3),
                 make_node(-1, 1, {keyed(5), keyed(6)}, kNode, 0, 2)},
                1);
}

TEST(BTree, ForkOffsetsGoThroughInlineExtents) {
    hfsplus::ExtentRecord ext{};
    ext[0] = {10, 2};
    ext[1] = {100, 1};
    using hfsplus::btree::compute_fork_offset;
    EXPECT_EQ(*compute_fork_offset(ext, 4096, 0), 10u * 4096);
    EXPECT_EQ(*compute_fork_offset(ext, 4096, 4096 + 17), 11u * 4096 + 17);
    EXPECT_EQ(*compute_fork_offset(ext, 4096, 2 * 4096 + 5), 100u * 4096 + 5);
    EXPECT_EQ(compute_fork_offset(ext, 4096, 3 * 4096).error().message(),
              "invalid B-tree: fork offset 12288 exceeds extent capacity");
    ext[2] = {0xFFFFFFFF, 0xFFFFFFFF};  // 64-bit arithmetic
    EXPECT_EQ(*compute_fork_offset(ext, 0x10000, 3 * 0x10000), 0xFFFFFFFFull * 0x10000);
    EXPECT_FALSE(compute_fork_offset(ext, 0, 0));
}

TEST(BTree, SearchFollowsTheLastKeyNotGreater) {
    Tree t = sample_tree();
    for (uint32_t k : {1u, 2u, 3u, 5u, 6u}) {
        auto hit = t.search(k);
        ASSERT_TRUE(hit && *hit) << k;
        EXPECT_EQ(core::load_be32((*hit)->record().data() + 2), k);
    }
    // 4 would sit in the first leaf, which holds only smaller keys: no look at the next leaf.
    for (uint32_t k : {0u, 4u, 7u}) {
        auto miss = t.search(k);
        ASSERT_TRUE(miss);
        EXPECT_FALSE(*miss) << k;
    }
    t.header.root_node = 0;
    EXPECT_FALSE(*t.search(1));
}

TEST(BTree, IndexFirstKeyGreaterIsNotFound) {
    Tree t({make_node(1, 0, {}, kNode), make_node(0, 2, {index_rec(10, 2)}, kNode), make_node(-1, 1, {keyed(10)}, kNode)}, 1);
    auto r = t.search(3);
    ASSERT_TRUE(r);
    EXPECT_FALSE(*r);
}

TEST(BTree, BadNodesFailTheSearch) {
    Tree map_node({make_node(1, 0, {}, kNode), make_node(2, 0, {keyed(1)}, kNode)}, 1);
    EXPECT_EQ(map_node.search(1).error().message(), "invalid B-tree: unexpected node kind 2 during search");
    Tree header_as_root({make_node(1, 0, {keyed(1)}, kNode)}, 0);
    header_as_root.header.root_node = 0;
    EXPECT_FALSE(*header_as_root.search(1));

    // The child beyond the fork.
    Tree far({make_node(1, 0, {}, kNode), make_node(0, 2, {index_rec(1, 9)}, kNode)}, 1);
    EXPECT_EQ(far.search(1).error().message(), "invalid B-tree: fork offset 4608 exceeds extent capacity");
    // The child points back at its own index node.
    Tree loop({make_node(1, 0, {}, kNode), make_node(0, 2, {index_rec(1, 1)}, kNode)}, 1);
    EXPECT_EQ(loop.search(1).error().kind(), Kind::InvalidBTree);
    // An index record too short for its child pointer.
    Tree short_index({make_node(1, 0, {}, kNode), make_node(0, 2, {keyed(1, {0, 0})}, kNode)}, 1);
    EXPECT_EQ(short_index.search(1).error().message(),
              "invalid B-tree: index record too short for child pointer: key_len=4, record_len=8");
    // A leaf record whose key cannot be read counts as less than the target.
    Tree odd({make_node(1, 0, {}, kNode), make_node(-1, 1, {Bytes{1}, keyed(4)}, kNode)}, 1);
    EXPECT_TRUE(*odd.search(4));
}

TEST(BTree, NodeOffsetTableBounds) {
    auto read = [](Bytes node) {
        BTreeHeader h;
        h.block_size = kNode;
        h.node_size = kNode;
        h.fork.extents[0] = {0, 1};
        core::MemorySource src(std::move(node));
        return hfsplus::btree::read_node(src, h, 0);
    };
    Bytes node(kNode);
    node[8] = 0xFF;
    core::store_be16(node.data() + 10, 255);  // 256 entries = 512 / 2
    auto ok = read(node);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->offsets.size(), 256u);
    EXPECT_TRUE(ok->is_leaf());
    core::store_be16(node.data() + 10, 256);
    EXPECT_EQ(read(node).error().message(), "corrupted data: offset table out of bounds");

    auto two = make_node(-1, 1, {keyed(1), keyed(2)}, kNode);
    auto n = read(two);
    ASSERT_TRUE(n);
    EXPECT_EQ(n->record_data(1)->size(), 6u);
    EXPECT_EQ(n->record_data(2).error().message(), "invalid B-tree: record index 2 >= num_records 2");
    core::store_be16(two.data() + kNode - 2, 30);  // record 0 starts after it ends
    EXPECT_EQ(read(two)->record_data(0).error().message(),
              "invalid B-tree: invalid record offsets: start=30, end=20, len=512");
    core::store_be16(two.data() + kNode - 6, 600);  // end of record 1 past the node
    EXPECT_EQ(read(two)->record_data(1).error().message(),
              "invalid B-tree: invalid record offsets: start=20, end=600, len=512");

    // Node sizes below the descriptor read short.
    BTreeHeader tiny;
    tiny.block_size = 512;
    tiny.node_size = 10;
    tiny.fork.extents[0] = {0, 1};
    core::MemorySource src(Bytes(512));
    EXPECT_EQ(hfsplus::btree::read_node(src, tiny, 0).error().message(), "I/O error: failed to fill whole buffer");
}

TEST(BTree, IndexChildAndHeaderNode) {
    using hfsplus::btree::extract_index_child;
    EXPECT_EQ(extract_index_child(Bytes{0}).error().message(), "invalid B-tree: index record too short");
    EXPECT_EQ(*extract_index_child(index_rec(7, 0xABCDEF01)), 0xABCDEF01u);
    EXPECT_EQ(*hfsplus::btree::extract_index_child_pub(index_rec(7, 42)), 42u);
    // An odd key length is not padded before the child pointer.
    Bytes odd = {0, 3, 9, 9, 9, 0, 0, 0, 5};
    EXPECT_EQ(*extract_index_child(odd), 5u);

    hfsplus::ForkData fork;
    fork.extents[0] = {0, 1};
    core::MemorySource leaf(make_node(-1, 1, {}, kNode));
    EXPECT_EQ(hfsplus::btree::read_btree_header(leaf, fork, kNode).error().message(),
              "invalid B-tree: expected header node, got kind 255");
    core::MemorySource cut(Bytes(511, 0));
    EXPECT_EQ(hfsplus::btree::read_btree_header(cut, fork, kNode).error().kind(), Kind::Io);
}

}  // namespace
