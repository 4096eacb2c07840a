// The reading face of the library: an opened image with its queries,
// partition choice and extraction.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "udif/error.hpp"
#include "udif/reader.hpp"

namespace udif {

// What a partition holds, judged by its name.
enum class PartitionType : uint8_t { Hfs = 0, Hfsx = 1, Apfs = 2, Other = 3 };

// "Hfs", "Hfsx", "Apfs" or "Other".
std::string_view partition_type_name(PartitionType type);
// "Apple_HFSX" → Hfsx, else "Apple_HFS" → Hfs, else "Apple_APFS" → Apfs,
// else Other (case-sensitive, anywhere in the name).
PartitionType classify_partition(std::string_view name);

struct PartitionInfo {
    std::string name;
    uint64_t sector_count = 0;
    uint64_t size = 0;             // sector_count × 512
    uint64_t compressed_size = 0;  // stored bytes of all its runs
    int32_t id = 0;
    PartitionType partition_type = PartitionType::Other;
};

struct DmgStats {
    uint64_t sector_count = 0;        // from the trailer
    uint64_t partition_count = 0;
    uint64_t total_uncompressed = 0;  // all partitions' sectors × 512
    uint64_t total_compressed = 0;    // stored bytes of all runs
    uint64_t data_fork_length = 0;
    uint32_t version = 0;
};

// Runs per block type over all partitions (Ignore, Comment and Terminator
// runs are not counted).
struct CompressionInfo {
    uint32_t zero_fill_blocks = 0;
    uint32_t raw_blocks = 0;
    uint32_t zlib_blocks = 0;
    uint32_t bzip2_blocks = 0;
    uint32_t lzfse_blocks = 0;
    uint32_t xz_blocks = 0;
    uint32_t adc_blocks = 0;
};

class DmgArchive {
public:
    // Opens the image with checksum verification.
    static Result<DmgArchive> open(const std::string& path);
    explicit DmgArchive(DmgReader reader) : reader_(std::move(reader)) {}

    std::vector<PartitionInfo> partitions() const;
    DmgStats stats() const;
    CompressionInfo compression_info() const;

    Result<int32_t> hfs_partition_id() const { return reader_.hfs_partition_id(); }
    Result<int32_t> main_partition_id() const { return reader_.main_partition_id(); }

    // Decoding in parallel into memory.
    Result<std::vector<uint8_t>> extract_partition(int32_t id) { return reader_.decompress_partition_parallel(id); }
    // The partition of the first entry whose name equals `name` exactly.
    Result<std::vector<uint8_t>> extract_partition_by_name(std::string_view name);
    Result<std::vector<uint8_t>> extract_main_partition() { return reader_.decompress_main_partition_auto(); }
    // Writes the partition's image to the file at `path` in bounded memory,
    // as decompress_partition_positional does, under a temporary name in its
    // folder renamed over `path` once the image is whole: when decoding
    // fails there is no file, or the old one as it was.  A symbolic link at
    // `path` is followed as opening it would, to the file it names, which is
    // made where missing.  A device or a pipe standing at `path` is written
    // into instead, in output order.
    Result<void> extract_partition_to_file(int32_t id, const std::string& path);
    Result<void> extract_main_partition_to_file(const std::string& path);

    // The id of the first entry whose name equals `name` exactly, or
    // FileNotFound carrying the name.
    Result<int32_t> partition_id_by_name(std::string_view name) const;

    // Size and in-place decoding, for callers that own the output memory
    // (for example a Python bytes object): every byte is written.
    Result<uint64_t> partition_size(int32_t id) const { return reader_.partition_size(id); }
    Result<void> extract_partition_into(int32_t id, std::span<uint8_t> output) {
        return reader_.decompress_partition_into(id, output);
    }
    // The partition's image into a sink, in output order (not flushed).
    Result<uint64_t> extract_partition_to(int32_t id, core::ByteSink& sink) {
        return reader_.decompress_partition_to(id, sink);
    }
    // The partition's image into an empty file, runs decoded in parallel
    // and written at their places; the file's content is unspecified after
    // a failure.
    Result<uint64_t> extract_partition_to(int32_t id, core::File& file) {
        return reader_.decompress_partition_positional(id, file);
    }

    DmgReader& reader() { return reader_; }
    const DmgReader& reader() const { return reader_; }

private:
    DmgReader reader_;
};

}  // namespace udif
