// The object map: virtual object ids to physical blocks.
#pragma once

#include <compare>
#include <cstdint>
#include <span>

#include "apfs/error.hpp"
#include "core/io.hpp"

namespace apfs::omap {

// The root block of the tree of the object-map object at `omap_block`.
Result<uint64_t> read_omap_tree_root(core::ByteSource& source, uint64_t omap_block, uint32_t block_size);
// The physical block of object `oid` (the newest transaction wins among several).
Result<uint64_t> omap_lookup(core::ByteSource& source, uint64_t tree_root, uint32_t block_size, uint64_t oid);
// The physical block of an object-map value.
Result<uint64_t> parse_omap_val(std::span<const uint8_t> value);
// Orders an object-map key by object id only.
std::strong_ordering compare_omap_key(std::span<const uint8_t> key, uint64_t oid);

}  // namespace apfs::omap
