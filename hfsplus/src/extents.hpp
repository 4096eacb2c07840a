// File data: inline extents and the extents overflow B-tree.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "btree.hpp"
#include "core/io.hpp"
#include "hfsplus/error.hpp"
#include "hfsplus/records.hpp"

namespace hfsplus {

inline constexpr uint8_t kDataForkType = 0x00;
inline constexpr uint8_t kResourceForkType = 0xFF;

// Allocation block sizes above this are refused when file data is read.
inline constexpr uint32_t kMaxBlockSize = 64u << 20;

namespace extents {

// Orders an extents overflow record's key against (file id, fork type, start block);
// nullopt for a record too short to hold a key.
std::optional<std::strong_ordering> compare_extent_key(std::span<const uint8_t> record, uint32_t file_id,
                                                       uint8_t fork_type, uint32_t start_block);

// The eight extents of the overflow record keyed (file id, fork type, start
// block), or an empty list when there is none.
Result<std::vector<ExtentDescriptor>> lookup_overflow_extents(core::ByteSource& source,
                                                              const BTreeHeader& extents_tree,
                                                              uint32_t file_id, uint32_t start_block,
                                                              uint8_t fork_type = kDataForkType);

// The extents of a fork, in fork order: the inline ones up to the first empty
// one, then those of the overflow records keyed (file id, fork type, blocks so
// far), until they cover the logical size (at most the image's size) or the
// chain ends.  Used for file forks and for the catalog and attributes files.
Result<std::vector<ExtentDescriptor>> gather_extents(core::ByteSource& source, uint32_t block_size,
                                                     const BTreeHeader& extents_tree, const ForkData& fork,
                                                     uint32_t file_id, uint8_t fork_type);

// Refuses a block size no copy can use, and a fork larger than the image.
Result<void> check_fork(core::ByteSource& source, const VolumeHeader& volume, const ForkData& fork,
                        uint32_t file_id);

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

// Reads at any offset of a fork: its extents, inline and from the overflow
// records, are gathered once when it opens.
class ForkReader {
public:
    static Result<ForkReader> open(core::ByteSource& source, const VolumeHeader& volume,
                                   const BTreeHeader& extents_tree, const ForkData& fork, uint32_t file_id,
                                   uint8_t fork_type);

    uint64_t size() const { return size_; }
    // Fills `buf` from fork offset `offset`; bytes beyond the fork's size or
    // its extents fail with the short-read error.
    core::IoResult<void> read_at(uint64_t offset, std::span<uint8_t> buf);

private:
    struct Run {
        uint64_t fork_offset;  // where the extent starts in the fork
        uint64_t image_offset;
        uint64_t length;
    };
    ForkReader(core::ByteSource& source, uint64_t size, std::vector<Run> runs)
        : source_(&source), size_(size), runs_(std::move(runs)) {}

    core::ByteSource* source_;
    uint64_t size_;
    std::vector<Run> runs_;
};

}  // namespace hfsplus
