// Container ("NXSB") and volume ("APSB") superblocks and checkpoint choice.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "apfs/error.hpp"
#include "catalog.hpp"
#include "core/io.hpp"
#include "object.hpp"

namespace apfs {

inline constexpr uint32_t kNxMagic = 0x4253584E;    // "NXSB"
inline constexpr uint32_t kApfsMagic = 0x42535041;  // "APSB"
inline constexpr uint32_t kMaxVolumeIds = 100;
// Container block sizes are powers of two in this range.
inline constexpr uint32_t kMinBlockSize = 4096;
inline constexpr uint32_t kMaxBlockSize = 65536;

inline bool valid_block_size(uint32_t size) {
    return size >= kMinBlockSize && size <= kMaxBlockSize && (size & (size - 1)) == 0;
}

struct NxSuperblock {
    ObjectHeader header;
    uint32_t magic = 0;
    uint32_t block_size = 0;
    uint64_t block_count = 0;
    uint64_t features = 0;
    uint64_t readonly_compatible_features = 0;
    uint64_t incompatible_features = 0;
    std::array<uint8_t, 16> uuid{};
    uint64_t next_oid = 0;
    uint64_t next_xid = 0;
    uint32_t xp_desc_blocks = 0;  // checkpoint descriptor block count
    uint32_t xp_data_blocks = 0;
    uint64_t xp_desc_base = 0;  // checkpoint descriptor area base block
    uint64_t xp_data_base = 0;
    uint32_t xp_desc_next = 0;
    uint32_t xp_data_next = 0;
    uint32_t xp_desc_index = 0;
    uint32_t xp_desc_len = 0;
    uint32_t xp_data_index = 0;
    uint32_t xp_data_len = 0;
    uint64_t spaceman_oid = 0;
    uint64_t omap_oid = 0;  // container object-map object (physical block)
    uint64_t reaper_oid = 0;
    uint32_t max_file_systems = 0;
    std::vector<uint64_t> fs_oids;  // min(max_file_systems, 100) ids, zeros included
    uint64_t flags = 0;             // at 1264; 0 when the bytes end before it

    static constexpr uint64_t kCryptoSoftware = 0x4;  // volumes are encrypted in software

    static Result<NxSuperblock> parse(std::span<const uint8_t> bytes);
};

struct ApfsSuperblock {
    ObjectHeader header;
    uint32_t magic = 0;
    uint32_t fs_index = 0;
    uint64_t features = 0;
    uint64_t readonly_compatible_features = 0;
    uint64_t incompatible_features = 0;
    uint64_t unmount_time = 0;
    uint64_t reserve_block_count = 0;
    uint64_t quota_block_count = 0;
    uint64_t alloc_count = 0;
    uint32_t root_tree_type = 0;
    uint32_t extentref_tree_type = 0;
    uint32_t snap_meta_tree_type = 0;
    uint64_t omap_oid = 0;       // volume object-map object (physical block)
    uint64_t root_tree_oid = 0;  // catalog tree (virtual)
    uint64_t extentref_tree_oid = 0;
    uint64_t snap_meta_tree_oid = 0;
    uint64_t revert_to_xid = 0;
    uint64_t revert_to_sblock_oid = 0;
    uint64_t next_obj_id = 0;
    uint64_t num_files = 0;
    uint64_t num_directories = 0;
    uint64_t num_symlinks = 0;
    uint64_t num_other_fsobjects = 0;
    uint64_t num_snapshots = 0;
    uint64_t total_blocks_alloced = 0;
    uint64_t total_blocks_freed = 0;
    std::array<uint8_t, 16> uuid{};
    uint64_t last_mod_time = 0;
    uint64_t fs_flags = 0;
    std::string volume_name;

    static constexpr uint64_t kUnencrypted = 0x1;  // fs_flags: the volume is stored in the clear

    static constexpr size_t kMinSize = 960;
    static Result<ApfsSuperblock> parse(std::span<const uint8_t> bytes);
};

namespace superblock {

// The container superblock at block 0, its checksum and block size verified.
Result<NxSuperblock> read_nxsb(core::ByteSource& source);
// The newest valid container superblock of the checkpoint descriptor area,
// or block 0's own when none is newer.  Bad or unreadable blocks, and
// superblocks with a block size outside the format's range, are skipped.
Result<NxSuperblock> find_latest_nxsb(core::ByteSource& source, const NxSuperblock& block0);

// The first volume of the newest checkpoint: its superblock and where its catalog lives.
struct FirstVolume {
    ApfsSuperblock superblock;
    catalog::Tree catalog;
};
Result<FirstVolume> open_first_volume(core::ByteSource& source);

}  // namespace superblock
}  // namespace apfs
