#include "block.hpp"

#include <libdeflate.h>
#include <lzfse.h>

extern "C" {
#include <lzvn_decode_base.h>
}

namespace codec::detail {

namespace {

// First bytes that mark a block as stored: the rest of the block is its data.
// A zlib header never has 0xF in its low nibble (the method must be 8).
// Blocks of the stored types always carry their marker, 0xCC.
constexpr uint8_t kStoredMarker = 0xCC;

bool is_stored(Method method, uint8_t first) {
    switch (method) {
        case Method::Zlib: return (first & 0x0F) == 0x0F;
        case Method::Lzvn: return first == 0x06;
        case Method::Stored: return first == kStoredMarker;
        default: return false;
    }
}

std::unexpected<DecmpfsError> corrupt(std::string text) { return std::unexpected(DecmpfsError::corrupt(std::move(text))); }

std::unexpected<DecmpfsError> too_large() {
    return corrupt("block decodes to more than " + std::to_string(kDecmpfsBlockSize) + " bytes");
}

}  // namespace

BlockDecoder::BlockDecoder(Method method) : method_(method) {
    if (method_ != Method::Stored) out_.resize(kDecmpfsBlockSize + 1);
    if (method_ == Method::Lzfse) scratch_.resize(lzfse_decode_scratch_size());
}

BlockDecoder::~BlockDecoder() {
    if (inflater_) libdeflate_free_decompressor(inflater_);
}

Result<std::span<const uint8_t>> BlockDecoder::decode(std::span<const uint8_t> in) {
    if (in.empty()) return corrupt("empty block");
    if (is_stored(method_, in[0])) {
        if (in.size() - 1 > kDecmpfsBlockSize) return too_large();
        return in.subspan(1);
    }
    switch (method_) {
        case Method::Zlib: return inflate(in);
        case Method::Lzvn: return unlzvn(in);
        case Method::Lzfse: return unlzfse(in);
        case Method::Stored: break;
    }
    return corrupt("stored block lacks its marker 0xCC");
}

Result<std::span<const uint8_t>> BlockDecoder::inflate(std::span<const uint8_t> in) {
    if (!inflater_ && !(inflater_ = libdeflate_alloc_decompressor()))
        return std::unexpected(DecmpfsError(core::IoError::other("cannot allocate a zlib decompressor")));
    size_t used = 0, produced = 0;
    switch (libdeflate_zlib_decompress_ex(inflater_, in.data(), in.size(), out_.data(), kDecmpfsBlockSize, &used,
                                          &produced)) {
        case LIBDEFLATE_SUCCESS: return std::span<const uint8_t>(out_.data(), produced);
        case LIBDEFLATE_INSUFFICIENT_SPACE: return too_large();
        default: return corrupt("zlib block is corrupt");
    }
}

Result<std::span<const uint8_t>> BlockDecoder::unlzvn(std::span<const uint8_t> in) {
    lzvn_decoder_state state{};
    state.src = in.data();
    state.src_end = in.data() + in.size();
    state.dst_begin = state.dst = out_.data();
    state.dst_end = out_.data() + out_.size();
    lzvn_decode(&state);
    const size_t produced = size_t(state.dst - out_.data());
    if (produced > kDecmpfsBlockSize) return too_large();
    // A well-formed stream ends with its end-of-stream opcode.
    if (!state.end_of_stream) return corrupt("LZVN block is corrupt or truncated");
    return std::span<const uint8_t>(out_.data(), produced);
}

Result<std::span<const uint8_t>> BlockDecoder::unlzfse(std::span<const uint8_t> in) {
    // 0 is the decoder's answer for corrupt or truncated input; a block
    // always holds at least one byte.
    const size_t produced = lzfse_decode_buffer(out_.data(), out_.size(), in.data(), in.size(), scratch_.data());
    if (produced > kDecmpfsBlockSize) return too_large();
    if (produced == 0) return corrupt("LZFSE block is corrupt or truncated");
    return std::span<const uint8_t>(out_.data(), produced);
}

}  // namespace codec::detail
