// The values an HFS+ volume hands out: its header, fork records, catalog
// file and folder records, and directory entries.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/entry_kind.hpp"

namespace hfsplus {

inline constexpr uint16_t kSignatureHfsPlus = 0x482B;  // "H+"
inline constexpr uint16_t kSignatureHfsx = 0x4858;     // "HX"

inline constexpr uint32_t kRootParentId = 1;  // parent of the root folder
inline constexpr uint32_t kRootFolderId = 2;

// The folder at the root that holds the files hard links point to.
inline constexpr std::string_view kPrivateDataFolder{"\0\0\0\0HFS+ Private Data", 21};

using EntryKind = core::EntryKind;

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

// The volume header at byte 1024 of the partition image.
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
};

// What folder and file records both hold, at the same offsets.
struct CatalogDates {
    uint32_t create_date = 0;
    uint32_t content_mod_date = 0;
    uint32_t attribute_mod_date = 0;
    uint32_t access_date = 0;
    uint32_t backup_date = 0;
    BsdInfo bsd;
    uint32_t text_encoding = 0;
};

struct CatalogFolder : CatalogDates {
    uint32_t valence = 0;
    uint32_t folder_id = 0;
};

struct CatalogFile : CatalogDates {
    uint32_t file_id = 0;
    ForkData data_fork;
    ForkData resource_fork;
    uint32_t file_type = 0;  // Finder info: type and creator codes
    uint32_t creator = 0;

    bool is_symlink() const { return (bsd.file_mode & 0xF000) == 0xA000; }
    // A hard link ("hlnk"/"hfs+"): its contents are those of the file
    // "iNode<N>" in the private data folder, N being the BSD special field.
    bool is_hard_link() const { return file_type == 0x686C6E6B && creator == 0x6866732B; }
};

struct DirEntry {
    std::string name;
    uint64_t size = 0;  // data fork logical size; 0 for a folder
    uint32_t id = 0;    // folder id or file id
    uint32_t create_time = 0;
    uint32_t modify_time = 0;
    EntryKind kind = EntryKind::File;
    // Files only: the BSD owner flags, and the iNode number of a hard link (0 for other files).
    uint8_t owner_flags = 0;
    uint32_t hard_link_inode = 0;
};

}  // namespace hfsplus
