#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/try.hpp"
#include "udif/archive.hpp"
#include "udif/writer.hpp"

namespace udif {

std::string_view partition_type_name(PartitionType type) {
    switch (type) {
        case PartitionType::Hfs: return "Hfs";
        case PartitionType::Hfsx: return "Hfsx";
        case PartitionType::Apfs: return "Apfs";
        case PartitionType::Other: return "Other";
    }
    return "Other";
}

PartitionType classify_partition(std::string_view name) {
    if (name.find("Apple_HFSX") != std::string_view::npos) return PartitionType::Hfsx;
    if (name.find("Apple_HFS") != std::string_view::npos) return PartitionType::Hfs;
    if (name.find("Apple_APFS") != std::string_view::npos) return PartitionType::Apfs;
    return PartitionType::Other;
}

Result<DmgArchive> DmgArchive::open(const std::string& path) {
    auto reader = KIV_TRY(DmgReader::open_with_options(path, true));
    return DmgArchive(std::move(reader));
}

namespace {
uint64_t stored_bytes(const MishHeader& map) {
    uint64_t total = 0;
    for (const auto& run : map.runs) total += run.compressed_length;
    return total;
}
}  // namespace

std::vector<PartitionInfo> DmgArchive::partitions() const {
    std::vector<PartitionInfo> out;
    out.reserve(reader_.partitions().size());
    for (const auto& e : reader_.partitions()) {
        out.push_back({e.name, e.block_map.sector_count, e.block_map.sector_count * kSectorSize,
                       stored_bytes(e.block_map), e.id, classify_partition(e.name)});
    }
    return out;
}

DmgStats DmgArchive::stats() const {
    DmgStats s;
    const auto& t = reader_.trailer();
    s.sector_count = t.sector_count;
    s.partition_count = reader_.partitions().size();
    uint64_t sectors = 0;
    for (const auto& e : reader_.partitions()) {
        sectors += e.block_map.sector_count;
        s.total_compressed += stored_bytes(e.block_map);
    }
    s.total_uncompressed = sectors * kSectorSize;
    s.data_fork_length = t.data_fork_length;
    s.version = t.version;
    return s;
}

CompressionInfo DmgArchive::compression_info() const {
    CompressionInfo c;
    for (const auto& e : reader_.partitions()) {
        for (const auto& run : e.block_map.runs) {
            switch (run.type) {
                case BlockType::ZeroFill: ++c.zero_fill_blocks; break;
                case BlockType::Raw: ++c.raw_blocks; break;
                case BlockType::Zlib: ++c.zlib_blocks; break;
                case BlockType::Bzip2: ++c.bzip2_blocks; break;
                case BlockType::Lzfse: ++c.lzfse_blocks; break;
                case BlockType::Xz: ++c.xz_blocks; break;
                case BlockType::Adc: ++c.adc_blocks; break;
                default: break;
            }
        }
    }
    return c;
}

Result<int32_t> DmgArchive::partition_id_by_name(std::string_view name) const {
    for (const auto& e : reader_.partitions())
        if (e.name == name) return e.id;
    return fail(KivError::file_not_found(std::string(name)));
}

Result<std::vector<uint8_t>> DmgArchive::extract_partition_by_name(std::string_view name) {
    auto id = KIV_TRY(partition_id_by_name(name));
    return reader_.decompress_partition_parallel(id);
}

namespace {
// Writes the decoded image, leaving a hole for every all-zero 4 KiB block.
Result<void> write_file(const std::string& path, std::span<const uint8_t> bytes) {
    auto file = KIV_TRY(create_file(path));
    core::FileSink sink(file);
    constexpr size_t kBlock = 4096;
    static const uint8_t zeros[kBlock] = {};
    auto zero_block = [&](size_t at) {
        size_t n = std::min(kBlock, bytes.size() - at);
        return std::memcmp(bytes.data() + at, zeros, n) == 0;
    };
    for (size_t at = 0; at < bytes.size();) {
        bool zero = zero_block(at);
        size_t end = std::min(at + kBlock, bytes.size());
        while (end < bytes.size() && zero_block(end) == zero) end = std::min(end + kBlock, bytes.size());
        KIV_TRY(zero ? sink.skip_zeros(end - at) : sink.write_all(bytes.subspan(at, end - at)));
        at = end;
    }
    return {};
}
}  // namespace

Result<void> DmgArchive::extract_partition_to_file(int32_t id, const std::string& path) {
    auto data = KIV_TRY(extract_partition(id));
    return write_file(path, data);
}

Result<void> DmgArchive::extract_main_partition_to_file(const std::string& path) {
    auto data = KIV_TRY(extract_main_partition());
    return write_file(path, data);
}

Result<core::File> create_file(const std::string& path) {
    return core::File::create(path);
}

}  // namespace udif
