#include "omap.hpp"

#include <string>

#include "btree.hpp"
#include "core/endian.hpp"
#include "core/try.hpp"
#include "internal.hpp"

namespace apfs::omap {

namespace {
constexpr uint32_t kOmapKeySize = 16;
constexpr uint32_t kOmapValueSize = 16;
}  // namespace

std::strong_ordering compare_omap_key(std::span<const uint8_t> key, uint64_t oid) {
    if (key.size() < 16) return std::strong_ordering::less;
    return core::load_le64(key.data()) <=> oid;
}

Result<uint64_t> parse_omap_val(std::span<const uint8_t> value) {
    if (value.size() < 16) return fail(ApfsError::invalid_btree("omap value too short"));
    return core::load_le64(value.data() + 8);
}

Result<uint64_t> read_omap_tree_root(core::ByteSource& source, uint64_t omap_block, uint32_t block_size) {
    auto block = KIV_TRY(object::read_block(source, omap_block, block_size));
    if (block.size() < 56) return core::eof_fail();
    return core::load_le64(block.data() + 48);
}

Result<uint64_t> omap_lookup(core::ByteSource& source, uint64_t tree_root, uint32_t block_size, uint64_t oid) {
    KeyCompare compare = [oid](std::span<const uint8_t> key) { return compare_omap_key(key, oid); };
    auto exact = KIV_TRY(btree::btree_lookup(source, tree_root, block_size, kOmapKeySize, kOmapValueSize, compare));
    if (exact) return parse_omap_val(*exact);

    // No record matched on the way down: gather every record of the id and
    // take the newest transaction (the later record among equals).
    auto records = KIV_TRY(btree::btree_scan(source, tree_root, block_size, kOmapKeySize, kOmapValueSize, compare));
    if (records.empty())
        return fail(ApfsError::corrupted("OMAP lookup failed: OID " + std::to_string(oid) + " not found"));
    uint64_t best_xid = 0, best = 0;
    for (const auto& [key, value] : records) {
        uint64_t xid = core::load_le64(key.data() + 8);  // Equal keys have at least 16 bytes
        if (xid < best_xid) continue;
        auto paddr = KIV_TRY(parse_omap_val(value));
        best_xid = xid;
        best = paddr;
    }
    if (best == 0)
        return fail(ApfsError::corrupted("OMAP lookup: OID " + std::to_string(oid) + " resolved to paddr 0"));
    return best;
}

}  // namespace apfs::omap
