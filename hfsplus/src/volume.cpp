#include "volume.hpp"

#include "catalog.hpp"
#include "core/endian.hpp"
#include "core/try.hpp"

namespace hfsplus::volume {

namespace {

constexpr uint64_t kHeaderOffset = 1024;
constexpr size_t kForkDataSize = 80;

}  // namespace

Result<VolumeHeader> read_header(core::ByteSource& source) {
    KIV_TRY(source.seek(kHeaderOffset));

    // The signature and the version are checked before the rest is read.
    uint8_t word[2];
    KIV_TRY(source.read_exact(word));
    VolumeHeader h;
    h.signature = core::load_be16(word);
    if (h.signature != kSignatureHfsPlus && h.signature != kSignatureHfsx)
        return std::unexpected(HfsPlusError::invalid_signature(h.signature));
    KIV_TRY(source.read_exact(word));
    h.version = core::load_be16(word);
    if ((h.version & 0xFFFE) != 4) return std::unexpected(HfsPlusError::unsupported_version(h.version));

    std::array<uint8_t, 512 - 4> rest;
    KIV_TRY(source.read_exact(rest));
    core::SpanReader r(rest);
    // The buffer holds every remaining field, so none of these reads can fail.
    h.attributes = *r.be32();
    h.last_mounted_version = *r.be32();
    h.journal_info_block = *r.be32();
    h.create_date = *r.be32();
    h.modify_date = *r.be32();
    h.backup_date = *r.be32();
    h.checked_date = *r.be32();
    h.file_count = *r.be32();
    h.folder_count = *r.be32();
    h.block_size = *r.be32();
    h.total_blocks = *r.be32();
    h.free_blocks = *r.be32();
    h.next_allocation = *r.be32();
    h.rsrc_clump_size = *r.be32();
    h.data_clump_size = *r.be32();
    h.next_catalog_id = *r.be32();
    h.write_count = *r.be32();
    h.encodings_bitmap = *r.be64();
    for (auto& v : h.finder_info) v = *r.be32();
    size_t pos = r.position();
    for (ForkData* fork : {&h.allocation_file, &h.extents_file, &h.catalog_file, &h.attributes_file,
                           &h.startup_file})
        *fork = KIV_TRY(catalog::parse_fork_data(rest, pos));
    h.is_hfsx = h.signature != kSignatureHfsPlus;
    return h;
}

Result<ForkData> read_fork_data(core::ByteSource& source) {
    std::array<uint8_t, kForkDataSize> raw;
    KIV_TRY(source.read_exact(raw));
    size_t pos = 0;
    return catalog::parse_fork_data(raw, pos);
}

}  // namespace hfsplus::volume
