// The volume header at byte 1024, fork records and BSD permission blocks.
#pragma once

#include <array>
#include <cstdint>

#include "core/io.hpp"
#include "hfsplus/error.hpp"

namespace hfsplus {

inline constexpr uint16_t kSignatureHfsPlus = 0x482B;  // "H+"
inline constexpr uint16_t kSignatureHfsx = 0x4858;     // "HX"

// One contiguous run of allocation blocks.
struct ExtentDescriptor {
    uint32_t start_block = 0;
    uint32_t block_count = 0;
    friend bool operator==(const ExtentDescriptor&, const ExtentDescriptor&) = default;
};

using ExtentRecord = std::array<ExtentDescriptor, 8>;

// An 80-byte fork record: logical size and the first eight extents.
struct ForkData {
    uint64_t logical_size = 0;
    uint32_t clump_size = 0;
    uint32_t total_blocks = 0;
    ExtentRecord extents{};
    friend bool operator==(const ForkData&, const ForkData&) = default;
};

// The 16-byte BSD permissions block of folder and file records.
struct BsdInfo {
    uint32_t owner_id = 0;
    uint32_t group_id = 0;
    uint8_t admin_flags = 0;
    uint8_t owner_flags = 0;
    uint16_t file_mode = 0;
    uint32_t special = 0;
};

struct VolumeHeader {
    uint16_t signature = 0;
    uint16_t version = 0;
    uint32_t attributes = 0;
    uint32_t last_mounted_version = 0;
    uint32_t journal_info_block = 0;
    uint32_t create_date = 0;
    uint32_t modify_date = 0;
    uint32_t backup_date = 0;
    uint32_t checked_date = 0;
    uint32_t file_count = 0;
    uint32_t folder_count = 0;
    uint32_t block_size = 0;
    uint32_t total_blocks = 0;
    uint32_t free_blocks = 0;
    uint32_t next_allocation = 0;
    uint32_t rsrc_clump_size = 0;
    uint32_t data_clump_size = 0;
    uint32_t next_catalog_id = 0;
    uint32_t write_count = 0;
    uint64_t encodings_bitmap = 0;
    std::array<uint32_t, 8> finder_info{};
    ForkData allocation_file;
    ForkData extents_file;
    ForkData catalog_file;
    ForkData attributes_file;
    ForkData startup_file;
    // True for an HFSX volume ("HX"): names are then ordered by binary comparison.
    bool is_hfsx = false;

    // Reads the header from byte 1024 of the partition image.  Checks the
    // signature, then the version (4 or 5); nothing else is validated.
    static Result<VolumeHeader> parse(core::ByteSource& source);
};

namespace volume {
// Reads one 80-byte fork record at the source's current position.
Result<ForkData> read_fork_data(core::ByteSource& source);
}  // namespace volume

}  // namespace hfsplus
