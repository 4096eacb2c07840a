// The chunk table of a PBZX stream being decoded.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace pbzx::detail {

// One chunk: its sizes and where its data are.  Data already in memory (an
// in-memory source, or a plain stream read through) are in `bytes`; data
// of a file are read by position when the chunk is decoded.
struct ChunkRef {
    uint64_t uncompressed_size = 0;
    uint64_t compressed_size = 0;
    uint64_t offset = 0;    // stream offset of the data, for messages
    uint64_t position = 0;  // source position of the data
    bool in_memory = false;
    std::span<const uint8_t> bytes;
    std::vector<uint8_t> owned;  // what `bytes` shows, when read from a plain stream

    bool is_stored() const { return uncompressed_size == compressed_size; }
};

}  // namespace pbzx::detail
