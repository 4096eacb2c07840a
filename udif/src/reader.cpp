// Opening an image: trailer, checksums, property list; partition lookups and
// the choice of the main partition.
#include "udif/reader.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <new>
#include <optional>

#include "core/thread_pool.hpp"
#include "core/try.hpp"
#include "internal.hpp"
#include "udif/checksum.hpp"

namespace udif {

using detail::short_read;

Result<DmgReader> DmgReader::open_with_options(const std::string& path, bool verify_checksums) {
    auto source = KIV_TRY(core::FileSource::open(path));
    return with_options(std::make_unique<core::FileSource>(std::move(source)), verify_checksums);
}

namespace {

// CRC-32 of `length` bytes at `offset`.  The range is split into one
// stretch per worker, each read in pieces of its own and checksummed where
// the source allows reads from several threads; the stretches' CRCs are
// then combined in order.  A range beyond the source's end fails as a short
// read before anything is read.
Result<uint32_t> crc_of_range(core::ByteSource& source, uint64_t offset, uint64_t length) {
    if (const auto* mem = source.memory()) {
        if (offset > mem->size() || length > mem->size() - offset) return short_read();
        return checksum::crc32({mem->data() + offset, size_t(length)});
    }
    constexpr size_t kPiece = 1u << 20;
    if (const core::PositionalReader* positional = source.positional()) {
        const uint64_t size = KIV_TRY(source.size());
        if (offset > size || length > size - offset) return short_read();
        // Stretches below a few pieces are not worth a thread.
        const uint64_t stretches = std::clamp<uint64_t>(length / (4 * kPiece), 1, core::worker_count());
        const uint64_t stretch = (length + stretches - 1) / stretches;
        auto crcs = KIV_TRY((core::parallel_map<uint32_t, KivError>(size_t(stretches), [&](size_t i) -> Result<uint32_t> {
            uint64_t at = offset + i * stretch, left = std::min(stretch, length - i * stretch);
            std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kPiece]);
            if (!buf) return detail::out_of_memory();
            uint32_t crc = 0;
            for (size_t n; left > 0; at += n, left -= n) {
                n = size_t(std::min<uint64_t>(left, kPiece));
                KIV_TRY(positional->pread_exact(at, {buf.get(), n}));
                crc = checksum::crc32_update(crc, {buf.get(), n});
            }
            return crc;
        })));
        uint32_t crc = 0;
        for (size_t i = 0; i < crcs.size(); ++i)
            crc = checksum::crc32_combine(crc, crcs[i], std::min(stretch, length - i * stretch));
        return crc;
    }
    KIV_TRY(source.seek(offset));
    std::vector<uint8_t> buf(size_t(std::min<uint64_t>(length, kPiece)));
    uint32_t crc = 0;
    while (length > 0) {
        size_t n = size_t(std::min<uint64_t>(length, buf.size()));
        KIV_TRY(source.read_exact({buf.data(), n}));
        crc = checksum::crc32_update(crc, {buf.data(), n});
        length -= n;
    }
    return crc;
}

// The most sectors a partition, or any of its runs, may reach.  The trailer
// states the image's size; an image that leaves it 0 still decodes, but only
// to a size in proportion to its own file (a few KB never stand for
// gigabytes of output).
uint64_t sector_limit(const KolyHeader& trailer, uint64_t file_size) {
    if (trailer.sector_count != 0) return trailer.sector_count;
    constexpr uint64_t kExpansion = 4096, kFloor = uint64_t(256) << 20;
    uint64_t bytes = file_size > UINT64_MAX / kExpansion ? UINT64_MAX : file_size * kExpansion;
    return std::max(bytes, kFloor) / kSectorSize;
}

}  // namespace

Result<DmgReader> DmgReader::with_options(std::unique_ptr<core::ByteSource> source, bool verify_checksums) {
    auto trailer = KIV_TRY(KolyHeader::read(*source));
    auto file_size = KIV_TRY(source->size());

    if (verify_checksums && trailer.has_data_checksum()) {
        auto crc = KIV_TRY(crc_of_range(*source, trailer.data_fork_offset, trailer.data_fork_length));
        uint32_t stored = checksum::stored_value(trailer.data_checksum);
        if (crc != stored) return fail(KivError::checksum_mismatch(stored, crc));
    }

    KIV_TRY(source->seek(trailer.xml_offset));
    auto xml = KIV_TRY(source->read_vec(trailer.xml_length));
    auto partitions = KIV_TRY(reader::parse_plist(xml));

    if (verify_checksums) {
        KIV_TRY(verify_master_checksum(trailer, partitions));
    }

    DmgReader reader;
    reader.partitions_ = std::move(partitions);
    reader.source_ = std::move(source);
    reader.xml_offset_ = trailer.xml_offset;
    reader.xml_length_ = trailer.xml_length;
    reader.trailer_ = trailer;
    reader.sector_limit_ = sector_limit(trailer, file_size);
    return reader;
}

Result<void> DmgReader::verify_master_checksum(const KolyHeader& trailer, const std::vector<PartitionEntry>& partitions) {
    if (!trailer.has_master_checksum()) return {};
    uint32_t crc = 0;
    for (const auto& p : partitions) crc = checksum::crc32_update(crc, {p.block_map.checksum.data(), 4});
    uint32_t stored = checksum::stored_value(trailer.master_checksum);
    if (crc != stored) return fail(KivError::checksum_mismatch(stored, crc));
    return {};
}

Result<const PartitionEntry*> DmgReader::find_partition(int32_t id) const {
    for (const auto& p : partitions_)
        if (p.id == id) return &p;
    return fail(KivError::file_not_found("partition " + std::to_string(id)));
}

namespace {
// The id of the entry with the most sectors among those `pick` accepts;
// the later entry wins ties.
template <class Pick>
std::optional<int32_t> largest(const std::vector<PartitionEntry>& entries, Pick pick) {
    const PartitionEntry* best = nullptr;
    for (const auto& e : entries)
        if (pick(e) && (!best || e.block_map.sector_count >= best->block_map.sector_count)) best = &e;
    return best ? std::optional(best->id) : std::nullopt;
}
}  // namespace

Result<uint64_t> DmgReader::partition_size(int32_t id) const {
    auto entry = KIV_TRY(find_partition(id));
    return checked_size(*entry);
}

Result<int32_t> DmgReader::hfs_partition_id() const {
    auto id = largest(partitions_, [](const PartitionEntry& e) { return e.name.find("Apple_HFS") != std::string::npos; });
    if (!id) return fail(KivError::file_not_found("no HFS+/HFSX partition found"));
    return *id;
}

Result<int32_t> DmgReader::main_partition_id() const {
    if (partitions_.empty()) return fail(KivError::file_not_found("no partitions found"));
    auto id = largest(partitions_, [](const PartitionEntry& e) {
        // "Apple_HFS" also matches every "Apple_HFSX".
        return e.name.find("Apple_HFS") != std::string::npos || e.name.find("Apple_APFS") != std::string::npos;
    });
    if (!id) id = largest(partitions_, [](const PartitionEntry&) { return true; });
    return *id;
}

Result<std::vector<uint8_t>> DmgReader::decompress_main_partition_auto() {
    auto id = KIV_TRY(main_partition_id());
    return decompress_partition_parallel(id);
}

}  // namespace udif
