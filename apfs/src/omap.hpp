// The object map: virtual object ids to physical blocks, as of a transaction.
#pragma once

#include <compare>
#include <cstdint>
#include <span>

#include "apfs/error.hpp"
#include "core/io.hpp"

namespace apfs::omap {

// An object-map value: flags, the object's size and its physical block.
struct OmapVal {
    static constexpr uint32_t kEncrypted = 0x4;  // the object is stored encrypted

    uint32_t flags = 0;
    uint32_t size = 0;
    uint64_t paddr = 0;

    bool encrypted() const { return flags & kEncrypted; }
};

// The root block of the tree of the object-map object at `omap_block`.
Result<uint64_t> read_omap_tree_root(core::ByteSource& source, uint64_t omap_block, uint32_t block_size);
// The mapping of object `oid` as transaction `max_xid` sees it: of its
// records, the one with the greatest transaction id not above `max_xid`.
Result<OmapVal> omap_get(core::ByteSource& source, uint64_t tree_root, uint32_t block_size, uint64_t oid,
                         uint64_t max_xid);
// The physical block of object `oid` as transaction `max_xid` sees it.
Result<uint64_t> omap_lookup(core::ByteSource& source, uint64_t tree_root, uint32_t block_size, uint64_t oid,
                             uint64_t max_xid);
Result<OmapVal> parse_omap_value(std::span<const uint8_t> value);
// The physical block of an object-map value.
Result<uint64_t> parse_omap_val(std::span<const uint8_t> value);
// Orders an object-map key by object id only.
std::strong_ordering compare_omap_key(std::span<const uint8_t> key, uint64_t oid);
// Orders an object-map key by object id, then transaction id.
std::strong_ordering compare_omap_key(std::span<const uint8_t> key, uint64_t oid, uint64_t xid);

// What reading an encrypted volume's objects fails with.
ApfsError encrypted_volume();

}  // namespace apfs::omap
