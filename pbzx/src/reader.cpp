#include "pbzx/reader.hpp"

#include <algorithm>
#include <cstring>

#include "chunks.hpp"
#include "core/endian.hpp"
#include "core/try.hpp"

namespace pbzx {

Result<PbzxReader> PbzxReader::open(const std::string& path) {
    auto source = KIV_TRY(core::FileSource::open(path));
    return from_source(std::make_unique<core::FileSource>(std::move(source)));
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
    KIV_TRY(reader.source_->read_exact(header));
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
        auto got = KIV_TRY(source_->read_up_to(std::span(sizes, 8)));
        if (got < 8) break;  // 0 to 7 trailing bytes end the stream
        KIV_TRY(source_->read_exact(std::span(sizes + 8, 8)));
        detail::ChunkRef chunk;
        chunk.uncompressed_size = core::load_be64(sizes);
        chunk.compressed_size = core::load_be64(sizes + 8);
        chunk.offset = offset_ + kChunkHeaderSize;

        if (chunk.uncompressed_size == 0 && chunk.compressed_size == 0) {
            uint8_t probe;
            auto more = KIV_TRY(source_->read_up_to(std::span(&probe, 1)));
            if (more != 0)
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
            KIV_TRY(source_->seek(pos + chunk.compressed_size));
        } else if (positional && pos <= length && chunk.compressed_size <= length - pos) {
            KIV_TRY(source_->seek(pos + chunk.compressed_size));
        } else {
            auto data = KIV_TRY(source_->read_vec(chunk.compressed_size));
            chunk.owned = std::move(data);
            chunk.bytes = chunk.owned;
            chunk.in_memory = true;
        }
        offset_ += kChunkHeaderSize + chunk.compressed_size;
        chunks.push_back(std::move(chunk));
    }
    return chunks;
}

Result<std::vector<ReadChunk>> PbzxReader::read_chunks() {
    auto scanned = KIV_TRY(scan(false));
    std::vector<ReadChunk> chunks;
    chunks.reserve(scanned.size());
    for (auto& c : scanned)
        chunks.push_back({std::move(c.owned), c.uncompressed_size, c.compressed_size, c.offset});
    return chunks;
}

}  // namespace pbzx
