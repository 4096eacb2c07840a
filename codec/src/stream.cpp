#include "codec/stream.hpp"

#include <algorithm>

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>

#include "core/try.hpp"

namespace codec {
namespace {

// zlib's and libbz2's stream structs count in 32-bit units.
constexpr size_t kMaxStep = size_t(1) << 30;

}  // namespace

struct Decoder::Streams {
    z_stream z{};
    bz_stream bz{};
    lzma_stream xz = LZMA_STREAM_INIT;
};

Decoder::Decoder(Format format) : format_(format), streams_(std::make_unique<Streams>()) {}

Decoder::~Decoder() {
    if (!started_) return;
    switch (format_) {
        case Format::Zlib:
        case Format::Gzip:
        case Format::ZlibOrGzip: inflateEnd(&streams_->z); break;
        case Format::Bzip2: BZ2_bzDecompressEnd(&streams_->bz); break;
        case Format::Xz: lzma_end(&streams_->xz); break;
    }
}

std::expected<Decoder::Step, DecodeFailure> Decoder::step(std::span<const uint8_t> in, std::span<uint8_t> out) {
    if (format_ == Format::ZlibOrGzip)
        format_ = in.size() >= 2 && in[0] == 0x1F && in[1] == 0x8B ? Format::Gzip : Format::Zlib;
    const size_t in_n = std::min(in.size(), kMaxStep), out_n = std::min(out.size(), kMaxStep);
    Streams& s = *streams_;
    switch (format_) {
        case Format::Zlib:
        case Format::Gzip:
        case Format::ZlibOrGzip: {
            if (!started_) {
                if (int r = inflateInit2(&s.z, format_ == Format::Gzip ? 15 + 16 : 15); r != Z_OK)
                    return std::unexpected(DecodeFailure{r, zError(r)});
                started_ = true;
            }
            s.z.next_in = const_cast<Bytef*>(in.data());
            s.z.avail_in = uInt(in_n);
            s.z.next_out = out.data();
            s.z.avail_out = uInt(out_n);
            const int r = inflate(&s.z, Z_NO_FLUSH);
            if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR)
                return std::unexpected(DecodeFailure{r, s.z.msg ? s.z.msg : zError(r)});
            return Step{in_n - s.z.avail_in, out_n - s.z.avail_out, r == Z_STREAM_END};
        }
        case Format::Bzip2: {
            if (!started_) {
                if (int r = BZ2_bzDecompressInit(&s.bz, 0, 0); r != BZ_OK) return std::unexpected(DecodeFailure{r, {}});
                started_ = true;
            }
            s.bz.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.data()));
            s.bz.avail_in = unsigned(in_n);
            s.bz.next_out = reinterpret_cast<char*>(out.data());
            s.bz.avail_out = unsigned(out_n);
            const int r = BZ2_bzDecompress(&s.bz);
            if (r != BZ_OK && r != BZ_STREAM_END) return std::unexpected(DecodeFailure{r, {}});
            return Step{in_n - s.bz.avail_in, out_n - s.bz.avail_out, r == BZ_STREAM_END};
        }
        case Format::Xz: {
            if (!started_) {
                if (lzma_ret r = lzma_stream_decoder(&s.xz, UINT64_MAX, 0); r != LZMA_OK)
                    return std::unexpected(DecodeFailure{int(r), {}});
                started_ = true;
            }
            s.xz.next_in = in.data();
            s.xz.avail_in = in_n;
            s.xz.next_out = out.data();
            s.xz.avail_out = out_n;
            const lzma_ret r = lzma_code(&s.xz, LZMA_RUN);
            if (r != LZMA_OK && r != LZMA_STREAM_END && r != LZMA_BUF_ERROR)
                return std::unexpected(DecodeFailure{int(r), {}});
            return Step{in_n - s.xz.avail_in, out_n - s.xz.avail_out, r == LZMA_STREAM_END};
        }
    }
    return Step{};
}

std::expected<size_t, DecodeFailure> decode_into(Format format, std::span<const uint8_t> in, std::span<uint8_t> out) {
    Decoder decoder(format);
    size_t in_pos = 0, out_pos = 0;
    while (out_pos < out.size()) {
        const auto step = KIV_TRY(decoder.step(in.subspan(in_pos), out.subspan(out_pos)));
        in_pos += step.consumed;
        out_pos += step.produced;
        if (step.finished || (step.consumed == 0 && step.produced == 0)) break;
    }
    return out_pos;
}

SourceDecoder::SourceDecoder(core::ByteSource& source, uint64_t limit, Format format)
    : source_(source), limit_(limit), decoder_(format), input_(new uint8_t[kInputBuffer]) {}

core::IoResult<void> SourceDecoder::fill() {
    // Keep what is still buffered at the front, then top the buffer up.
    std::copy(input_.get() + start_, input_.get() + end_, input_.get());
    end_ -= start_;
    start_ = 0;
    const size_t want = size_t(std::min<uint64_t>(kInputBuffer - end_, limit_));
    if (want == 0) {
        if (limit_ == 0) input_ended_ = true;
        return {};
    }
    const size_t n = KIV_TRY(source_.read({input_.get() + end_, want}));
    if (n == 0) input_ended_ = true;
    limit_ -= n;
    end_ += n;
    return {};
}

std::expected<size_t, SourceDecoder::Failure> SourceDecoder::read(std::span<uint8_t> out) {
    if (finished_ || out.empty()) return 0;
    // Two bytes are enough to tell a gzip member from a zlib stream.
    for (; !primed_; primed_ = end_ - start_ >= 2 || input_ended_) KIV_TRY(fill());
    size_t produced = 0;
    for (;;) {
        if (start_ == end_ && !input_ended_) KIV_TRY(fill());
        const size_t held = end_ - start_;
        const auto step = KIV_TRY(decoder_.step({input_.get() + start_, held}, out.subspan(produced)));
        start_ += step.consumed;
        produced += step.produced;
        if (step.finished) {
            finished_ = true;
            return produced;
        }
        if (produced == out.size() || (start_ == end_ && input_ended_)) return produced;  // full, or the input ran out
        // No progress with input at hand cannot happen; never spin on it.
        if (step.consumed == 0 && step.produced == 0 && held > 0) return std::unexpected(DecodeFailure{kStalled, {}});
    }
}

std::string xz_message(int code) {
    switch (lzma_ret(code)) {
        case LZMA_MEM_ERROR: return "cannot allocate memory";
        case LZMA_MEMLIMIT_ERROR: return "memory usage limit reached";
        case LZMA_FORMAT_ERROR: return "file format not recognized";
        case LZMA_OPTIONS_ERROR: return "unsupported options";
        case LZMA_DATA_ERROR: return "compressed data is corrupt";
        case LZMA_BUF_ERROR: return "unexpected end of input";
        case LZMA_UNSUPPORTED_CHECK: return "unsupported type of integrity check";
        default: return "internal error (liblzma code " + std::to_string(code) + ")";
    }
}

}  // namespace codec
