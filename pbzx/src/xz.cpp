#include "xz.hpp"

#include <algorithm>
#include <string>

#include "core/try.hpp"
#include "pbzx/bytes.hpp"

namespace pbzx::detail {
namespace {

PbzxError decode_failure(uint64_t offset, int code) {
    return PbzxError::decompression("Failed to decompress chunk at offset " + std::to_string(offset) + ": " +
                                    codec::xz_message(code));
}

PbzxError size_mismatch(uint64_t offset, uint64_t declared, uint64_t decoded) {
    return PbzxError::invalid_chunk(offset, "Decompressed size mismatch: expected " + std::to_string(declared) +
                                                ", got " + std::to_string(decoded));
}

// A growing buffer starts at min(declared, max(64 KiB, 16 x compressed)) and
// doubles as the decoder fills it.
constexpr uint64_t kInitialOutputFloor = 64u << 10;
constexpr uint64_t kInitialOutputRatio = 16;
constexpr size_t kScratchSize = 64u << 10;
// A fixed output is handed to the decoder a window at a time.  Once the
// decoder has filled one, the pages of the next are made present in one
// call; the first is left to fault page by page as it is written.  Pages
// are thus taken ahead only for a stream that has shown it decodes, and
// never more than one window ahead of its data.
constexpr size_t kOutputWindow = 1u << 20;

}  // namespace

template <class Grow>
Result<uint64_t> XzDecoder::run(std::span<const uint8_t> input, std::span<uint8_t> out, uint64_t offset, Grow&& grow) {
    decoder_.restart();
    // Past the room `out` and `grow` give, output goes to a scratch buffer
    // and is only counted, for the message.
    uint64_t produced = 0, counted = 0;
    for (;;) {
        if (produced == out.size() && !counted && grow(out)) continue;
        const bool counting = produced == out.size();
        if (counting && scratch_.empty()) scratch_.resize(kScratchSize);
        auto step = decoder_.step(input, counting ? std::span(scratch_) : out.subspan(produced));
        if (!step) return fail(decode_failure(offset, step.error().code));
        input = input.subspan(step->consumed);
        (counting ? counted : produced) += step->produced;
        if (step->finished) return produced + counted;
        // No progress with room at hand: the input ended inside the stream.
        if (step->consumed == 0 && step->produced == 0) return fail(decode_failure(offset, LZMA_BUF_ERROR));
    }
}

Result<void> XzDecoder::decode_into(std::span<const uint8_t> input, std::span<uint8_t> out, uint64_t offset) {
    auto next_window = [&](std::span<uint8_t>& open) {
        if (open.size() == out.size()) return false;
        size_t used = open.size();
        open = out.first(std::min(out.size(), used + kOutputWindow));
        prefault(open.subspan(used));
        return true;
    };
    auto decoded = KIV_TRY(run(input, out.first(std::min(out.size(), kOutputWindow)), offset, next_window));
    if (decoded != out.size()) return fail(size_mismatch(offset, out.size(), decoded));
    return {};
}

Result<std::vector<uint8_t>> XzDecoder::decode(std::span<const uint8_t> input, uint64_t declared, uint64_t offset) {
    std::vector<uint8_t> buffer(size_t(std::min(declared, std::max(kInitialOutputFloor, input.size() * kInitialOutputRatio))));
    auto grow = [&](std::span<uint8_t>& out) {
        if (buffer.size() >= declared) return false;
        buffer.resize(size_t(std::min<uint64_t>(declared, std::max<uint64_t>(buffer.size() * 2, 1))));
        out = buffer;
        return true;
    };
    auto decoded = KIV_TRY(run(input, buffer, offset, grow));
    if (decoded != declared) return fail(size_mismatch(offset, declared, decoded));
    return buffer;
}

std::optional<uint64_t> xz_index_length(std::span<const uint8_t> footer) {
    lzma_stream_flags flags;
    if (footer.size() != kXzFooterSize || lzma_stream_footer_decode(&flags, footer.data()) != LZMA_OK) return std::nullopt;
    return flags.backward_size;
}

std::optional<uint64_t> xz_indexed_size(std::span<const uint8_t> index) {
    // An index takes a few dozen bytes of memory per record, and each record
    // at least two bytes of input: the limit is never reached by a real one.
    uint64_t memlimit = std::max<uint64_t>(1u << 20, uint64_t(index.size()) * 64);
    lzma_index* decoded = nullptr;
    size_t pos = 0;
    if (lzma_index_buffer_decode(&decoded, &memlimit, nullptr, index.data(), &pos, index.size()) != LZMA_OK)
        return std::nullopt;
    uint64_t size = lzma_index_uncompressed_size(decoded);
    lzma_index_end(decoded, nullptr);
    if (pos != index.size()) return std::nullopt;
    return size;
}

}  // namespace pbzx::detail
