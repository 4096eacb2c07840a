#include "btree.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_set>

#include "core/endian.hpp"
#include "core/try.hpp"
#include "internal.hpp"
#include "omap.hpp"

namespace apfs {

using core::load_le16;
using core::load_le32;
using core::load_le64;
using std::to_string;

Result<BTreeNode> BTreeNode::parse(std::vector<uint8_t> block) {
    const size_t len = block.size();
    auto header = KIV_TRY(ObjectHeader::parse(block));
    if (len < kHeaderSize) return fail(ApfsError::invalid_btree("btree node header too short"));
    if (len < 60) return core::eof_fail();

    const uint8_t* p = block.data();
    BTreeNode node;
    node.header = header;
    node.flags = load_le16(p + 32);
    node.level = load_le16(p + 34);
    node.key_count = load_le32(p + 36);
    node.table_space_offset = load_le16(p + 40);
    node.table_space_length = load_le16(p + 42);
    std::memcpy(node.free_lists.data(), p + 44, 16);
    node.value_area_end = len;
    if (node.is_root()) {
        const uint8_t* t = p + len - BTreeInfo::kSize;
        node.info = BTreeInfo{load_le32(t), load_le32(t + 4), load_le32(t + 8), load_le32(t + 12),
                              load_le32(t + 16), load_le32(t + 20), load_le64(t + 24), load_le64(t + 32)};
        node.value_area_end = len - BTreeInfo::kSize;
    }

    const size_t table_start = kHeaderSize + node.table_space_offset;
    if (table_start > len) return core::eof_fail();
    // The key count is not trusted: a damaged node may claim four thousand
    // million keys, but only as many entries as the block holds can be read.
    const size_t entry_size = node.is_fixed() ? 4 : 8;
    const size_t fit = (len - table_start) / entry_size;
    if (node.key_count > fit) return core::eof_fail();
    node.toc.reserve(node.key_count);
    for (size_t i = 0; i < node.key_count; ++i) {
        const uint8_t* e = p + table_start + i * entry_size;
        if (node.is_fixed())
            node.toc.push_back(TocEntry{load_le16(e), 0, load_le16(e + 2), 0});
        else
            node.toc.push_back(TocEntry{load_le16(e), load_le16(e + 2), load_le16(e + 4), load_le16(e + 6)});
    }
    node.key_area_start = table_start + node.table_space_length;
    node.block = std::move(block);
    return node;
}

Result<std::span<const uint8_t>> BTreeNode::key(size_t index, uint32_t fixed_key_size) const {
    if (index >= toc.size()) return fail(ApfsError::invalid_btree("key index out of range: " + to_string(index)));
    const uint64_t start = uint64_t(key_area_start) + toc[index].key_offset;
    const uint64_t length = is_fixed() ? fixed_key_size : toc[index].key_length;
    if (start + length > block.size())
        return fail(ApfsError::invalid_btree("key out of bounds: start=" + to_string(start) + ", len=" +
                                             to_string(length) + ", block_size=" + to_string(block.size())));
    return std::span<const uint8_t>(block).subspan(size_t(start), size_t(length));
}

Result<std::span<const uint8_t>> BTreeNode::value(size_t index, uint32_t fixed_value_size) const {
    if (index >= toc.size()) return fail(ApfsError::invalid_btree("value index out of range: " + to_string(index)));
    const uint64_t length = !is_leaf() ? 8 : is_fixed() ? fixed_value_size : toc[index].value_length;
    const uint64_t start = uint64_t(value_area_end) - toc[index].value_offset;  // may wrap
    const uint64_t end = start + length;
    if (start < key_area_start || end < start || end > block.size())
        return fail(ApfsError::invalid_btree("value out of bounds: start=" + to_string(start) + ", len=" +
                                             to_string(length) + ", val_area_end=" + to_string(value_area_end) +
                                             ", block_size=" + to_string(block.size())));
    return std::span<const uint8_t>(block).subspan(size_t(start), size_t(length));
}

Result<uint64_t> BTreeNode::child_oid(size_t index) const {
    auto v = KIV_TRY(value(index, 8));
    if (v.size() < 8) return fail(ApfsError::invalid_btree("child oid too short"));
    return load_le64(v.data());
}

namespace btree {
namespace {

struct Root {
    BTreeNode node;
    TreeContext ctx;
};

Result<BTreeNode> read_node(core::ByteSource& source, uint64_t block, uint32_t block_size) {
    auto data = KIV_TRY(object::read_block(source, block, block_size));
    return BTreeNode::parse(std::move(data));
}

// Reads the root and settles the fixed key and value sizes from its tree information.
Result<Root> open_root(core::ByteSource& source, uint64_t root_block, uint32_t block_size, uint32_t key_size,
                       uint32_t value_size, std::optional<OmapView> omap) {
    auto node = KIV_TRY(read_node(source, root_block, block_size));
    TreeContext ctx{block_size, key_size, value_size, omap};
    if (node.info) {
        if (node.info->key_size != 0) ctx.key_size = node.info->key_size;
        if (node.info->value_size != 0) ctx.value_size = node.info->value_size;
    }
    return Root{std::move(node), ctx};
}

ApfsError too_deep() {
    return ApfsError::invalid_btree("tree deeper than " + to_string(kMaxDepth) + " levels");
}

// The child of an index node that may hold the target: the last entry whose
// key is not Greater, read and parsed; nullopt when the first key is Greater
// (or there is none).  A child that cannot be read is an error.
Result<std::optional<BTreeNode>> descend(core::ByteSource& source, const BTreeNode& node, const TreeContext& ctx,
                                         const KeyCompare& compare, unsigned depth) {
    if (node.toc.empty()) return std::optional<BTreeNode>{};
    auto first = KIV_TRY(node.key(0, ctx.key_size));
    if (compare(first) > 0) return std::optional<BTreeNode>{};
    size_t child = node.toc.size() - 1;
    for (size_t i = 1; i < node.toc.size(); ++i) {
        auto key = KIV_TRY(node.key(i, ctx.key_size));
        if (compare(key) > 0) {
            child = i - 1;
            break;
        }
    }
    if (depth + 1 >= kMaxDepth) return fail(too_deep());
    auto oid = KIV_TRY(node.child_oid(child));
    auto block = KIV_TRY(resolve_child_oid(source, ctx, oid));
    return std::optional<BTreeNode>(KIV_TRY(read_node(source, block, ctx.block_size)));
}

Result<std::optional<std::vector<uint8_t>>> lookup_node(core::ByteSource& source, const BTreeNode& node,
                                                        const TreeContext& ctx, const KeyCompare& compare,
                                                        unsigned depth) {
    using Found = std::optional<std::vector<uint8_t>>;
    if (node.is_leaf()) {
        for (size_t i = 0; i < node.toc.size(); ++i) {
            auto key = KIV_TRY(node.key(i, ctx.key_size));
            auto order = compare(key);
            if (order < 0) continue;
            if (order > 0) return Found{};
            auto value = KIV_TRY(node.value(i, ctx.value_size));
            return Found{std::vector<uint8_t>(value.begin(), value.end())};
        }
        return Found{};
    }
    auto next = KIV_TRY(descend(source, node, ctx, compare, depth));
    if (!next) return Found{};
    return lookup_node(source, *next, ctx, compare, depth + 1);
}

Result<std::optional<Record>> floor_node(core::ByteSource& source, const BTreeNode& node, const TreeContext& ctx,
                                         const KeyCompare& compare, unsigned depth) {
    if (node.is_leaf()) {
        std::optional<size_t> last;
        for (size_t i = 0; i < node.toc.size(); ++i) {
            auto key = KIV_TRY(node.key(i, ctx.key_size));
            if (compare(key) > 0) break;
            last = i;
        }
        if (!last) return std::optional<Record>{};
        auto key = KIV_TRY(node.key(*last, ctx.key_size));
        auto value = KIV_TRY(node.value(*last, ctx.value_size));
        return std::optional<Record>(Record{{key.begin(), key.end()}, {value.begin(), value.end()}});
    }
    auto next = KIV_TRY(descend(source, node, ctx, compare, depth));
    if (!next) return std::optional<Record>{};
    return floor_node(source, *next, ctx, compare, depth + 1);
}

struct ScanState {
    std::vector<Record> records;
    std::unordered_set<uint64_t> visited;  // physical blocks read so far
    bool stop = false;
};

Result<void> scan_node(core::ByteSource& source, const BTreeNode& node, const TreeContext& ctx,
                       const KeyCompare& compare, ScanState& state, unsigned depth) {
    if (node.is_leaf()) {
        for (size_t i = 0; i < node.toc.size(); ++i) {
            auto key = KIV_TRY(node.key(i, ctx.key_size));
            auto order = compare(key);
            if (order < 0) continue;
            if (order > 0) {
                state.stop = true;
                return {};
            }
            auto value = KIV_TRY(node.value(i, ctx.value_size));
            state.records.emplace_back(std::vector<uint8_t>(key.begin(), key.end()),
                                       std::vector<uint8_t>(value.begin(), value.end()));
        }
        return {};
    }
    for (size_t i = 0; i < node.toc.size() && !state.stop; ++i) {
        // An index key is the smallest key below it, so when the next child
        // still starts below the target, every record of this child does
        // too: skip it.  This keeps a directory listing from reading every
        // leaf to the left of its records.
        if (i + 1 < node.toc.size())
            if (auto next = node.key(i + 1, ctx.key_size); next && compare(*next) < 0) continue;
        if (depth + 1 >= kMaxDepth) return fail(too_deep());
        auto oid = KIV_TRY(node.child_oid(i));
        auto block = KIV_TRY(resolve_child_oid(source, ctx, oid));
        // A well-formed tree reaches every node once; a second visit means the
        // child pointers form a cycle or share subtrees.
        if (!state.visited.insert(block).second)
            return fail(ApfsError::invalid_btree("node at block " + to_string(block) + " reached twice"));
        auto child = KIV_TRY(read_node(source, block, ctx.block_size));
        KIV_TRY(scan_node(source, child, ctx, compare, state, depth + 1));
    }
    return {};
}

}  // namespace

// A virtual node whose object-map entry is marked encrypted holds
// ciphertext: reading it as a node would only report damage.
Result<uint64_t> resolve_child_oid(core::ByteSource& source, const TreeContext& ctx, uint64_t oid) {
    if (!ctx.omap) return oid;
    auto mapped = KIV_TRY(omap::omap_get(source, ctx.omap->root, ctx.block_size, oid, ctx.omap->xid));
    if (mapped.encrypted()) return fail(omap::encrypted_volume());
    return mapped.paddr;
}

Result<std::optional<std::vector<uint8_t>>> btree_lookup_node(core::ByteSource& source, const BTreeNode& node,
                                                              const TreeContext& ctx, const KeyCompare& compare) {
    return lookup_node(source, node, ctx, compare, 0);
}

Result<std::optional<std::vector<uint8_t>>> btree_lookup(core::ByteSource& source, uint64_t root_block,
                                                         uint32_t block_size, uint32_t default_key_size,
                                                         uint32_t default_value_size, const KeyCompare& compare,
                                                         std::optional<OmapView> omap) {
    auto root = KIV_TRY(open_root(source, root_block, block_size, default_key_size, default_value_size, omap));
    return lookup_node(source, root.node, root.ctx, compare, 0);
}

Result<std::vector<Record>> btree_scan(core::ByteSource& source, uint64_t root_block, uint32_t block_size,
                                       uint32_t default_key_size, uint32_t default_value_size,
                                       const KeyCompare& compare, std::optional<OmapView> omap) {
    auto root = KIV_TRY(open_root(source, root_block, block_size, default_key_size, default_value_size, omap));
    ScanState state;
    state.visited.insert(root_block);
    KIV_TRY(scan_node(source, root.node, root.ctx, compare, state, 0));
    return std::move(state.records);
}

Result<std::optional<Record>> btree_floor(core::ByteSource& source, uint64_t root_block, uint32_t block_size,
                                          uint32_t default_key_size, uint32_t default_value_size,
                                          const KeyCompare& compare) {
    auto root = KIV_TRY(open_root(source, root_block, block_size, default_key_size, default_value_size, std::nullopt));
    return floor_node(source, root.node, root.ctx, compare, 0);
}

}  // namespace btree
}  // namespace apfs
