// APFS B-tree nodes, exact lookup and range scan.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "apfs/error.hpp"
#include "core/io.hpp"
#include "object.hpp"

namespace apfs {

inline constexpr uint16_t kNodeRoot = 1;
inline constexpr uint16_t kNodeLeaf = 2;
inline constexpr uint16_t kNodeFixedKv = 4;

// The 40 bytes at the end of a root node.
struct BTreeInfo {
    uint32_t flags = 0;
    uint32_t node_size = 0;
    uint32_t key_size = 0;
    uint32_t value_size = 0;
    uint32_t longest_key = 0;
    uint32_t longest_value = 0;
    uint64_t key_count = 0;
    uint64_t node_count = 0;

    static constexpr size_t kSize = 40;
};

// One table-of-contents entry.  Fixed-size nodes store only the offsets.
struct TocEntry {
    uint16_t key_offset = 0;
    uint16_t key_length = 0;
    uint16_t value_offset = 0;
    uint16_t value_length = 0;
};

struct BTreeNode {
    ObjectHeader header;
    uint16_t flags = 0;
    uint16_t level = 0;
    uint32_t key_count = 0;
    uint16_t table_space_offset = 0;
    uint16_t table_space_length = 0;
    std::array<uint8_t, 16> free_lists{};  // bytes 44..59, not used
    std::optional<BTreeInfo> info;         // root nodes only
    std::vector<TocEntry> toc;
    size_t key_area_start = 0;
    size_t value_area_end = 0;
    std::vector<uint8_t> block;

    static constexpr size_t kHeaderSize = 56;

    bool is_root() const { return flags & kNodeRoot; }
    bool is_leaf() const { return flags & kNodeLeaf; }
    bool is_fixed() const { return flags & kNodeFixedKv; }

    static Result<BTreeNode> parse(std::vector<uint8_t> block);
    static Result<BTreeNode> parse(std::span<const uint8_t> block) {
        return parse(std::vector<uint8_t>(block.begin(), block.end()));
    }

    // Spans into `block`; valid as long as the node lives.
    Result<std::span<const uint8_t>> key(size_t index, uint32_t fixed_key_size) const;
    Result<std::span<const uint8_t>> value(size_t index, uint32_t fixed_value_size) const;
    // The child pointer of an index record.
    Result<uint64_t> child_oid(size_t index) const;
};

// Orders a stored key against what the caller looks for.
using KeyCompare = std::function<std::strong_ordering(std::span<const uint8_t>)>;
using Record = std::pair<std::vector<uint8_t>, std::vector<uint8_t>>;

namespace btree {

// A descent deeper than this is refused; real trees have a handful of levels.
inline constexpr unsigned kMaxDepth = 16;

// The object map a virtual tree's child pointers go through, as of one
// transaction: its records of later transactions are not seen.
struct OmapView {
    uint64_t root = 0;  // the object map's tree root (physical block)
    uint64_t xid = 0;   // the checkpoint's transaction id
};

// What a descent carries from the root to every node.
struct TreeContext {
    uint32_t block_size = 0;
    uint32_t key_size = 0;    // fixed key size of fixed-size nodes
    uint32_t value_size = 0;  // fixed value size of fixed-size leaves
    std::optional<OmapView> omap;  // set for a virtual tree
};

// The value of the first record comparing Equal, or nullopt.
Result<std::optional<std::vector<uint8_t>>> btree_lookup(core::ByteSource& source, uint64_t root_block,
                                                         uint32_t block_size, uint32_t default_key_size,
                                                         uint32_t default_value_size, const KeyCompare& compare,
                                                         std::optional<OmapView> omap = std::nullopt);
Result<std::optional<std::vector<uint8_t>>> btree_lookup_node(core::ByteSource& source, const BTreeNode& node,
                                                              const TreeContext& ctx, const KeyCompare& compare);

// Every record comparing Equal before the first Greater leaf key, in tree order.
Result<std::vector<Record>> btree_scan(core::ByteSource& source, uint64_t root_block, uint32_t block_size,
                                       uint32_t default_key_size, uint32_t default_value_size,
                                       const KeyCompare& compare, std::optional<OmapView> omap = std::nullopt);

// The last record not comparing Greater (the greatest key at or below the
// target), found by one descent; nullopt when every key is Greater.
Result<std::optional<Record>> btree_floor(core::ByteSource& source, uint64_t root_block, uint32_t block_size,
                                          uint32_t default_key_size, uint32_t default_value_size,
                                          const KeyCompare& compare);

// A child pointer as a physical block: through the object map in a virtual tree.
Result<uint64_t> resolve_child_oid(core::ByteSource& source, const TreeContext& ctx, uint64_t oid);

}  // namespace btree
}  // namespace apfs
