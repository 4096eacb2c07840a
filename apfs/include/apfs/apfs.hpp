// Read-only access to the first volume of an APFS container.
//
//   auto volume = apfs::ApfsVolume::open(std::make_unique<core::MemorySource>(bytes));
//   for (auto& e : *volume->walk()) ...
//
// The volume is read as its newest valid checkpoint left it (the live
// tree); snapshots are not offered.  Files stored with macOS transparent
// compression read uncompressed.  Encrypted volumes are refused as
// Unsupported ("encrypted volume"); names are not normalised.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "apfs/error.hpp"
#include "apfs/records.hpp"
#include "core/io.hpp"

namespace apfs {

namespace catalog {
struct Tree;
}

struct FileStat {
    uint64_t id = 0;
    uint64_t size = 0;
    uint64_t create_time = 0;
    uint64_t mod_time = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t nlink = 0;  // child count for a directory
    uint16_t mode = 0;
    EntryKind kind = EntryKind::File;
};

struct WalkEntry {
    std::string path;  // rooted at "/"
    DirEntry entry;
};

class ApfsVolume {
public:
    // A walk refuses directories nested deeper than this (macOS paths are at
    // most 1024 bytes, so real volumes stay far below).
    static constexpr size_t kMaxWalkDepth = 1024;
    // read_file refuses files larger than this, and plain files larger than
    // the container (their excess can only be holes); read_file_to streams
    // any size, leaving holes as holes on file sinks.
    static constexpr uint64_t kMaxInMemoryFile = uint64_t(1) << 32;

    // Opens the first volume of the container; the volume owns the source.
    static Result<ApfsVolume> open(std::unique_ptr<core::ByteSource> source);

    Result<std::vector<DirEntry>> list_directory(std::string_view path);
    Result<FileStat> stat(std::string_view path);
    // Whether the path resolves (the root included); only file-not-found means no.
    Result<bool> exists(std::string_view path);
    // Every entry below the root, each directory before its contents.
    Result<std::vector<WalkEntry>> walk();
    // The target of symlink inode `id`, or nullopt when it has none.
    Result<std::optional<std::vector<uint8_t>>> symlink_target(uint64_t id);
    Result<std::vector<uint8_t>> read_file(std::string_view path);
    // Writes the file to `writer` (not flushed); returns the bytes written.
    Result<uint64_t> read_file_to(std::string_view path, core::ByteSink& writer);
    // The value of extended attribute `name` of the file at `path`, held in
    // its record or in a data stream (as resource forks are), or nullopt.
    Result<std::optional<std::vector<uint8_t>>> read_xattr(std::string_view path, std::string_view name);
    Result<std::pair<uint64_t, InodeVal>> resolve_path(std::string_view path);

    const std::string& volume_name() const { return name_; }
    uint64_t file_count() const { return file_count_; }
    uint64_t directory_count() const { return directory_count_; }
    uint64_t symlink_count() const { return symlink_count_; }
    uint32_t block_size() const { return block_size_; }

private:
    ApfsVolume() = default;
    // Where the catalog lives, for the queries.
    catalog::Tree tree() const;
    Result<void> walk_recursive(uint64_t directory_id, const std::string& prefix, std::vector<WalkEntry>& out,
                                std::unordered_set<uint64_t>& walked, size_t depth);
    // What read_file and read_file_to produce for a regular file.
    struct FileData {
        std::optional<std::vector<uint8_t>> decmpfs;  // the attribute of a compressed file
        uint64_t size = 0;                            // bytes to produce
    };
    Result<FileData> file_data(uint64_t id, const InodeVal& inode, std::string_view path);
    Result<uint64_t> write_file(const InodeVal& inode, uint64_t id, const FileData& data, std::string_view path,
                                core::ByteSink& writer);

    std::unique_ptr<core::ByteSource> source_;
    std::string name_;
    uint64_t file_count_ = 0;
    uint64_t directory_count_ = 0;
    uint64_t symlink_count_ = 0;
    uint64_t catalog_root_ = 0;  // the catalog's root node (physical block)
    uint64_t omap_root_ = 0;     // the volume object map's root
    uint32_t block_size_ = 0;
    uint64_t xid_ = 0;  // the checkpoint read
};

}  // namespace apfs
