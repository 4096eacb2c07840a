// Read-only HFS+ and HFSX volumes in a raw partition image.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/io.hpp"
#include "hfsplus/error.hpp"
#include "hfsplus/records.hpp"

namespace hfsplus {

struct WalkEntry {
    std::string path;  // rooted at "/", e.g. "/a/b"
    DirEntry entry;
};

struct FileStat {
    uint64_t size = 0;                // content size (see HfsVolume); 0 for a folder
    uint64_t resource_fork_size = 0;  // 0 for a folder
    uint32_t id = 0;
    uint32_t create_time = 0;  // seconds since 1904, as stored
    uint32_t modify_time = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint16_t mode = 0;
    uint32_t data_fork_extents = 0;  // inline data-fork extents with a non-zero block count
    EntryKind kind = EntryKind::File;  // File or Directory: a symbolic link stats as File
};

// A file's contents are what macOS shows: a hard link reads, stats and lists
// as the file it points to, and a compressed file ("com.apple.decmpfs") as
// its uncompressed bytes.  Listings and walks keep the stored size of a file
// whose link target or compression header cannot be read; stat and reads
// report the error.
class HfsVolume {
public:
    // Reads the volume header and the catalog and extents B-tree headers; the
    // attributes tree is read when an attribute is first needed.
    static Result<HfsVolume> open(std::unique_ptr<core::ByteSource> source);
    HfsVolume(HfsVolume&&) noexcept;
    HfsVolume& operator=(HfsVolume&&) noexcept;
    ~HfsVolume();

    Result<std::vector<DirEntry>> list_directory(std::string_view path);
    // Every entry of the volume, pre-order, each folder's children in catalog order.
    Result<std::vector<WalkEntry>> walk();
    Result<FileStat> stat(std::string_view path);
    // Whether the path resolves (the root included); only file-not-found means no.
    Result<bool> exists(std::string_view path);
    // The catalog record the path names, as stored (a hard link is not followed).
    Result<CatalogFile> resolve_path_to_file(std::string_view path);
    // The whole contents; fails when they cannot all be produced.
    Result<std::vector<uint8_t>> read_file(std::string_view path);
    // Streams the contents into `dest` and returns the count: short when the
    // data fork's extent chain ends early, while a compressed file is either
    // complete or an error.
    Result<uint64_t> read_file_to(std::string_view path, core::ByteSink& dest);

    const VolumeHeader& header() const { return header_; }

private:
    // Where a file's contents come from: the record holding its forks (the
    // link target for a hard link) and, for a compressed file, the decmpfs value.
    struct Content {
        CatalogFile file;
        std::vector<uint8_t> decmpfs;  // empty: the data fork as it is
        bool in_resource_fork = false;  // the compressed data is in the resource fork
        uint64_t size = 0;
    };

    // The catalog, extents and attributes B-trees.
    struct Trees;

    HfsVolume(std::unique_ptr<core::ByteSource> source, VolumeHeader header, std::unique_ptr<Trees> trees);

    // The file a hard link points to (iNode<inode> in the private data folder).
    Result<CatalogFile> link_target(uint32_t inode, std::string_view path);
    // The "com.apple.decmpfs" value of a file flagged compressed, if it has one.
    Result<std::optional<std::vector<uint8_t>>> decmpfs_value(uint32_t file_id, uint8_t owner_flags);
    Result<Content> content_of(const CatalogFile& record, std::string_view path);
    // The listing size of a file entry: of its contents, else as stored.
    uint64_t listed_size(const DirEntry& entry, std::string_view path);
    Result<std::vector<DirEntry>> list_folder(uint32_t folder_id, std::string_view prefix);
    Result<void> walk_recursive(uint32_t folder_id, const std::string& prefix, std::vector<WalkEntry>& out);
    Result<uint64_t> copy_content(const Content& content, std::string_view path, core::ByteSink& dest);

    std::unique_ptr<core::ByteSource> source_;
    VolumeHeader header_;
    std::unique_ptr<Trees> trees_;
};

}  // namespace hfsplus
