#include "btree.hpp"

#include <string>

#include "core/endian.hpp"
#include "core/try.hpp"

namespace hfsplus {

namespace {

constexpr size_t kDescriptorSize = 14;
constexpr size_t kHeaderNodeReadSize = 512;  // the smallest legal node size

std::string kind_text(int8_t kind) { return std::to_string(unsigned(uint8_t(kind))); }

// The order of record `i` of `node` against the target.  A key that cannot
// be read fails: passing over it could take a search to the wrong child or
// past the very record it looks for.
Result<std::strong_ordering> order_of(const BTreeNode& node, size_t i, const Comparator& compare) {
    auto order = compare(KIV_TRY(node.record_data(i)));
    if (!order)
        return std::unexpected(HfsPlusError::invalid_btree("unreadable key in record " + std::to_string(i) +
                                                           " of node " + std::to_string(node.number)));
    return *order;
}

}  // namespace

uint64_t BTreeHeader::node_capacity() const {
    if (node_size == 0) return 0;
    uint64_t blocks = 0;
    for (const auto& e : extents) {
        if (e.block_count == 0) break;
        blocks += e.block_count;
    }
    // A 64-bit block count times up to 2^32 bytes: widen before multiplying.
    const unsigned __int128 nodes = (unsigned __int128)blocks * block_size / node_size;
    return nodes > UINT64_MAX ? UINT64_MAX : uint64_t(nodes);
}

Result<std::span<const uint8_t>> BTreeNode::record_data(size_t index) const {
    if (index >= descriptor.num_records)
        return std::unexpected(HfsPlusError::invalid_btree("record index " + std::to_string(index) +
                                                           " >= num_records " +
                                                           std::to_string(descriptor.num_records)));
    for (size_t i : {index, index + 1})
        if (i >= offsets.size())
            return std::unexpected(
                HfsPlusError::invalid_btree("record offset index " + std::to_string(i) + " out of bounds"));
    size_t start = offsets[index], end = offsets[index + 1];
    if (start > end || end > data.size())
        return std::unexpected(HfsPlusError::invalid_btree(
            "invalid record offsets: start=" + std::to_string(start) + ", end=" + std::to_string(end) +
            ", len=" + std::to_string(data.size())));
    return std::span<const uint8_t>(data).subspan(start, end - start);
}

namespace btree {

Result<uint64_t> compute_fork_offset(std::span<const ExtentDescriptor> extents, uint32_t block_size,
                                     uint64_t offset) {
    const uint64_t bs = block_size;
    uint64_t rest = offset;
    for (const auto& e : extents) {
        if (e.block_count == 0) break;
        uint64_t span = uint64_t(e.block_count) * bs;
        if (rest < span) return (uint64_t(e.start_block) + rest / bs) * bs + rest % bs;
        rest -= span;
    }
    return std::unexpected(
        HfsPlusError::invalid_btree("fork offset " + std::to_string(offset) + " exceeds extent capacity"));
}

std::vector<ExtentDescriptor> inline_extents(const ForkData& fork) {
    std::vector<ExtentDescriptor> out;
    for (const auto& e : fork.extents) {
        if (e.block_count == 0) break;
        out.push_back(e);
    }
    return out;
}

Result<BTreeHeader> read_btree_header(core::ByteSource& source, const ForkData& fork, uint32_t block_size) {
    uint64_t at = KIV_TRY(compute_fork_offset(fork.extents, block_size, 0));
    std::array<uint8_t, kHeaderNodeReadSize> node;
    KIV_TRY(source.read_exact_at(at, node));
    if (node[8] != uint8_t(NodeKind::Header))
        return std::unexpected(HfsPlusError::invalid_btree("expected header node, got kind " +
                                                           std::to_string(unsigned(node[8]))));
    BTreeHeader h;
    h.fork = fork;
    h.extents = inline_extents(fork);
    h.block_size = block_size;
    const uint8_t* p = node.data();
    h.tree_depth = core::load_be16(p + 14);
    h.root_node = core::load_be32(p + 16);
    h.leaf_records = core::load_be32(p + 20);
    h.first_leaf = core::load_be32(p + 24);
    h.last_leaf = core::load_be32(p + 28);
    h.node_size = core::load_be16(p + 32);
    h.max_key_length = core::load_be16(p + 34);
    h.total_nodes = core::load_be32(p + 36);
    h.free_nodes = core::load_be32(p + 40);
    h.key_compare_type = p[51];
    // Node sizes are powers of two from 512 to 32768; anything else is a
    // damaged header, and would make every node read misplaced.
    if (h.node_size < 512 || h.node_size > 32768 || (h.node_size & (h.node_size - 1)) != 0)
        return std::unexpected(HfsPlusError::invalid_btree("node size " + std::to_string(h.node_size) +
                                                           " is not a power of two from 512 to 32768"));
    return h;
}

Result<BTreeNode> read_node(core::ByteSource& source, const BTreeHeader& tree, uint32_t node_number) {
    const size_t size = tree.node_size;
    uint64_t at = KIV_TRY(compute_fork_offset(tree.extents, tree.block_size, uint64_t(node_number) * size));
    BTreeNode node;
    node.number = node_number;
    node.data.resize(size);
    KIV_TRY(source.read_exact_at(at, node.data));
    if (size < kDescriptorSize) return std::unexpected(HfsPlusError(core::IoError::unexpected_eof()));

    const uint8_t* p = node.data.data();
    auto& d = node.descriptor;
    d.forward_link = core::load_be32(p);
    d.backward_link = core::load_be32(p + 4);
    d.kind = int8_t(p[8]);
    d.height = p[9];
    d.num_records = core::load_be16(p + 10);
    d.reserved = core::load_be16(p + 12);

    // The offset table grows downwards from the node's end: entry k sits at
    // size - 2(k + 1); it has one entry more than there are records.
    const size_t entries = size_t(d.num_records) + 1;
    if (entries > size / 2) return std::unexpected(HfsPlusError::corrupted_data("offset table out of bounds"));
    node.offsets.resize(entries);
    for (size_t k = 0; k < entries; ++k) node.offsets[k] = core::load_be16(p + size - 2 * (k + 1));
    return node;
}

Result<uint32_t> extract_index_child(std::span<const uint8_t> record) {
    if (record.size() < 2) return std::unexpected(HfsPlusError::invalid_btree("index record too short"));
    size_t key_len = core::load_be16(record.data());
    if (key_len + 6 > record.size())
        return std::unexpected(HfsPlusError::invalid_btree(
            "index record too short for child pointer: key_len=" + std::to_string(key_len) +
            ", record_len=" + std::to_string(record.size())));
    return core::load_be32(record.data() + key_len + 2);
}

Result<std::optional<BTreeNode>> find_leaf(core::ByteSource& source, const BTreeHeader& tree, const Comparator& compare,
                                           bool into_first, std::string_view walk) {
    if (tree.root_node == 0) return std::nullopt;
    BTreeNode node = KIV_TRY(read_node(source, tree, tree.root_node));
    for (unsigned depth = 1; !node.is_leaf(); ++depth) {
        if (!node.is_index())
            return std::unexpected(HfsPlusError::invalid_btree(
                "unexpected node kind " + kind_text(node.descriptor.kind) + " during " + std::string(walk)));
        const size_t count = node.descriptor.num_records;
        if (count == 0) return std::nullopt;
        // Follow the last record whose key is not greater than the target.
        const bool before_all = KIV_TRY(order_of(node, 0, compare)) == std::strong_ordering::greater;
        if (before_all && !into_first) return std::nullopt;
        uint32_t child = KIV_TRY(extract_index_child(KIV_TRY(node.record_data(0))));
        for (size_t i = 1; i < count && !before_all; ++i) {
            if (KIV_TRY(order_of(node, i, compare)) == std::strong_ordering::greater) break;
            child = KIV_TRY(extract_index_child(KIV_TRY(node.record_data(i))));
        }
        if (depth >= kMaxTreeDepth)
            return std::unexpected(HfsPlusError::invalid_btree("descent deeper than " +
                                                               std::to_string(kMaxTreeDepth) +
                                                               " levels (cycle in index nodes)"));
        node = KIV_TRY(read_node(source, tree, child));
    }
    return node;
}

Result<std::optional<SearchHit>> search_btree(core::ByteSource& source, const BTreeHeader& tree,
                                              const Comparator& compare) {
    auto leaf = KIV_TRY(find_leaf(source, tree, compare, false, "search"));
    if (!leaf) return std::nullopt;
    for (size_t i = 0; i < leaf->descriptor.num_records; ++i) {
        const auto order = KIV_TRY(order_of(*leaf, i, compare));
        if (order == std::strong_ordering::equal) return SearchHit{std::move(*leaf), i};
        if (order == std::strong_ordering::greater) return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace btree
}  // namespace hfsplus
