// Read-only value classes: snapshots copied out of native records.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nanobind/nanobind.h>

namespace kiv_python {

namespace nb = nanobind;

struct PyPartitionInfo {
    std::string name;
    int32_t id;
    uint64_t sectors;
    uint64_t size;
    uint64_t compressed_size;
    std::string partition_type;  // "Hfs", "Hfsx", "Apfs" or "Other"
};

struct PyDirEntry {
    std::string name;
    std::string kind;  // "file", "directory" or "symlink"
    uint64_t size;
};

struct PyFileStat {
    std::string fs_type;  // "hfsplus" or "apfs"
    uint64_t id;
    std::string kind;
    uint64_t size;
    uint32_t uid;
    uint32_t gid;
    uint16_t mode;
    int64_t create_time;
    int64_t modify_time;
    std::optional<uint32_t> nlink;
    std::optional<uint32_t> data_fork_extents;
    std::optional<uint64_t> resource_fork_size;
};

struct PyVolumeInfo {
    std::string fs_type;
    uint32_t block_size;
    uint64_t file_count;
    uint64_t directory_count;
    std::optional<std::string> name;
    std::optional<uint64_t> symlink_count;
    std::optional<uint32_t> total_blocks;
    std::optional<uint32_t> free_blocks;
    std::optional<uint16_t> version;
    std::optional<bool> is_hfsx;
};

struct PyWalkEntry {
    std::string path;
    std::string name;
    std::string kind;
    uint64_t size;
};

struct PyFileEntry {
    std::string path;
    uint64_t size;
    uint32_t mode;
    uint64_t mtime;
    uint32_t uid;
    uint32_t gid;
    bool is_dir;
    bool is_symlink;
    std::optional<std::string> link_target;
};

struct PyCompressionInfo {
    uint32_t zero_fill_blocks;
    uint32_t raw_blocks;
    uint32_t zlib_blocks;
    uint32_t bzip2_blocks;
    uint32_t lzfse_blocks;
    uint32_t xz_blocks;
    uint32_t adc_blocks;
};

struct PyDmgStats {
    uint32_t version;
    uint64_t sector_count;
    uint64_t partition_count;
    uint64_t total_uncompressed;
    uint64_t total_compressed;
    uint64_t data_fork_length;
    double compression_ratio;
    double space_savings;
};

struct PyXarFile {
    uint64_t id;
    std::string name;
    std::string path;
    std::string file_type;
    std::optional<std::string> link;
    std::optional<uint64_t> size;
    std::optional<uint64_t> compressed_size;
};

struct PyChunkInfo {
    uint64_t index;
    uint64_t offset;
    uint64_t compressed_size;
    uint64_t uncompressed_size;
    bool is_compressed;
    double compression_ratio;
};

struct PyArchiveStats {
    uint64_t chunk_count;
    uint64_t compressed_size;
    uint64_t uncompressed_size;
    uint64_t file_count;
    uint64_t directory_count;
    uint64_t total_file_size;
    double compression_ratio;
    double space_savings;
};

struct PyExtractStats {
    uint64_t files;
    uint64_t dirs;
    uint64_t symlinks_skipped;
    uint64_t bytes;
};

// total_compressed / total_uncompressed, exactly 1.0 for nothing stored.
double compression_ratio(uint64_t compressed, uint64_t uncompressed);

// Registers the value classes, in the module's order.
void register_value_classes(nb::module_& m);

// Builds a Python list of value objects, one per record.
template <class Value, class Records, class Convert>
nb::list to_list(const Records& records, Convert convert) {
    nb::list out;
    for (const auto& r : records) out.append(nb::cast(Value(convert(r))));
    return out;
}

}  // namespace kiv_python
