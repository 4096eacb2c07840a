// The attributes B-tree: extended attributes keyed by (file id, name, start block).
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "btree.hpp"
#include "core/io.hpp"
#include "hfsplus/error.hpp"

namespace hfsplus::attributes {

// Orders an attributes record's key against (file id, name, start block 0):
// file id, then the name unit by unit (a prefix first), then the start block;
// nullopt for a key that runs past its record.
std::optional<std::strong_ordering> compare_attribute_key(std::span<const uint8_t> record, uint32_t file_id,
                                                          std::span<const uint16_t> name);

// The value of the attribute `name` of file `file_id`, when the tree holds
// it inline; nullopt when the file has no such attribute.  An attribute kept
// in a fork of its own is Unsupported.
Result<std::optional<std::vector<uint8_t>>> lookup_inline_attribute(core::ByteSource& source,
                                                                    const BTreeHeader& tree, uint32_t file_id,
                                                                    std::string_view name);

}  // namespace hfsplus::attributes
