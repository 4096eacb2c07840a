// Read-only HFS+ and HFSX volumes in a raw partition image.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/io.hpp"
#include "hfsplus/btree.hpp"
#include "hfsplus/catalog.hpp"
#include "hfsplus/error.hpp"
#include "hfsplus/extents.hpp"
#include "hfsplus/unicode.hpp"
#include "hfsplus/volume.hpp"

namespace hfsplus {

struct WalkEntry {
    std::string path;  // rooted at "/", e.g. "/a/b"
    DirEntry entry;
};

struct FileStat {
    uint64_t size = 0;                // data fork logical size; 0 for a folder
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

class HfsVolume {
public:
    // Reads the volume header and the catalog and extents B-tree headers.
    static Result<HfsVolume> open(std::unique_ptr<core::ByteSource> source);

    Result<std::vector<DirEntry>> list_directory(std::string_view path);
    // Every entry of the volume, pre-order, each folder's children in catalog order.
    Result<std::vector<WalkEntry>> walk();
    // Appends the entries below folder `folder_id` to `out`, paths under `prefix`.
    Result<void> walk_recursive(uint32_t folder_id, const std::string& prefix, std::vector<WalkEntry>& out);
    Result<FileStat> stat(std::string_view path);
    Result<CatalogFile> resolve_path_to_file(std::string_view path);
    // The whole data fork; fails when the extent chain ends before its logical size.
    Result<std::vector<uint8_t>> read_file(std::string_view path);
    // Streams the data fork into `dest` and returns the count (short when the chain ends early).
    Result<uint64_t> read_file_to(std::string_view path, core::ByteSink& dest);
    Result<uint64_t> read_file_to(std::string_view path, core::File& dest);

    core::ByteSource& source() { return *source_; }
    const VolumeHeader& header() const { return header_; }
    const BTreeHeader& catalog_tree() const { return catalog_; }
    const BTreeHeader& extents_tree() const { return extents_; }

private:
    HfsVolume(std::unique_ptr<core::ByteSource> source, VolumeHeader header, BTreeHeader catalog,
              BTreeHeader extents)
        : source_(std::move(source)), header_(header), catalog_(catalog), extents_(extents) {}

    std::unique_ptr<core::ByteSource> source_;
    VolumeHeader header_;
    BTreeHeader catalog_;
    BTreeHeader extents_;
};

}  // namespace hfsplus
