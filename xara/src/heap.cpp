#include "xara/heap.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include <bzlib.h>
#include <zlib.h>

#include "core/try.hpp"
#include "internal.hpp"

namespace xara {
namespace detail {

struct LimitedInflater::Stream {
    z_stream z{};
};

LimitedInflater::LimitedInflater(core::ByteSource& source, uint64_t limit, Format format)
    : source_(source), limit_(limit), format_(format), input_(new uint8_t[kInputBuffer]),
      stream_(std::make_unique<Stream>()) {}

LimitedInflater::~LimitedInflater() {
    if (started_) inflateEnd(&stream_->z);
}

std::expected<void, std::string> LimitedInflater::fill() {
    z_stream& z = stream_->z;
    // Keep what is still buffered at the front, then top the buffer up.
    if (z.avail_in > 0 && z.next_in != input_.get()) std::memmove(input_.get(), z.next_in, z.avail_in);
    z.next_in = input_.get();
    const size_t room = kInputBuffer - z.avail_in;
    const size_t want = size_t(std::min<uint64_t>(room, limit_));
    if (want == 0) {
        if (limit_ == 0) input_ended_ = true;
        return {};
    }
    auto n = source_.read(std::span(input_.get() + z.avail_in, want));
    if (!n) return std::unexpected(n.error().message());
    if (*n == 0) input_ended_ = true;
    limit_ -= *n;
    z.avail_in += uInt(*n);
    return {};
}

std::expected<void, std::string> LimitedInflater::start() {
    z_stream& z = stream_->z;
    z.next_in = input_.get();
    z.avail_in = 0;
    // Two bytes are enough to tell a gzip member from a zlib stream.
    while (z.avail_in < 2 && !input_ended_) {
        KIV_TRY(fill());
    }
    int window_bits = 15;
    if (format_ == Format::ZlibOrGzip && z.avail_in >= 2 && z.next_in[0] == 0x1F && z.next_in[1] == 0x8B)
        window_bits = 15 + 16;
    if (inflateInit2(&z, window_bits) != Z_OK) return std::unexpected(std::string("out of memory"));
    started_ = true;
    return {};
}

std::expected<size_t, std::string> LimitedInflater::read(std::span<uint8_t> out) {
    if (finished_ || out.empty()) return 0;
    if (!started_) {
        KIV_TRY(start());
    }
    z_stream& z = stream_->z;
    z.next_out = out.data();
    z.avail_out = uInt(std::min<size_t>(out.size(), std::numeric_limits<uInt>::max()));
    const uInt capacity = z.avail_out;
    for (;;) {
        if (z.avail_in == 0 && !input_ended_) {
            KIV_TRY(fill());
        }
        const uInt before_in = z.avail_in;
        const int ret = inflate(&z, Z_NO_FLUSH);
        const size_t produced = capacity - z.avail_out;
        switch (ret) {
            case Z_STREAM_END:
                finished_ = true;
                return produced;
            case Z_OK:
            case Z_BUF_ERROR:
                if (z.avail_out == 0) return produced;
                if (z.avail_in == 0 && input_ended_) return produced;  // the input ran out mid-stream
                if (ret == Z_BUF_ERROR && z.avail_in == before_in && produced == 0) {
                    // No progress with input at hand cannot happen; never spin on it.
                    return std::unexpected(std::string("inflate made no progress"));
                }
                continue;
            case Z_NEED_DICT: return std::unexpected(std::string("stream requires a preset dictionary"));
            case Z_MEM_ERROR: return std::unexpected(std::string("out of memory"));
            default: return std::unexpected(std::string(z.msg ? z.msg : "corrupt deflate stream"));
        }
    }
}

}  // namespace detail

namespace heap {
namespace {

constexpr size_t kOutputBuffer = 8192;

// A bzip2 stream read from at most `limit` bytes of the source (pkgbuild
// stores PackageInfo and Bom this way).
class LimitedBunzip {
public:
    static constexpr size_t kInputBuffer = 32 * 1024;

    LimitedBunzip(core::ByteSource& source, uint64_t limit)
        : source_(source), limit_(limit), input_(new uint8_t[kInputBuffer]) {}
    ~LimitedBunzip() {
        if (started_) BZ2_bzDecompressEnd(&bz_);
    }
    LimitedBunzip(const LimitedBunzip&) = delete;
    LimitedBunzip& operator=(const LimitedBunzip&) = delete;

    // Up to out.size() decoded bytes; 0 at the end of the stream or the input.
    std::expected<size_t, std::string> read(std::span<uint8_t> out) {
        if (finished_ || out.empty()) return 0;
        if (!started_) {
            if (BZ2_bzDecompressInit(&bz_, 0, 0) != BZ_OK) return std::unexpected(std::string("out of memory"));
            started_ = true;
        }
        bz_.next_out = reinterpret_cast<char*>(out.data());
        bz_.avail_out = unsigned(std::min<size_t>(out.size(), std::numeric_limits<unsigned>::max()));
        const unsigned capacity = bz_.avail_out;
        for (;;) {
            if (bz_.avail_in == 0 && !input_ended_) {
                const size_t want = size_t(std::min<uint64_t>(kInputBuffer, limit_));
                auto n = want ? source_.read(std::span(input_.get(), want)) : core::IoResult<size_t>(0);
                if (!n) return std::unexpected(n.error().message());
                if (*n == 0) input_ended_ = true;
                limit_ -= *n;
                bz_.next_in = reinterpret_cast<char*>(input_.get());
                bz_.avail_in = unsigned(*n);
            }
            const unsigned before_in = bz_.avail_in;
            const int ret = BZ2_bzDecompress(&bz_);
            const size_t produced = capacity - bz_.avail_out;
            if (ret == BZ_STREAM_END) {
                finished_ = true;
                return produced;
            }
            if (ret != BZ_OK) return std::unexpected(message(ret));
            if (bz_.avail_out == 0) return produced;
            if (bz_.avail_in == 0 && input_ended_) return produced;  // the input ran out mid-stream
            if (bz_.avail_in == before_in && produced == 0 && before_in > 0)
                return std::unexpected(std::string("bzip2 decoder made no progress"));
        }
    }

private:
    static std::string message(int code) {
        switch (code) {
            case BZ_DATA_ERROR: return "data integrity error in bzip2 stream";
            case BZ_DATA_ERROR_MAGIC: return "bzip2 stream header missing";
            case BZ_MEM_ERROR: return "out of memory";
            default: return "bzip2 error " + std::to_string(code);
        }
    }

