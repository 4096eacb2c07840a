#include "pbzx/reader.hpp"

#include <algorithm>
#include <cstring>

#include "chunks.hpp"
#include "core/endian.hpp"

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

}  // namespace

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

Result<std::vector<detail::ChunkRef>> PbzxReader::scan(bool in_place) {
    const std::vector<uint8_t>* memory = in_place ? source_->memory() : nullptr;
    const core::PositionalReader* positional = in_place && !memory ? source_->positional() : nullptr;
    uint64_t length = 0;
    if (positional) {
        auto size = source_->size();
        if (size) length = *size;
        else positional = nullptr;
    }
    std::vector<detail::ChunkRef> chunks;
    for (;;) {
        uint8_t sizes[kChunkHeaderSize];
        auto got = read_up_to(*source_, std::span(sizes, 8));
        if (!got) return fail_io(got.error());
        if (*got < 8) break;  // 0 to 7 trailing bytes end the stream
        if (auto r = source_->read_exact(std::span(sizes + 8, 8)); !r) return fail_io(r.error());
        detail::ChunkRef chunk;
        chunk.uncompressed_size = core::load_be64(sizes);
        chunk.compressed_size = core::load_be64(sizes + 8);
        chunk.offset = offset_ + kChunkHeaderSize;

        if (chunk.uncompressed_size == 0 && chunk.compressed_size == 0) {
            uint8_t probe;
            auto more = read_up_to(*source_, std::span(&probe, 1));
            if (!more) return fail_io(more.error());
            if (*more != 0)
                return fail(PbzxError::invalid_chunk(offset_, "zero-length chunk header followed by more data"));
            offset_ += kChunkHeaderSize;
            break;
        }

        // Data the source backs are located and stepped over; anything else
        // is read, which also reports data cut short (however large the
        // declared size: read_vec reserves only what the source can hold).
        const uint64_t pos = source_->position();
        chunk.position = pos;
        if (memory && pos <= memory->size() && chunk.compressed_size <= memory->size() - pos) {
            chunk.in_memory = true;
            chunk.bytes = std::span(memory->data() + pos, size_t(chunk.compressed_size));
            if (auto r = source_->seek(pos + chunk.compressed_size); !r) return fail_io(r.error());
        } else if (positional && pos <= length && chunk.compressed_size <= length - pos) {
            if (auto r = source_->seek(pos + chunk.compressed_size); !r) return fail_io(r.error());
        } else {
            auto data = source_->read_vec(chunk.compressed_size);
            if (!data) return fail_io(data.error());
            chunk.owned = std::move(*data);
            chunk.bytes = chunk.owned;
            chunk.in_memory = true;
        }
        offset_ += kChunkHeaderSize + chunk.compressed_size;
        chunks.push_back(std::move(chunk));
    }
    return chunks;
}

Result<std::vector<ReadChunk>> PbzxReader::read_chunks() {
    auto scanned = scan(false);
    if (!scanned) return fail(std::move(scanned.error()));
    std::vector<ReadChunk> chunks;
    chunks.reserve(scanned->size());
    for (auto& c : *scanned)
        chunks.push_back({std::move(c.owned), c.uncompressed_size, c.compressed_size, c.offset});
    return chunks;
}

}  // namespace pbzx
