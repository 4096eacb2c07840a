// B-tree files (catalog and extents overflow): header, nodes, records, search.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/io.hpp"
#include "hfsplus/error.hpp"
#include "hfsplus/records.hpp"

namespace hfsplus {

// A descent deeper than this fails with InvalidBTree (real trees stay below 10).
inline constexpr unsigned kMaxTreeDepth = 64;

// An opened B-tree: its fork, the volume block size and the header record of node 0.
struct BTreeHeader {
    ForkData fork;
    // Every extent of the tree file, in fork order: the inline ones, then, for
    // a tree that has grown beyond them, those of its overflow records.
    std::vector<ExtentDescriptor> extents;
    uint32_t block_size = 0;
    uint16_t tree_depth = 0;
    uint32_t root_node = 0;  // 0: empty tree
    uint32_t leaf_records = 0;
    uint32_t first_leaf = 0;
    uint32_t last_leaf = 0;
    uint16_t node_size = 0;
    uint16_t max_key_length = 0;
    uint32_t total_nodes = 0;
    uint32_t free_nodes = 0;
    uint8_t key_compare_type = 0;  // kept; the volume signature decides the name order

    // How many nodes the tree file's extents can address.
    uint64_t node_capacity() const;
};

enum class NodeKind : int8_t { Leaf = -1, Index = 0, Header = 1, Map = 2 };

struct NodeDescriptor {
    uint32_t forward_link = 0;
    uint32_t backward_link = 0;
    int8_t kind = 0;
    uint8_t height = 0;
    uint16_t num_records = 0;
    uint16_t reserved = 0;
};

struct BTreeNode {
    std::vector<uint8_t> data;      // exactly node-size bytes
    std::vector<uint16_t> offsets;  // num_records + 1 entries, record 0 first
    NodeDescriptor descriptor;
    uint32_t number = 0;  // its node number in the tree

    bool is_leaf() const { return descriptor.kind == int8_t(NodeKind::Leaf); }
    bool is_index() const { return descriptor.kind == int8_t(NodeKind::Index); }
    // The bytes of record `index`, a view into `data`.
    Result<std::span<const uint8_t>> record_data(size_t index) const;
};

// Orders a record's key against the search target (less: the record sorts
// first); nullopt when the key cannot be read, which fails the search.
using Comparator = std::function<std::optional<std::strong_ordering>(std::span<const uint8_t> record)>;

// A record found by search_btree.
struct SearchHit {
    BTreeNode node;
    size_t index = 0;
    std::span<const uint8_t> record() const { return *node.record_data(index); }
};

namespace btree {

// Partition byte offset of byte `offset` of a fork, through `extents` (in
// fork order; the first empty one ends them).
Result<uint64_t> compute_fork_offset(std::span<const ExtentDescriptor> extents, uint32_t block_size,
                                     uint64_t offset);

// The extents of a fork record up to its first empty one.
std::vector<ExtentDescriptor> inline_extents(const ForkData& fork);

// Reads node 0 of the tree stored in `fork`, through its inline extents (node
// 0 always lies in the first); the tree's extents are its inline ones.
Result<BTreeHeader> read_btree_header(core::ByteSource& source, const ForkData& fork, uint32_t block_size);

Result<BTreeNode> read_node(core::ByteSource& source, const BTreeHeader& tree, uint32_t node_number);

// The child node number of an index record: the u32 right after the key.
Result<uint32_t> extract_index_child(std::span<const uint8_t> record);

// The leaf whose records would hold the target: at each index node the child
// of the last record not greater than it.  When even the first record is
// greater: nullopt, or with `into_first` its child (where a listing of a
// range starts).  nullopt for an empty tree or index node; `walk` names the
// descent in the error for a node of another kind.
Result<std::optional<BTreeNode>> find_leaf(core::ByteSource& source, const BTreeHeader& tree, const Comparator& compare,
                                           bool into_first, std::string_view walk);

// Finds the leaf record whose key the comparator calls equal; nullopt when none.
Result<std::optional<SearchHit>> search_btree(core::ByteSource& source, const BTreeHeader& tree,
                                              const Comparator& compare);

}  // namespace btree
}  // namespace hfsplus
