#include "omap.hpp"

#include <optional>
#include <string>

#include "btree.hpp"
#include "core/endian.hpp"
#include "core/try.hpp"
#include "internal.hpp"

namespace apfs::omap {

namespace {
constexpr uint32_t kOmapKeySize = 16;
constexpr uint32_t kOmapValueSize = 16;

ApfsError not_found(uint64_t oid) {
    return ApfsError::corrupted("OMAP lookup failed: OID " + std::to_string(oid) + " not found");
}
}  // namespace

std::strong_ordering compare_omap_key(std::span<const uint8_t> key, uint64_t oid) {
    if (key.size() < 16) return std::strong_ordering::less;
    return core::load_le64(key.data()) <=> oid;
}

std::strong_ordering compare_omap_key(std::span<const uint8_t> key, uint64_t oid, uint64_t xid) {
    if (key.size() < 16) return std::strong_ordering::less;
    if (auto order = core::load_le64(key.data()) <=> oid; order != 0) return order;
    return core::load_le64(key.data() + 8) <=> xid;
}

ApfsError encrypted_volume() { return ApfsError::unsupported("encrypted volume"); }

Result<OmapVal> parse_omap_value(std::span<const uint8_t> value) {
    if (value.size() < 16) return fail(ApfsError::invalid_btree("omap value too short"));
    return OmapVal{core::load_le32(value.data()), core::load_le32(value.data() + 4), core::load_le64(value.data() + 8)};
}

Result<uint64_t> parse_omap_val(std::span<const uint8_t> value) {
    auto parsed = KIV_TRY(parse_omap_value(value));
    return parsed.paddr;
}

Result<uint64_t> read_omap_tree_root(core::ByteSource& source, uint64_t omap_block, uint32_t block_size) {
    auto block = KIV_TRY(object::read_block(source, omap_block, block_size));
    if (block.size() < 56) return core::eof_fail();
    return core::load_le64(block.data() + 48);
}

// An object keeps one record per transaction that wrote it; snapshots keep
// the older ones alive.  The tree is ordered by (oid, xid), so one descent
// to the last key not above (oid, max_xid) finds the version the checkpoint
// sees; records of later transactions are never taken.
Result<OmapVal> omap_get(core::ByteSource& source, uint64_t tree_root, uint32_t block_size, uint64_t oid,
                         uint64_t max_xid) {
    KeyCompare bounded = [oid, max_xid](std::span<const uint8_t> key) { return compare_omap_key(key, oid, max_xid); };
    auto floor = KIV_TRY(btree::btree_floor(source, tree_root, block_size, kOmapKeySize, kOmapValueSize, bounded));
    if (floor && compare_omap_key(floor->first, oid) == 0) return parse_omap_value(floor->second);

    // The descent found no version of the object: when index keys do not
    // match their children, gather every record of the id instead and take
    // the newest one the checkpoint sees (the later record among equals).
    KeyCompare by_id = [oid](std::span<const uint8_t> key) { return compare_omap_key(key, oid); };
    auto records = KIV_TRY(btree::btree_scan(source, tree_root, block_size, kOmapKeySize, kOmapValueSize, by_id));
    std::optional<OmapVal> best;
    uint64_t best_xid = 0;
    for (const auto& [key, value] : records) {
        const uint64_t xid = core::load_le64(key.data() + 8);  // Equal keys have at least 16 bytes
        if (xid > max_xid || (best && xid < best_xid)) continue;
        best = KIV_TRY(parse_omap_value(value));
        best_xid = xid;
    }
    if (!best) return fail(not_found(oid));
    if (best->paddr == 0)
        return fail(ApfsError::corrupted("OMAP lookup: OID " + std::to_string(oid) + " resolved to paddr 0"));
    return *best;
}

Result<uint64_t> omap_lookup(core::ByteSource& source, uint64_t tree_root, uint32_t block_size, uint64_t oid,
                             uint64_t max_xid) {
    auto mapped = KIV_TRY(omap_get(source, tree_root, block_size, oid, max_xid));
    return mapped.paddr;
}

}  // namespace apfs::omap