    core::ByteSource& source_;
    uint64_t limit_;
    std::unique_ptr<uint8_t[]> input_;
    bz_stream bz_{};
    bool started_ = false;
    bool input_ended_ = false;
    bool finished_ = false;
};

// The bounded copy shared by the compressed encodings: exactly `size` bytes
// must come out of the decoder, and not one more.
template <class Decoder>
Result<uint64_t> copy_decoded(Decoder& decoder, uint64_t size, std::string_view label,
                              core::ByteSink& sink) {
    std::array<uint8_t, kOutputBuffer> buf;
    auto decoder_failed = [&](const std::string& text) {
        return fail(XarError::decompression_failed(std::string(label) + ": " + text));
    };
    uint64_t done = 0;
    while (done < size) {
        const size_t want = size_t(std::min<uint64_t>(size - done, buf.size()));
        auto n = decoder.read(std::span(buf).first(want));
        if (!n) return decoder_failed(n.error());
        if (*n == 0) break;
        KIV_TRY(sink.write_all(std::span(buf).first(*n)));
        done += *n;  // never past `size`, so never overflows
    }
    if (done != size) {
        return fail(XarError::decompression_failed(std::string(label) + " decoded " + std::to_string(done) +
                                                   " bytes, expected " + std::to_string(size)));
    }
    auto probe = decoder.read(std::span(buf).first(1));
    if (!probe) return decoder_failed(probe.error());
    if (*probe != 0) {
        return fail(XarError::decompression_failed(std::string(label) + " decoded more than the expected " +
                                                   std::to_string(size) + " bytes"));
    }
    return size;
}

Result<uint64_t> copy_stored(core::ByteSource& reader, uint64_t length, core::ByteSink& sink) {
    auto ended = [&](uint64_t copied) {
        return fail(XarError::invalid_toc("XAR raw entry ended after " + std::to_string(copied) +
                                          " bytes, expected " + std::to_string(length)));
    };
    if (const auto* mem = reader.memory()) {
        // In memory the bytes are already at hand: hand them over in one piece.
        const uint64_t pos = reader.position();
        const uint64_t avail = pos < mem->size() ? mem->size() - pos : 0;
        const uint64_t take = std::min(avail, length);
        if (take > 0) {
            KIV_TRY(sink.write_all(std::span(mem->data() + pos, size_t(take))));
        }
        KIV_TRY(reader.seek(pos + take));
        if (take < length) return ended(take);
        return length;
    }
    std::array<uint8_t, kOutputBuffer> buf;
    uint64_t copied = 0;
    while (copied < length) {
        const size_t want = size_t(std::min<uint64_t>(length - copied, buf.size()));
        auto n = KIV_TRY(reader.read(std::span(buf).first(want)));
        if (n == 0) return ended(copied);
        KIV_TRY(sink.write_all(std::span(buf).first(n)));
        copied += n;
    }
    return length;
}

}  // namespace

Result<uint64_t> read_entry(core::ByteSource& reader, uint64_t heap_start, const XarFile& entry,
                            core::ByteSink& sink) {
    if (!entry.data) return uint64_t{0};
    const XarFileData& data = *entry.data;

    if (data.offset > std::numeric_limits<uint64_t>::max() - heap_start)
        return fail(XarError::invalid_toc("XAR heap entry offset overflows the archive address space"));
    KIV_TRY(reader.seek(heap_start + data.offset));

    const std::string& enc = data.encoding;
    if (enc == "application/octet-stream") {
        if (data.length != data.size) {
            return fail(XarError::invalid_toc("XAR raw entry declares compressed length " +
                                              std::to_string(data.length) + " but uncompressed size " +
                                              std::to_string(data.size)));
        }
        return copy_stored(reader, data.length, sink);
    }
    if (enc == "application/x-gzip") {
        // Real writers (the xar tool, libarchive, macOS pkgbuild) store zlib
        // streams under this name; a true gzip member is accepted as well.
        detail::LimitedInflater decoder(reader, data.length, detail::LimitedInflater::Format::ZlibOrGzip);
        return copy_decoded(decoder, data.size, "gzip", sink);
    }
    if (enc == "application/zlib" || enc == "application/x-zlib") {
        detail::LimitedInflater decoder(reader, data.length, detail::LimitedInflater::Format::Zlib);
        return copy_decoded(decoder, data.size, "zlib", sink);
    }
    if (enc == "application/x-bzip2") {
        LimitedBunzip decoder(reader, data.length);
        return copy_decoded(decoder, data.size, "bzip2", sink);
    }
    return fail(XarError::unsupported_encoding(enc));
}

}  // namespace heap
}  // namespace xara
