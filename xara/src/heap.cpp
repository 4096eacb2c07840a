#include "heap.hpp"

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

std::string decoder_message(codec::Format format, const codec::SourceDecoder::Failure& failure) {
    if (const auto* io = std::get_if<core::IoError>(&failure)) return io->message();
    const auto& f = std::get<codec::DecodeFailure>(failure);
    if (format == codec::Format::Bzip2) {
        switch (f.code) {
            case codec::kStalled: return "bzip2 decoder made no progress";
            case BZ_DATA_ERROR: return "data integrity error in bzip2 stream";
            case BZ_DATA_ERROR_MAGIC: return "bzip2 stream header missing";
            case BZ_MEM_ERROR: return "out of memory";
            default: return "bzip2 error " + std::to_string(f.code);
        }
    }
    switch (f.code) {
        case codec::kStalled: return "inflate made no progress";
        case Z_NEED_DICT: return "stream requires a preset dictionary";
        case Z_MEM_ERROR: return "out of memory";
        default: return f.message;
    }
}

}  // namespace detail

namespace heap {
namespace {

constexpr size_t kOutputBuffer = 8192;

// The bounded copy shared by the compressed encodings: exactly `size` bytes
// must come out of the decoder, and not one more.
Result<uint64_t> copy_decoded(core::ByteSource& reader, uint64_t length, codec::Format format, uint64_t size,
                              std::string_view label, core::ByteSink& sink) {
    codec::SourceDecoder decoder(reader, length, format);
    std::array<uint8_t, kOutputBuffer> buf;
    auto decoder_failed = [&](const codec::SourceDecoder::Failure& failure) {
        const std::string text = detail::decoder_message(format, failure);
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
        return copy_decoded(reader, data.length, codec::Format::ZlibOrGzip, data.size, "gzip", sink);
    }
    if (enc == "application/zlib" || enc == "application/x-zlib")
        return copy_decoded(reader, data.length, codec::Format::Zlib, data.size, "zlib", sink);
    // pkgbuild stores PackageInfo and Bom with bzip2.
    if (enc == "application/x-bzip2")
        return copy_decoded(reader, data.length, codec::Format::Bzip2, data.size, "bzip2", sink);
    return fail(XarError::unsupported_encoding(enc));
}

}  // namespace heap
}  // namespace xara
