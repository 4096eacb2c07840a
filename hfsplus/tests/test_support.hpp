// Shared helpers of the HFS+ tests: a small volume writer for structures no
// tool makes, and the comparison of a volume with 7-Zip's extraction of it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "decmpfs_writer.hpp"
#include "hfsplus/hfsplus.hpp"

namespace hfs_test {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// Open or throw (failing the test).
hfsplus::HfsVolume open_memory(Bytes bytes);
hfsplus::HfsVolume open_file(const fs::path& path);

// The whole contents of `path`, or nothing after failing the test.
Bytes read(hfsplus::HfsVolume& volume, std::string_view path);

// The display text of a failed result, "ok" for a success.
template <class T>
std::string error_text(const hfsplus::Result<T>& r) {
    return r ? "ok" : r.error().message();
}

// A B-tree node holding `records`, with its offset table.
Bytes make_node(int8_t kind, uint8_t height, const std::vector<Bytes>& records, uint16_t node_size);
// Catalog record data.
Bytes folder_record(uint32_t id);
Bytes thread_record(uint16_t type, uint32_t parent, const std::u16string& name);

// Writes an HFS+ (or HFSX) volume of 4096-byte blocks: file data from the
// start, the catalog and the extents overflow tree at the end.  Files (mode
// 0100644) and folders (040755) have owner 501, group 20, and dates
// 0xC0000000 + 10 * id + k (k = 0 created, 1 modified, ...).
class VolumeBuilder {
public:
    explicit VolumeBuilder(bool hfsx = false, uint16_t node_size = 4096);

    uint32_t add_folder(uint32_t parent, const std::u16string& name);
    // The data fork is split over `fragments` extents, a free block apart;
    // `declared_size` replaces the data's size as its logical size.
    uint32_t add_file(uint32_t parent, const std::u16string& name, const Bytes& data, unsigned fragments = 1,
                      std::optional<uint64_t> declared_size = {});
    // A file compressed as macOS does it: the compressed flag, the
    // "com.apple.decmpfs" attribute and the resource fork, split over
    // `fragments` extents (beyond eight in resource-fork overflow records).
    uint32_t add_compressed(uint32_t parent, const std::u16string& name, const codec_testing::DecmpfsFile& file,
                            unsigned fragments = 1);
    // A file in the private data folder, named "iNode<its id>", and a hard link
    // to it at each (parent, name); returns the file's id.
    uint32_t add_hard_links(const Bytes& data, const std::vector<std::pair<uint32_t, std::u16string>>& links);
    // A file record with the given forks; a hard link has `special` as its iNode number.
    uint32_t add_file_record(uint32_t parent, const std::u16string& name, const hfsplus::ForkData& data,
                             const hfsplus::ForkData& rsrc, uint8_t owner_flags = 0, uint32_t special = 0,
                             bool hard_link = false);
    // A catalog record with any data under (parent, name).
    void add_record(uint32_t parent, const std::u16string& name, Bytes data) {
        records_.push_back({parent, name, std::move(data)});
    }
    Bytes build();

    // The root folder's name.
    std::u16string volume_name = u"Test";
    // How many extents the catalog and attributes files are split over, a free
    // block apart (beyond eight in overflow records keyed by file ids 4 and 8).
    unsigned catalog_fragments = 1, attributes_fragments = 1;
    // Extents overflow records by (file id, fork type, start block); add_file fills in data-fork ones.
    std::map<std::tuple<uint32_t, uint8_t, uint32_t>, hfsplus::ExtentRecord> extent_records;
    // Set by build(): where the catalog and the attributes and extents trees
    // start (their first extent), the catalog's root and its last leaf node.
    uint64_t catalog_offset = 0, attributes_offset = 0, extents_offset = 0;
    uint32_t catalog_root = 0, last_leaf = 0;

private:
    struct Record {
        uint32_t parent;
        std::u16string name;
        Bytes data;
    };
    // Places `data` in fresh blocks as `fragments` extents, a free block apart.
    hfsplus::ForkData place_fork(uint32_t id, uint8_t fork_type, const Bytes& data, unsigned fragments);
    bool hfsx_;
    uint16_t node_size_;
    uint32_t next_id_ = 16, next_block_ = 1, files_ = 0, folders_ = 0;
    std::vector<Record> records_, attributes_;
    uint32_t private_folder_ = 0;
    Bytes image_;
};

// Walks, stats and reads the whole volume and compares it with what 7-Zip
// extracts from `volume_file`, which must hold at least `min_files` files.
void expect_matches_seven_zip(hfsplus::HfsVolume& volume, const fs::path& volume_file, size_t min_files);
// Likewise against the tree at `top` (7-Zip's spellings of ":" and of hard
// links, and its re-rooted absolute link targets, are accepted).
void expect_matches_tree(hfsplus::HfsVolume& volume, const fs::path& top, size_t min_files);

}  // namespace hfs_test
