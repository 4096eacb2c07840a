#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "core/extract.hpp"
#include "core/tempfile.hpp"
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

// Writes straight into a file, zeros included: for devices and pipes, which
// have no holes and cannot be replaced.
class ZeroWritingSink final : public core::ByteSink {
public:
    explicit ZeroWritingSink(core::File& file) : file_(file) {}
    core::IoResult<void> write_all(std::span<const uint8_t> data) override { return file_.write_all(data); }

private:
    core::File& file_;
};

// A regular file (new, or replacing one) gets the partition only once it has
// decoded whole, written at each run's place with zeros left as holes.  A
// device or a pipe already standing at the path (/dev/null, say) is written
// into instead, from its first byte to its last.
Result<void> write_partition_file(DmgReader& reader, int32_t id, const std::string& path) {
    KIV_TRY(core::check_name(path));
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return fail(core::IoError::from_errno(errno));
        core::File file(fd);
        ZeroWritingSink sink(file);
        KIV_TRY(reader.decompress_partition_to(id, sink));
        return {};
    }
    auto out = KIV_TRY(core::ReplacementFile::create(path));
    KIV_TRY(reader.decompress_partition_positional(id, out.file()));
    KIV_TRY(out.commit());
    return {};
}

}  // namespace

Result<void> DmgArchive::extract_partition_to_file(int32_t id, const std::string& path) {
    return write_partition_file(reader_, id, path);
}

Result<void> DmgArchive::extract_main_partition_to_file(const std::string& path) {
    return write_partition_file(reader_, KIV_TRY(reader_.main_partition_id()), path);
}

Result<core::File> create_file(const std::string& path) {
    return core::File::create(path);
}

}  // namespace udif
