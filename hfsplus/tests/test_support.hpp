// Shared helpers of the HFS+ tests: a small volume writer for structures no
// tool makes, real volumes pulled out of images, and 7-Zip's view of a volume.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/io.hpp"
#include "hfsplus/hfsplus.hpp"

namespace hfs_test {

namespace fs = std::filesystem;

std::unique_ptr<core::ByteSource> memory_source(std::vector<uint8_t> bytes);
// Opens over memory, failing the test on error.
hfsplus::HfsVolume open_memory(std::vector<uint8_t> bytes);
hfsplus::HfsVolume open_file(const fs::path& path);

std::string to_utf8(const std::u16string& s);

// ------------------------------------------------------------ volume writer

struct FileOptions {
    uint16_t mode = 0100644;
    unsigned fragments = 1;                     // data fork split over this many extents
    std::optional<uint64_t> declared_size;      // logical size written instead of the data's
    unsigned overflow_records_written = ~0u;    // drop overflow records after this many
    uint64_t resource_fork_size = 0;            // declared only, no blocks

    static FileOptions fragmented(unsigned n) {
        FileOptions o;
        o.fragments = n;
        return o;
    }
};

struct ExtentRecordSpec {
    uint32_t file_id;
    uint8_t fork_type;
    uint32_t start_block;
    hfsplus::ExtentRecord extents;
};

struct Layout {
    uint64_t catalog_offset = 0;  // byte offset of the catalog file
    uint64_t extents_offset = 0;
    uint32_t catalog_nodes = 0;   // header node included
    uint32_t catalog_root = 0;
    uint32_t first_leaf = 1;
    uint32_t last_leaf = 1;
};

class VolumeBuilder {
public:
    explicit VolumeBuilder(bool hfsx = false, uint32_t block_size = 4096, uint16_t node_size = 4096);

    uint32_t add_folder(uint32_t parent, const std::u16string& name);
    uint32_t add_file(uint32_t parent, const std::u16string& name, std::vector<uint8_t> data,
                      const FileOptions& options = {});
    uint32_t add_symlink(uint32_t parent, const std::u16string& name, const std::string& target);
    void add_extent_record(const ExtentRecordSpec& record) { raw_extent_records_.push_back(record); }
    // A catalog record with any data, e.g. a thread record under a name.
    void add_raw_record(uint32_t parent, const std::u16string& name, std::vector<uint8_t> data) {
        records_.push_back({parent, name, std::move(data)});
    }

    std::vector<uint8_t> build();
    const Layout& layout() const { return layout_; }

private:
    struct Record {
        uint32_t parent;
        std::u16string name;
        std::vector<uint8_t> data;
    };
    struct PendingFile {
        uint32_t id;
        std::vector<uint8_t> data;
        FileOptions options;
        size_t record;  // index into records_
    };

    bool hfsx_;
    uint32_t block_size_;
    uint16_t node_size_;
    uint32_t next_id_ = 16;
    uint32_t folders_ = 0;
    std::vector<Record> records_;
    std::vector<PendingFile> files_;
    std::vector<ExtentRecordSpec> raw_extent_records_;
    Layout layout_;
};

// Catalog record data: a folder record, and a thread record (type 3 or 4).
std::vector<uint8_t> folder_record_data(uint32_t id);
std::vector<uint8_t> thread_record_data(uint16_t type, uint32_t parent, const std::u16string& name);

// A B-tree node with the given records and a correct offset table.
std::vector<uint8_t> make_node(int8_t kind, uint8_t height, const std::vector<std::vector<uint8_t>>& records,
                               uint16_t node_size, uint32_t forward = 0, uint32_t backward = 0);

// ------------------------------------------------------------ real volumes

// The "*.hfs" partition of a disk image, decoded by 7-Zip; empty when absent.
std::vector<uint8_t> hfs_partition_of_dmg(const fs::path& image);
// The Apple_HFS partition of an ISO made by xorriso: its bytes to the end of the image.
std::optional<std::vector<uint8_t>> apple_hfs_partition(const std::vector<uint8_t>& iso);

// What 7-Zip extracts from a volume, keyed by path below the volume folder ("a/b").
struct SevenZipEntry {
    enum Kind { File, Directory, Symlink } kind;
    std::vector<uint8_t> data;  // file contents or link target
};
std::map<std::string, SevenZipEntry> seven_zip_tree(const fs::path& volume);

// Walks, lists, stats and reads the whole volume and compares it with 7-Zip's
// extraction of the same volume file.  Returns the number of files compared.
size_t expect_matches_seven_zip(hfsplus::HfsVolume& volume, const fs::path& volume_file);

}  // namespace hfs_test
