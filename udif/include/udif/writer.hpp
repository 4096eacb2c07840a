// Writing new UDIF images from raw partition bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/io.hpp"
#include "udif/error.hpp"
#include "udif/format.hpp"

namespace udif {

enum class CompressionMethod : uint8_t { Raw = 0, Zlib = 1, Bzip2 = 2, Lzfse = 3 };

// The block type each method writes.
BlockType block_type_of(CompressionMethod method);

// Creates or truncates a file for writing (mode 0666 before the umask).
Result<core::File> create_file(const std::string& path);

// Why a partition name cannot be written so that it reads back the same:
// bytes that are not UTF-8, or a character XML 1.0 does not allow (controls
// other than tab, line feed and carriage return; U+FFFE and U+FFFF).
// Nothing for a name that can.
std::optional<std::string> name_fault(std::string_view name);
// The same as an InvalidPlist error naming the partition.
Result<void> check_partition_name(std::string_view name);

// One partition as written.
struct PartitionData {
    std::string name;
    std::vector<BlockRun> runs;  // ending with the terminator
    uint64_t first_sector = 0;
    uint64_t sector_count = 0;
    ChecksumField checksum{};
    int32_t id = 0;
    uint32_t attributes = 0x50;
};

// Writes the data fork partition by partition, then the property list and
// the trailer.
class DmgWriter {
public:
    static constexpr uint64_t kDefaultChunkSize = 1048576;

    static Result<DmgWriter> create(const std::string& path);
    // Over any sink, which the writer owns (tests write to memory).
    explicit DmgWriter(std::unique_ptr<core::ByteSink> sink) : sink_(std::move(sink)) {}

    // Bytes per chunk; rounded up to whole sectors so that partitions
    // decode back exactly.
    void set_chunk_size(uint64_t bytes) { chunk_size_ = bytes; }
    void set_level(uint32_t level) { level_ = level; }
    void set_skip_checksums(bool skip) { skip_checksums_ = skip; }
    void set_compression(CompressionMethod method) { compression_ = method; }
    uint64_t chunk_size() const { return chunk_size_; }
    uint32_t level() const { return level_; }

    // Cuts the data into chunks and appends their runs to the data fork.  A
    // name that check_partition_name refuses fails before anything is written.
    Result<void> add_partition(std::string_view name, std::span<const uint8_t> data);
    // Writes the property list and the trailer, and flushes.
    Result<void> finish() &&;

    const std::vector<PartitionData>& partitions() const { return partitions_; }
    uint64_t data_offset() const { return data_offset_; }

private:
    std::vector<PartitionData> partitions_;
    uint32_t data_crc_ = 0;
    std::unique_ptr<core::ByteSink> sink_;
    uint64_t chunk_size_ = kDefaultChunkSize;
    uint64_t data_offset_ = 0;
    uint32_t level_ = 6;
    bool skip_checksums_ = false;
    CompressionMethod compression_ = CompressionMethod::Zlib;
};

// The property-list text describing the written partitions; without
// checksums the block maps' checksum type is 0.
std::string resource_fork_xml(const std::vector<PartitionData>& partitions, bool with_checksums = true);

// Partitions and settings of an image still to be written.
struct DmgBuilder {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> partitions;
    uint64_t chunk_size = DmgWriter::kDefaultChunkSize;
    uint32_t level = 6;
    bool skip_checksums = false;
    CompressionMethod compression = CompressionMethod::Zlib;

    // Appends a partition; the builder keeps the very buffer given.
    DmgBuilder& add_partition(std::string name, std::vector<uint8_t> data) & {
        partitions.emplace_back(std::move(name), std::move(data));
        return *this;
    }
    DmgBuilder&& add_partition(std::string name, std::vector<uint8_t> data) && {
        return std::move(add_partition(std::move(name), std::move(data)));
    }

    // Writes the image: chunk size at least 4096, level at most 9.  A name
    // that check_partition_name refuses fails before the file is created.
    Result<void> build(const std::string& path) const;
};

}  // namespace udif
