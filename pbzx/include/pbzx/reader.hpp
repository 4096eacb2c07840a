// Reading PBZX streams: a 12-byte header, then chunks that are each one .xz
// stream (or stored as is), decoded in parallel on the process-wide pool.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/io.hpp"
#include "pbzx/error.hpp"
#include "pbzx/format.hpp"

namespace pbzx {

class PbzxReader {
public:
    // Opens a file behind an 8 KiB buffer and reads the header.
    static Result<PbzxReader> open(const std::string& path);
    // Reads the header from `source` at its current position.  The reader
    // owns the source.
    static Result<PbzxReader> from_source(std::unique_ptr<core::ByteSource> source);
    // The same over a source the caller keeps alive for the reader's lifetime.
    static Result<PbzxReader> from_source(core::ByteSource& source);

    uint64_t flags() const { return flags_; }
    const std::array<uint8_t, 4>& magic() const { return magic_; }
    // Bytes of the stream consumed so far (12 right after the header).
    uint64_t offset() const { return offset_; }

    // Reads every remaining chunk, in stream order, without decoding.
    Result<std::vector<ReadChunk>> read_chunks();
    // Reads every chunk, then decodes them all in parallel and joins them.
    Result<std::vector<uint8_t>> decompress_parallel();

private:
    PbzxReader(std::unique_ptr<core::ByteSource> owned, core::ByteSource& source)
        : owned_(std::move(owned)), source_(&source) {}
    static Result<PbzxReader> read_header(PbzxReader reader);
    Result<ReadChunk> read_chunk_data(uint64_t uncompressed_size, uint64_t compressed_size);

    std::unique_ptr<core::ByteSource> owned_;
    core::ByteSource* source_;
    uint64_t flags_ = 0;
    std::array<uint8_t, 4> magic_{};
    uint64_t offset_ = 0;
};

// Decodes one chunk: its data as they stand when both sizes are equal, else
// its .xz stream, whose decoded length must equal uncompressed_size.
Result<std::vector<uint8_t>> decompress_chunk(const ReadChunk& chunk);

}  // namespace pbzx
