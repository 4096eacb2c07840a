// Reading PBZX streams: a 12-byte header, then chunks that are each one .xz
// stream (or stored as is), decoded in parallel on the process-wide pool.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/io.hpp"
#include "pbzx/bytes.hpp"
#include "pbzx/error.hpp"
#include "pbzx/format.hpp"

namespace pbzx {
namespace detail {
struct ChunkRef;
}

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
    // Reads every chunk header, then decodes all chunks in parallel, each
    // straight into its place in one buffer.  The data of a file are read by
    // the tasks that decode them; those of an in-memory source are not copied.
    Result<Bytes> decompress_parallel();

private:
    PbzxReader(std::unique_ptr<core::ByteSource> owned, core::ByteSource& source)
        : owned_(std::move(owned)), source_(&source) {}
    static Result<PbzxReader> read_header(PbzxReader reader);
    // The remaining chunks in stream order.  With `in_place`, data that the
    // source holds in memory or can read by position are located, not read.
    Result<std::vector<detail::ChunkRef>> scan(bool in_place);

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
