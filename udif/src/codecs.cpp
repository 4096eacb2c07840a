// Run codecs: zlib, bzip2, xz and LZFSE decoding of one stored run.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include <bzlib.h>
#include <libdeflate.h>
#include <lzfse.h>
#include <lzma.h>
#include <zlib.h>

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

// zlib's and bzip2's stream structs count in 32-bit units.
constexpr size_t kMaxStep = size_t(1) << 30;

// Streaming inflate: exact zlib semantics and zlib's own error messages.
Result<void> inflate_zlib(std::span<const uint8_t> in, std::span<uint8_t> out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return out_of_memory();
    size_t in_pos = 0, out_pos = 0;
    int ret = Z_OK;
    while (out_pos < out.size()) {
        size_t in_step = std::min(in.size() - in_pos, kMaxStep);
        size_t out_step = std::min(out.size() - out_pos, kMaxStep);
        z.next_in = const_cast<Bytef*>(in.data() + in_pos);
        z.avail_in = uInt(in_step);
        z.next_out = out.data() + out_pos;
        z.avail_out = uInt(out_step);
        ret = inflate(&z, Z_NO_FLUSH);
        size_t consumed = in_step - z.avail_in, produced = out_step - z.avail_out;
        in_pos += consumed;
        out_pos += produced;
        if (ret == Z_STREAM_END) break;
        if (ret == Z_BUF_ERROR && consumed == 0 && produced == 0) break;  // input exhausted: the end
        if (ret != Z_OK && ret != Z_BUF_ERROR) {
            std::string msg = z.msg ? z.msg : zError(ret);
            inflateEnd(&z);
            return fail(core::IoError::other(std::move(msg)));
        }
    }
    inflateEnd(&z);
    if (out_pos < out.size()) return fail(short_decode("zlib", out_pos, out.size()));
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
    return inflate_zlib(in, out);
}

const char* bzip2_message(int ret) {
    switch (ret) {
        case BZ_DATA_ERROR: return "bzip2: invalid data";
        case BZ_DATA_ERROR_MAGIC: return "bzip2: bz2 header missing";
        case BZ_PARAM_ERROR: return "bzip2: invalid parameters";
        case BZ_MEM_ERROR: return "bzip2: out of memory";
        default: return "bzip2: sequence of operations invalid";
    }
}

Result<void> decode_bzip2(std::span<const uint8_t> in, std::span<uint8_t> out) {
    bz_stream s{};
    if (int r = BZ2_bzDecompressInit(&s, 0, 0); r != BZ_OK) return fail(core::IoError::other(bzip2_message(r)));
    size_t in_pos = 0, out_pos = 0;
    while (out_pos < out.size()) {
        size_t in_step = std::min(in.size() - in_pos, kMaxStep);
        size_t out_step = std::min(out.size() - out_pos, kMaxStep);
        s.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.data() + in_pos));
        s.avail_in = unsigned(in_step);
        s.next_out = reinterpret_cast<char*>(out.data() + out_pos);
        s.avail_out = unsigned(out_step);
        int ret = BZ2_bzDecompress(&s);
        size_t consumed = in_step - s.avail_in, produced = out_step - s.avail_out;
        in_pos += consumed;
        out_pos += produced;
        if (ret == BZ_STREAM_END) break;
        if (ret != BZ_OK) {
            BZ2_bzDecompressEnd(&s);
            return fail(core::IoError::other(bzip2_message(ret)));
        }
        if (consumed == 0 && produced == 0) break;  // input exhausted: the end
    }
    BZ2_bzDecompressEnd(&s);
    if (out_pos < out.size()) return fail(short_decode("bzip2", out_pos, out.size()));
    return {};
}

const char* xz_message(lzma_ret ret) {
    switch (ret) {
        case LZMA_MEM_ERROR: return "Cannot allocate memory";
        case LZMA_MEMLIMIT_ERROR: return "Memory usage limit reached";
        case LZMA_FORMAT_ERROR: return "File format not recognized";
        case LZMA_OPTIONS_ERROR: return "Unsupported options";
        case LZMA_DATA_ERROR: return "Compressed data is corrupt";
        case LZMA_BUF_ERROR: return "Unexpected end of input";
        case LZMA_UNSUPPORTED_CHECK: return "Unsupported type of integrity check";
        default: return "Internal error (bug)";
    }
}

Result<void> decode_xz(std::span<const uint8_t> in, std::span<uint8_t> out) {
    lzma_stream s = LZMA_STREAM_INIT;
    if (lzma_ret r = lzma_stream_decoder(&s, UINT64_MAX, 0); r != LZMA_OK)
        return fail(core::IoError::other(xz_message(r)));
    s.next_in = in.data();
    s.avail_in = in.size();
    s.next_out = out.data();
    s.avail_out = out.size();
    while (s.avail_out > 0) {
        size_t before_in = s.avail_in, before_out = s.avail_out;
        lzma_ret ret = lzma_code(&s, LZMA_RUN);
        if (ret == LZMA_STREAM_END) break;
        if (ret != LZMA_OK && ret != LZMA_BUF_ERROR) {
            lzma_end(&s);
            return fail(core::IoError::other(xz_message(ret)));
        }
        if (s.avail_in == before_in && s.avail_out == before_out) break;  // input exhausted: the end
    }
    size_t produced = out.size() - s.avail_out;
    lzma_end(&s);
    if (produced < out.size()) return fail(short_decode("xz", produced, out.size()));
    return {};
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
            return decode_bzip2(block.data, output);
        case BlockType::Xz:
            if (output.empty()) return {};
            return decode_xz(block.data, output);
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
