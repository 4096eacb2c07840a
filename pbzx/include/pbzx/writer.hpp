// Writing PBZX streams and building newc CPIO archives.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/io.hpp"
#include "pbzx/error.hpp"
#include "pbzx/format.hpp"

namespace pbzx {

// Writes a PBZX stream: the 12-byte header once, then each write_cpio call's
// data cut into chunk_size slices, each compressed as its own .xz stream
// (CRC-64 check).  A slice whose stream would be exactly as long as the slice
// is stored as is, since readers take equal sizes for a stored chunk.  Slices
// are compressed in parallel; the bytes are the same as compressing them one
// after another.
class PbzxWriter {
public:
    // chunk_size 0 is accepted here and refused by write_cpio; a level above 9
    // is lowered to 9.
    explicit PbzxWriter(std::unique_ptr<core::ByteSink> sink, uint64_t chunk_size = kDefaultChunkSize,
                        uint32_t level = kDefaultLevel);
    // Creates (or truncates) `path`, mode 0666 before the umask, behind an
    // 8 KiB write buffer.
    static core::IoResult<PbzxWriter> create(const std::string& path, uint64_t chunk_size = kDefaultChunkSize,
                                             uint32_t level = kDefaultLevel);

    // Writes the header unless it is already written.
    Result<void> write_header();
    // Header (if needed), then the data's chunks.  Empty data write no chunk.
    Result<void> write_cpio(std::span<const uint8_t> data);
    // Header (if needed), then flushes the sink.
    Result<void> finish();

    uint64_t chunk_size() const { return chunk_size_; }
    uint32_t level() const { return level_; }
    uint64_t flags() const { return flags_; }
    bool header_written() const { return header_written_; }
    // Bytes handed to the sink so far: 12 for the header, 16 + compressed length per chunk.
    uint64_t total_written() const { return total_written_; }
    core::ByteSink& sink() { return *sink_; }

private:
    Result<void> write_chunk(uint64_t uncompressed_size, std::span<const uint8_t> compressed);

    std::unique_ptr<core::ByteSink> sink_;
    uint64_t chunk_size_;
    uint64_t flags_ = kPbzxFlags;
    uint32_t level_;
    bool header_written_ = false;
    uint64_t total_written_ = 0;
};

// Compresses `data` as one complete .xz stream at `level` with a CRC-64 check.
Result<std::vector<uint8_t>> compress_chunk(std::span<const uint8_t> data, uint32_t level);

// Builds a newc CPIO archive in memory.  Owner, group and times are 0; only
// the permission bits of a mode are kept, the type comes from the call.
class CpioBuilder {
public:
    // Members of 4 GiB or more (or names that long) do not fit newc's 32-bit
    // fields and are refused with Unsupported; the builder is then unchanged.
    Result<void> add_file(std::string_view name, std::span<const uint8_t> data, uint32_t mode);
    Result<void> add_directory(std::string_view name, uint32_t mode);
    Result<void> add_symlink(std::string_view name, std::string_view target, uint32_t mode);
    // Writes one member with the given full mode.
    Result<void> add_entry(std::string_view name, std::span<const uint8_t> data, uint32_t mode);

    // Bytes built so far.
    size_t size() const { return buffer_.size(); }
    const std::vector<uint8_t>& data() const { return buffer_; }
    // Appends the "TRAILER!!!" member and hands the archive over; the builder
    // is empty afterwards.
    std::vector<uint8_t> finish();

private:
    std::vector<uint8_t> buffer_;
    uint32_t next_ino_ = 1;
};

}  // namespace pbzx
