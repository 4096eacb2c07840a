// The catalog B-tree: keys, records, lookup, directory listing, path resolution.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/entry_kind.hpp"
#include "core/io.hpp"
#include "hfsplus/btree.hpp"
#include "hfsplus/error.hpp"
#include "hfsplus/volume.hpp"

namespace hfsplus {

inline constexpr uint32_t kRootParentId = 1;  // parent of the root folder
inline constexpr uint32_t kRootFolderId = 2;

using EntryKind = core::EntryKind;

struct CatalogKey {
    uint32_t parent_id = 0;
    std::vector<uint16_t> name;  // UTF-16 units
};

struct CatalogFolder {
    uint32_t valence = 0;
    uint32_t folder_id = 0;
    uint32_t create_date = 0;
    uint32_t content_mod_date = 0;
    uint32_t attribute_mod_date = 0;
    uint32_t access_date = 0;
    uint32_t backup_date = 0;
    BsdInfo bsd;
    uint32_t text_encoding = 0;
};

struct CatalogFile {
    uint32_t file_id = 0;
    uint32_t create_date = 0;
    uint32_t content_mod_date = 0;
    uint32_t attribute_mod_date = 0;
    uint32_t access_date = 0;
    uint32_t backup_date = 0;
    BsdInfo bsd;
    uint32_t text_encoding = 0;
    ForkData data_fork;
    ForkData resource_fork;
    uint32_t file_type = 0;  // Finder info: type and creator codes
    uint32_t creator = 0;

    bool is_symlink() const { return (bsd.file_mode & 0xF000) == 0xA000; }
    // A hard link ("hlnk"/"hfs+"): its contents are those of the file
    // "iNode<N>" in the private data folder, N being the BSD special field.
    bool is_hard_link() const { return file_type == 0x686C6E6B && creator == 0x6866732B; }
};

struct CatalogThread {
    uint32_t parent_id = 0;
    std::string name;
};
struct CatalogFolderThread : CatalogThread {};
struct CatalogFileThread : CatalogThread {};

// Record types 1 to 4, in this order.
using CatalogRecord = std::variant<CatalogFolder, CatalogFile, CatalogFolderThread, CatalogFileThread>;

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

// The folder at the root that holds the files hard links point to.
inline constexpr std::string_view kPrivateDataFolder{"\0\0\0\0HFS+ Private Data", 21};

namespace catalog {

// The fork record and the BSD block read from `bytes` at `pos`, which advances by 80 or 16.
Result<ForkData> parse_fork_data(std::span<const uint8_t> bytes, size_t& pos);
Result<BsdInfo> parse_bsd_info(std::span<const uint8_t> bytes, size_t& pos);

struct ParsedKey {
    CatalogKey key;
    size_t data_offset = 0;  // where the record's data starts: after the key, even-aligned
};
Result<ParsedKey> parse_catalog_key(std::span<const uint8_t> record);
// The record from its data bytes (the part after the key).
Result<CatalogRecord> parse_catalog_record(std::span<const uint8_t> data);

Comparator make_catalog_comparator(uint32_t parent_id, std::vector<uint16_t> name, bool is_hfsx);

// The record stored under exactly (parent id, name), if any.
Result<std::optional<CatalogRecord>> lookup_catalog(core::ByteSource& source, const BTreeHeader& catalog,
                                                    bool is_hfsx, uint32_t parent_id, std::string_view name);

// The children of folder id `parent_id`, in catalog order.
Result<std::vector<DirEntry>> list_directory(core::ByteSource& source, const VolumeHeader& volume,
                                             const BTreeHeader& catalog, uint32_t parent_id);

struct ResolvedPath {
    CatalogRecord record;
    std::string name;  // the last component as given, or the volume name for the root
};
// A name as listings show it: a "/" inside a catalog name becomes ":", as macOS shows it.
std::string present_name(std::span<const uint16_t> units);

// The record a slash-separated path names; "" and "/" name the root folder.
// A component that is not found is looked up again with ":" read as "/",
// and in canonically decomposed form (as HFS+ stores names).
Result<ResolvedPath> resolve_path(core::ByteSource& source, const VolumeHeader& volume,
                                  const BTreeHeader& catalog, std::string_view path);

}  // namespace catalog
}  // namespace hfsplus
