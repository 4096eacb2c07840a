// Data streams (a file's bytes, or an extended attribute's) assembled from
// their extents.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "apfs/error.hpp"
#include "catalog.hpp"
#include "core/io.hpp"

namespace apfs::extents {

// Where a data stream's bytes lie.  Extents are taken in logical order; where
// two overlap, the earlier keeps its bytes and the later continues past
// them.  A range no extent covers before the last extent's end is a hole, as
// is an extent at physical block 0 (a sparse extent): both read as zeros.
class StreamLayout {
public:
    StreamLayout(const std::vector<FileExtentRecord>& extents, uint32_t block_size);

    // Where the last extent ends: bytes from here on cannot be produced.
    uint64_t end() const { return pieces_.empty() ? 0 : pieces_.back().logical + pieces_.back().length; }
    // Fails unless the extents reach `size`; `what` names the stream.
    Result<void> check_covers(uint64_t size, std::string_view what) const;
    // Writes bytes [0, size), which the extents must cover; holes are
    // skipped on the sink (core::ByteSink::skip_zeros).
    Result<void> write_to(core::ByteSource& source, uint64_t size, core::ByteSink& writer) const;
    // Fills `buf` with the bytes at `offset`; holes read as zeros.
    Result<void> read_at(core::ByteSource& source, uint64_t offset, std::span<uint8_t> buf) const;

private:
    struct Piece {
        uint64_t logical = 0;     // first byte of the stream it holds
        uint64_t length = 0;
        uint64_t phys_block = 0;  // 0 for a sparse extent
        uint64_t skip = 0;        // bytes of the extent before `logical`
    };
    // Reads `buf.size()` bytes from `offset` bytes into the piece.
    Result<void> read_piece(core::ByteSource& source, const Piece& piece, uint64_t offset,
                            std::span<uint8_t> buf) const;

    uint32_t block_size_;
    std::vector<Piece> pieces_;
};

// Writes the first `file_size` bytes described by `extents` (holes skipped
// on the sink) and returns that size.  Extents ending before it are corrupt.
Result<uint64_t> read_file_data(core::ByteSource& source, uint32_t block_size,
                                const std::vector<FileExtentRecord>& extents, uint64_t file_size,
                                core::ByteSink& writer);

}  // namespace apfs::extents
