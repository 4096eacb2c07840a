// Decoding of one compressed block: at most 64 KiB of output.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/decmpfs.hpp"

struct libdeflate_decompressor;

namespace codec::detail {

// Stored: types 9 and 10, whose blocks are the data behind a marker byte.
enum class Method : uint8_t { Stored, Zlib, Lzvn, Lzfse };

class BlockDecoder {
public:
    explicit BlockDecoder(Method method);
    ~BlockDecoder();
    BlockDecoder(const BlockDecoder&) = delete;
    BlockDecoder& operator=(const BlockDecoder&) = delete;

    // The block's uncompressed bytes: a view into `in` for stored blocks,
    // else into the decoder's own buffer, valid until the next call.
    Result<std::span<const uint8_t>> decode(std::span<const uint8_t> in);

private:
    Result<std::span<const uint8_t>> inflate(std::span<const uint8_t> in);
    Result<std::span<const uint8_t>> unlzvn(std::span<const uint8_t> in);
    Result<std::span<const uint8_t>> unlzfse(std::span<const uint8_t> in);

    Method method_;
    // One byte more than a block may hold, to tell a full block from an oversized one.
    std::vector<uint8_t> out_;
    std::vector<uint8_t> scratch_;
    libdeflate_decompressor* inflater_ = nullptr;
};

}  // namespace codec::detail
