// File data: inline extents and the extents overflow B-tree.
#pragma once

#include <compare>
#include <cstdint>
#include <span>
#include <vector>

#include "core/io.hpp"
#include "hfsplus/btree.hpp"
#include "hfsplus/error.hpp"
#include "hfsplus/volume.hpp"

namespace hfsplus {

inline constexpr uint8_t kDataForkType = 0x00;
inline constexpr uint8_t kResourceForkType = 0xFF;

// Allocation block sizes above this are refused when file data is read.
inline constexpr uint32_t kMaxBlockSize = 64u << 20;

namespace extents {

// Orders an extents overflow record's key against (file id, fork type, start block).
std::strong_ordering compare_extent_key(std::span<const uint8_t> record, uint32_t file_id, uint8_t fork_type,
                                        uint32_t start_block);

// The eight extents of the data-fork overflow record keyed (file id, start block),
// or an empty list when there is none.
Result<std::vector<ExtentDescriptor>> lookup_overflow_extents(core::ByteSource& source,
                                                              const BTreeHeader& extents_tree,
                                                              uint32_t file_id, uint32_t start_block);

// Copies up to `wanted` bytes of one extent into `writer`; returns the count.
// `buffer` is scratch space reused across extents (unused over in-memory sources).
Result<uint64_t> read_extent(core::ByteSource& source, uint32_t start_block, uint32_t block_count,
                             uint32_t block_size, uint64_t wanted, std::vector<uint8_t>& buffer,
                             core::ByteSink& writer);

// Copies the data fork of file `file_id` into `writer`, through its inline
// extents and then the overflow records.  Returns the bytes written, which is
// less than the logical size when the extent chain ends early.
Result<uint64_t> read_fork_data(core::ByteSource& source, const VolumeHeader& volume,
                                const BTreeHeader& extents_tree, const ForkData& fork, uint32_t file_id,
                                core::ByteSink& writer);

}  // namespace extents
}  // namespace hfsplus
