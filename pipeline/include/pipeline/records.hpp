// Filesystem-neutral records: what the pipeline hands out for HFS+ and APFS
// volumes alike.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "apfs/apfs.hpp"
#include "core/entry_kind.hpp"
#include "core/extract.hpp"
#include "hfsplus/hfsplus.hpp"
#include "pipeline/error.hpp"

namespace kiv {

enum class FsType : uint8_t { HfsPlus = 0, Apfs = 1 };
// The kind of hfsplus::EntryKind and apfs::EntryKind.
using FsEntryKind = core::EntryKind;

// "HfsPlus" or "Apfs".
std::string_view fs_type_name(FsType type);
std::ostream& operator<<(std::ostream& os, FsType type);

struct FsDirEntry {
    std::string name;
    uint64_t size = 0;
    FsEntryKind kind = FsEntryKind::File;
};

struct FsWalkEntry {
    std::string path;  // rooted at "/"
    std::string name;
    uint64_t size = 0;
    FsEntryKind kind = FsEntryKind::File;
};

struct FsFileStat {
    std::optional<uint64_t> resource_fork_size;  // HFS+, only when non-zero
    std::optional<uint32_t> nlink;               // APFS
    std::optional<uint32_t> data_fork_extents;   // HFS+
    uint64_t id = 0;
    uint64_t size = 0;
    int64_t create_time = 0;  // HFS+: raw seconds since 1904; APFS: as stored
    int64_t modify_time = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint16_t mode = 0;
    FsType fs_type;
    FsEntryKind kind;
};

struct FsVolumeInfo {
    std::optional<uint64_t> symlink_count;  // APFS
    std::optional<std::string> name;        // APFS
    std::optional<uint32_t> total_blocks;   // HFS+
    std::optional<uint32_t> free_blocks;    // HFS+
    uint64_t file_count = 0;
    uint64_t directory_count = 0;
    std::optional<uint16_t> version;  // HFS+
    uint32_t block_size = 0;
    FsType fs_type;
    std::optional<bool> is_hfsx;  // HFS+
};

using ExtractStats = core::ExtractStats;

FsDirEntry to_fs_dir_entry(const hfsplus::DirEntry& entry);
FsDirEntry to_fs_dir_entry(const apfs::DirEntry& entry);
FsWalkEntry to_fs_walk_entry(const hfsplus::WalkEntry& entry);
FsWalkEntry to_fs_walk_entry(const apfs::WalkEntry& entry);
FsFileStat to_fs_file_stat(const hfsplus::FileStat& stat);
FsFileStat to_fs_file_stat(const apfs::FileStat& stat);
FsVolumeInfo volume_info_of(const hfsplus::HfsVolume& volume);
FsVolumeInfo volume_info_of(const apfs::ApfsVolume& volume);

}  // namespace kiv
