// Run codecs: zlib, bzip2, xz and LZFSE decoding of one stored run.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <new>

#include <bzlib.h>
#include <libdeflate.h>
#include <lzfse.h>

#include "codec/stream.hpp"
#include "internal.hpp"
#include "udif/reader.hpp"

namespace udif {

namespace {

using detail::fits_in_memory;
using detail::out_of_memory;

KivError short_decode(const char* codec, uint64_t got, uint64_t expected) {
    return KivError::decompression(std::string(codec) + " decoded " + std::to_string(got) + " bytes, expected " +
                                   std::to_string(expected));
}

const char* codec_name(codec::Format format) {
    switch (format) {
        case codec::Format::Bzip2: return "bzip2";
        case codec::Format::Xz: return "xz";
        default: return "zlib";
    }
}

// The decoder's own message: zlib's text, libbz2's meaning of its code, or
// liblzma's description (capitalised).
std::string message(codec::Format format, const codec::DecodeFailure& failure) {
    switch (format) {
        case codec::Format::Bzip2:
            switch (failure.code) {
                case BZ_DATA_ERROR: return "bzip2: invalid data";
                case BZ_DATA_ERROR_MAGIC: return "bzip2: bz2 header missing";
                case BZ_PARAM_ERROR: return "bzip2: invalid parameters";
                case BZ_MEM_ERROR: return "bzip2: out of memory";
                default: return "bzip2: sequence of operations invalid";
            }
        case codec::Format::Xz: {
            std::string text = codec::xz_message(failure.code);
            text[0] = char(std::toupper(uint8_t(text[0])));
            return text;
        }
        default: return failure.message;
    }
}

// A zlib, bzip2 or xz run: a decoder failure is the I/O variant with the
// decoder's own message; fewer bytes than the output holds is a
// decompression error.
Result<void> decode_stream(codec::Format format, std::span<const uint8_t> in, std::span<uint8_t> out) {
    auto produced = codec::decode_into(format, in, out);
    if (!produced) return fail(core::IoError::other(message(format, produced.error())));
    if (*produced < out.size()) return fail(short_decode(codec_name(format), *produced, out.size()));
    return {};
}

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

Result<void> decode_zlib(std::span<const uint8_t> in, std::span<uint8_t> out) {
    // Fast path: libdeflate decodes the whole run at once.  Anything short
    // of a complete stream filling the output exactly goes through zlib,
    // which cuts long streams and names the fault.
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> d(libdeflate_alloc_decompressor());
    if (d) {
        size_t produced = 0;
        auto r = libdeflate_zlib_decompress(d.get(), in.data(), in.size(), out.data(), out.size(), &produced);
        if (r == LIBDEFLATE_SUCCESS && produced == out.size()) return {};
    }
    return decode_stream(codec::Format::Zlib, in, out);
}

}  // namespace

// The reference decoder reads its bit streams backwards with 8-byte loads,
// and a load may reach up to 8 bytes past the end of the bytes it was given
// (the extra bytes are masked off, never used).  It therefore decodes a copy
// of the run followed by that much zero slack, never the run's own bytes,
// which may lie inside a larger buffer such as an image held in memory.
constexpr size_t kLzfseReadSlack = 8;

Result<void> reader::decode_lzfse_exact(std::span<const uint8_t> data, std::span<uint8_t> output) {
    uint64_t scratch_size = std::max<uint64_t>(2 * uint64_t(output.size()), 1);
    if (!fits_in_memory(scratch_size) || !fits_in_memory(scratch_size + data.size() + kLzfseReadSlack))
        return out_of_memory();
    std::unique_ptr<uint8_t[]> memory(new (std::nothrow) uint8_t[scratch_size + data.size() + kLzfseReadSlack]);
    if (!memory) return out_of_memory();
    uint8_t* scratch = memory.get();
    uint8_t* input = scratch + scratch_size;
    if (!data.empty()) std::memcpy(input, data.data(), data.size());
    std::memset(input + data.size(), 0, kLzfseReadSlack);
    size_t n = lzfse_decode_buffer(scratch, scratch_size, input, data.size(), nullptr);
    if (n == scratch_size) return fail(KivError::decompression("LZFSE: BufferTooSmall"));
    if (n != output.size()) return fail(short_decode("lzfse", n, output.size()));
    std::memcpy(output.data(), scratch, n);
    return {};
}

Result<void> reader::decompress_block(const ReadBlock& block, std::span<uint8_t> output) {
    switch (block.type) {
        case BlockType::Raw:
        case BlockType::Ignore: {
            size_t n = std::min(block.data.size(), output.size());
            std::memcpy(output.data(), block.data.data(), n);
            std::memset(output.data() + n, 0, output.size() - n);
            return {};
        }
        case BlockType::Zlib:
            if (output.empty()) return {};
            return decode_zlib(block.data, output);
        case BlockType::Bzip2:
            if (output.empty()) return {};
            return decode_stream(codec::Format::Bzip2, block.data, output);
        case BlockType::Xz:
            if (output.empty()) return {};
            return decode_stream(codec::Format::Xz, block.data, output);
        case BlockType::Lzfse:
            return decode_lzfse_exact(block.data, output);
        case BlockType::Adc:
            return fail(detail::adc_refused());
        default:
            std::memset(output.data(), 0, output.size());
            return {};
    }
}

}  // namespace udif
