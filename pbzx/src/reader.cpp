#include "pbzx/reader.hpp"

#include <algorithm>
#include <cstring>

#include <lzma.h>

#include "core/endian.hpp"
#include "core/thread_pool.hpp"

namespace pbzx {
namespace {

// Reads until `buf` is full or the source ends; returns the bytes read.
core::IoResult<size_t> read_up_to(core::ByteSource& source, std::span<uint8_t> buf) {
    size_t got = 0;
    while (got < buf.size()) {
        auto n = source.read(buf.subspan(got));
        if (!n) return core::io_fail(n.error());
        if (*n == 0) break;
        got += *n;
    }
    return got;
}

// The text of a liblzma failure.
std::string lzma_error_text(lzma_ret ret) {
    switch (ret) {
    case LZMA_MEM_ERROR: return "cannot allocate memory";
    case LZMA_MEMLIMIT_ERROR: return "memory usage limit reached";
    case LZMA_FORMAT_ERROR: return "file format not recognized";
    case LZMA_OPTIONS_ERROR: return "unsupported options";
    case LZMA_DATA_ERROR: return "compressed data is corrupt";
    case LZMA_BUF_ERROR: return "unexpected end of input";
    case LZMA_UNSUPPORTED_CHECK: return "unsupported type of integrity check";
    default: return "internal error (liblzma code " + std::to_string(int(ret)) + ")";
    }
}

PbzxError decode_failure(uint64_t offset, lzma_ret ret) {
    return PbzxError::decompression("Failed to decompress chunk at offset " + std::to_string(offset) + ": " +
                                    lzma_error_text(ret));
}

// A chunk's output buffer starts at min(declared, max(64 KiB, 16 x compressed))
// and doubles as the decoder fills it, never beyond the declared size: a
// declared size is only ever reserved once decoded data back it.
constexpr uint64_t kInitialOutputFloor = 64u << 10;
constexpr uint64_t kInitialOutputRatio = 16;

struct LzmaStream {
    lzma_stream s = LZMA_STREAM_INIT;
    ~LzmaStream() { lzma_end(&s); }
};

Result<std::vector<uint8_t>> decode_xz(const ReadChunk& chunk) {
    const uint64_t declared = chunk.uncompressed_size;
    LzmaStream stream;
    lzma_stream& s = stream.s;
    if (lzma_ret r = lzma_stream_decoder(&s, UINT64_MAX, 0); r != LZMA_OK) return fail(decode_failure(chunk.offset, r));

    uint64_t plausible = std::max(kInitialOutputFloor, chunk.compressed_size * kInitialOutputRatio);
    std::vector<uint8_t> out(size_t(std::min(declared, plausible)));
    s.next_in = chunk.data.data();
    s.avail_in = chunk.data.size();
    s.next_out = out.data();
    s.avail_out = out.size();

    // Once the output holds the declared size and the stream goes on, the
    // rest is only counted (into a small scratch buffer) for the message.
    std::vector<uint8_t> scratch;
    uint64_t overflow = 0;
    for (;;) {
        if (s.avail_out == 0) {
            if (scratch.empty() && out.size() < declared) {
                size_t used = out.size();
                out.resize(size_t(std::min<uint64_t>(declared, std::max<uint64_t>(used * 2, 1))));
                s.next_out = out.data() + used;
                s.avail_out = out.size() - used;
            } else {
                if (!scratch.empty()) overflow += scratch.size();
                else scratch.resize(64 * 1024);
                s.next_out = scratch.data();
                s.avail_out = scratch.size();
            }
        }
        lzma_ret r = lzma_code(&s, LZMA_FINISH);
        if (r == LZMA_STREAM_END) break;
        if (r != LZMA_OK) return fail(decode_failure(chunk.offset, r));
    }
    uint64_t decoded = scratch.empty() ? uint64_t(s.next_out - out.data())
                                       : out.size() + overflow + uint64_t(s.next_out - scratch.data());
    if (decoded != declared)
        return fail(PbzxError::invalid_chunk(chunk.offset, "Decompressed size mismatch: expected " +
                                                               std::to_string(declared) + ", got " +
                                                               std::to_string(decoded)));
    return out;
}

}  // namespace

Result<std::vector<uint8_t>> decompress_chunk(const ReadChunk& chunk) {
    if (chunk.is_stored()) return chunk.data;
    return decode_xz(chunk);
}

Result<PbzxReader> PbzxReader::open(const std::string& path) {
    auto source = core::FileSource::open(path);
    if (!source) return fail_io(source.error());
    return from_source(std::make_unique<core::FileSource>(std::move(*source)));
}

Result<PbzxReader> PbzxReader::from_source(std::unique_ptr<core::ByteSource> source) {
    core::ByteSource& ref = *source;
    return read_header(PbzxReader(std::move(source), ref));
}

Result<PbzxReader> PbzxReader::from_source(core::ByteSource& source) {
    return read_header(PbzxReader(nullptr, source));
}

Result<PbzxReader> PbzxReader::read_header(PbzxReader reader) {
    uint8_t header[kPbzxHeaderSize];
    if (auto r = reader.source_->read_exact(header); !r) return fail_io(r.error());
    std::copy_n(header, 4, reader.magic_.begin());
    reader.flags_ = core::load_be64(header + 4);
    if (std::memcmp(header, kPbzxMagic, 4) != 0) return fail(PbzxError::invalid_magic(reader.magic_));
    reader.offset_ = kPbzxHeaderSize;
    return reader;
}

Result<ReadChunk> PbzxReader::read_chunk_data(uint64_t uncompressed_size, uint64_t compressed_size) {
    ReadChunk chunk;
    chunk.uncompressed_size = uncompressed_size;
    chunk.compressed_size = compressed_size;
    chunk.offset = offset_ + kChunkHeaderSize;

    // read_vec trusts the declared size only as far as the source backs it:
    // a size beyond the data fails with the unexpected-end error after
    // reading what is there, never by reserving the declared amount.
    auto data = source_->read_vec(compressed_size);
    if (!data) return fail_io(data.error());
    chunk.data = std::move(*data);
    offset_ += kChunkHeaderSize + compressed_size;
    return chunk;
}

Result<std::vector<ReadChunk>> PbzxReader::read_chunks() {
    std::vector<ReadChunk> chunks;
    for (;;) {
        uint8_t sizes[kChunkHeaderSize];
        auto got = read_up_to(*source_, std::span(sizes, 8));
        if (!got) return fail_io(got.error());
        if (*got < 8) break;  // 0 to 7 trailing bytes end the stream
        if (auto r = source_->read_exact(std::span(sizes + 8, 8)); !r) return fail_io(r.error());
        uint64_t uncompressed_size = core::load_be64(sizes);
        uint64_t compressed_size = core::load_be64(sizes + 8);

        if (uncompressed_size == 0 && compressed_size == 0) {
            uint8_t probe;
            auto more = read_up_to(*source_, std::span(&probe, 1));
            if (!more) return fail_io(more.error());
            if (*more != 0)
                return fail(PbzxError::invalid_chunk(offset_, "zero-length chunk header followed by more data"));
            offset_ += kChunkHeaderSize;
            break;
        }
        auto chunk = read_chunk_data(uncompressed_size, compressed_size);
        if (!chunk) return fail(std::move(chunk.error()));
        chunks.push_back(std::move(*chunk));
    }
    return chunks;
}

Result<std::vector<uint8_t>> PbzxReader::decompress_parallel() {
    auto chunks = read_chunks();
    if (!chunks) return fail(std::move(chunks.error()));

    auto decoded = core::parallel_map<std::vector<uint8_t>, PbzxError>(chunks->size(), [&](size_t i) {
        ReadChunk& chunk = (*chunks)[i];
        // A stored chunk is its own output: hand its buffer over.
        if (chunk.is_stored()) return Result<std::vector<uint8_t>>(std::move(chunk.data));
        auto out = decode_xz(chunk);
        chunk.data = {};
        return out;
    });
    if (!decoded) return fail(std::move(decoded.error()));
    if (decoded->size() == 1) return std::move(decoded->front());

    // Join in chunk order; the copies run in parallel as well.
    std::vector<size_t> starts(decoded->size() + 1, 0);
    for (size_t i = 0; i < decoded->size(); ++i) starts[i + 1] = starts[i] + (*decoded)[i].size();
    std::vector<uint8_t> out(starts.back());
    core::parallel_for(decoded->size(), [&](size_t i) {
        std::vector<uint8_t>& part = (*decoded)[i];
        if (!part.empty()) std::memcpy(out.data() + starts[i], part.data(), part.size());
        part = {};
    });
    return out;
}

}  // namespace pbzx
