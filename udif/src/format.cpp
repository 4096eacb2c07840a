#include "udif/format.hpp"

#include <algorithm>
#include <cstring>

#include "core/endian.hpp"
#include "core/try.hpp"

namespace udif {

namespace {

// Trailer layout as written by hdiutil: after the XML length come 120
// reserved bytes, then the master checksum, the image variant and the
// sector count; the last 12 bytes are reserved.
constexpr size_t kMasterChecksumType = 352;
constexpr size_t kImageVariant = 488;
constexpr size_t kSectorCount = 492;

template <size_t N>
void take(core::SpanReader& r, std::array<uint8_t, N>& out) {
    auto b = r.bytes(N);  // the caller has checked the length
    std::memcpy(out.data(), b->data(), N);
}

}  // namespace

// ---------------------------------------------------------------- trailer

Result<KolyHeader> KolyHeader::read(core::ByteSource& source) {
    if (auto r = source.seek_from_end(-int64_t(kSize)); !r) {
        // A file shorter than the trailer reads short.
        auto len = source.size();
        if (len && *len < kSize) return fail(core::IoError::unexpected_eof());
        return fail(r.error());
    }
    std::array<uint8_t, kSize> bytes;
    KIV_TRY(source.read_exact(bytes));
    return parse(bytes);
}

Result<KolyHeader> KolyHeader::parse(std::span<const uint8_t, kSize> bytes) {
    if (std::memcmp(bytes.data(), "koly", 4) != 0) return fail(KivError::invalid_magic());
    core::SpanReader r(bytes);
    KolyHeader h;
    take(r, h.signature);
    h.version = *r.be32();
    h.header_size = *r.be32();
    h.flags = *r.be32();
    h.running_data_fork_offset = *r.be64();
    h.data_fork_offset = *r.be64();
    h.data_fork_length = *r.be64();
    h.rsrc_fork_offset = *r.be64();
    h.rsrc_fork_length = *r.be64();
    h.segment_number = *r.be32();
    h.segment_count = *r.be32();
    take(r, h.segment_id);
    h.data_checksum_type = *r.be32();
    h.data_checksum_size = *r.be32();
    take(r, h.data_checksum);
    h.xml_offset = *r.be64();
    h.xml_length = *r.be64();
    take(r, h.reserved);
    h.master_checksum_type = *r.be32();
    h.master_checksum_size = *r.be32();
    take(r, h.master_checksum);
    h.image_variant = *r.be32();
    h.sector_count = *r.be64();
    return h;
}

std::array<uint8_t, KolyHeader::kSize> KolyHeader::to_bytes() const {
    std::array<uint8_t, kSize> out{};
    uint8_t* p = out.data();
    std::memcpy(p, signature.data(), 4);
    core::store_be32(p + 4, version);
    core::store_be32(p + 8, header_size);
    core::store_be32(p + 12, flags);
    core::store_be64(p + 16, running_data_fork_offset);
    core::store_be64(p + 24, data_fork_offset);
    core::store_be64(p + 32, data_fork_length);
    core::store_be64(p + 40, rsrc_fork_offset);
    core::store_be64(p + 48, rsrc_fork_length);
    core::store_be32(p + 56, segment_number);
    core::store_be32(p + 60, segment_count);
    std::memcpy(p + 64, segment_id.data(), segment_id.size());
    core::store_be32(p + 80, data_checksum_type);
    core::store_be32(p + 84, data_checksum_size);
    std::memcpy(p + 88, data_checksum.data(), data_checksum.size());
    core::store_be64(p + 216, xml_offset);
    core::store_be64(p + 224, xml_length);
    std::memcpy(p + 232, reserved.data(), reserved.size());
    core::store_be32(p + kMasterChecksumType, master_checksum_type);
    core::store_be32(p + kMasterChecksumType + 4, master_checksum_size);
    std::memcpy(p + kMasterChecksumType + 8, master_checksum.data(), master_checksum.size());
    core::store_be32(p + kImageVariant, image_variant);
    core::store_be64(p + kSectorCount, sector_count);
    return out;
}

Result<void> KolyHeader::write(core::ByteSink& sink) const {
    auto bytes = to_bytes();
    return sink.write_all(bytes);
}

// ---------------------------------------------------------------- runs

bool is_known_block_type(uint32_t value) {
    switch (BlockType(value)) {
        case BlockType::ZeroFill:
        case BlockType::Raw:
        case BlockType::Ignore:
        case BlockType::Adc:
        case BlockType::Zlib:
        case BlockType::Bzip2:
        case BlockType::Lzfse:
        case BlockType::Xz:
        case BlockType::Comment:
        case BlockType::Terminator:
            return true;
    }
    return false;
}

Result<BlockRun> BlockRun::from_bytes(std::span<const uint8_t> bytes) {
    if (bytes.size() < kSize) return fail(KivError::invalid_block_map("block run too short"));
    const uint8_t* p = bytes.data();
    uint32_t type = core::load_be32(p);
    if (!is_known_block_type(type)) return fail(KivError::unsupported_compression(type));
    BlockRun run;
    run.type = BlockType(type);
    run.comment = core::load_be32(p + 4);
    run.sector_number = core::load_be64(p + 8);
    run.sector_count = core::load_be64(p + 16);
    run.compressed_offset = core::load_be64(p + 24);
    run.compressed_length = core::load_be64(p + 32);
    return run;
}

std::array<uint8_t, BlockRun::kSize> BlockRun::to_bytes() const {
    std::array<uint8_t, kSize> out;
    core::store_be32(out.data(), uint32_t(type));
    core::store_be32(out.data() + 4, comment);
    core::store_be64(out.data() + 8, sector_number);
    core::store_be64(out.data() + 16, sector_count);
    core::store_be64(out.data() + 24, compressed_offset);
    core::store_be64(out.data() + 32, compressed_length);
    return out;
}

// ---------------------------------------------------------------- block maps

Result<MishHeader> MishHeader::from_bytes(std::span<const uint8_t> bytes) {
    if (bytes.size() < kHeaderSize) return fail(KivError::invalid_block_map("mish data too short"));
    if (std::memcmp(bytes.data(), "mish", 4) != 0) {
        std::string shown = "[";
        for (int i = 0; i < 4; ++i) shown += (i ? ", " : "") + std::to_string(bytes[i]);
        return fail(KivError::invalid_block_map("invalid mish magic: " + shown + "]"));
    }
    core::SpanReader r(bytes);
    MishHeader m;
    take(r, m.signature);
    m.version = *r.be32();
    m.first_sector = *r.be64();
    m.sector_count = *r.be64();
    m.data_offset = *r.be64();
    m.buffers_needed = *r.be32();
    m.block_descriptor_count = *r.be32();
    take(r, m.reserved);
    m.checksum_type = *r.be32();
    m.checksum_size = *r.be32();
    take(r, m.checksum);
    m.run_count = *r.be32();

    // Never reserve more runs than the bytes can hold.
    size_t room = (bytes.size() - kHeaderSize) / BlockRun::kSize;
    m.runs.reserve(std::min<size_t>(m.run_count, room));
    for (uint32_t i = 0; i < m.run_count; ++i) {
        size_t at = kHeaderSize + size_t(i) * BlockRun::kSize;
        if (bytes.size() - at < BlockRun::kSize) return fail(core::IoError::unexpected_eof());
        auto run = KIV_TRY(BlockRun::from_bytes(bytes.subspan(at)));
        m.runs.push_back(run);
    }
    return m;
}

std::vector<uint8_t> MishHeader::to_bytes() const {
    std::vector<uint8_t> out;
    out.reserve(kHeaderSize + runs.size() * BlockRun::kSize);
    out.insert(out.end(), signature.begin(), signature.end());
    core::append_be32(out, version);
    core::append_be64(out, first_sector);
    core::append_be64(out, sector_count);
    core::append_be64(out, data_offset);
    core::append_be32(out, buffers_needed);
    core::append_be32(out, block_descriptor_count);
    out.insert(out.end(), reserved.begin(), reserved.end());
    core::append_be32(out, checksum_type);
    core::append_be32(out, checksum_size);
    out.insert(out.end(), checksum.begin(), checksum.end());
    core::append_be32(out, uint32_t(runs.size()));
    for (const auto& run : runs) {
        auto b = run.to_bytes();
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

}  // namespace udif
