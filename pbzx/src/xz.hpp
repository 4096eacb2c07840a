// Decoding the .xz streams of PBZX chunks with liblzma.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <lzma.h>

#include "codec/stream.hpp"
#include "pbzx/error.hpp"

namespace pbzx::detail {

// An .xz decoder kept from one chunk to the next, so that its dictionary is
// allocated (and its pages touched) once per thread rather than once per
// chunk.  Each chunk is decoded as one complete .xz stream (no memory limit,
// no flags); whatever follows the stream's end is ignored.
class XzDecoder {
public:

    // Decodes `input` into `out`, which has the chunk's declared size; fails
    // unless the stream decodes to exactly that many bytes.  `offset` (the
    // chunk's offset in the PBZX stream) goes into messages.
    Result<void> decode_into(std::span<const uint8_t> input, std::span<uint8_t> out, uint64_t offset);
    // The same into a buffer that grows only as decoded data fill it, never
    // beyond `declared`: for declared sizes the input cannot back.
    Result<std::vector<uint8_t>> decode(std::span<const uint8_t> input, uint64_t declared, uint64_t offset);

    // A buffer for reading compressed data into, kept with the decoder.
    std::vector<uint8_t>& input_buffer() { return input_; }

private:
    // Runs the stream over `input` into `out`; once `out` is full and
    // `grow(out)` gives no more room, further output is only counted.
    template <class Grow>
    Result<uint64_t> run(std::span<const uint8_t> input, std::span<uint8_t> out, uint64_t offset, Grow&& grow);

    codec::Decoder decoder_{codec::Format::Xz};
    std::vector<uint8_t> scratch_;
    std::vector<uint8_t> input_;
};

// The size of an .xz stream footer (and header).
inline constexpr size_t kXzFooterSize = LZMA_STREAM_HEADER_SIZE;

// The length of the index that the 12-byte stream footer `footer` announces,
// or nothing when it is no valid footer.
std::optional<uint64_t> xz_index_length(std::span<const uint8_t> footer);
// The total uncompressed size that the stream index `index` states, or
// nothing when it does not decode.
std::optional<uint64_t> xz_indexed_size(std::span<const uint8_t> index);

}  // namespace pbzx::detail
