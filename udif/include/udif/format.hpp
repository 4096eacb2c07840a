// On-disk structures of a UDIF image: the "koly" trailer, the "mish" block
// maps carried in the property list, and their block runs.  All integers
// are big-endian; a sector is 512 bytes.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/io.hpp"
#include "udif/checksum.hpp"
#include "udif/error.hpp"

namespace udif {

inline constexpr uint64_t kSectorSize = 512;

// The 512-byte trailer at the very end of the image.
struct KolyHeader {
    static constexpr size_t kSize = 512;

    std::array<uint8_t, 4> signature{'k', 'o', 'l', 'y'};
    uint32_t version = 4;
    uint32_t header_size = 512;
    uint32_t flags = 1;
    uint64_t running_data_fork_offset = 0;
    uint64_t data_fork_offset = 0;
    uint64_t data_fork_length = 0;
    uint64_t rsrc_fork_offset = 0;
    uint64_t rsrc_fork_length = 0;
    uint32_t segment_number = 1;
    uint32_t segment_count = 1;
    std::array<uint8_t, 16> segment_id{};
    uint32_t data_checksum_type = 0;
    uint32_t data_checksum_size = 32;
    ChecksumField data_checksum{};
    uint64_t xml_offset = 0;
    uint64_t xml_length = 0;
    std::array<uint8_t, 120> reserved{};
    uint32_t master_checksum_type = 0;
    uint32_t master_checksum_size = 32;
    ChecksumField master_checksum{};
    uint32_t image_variant = 1;
    uint64_t sector_count = 0;

    // Reads the last 512 bytes of the source.
    static Result<KolyHeader> read(core::ByteSource& source);
    // Parses a trailer from exactly 512 bytes.
    static Result<KolyHeader> parse(std::span<const uint8_t, kSize> bytes);
    std::array<uint8_t, kSize> to_bytes() const;
    Result<void> write(core::ByteSink& sink) const;

    bool has_data_checksum() const { return checksum::has_checksum(data_checksum_type, data_checksum); }
    bool has_master_checksum() const { return checksum::has_checksum(master_checksum_type, master_checksum); }
};

// What a block run holds.
enum class BlockType : uint32_t {
    ZeroFill = 0,
    Raw = 1,
    Ignore = 2,
    Adc = 0x80000004,
    Zlib = 0x80000005,
    Bzip2 = 0x80000006,
    Lzfse = 0x80000007,
    Xz = 0x80000008,
    Comment = 0x7FFFFFFE,
    Terminator = 0xFFFFFFFF,
};

bool is_known_block_type(uint32_t value);

// One 40-byte run of a block map.
struct BlockRun {
    static constexpr size_t kSize = 40;

    BlockType type = BlockType::ZeroFill;
    uint32_t comment = 0;
    uint64_t sector_number = 0;      // first output sector, relative to the partition
    uint64_t sector_count = 0;       // output sectors it fills
    uint64_t compressed_offset = 0;  // relative to the data fork offset
    uint64_t compressed_length = 0;  // stored bytes

    // Parses the first 40 bytes.
    static Result<BlockRun> from_bytes(std::span<const uint8_t> bytes);
    std::array<uint8_t, kSize> to_bytes() const;
};

// A partition's block map ("mish"): a 204-byte header and its runs.
struct MishHeader {
    static constexpr size_t kHeaderSize = 204;

    std::array<uint8_t, 4> signature{'m', 'i', 's', 'h'};
    uint32_t version = 1;
    uint64_t first_sector = 0;
    uint64_t sector_count = 0;
    uint64_t data_offset = 0;
    uint32_t buffers_needed = 0;
    uint32_t block_descriptor_count = 0;
    std::array<uint8_t, 24> reserved{};
    uint32_t checksum_type = kChecksumCrc32;
    uint32_t checksum_size = 32;
    ChecksumField checksum{};
    uint32_t run_count = 0;
    std::vector<BlockRun> runs;

    static Result<MishHeader> from_bytes(std::span<const uint8_t> bytes);
    // Header and runs; the stored run count is the length of `runs`.
    std::vector<uint8_t> to_bytes() const;
};

// One element of the property list's "blkx" array.
struct PartitionEntry {
    std::string name;
    MishHeader block_map;
    int32_t id = 0;
    uint32_t attributes = 0;
};

}  // namespace udif
