// Catalog records (inodes, directory records, file extents, extended
// attributes) and the queries over them.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "apfs/error.hpp"
#include "apfs/records.hpp"
#include "btree.hpp"
#include "core/io.hpp"

namespace apfs {

inline constexpr uint8_t kRecordInode = 3;
inline constexpr uint8_t kRecordXattr = 4;
inline constexpr uint8_t kRecordFileExtent = 8;
inline constexpr uint8_t kRecordDirRecord = 9;

// The inode record's value, at least 92 bytes.
inline constexpr size_t kInodeMinSize = 92;

struct DrecVal {
    uint64_t file_id = 0;
    uint64_t date_added = 0;
    uint16_t flags = 0;

    static Result<DrecVal> parse(std::span<const uint8_t> value);
    EntryKind kind() const;
};

struct FileExtentVal {
    uint64_t len_and_flags = 0;
    uint64_t phys_block = 0;
    uint64_t crypto_id = 0;

    static Result<FileExtentVal> parse(std::span<const uint8_t> value);
};

struct FileExtentRecord {
    uint64_t logical_addr = 0;
    uint64_t len_and_flags = 0;
    uint64_t phys_block = 0;
    uint64_t crypto_id = 0;

    uint64_t length() const { return len_and_flags & 0x00FF'FFFF'FFFF'FFFFull; }
};

// An extended attribute's value: its bytes, held in the record, or the data
// stream that holds them (its extents are keyed by the stream's id).
struct XattrValue {
    struct Stream {
        uint64_t id = 0;
        uint64_t size = 0;
    };
    std::vector<uint8_t> embedded;
    std::optional<Stream> stream;
};

namespace catalog {

// Where the catalog lives: what every query needs.
struct Tree {
    uint64_t root_block = 0;  // catalog root node (physical)
    uint64_t omap_root = 0;   // volume object-map tree root
    uint32_t block_size = 0;
    uint64_t xid = 0;  // the checkpoint read: newer object-map records are not seen
};

std::strong_ordering compare_key_to(std::span<const uint8_t> key, uint64_t oid, uint8_t type);
KeyCompare catalog_key(uint64_t oid, uint8_t type);
// `name` includes its terminating NUL.
std::strong_ordering compare_xattr_key(std::span<const uint8_t> key, uint64_t oid, std::span<const uint8_t> name);

Result<InodeVal> parse_inode(std::span<const uint8_t> value);
Result<std::string> decode_drec_name(std::span<const uint8_t> key);
Result<XattrValue> parse_xattr(std::span<const uint8_t> value);
// The embedded bytes; a value in a data stream is Unsupported.
Result<std::vector<uint8_t>> parse_xattr_value(std::span<const uint8_t> value);
Result<uint64_t> parse_file_extent_logical_addr(std::span<const uint8_t> key);

Result<InodeVal> lookup_inode(core::ByteSource& source, const Tree& tree, uint64_t id);
Result<std::optional<XattrValue>> lookup_xattr_value(core::ByteSource& source, const Tree& tree, uint64_t id,
                                                    std::string_view name);
// The embedded bytes of an attribute (Unsupported for one in a data stream).
Result<std::optional<std::vector<uint8_t>>> lookup_xattr(core::ByteSource& source, const Tree& tree, uint64_t id,
                                                         std::string_view name);
// The target of a symlink (its "com.apple.fs.symlink" attribute without
// trailing NULs), or nullopt when the inode has none.
Result<std::optional<std::vector<uint8_t>>> symlink_target(core::ByteSource& source, const Tree& tree, uint64_t id);
Result<std::vector<FileExtentRecord>> lookup_extents(core::ByteSource& source, const Tree& tree, uint64_t stream_id);
// Entries in catalog order (by name hash).  Records that cannot be decoded
// are skipped; an entry whose inode is missing has size and times 0.  A
// symlink's size is the length of its target, as stat reports it.
Result<std::vector<DirEntry>> list_directory(core::ByteSource& source, const Tree& tree, uint64_t directory_id);
// The inode a path names, from the root directory.
Result<std::pair<uint64_t, InodeVal>> resolve_path(core::ByteSource& source, const Tree& tree, std::string_view path);

// The non-empty components of a '/'-separated path, in order.
std::vector<std::string_view> split_path(std::string_view path);

}  // namespace catalog
}  // namespace apfs
