// Helpers shared by the APFS tests, and a writer of small APFS containers.
#pragma once

#include <array>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apfs/apfs.hpp"
#include "btree.hpp"
#include "catalog.hpp"
#include "extents.hpp"
#include "fletcher.hpp"
#include "omap.hpp"
#include "superblock.hpp"
#include "testing/testing.hpp"

namespace apfs_test {

using Bytes = std::vector<uint8_t>;
using Records = std::vector<std::pair<Bytes, Bytes>>;

inline constexpr const char* kShortRead = "I/O error: failed to fill whole buffer";

// Consecutive little-endian fields (the hosts the tests run on are
// little-endian): store() writes them at `p`, pack() makes them.
template <class... T>
void store(uint8_t* p, T... xs) {
    ((std::memcpy(p, &xs, sizeof xs), p += sizeof xs), ...);
}
template <class... T>
Bytes pack(T... xs) {
    Bytes v((sizeof xs + ... + 0));
    store(v.data(), xs...);
    return v;
}

inline auto memory(Bytes bytes) { return std::make_unique<core::MemorySource>(std::move(bytes)); }
inline Bytes bytes_of(std::string_view s) { return {s.begin(), s.end()}; }
Bytes concat(std::initializer_list<Bytes> parts);
apfs::ApfsVolume open_volume(Bytes bytes);                   // throws when it fails
apfs::ApfsVolume open_file(const std::filesystem::path& path);  // likewise

// "ok", or the display text of the error (the text also names the kind).
template <class R>
std::string outcome(const R& r) {
    return r ? "ok" : r.error().message();
}
// Rows of {what, outcome, expected outcome}.
inline void expect_cases(const std::vector<std::array<std::string, 3>>& cases) {
    for (const auto& [what, got, expected] : cases) EXPECT_EQ(got, expected) << what;
}

// Extracts `image` with 7-Zip and checks that the volume's walk names the
// same tree, with the same kinds, sizes, contents and link targets.
void expect_same_as_7zip(apfs::ApfsVolume& volume, const std::filesystem::path& image);
std::string run_ok(const std::string& cmd);  // `cmd` must succeed

// A B-tree node block (flags 1 root, 2 leaf, 4 fixed-size): table of
// contents, keys from the start of the key area, values back from the end,
// before the 40 bytes of tree information of a root (left zero here).
Bytes make_node(uint16_t flags, const Records& records, size_t size = 4096);
// A sealed container superblock (version 2) of one volume (oid 1026) whose
// checkpoint area, when it has one, starts at block 1.
Bytes nxsb(uint64_t xid, uint64_t omap, uint32_t checkpoint_blocks = 0, uint32_t block_size = 4096,
           uint64_t blocks = 0);

// Builds a container in memory: a catalog of directories, files, symlinks
// and raw records, its object maps and the volume and container
// superblocks.  A limit on records per node gives small catalogs index nodes.
class ContainerBuilder {
public:
    static constexpr uint64_t kRoot = 2;

    explicit ContainerBuilder(uint32_t block_size = 4096, size_t records_per_node = 0)
        : block_size_(block_size), per_node_(records_per_node) {}

    uint64_t add_dir(uint64_t parent, const std::string& name) { return add(parent, name, 040755); }
    // A file stored in extents of `extent_size` bytes (a multiple of the
    // block size) and a last one of the rest; in one extent when 0.
    uint64_t add_file(uint64_t parent, const std::string& name, Bytes data, size_t extent_size = 0) {
        const uint64_t id = add(parent, name, 0100644, data.size());
        inodes_.back().data = std::move(data), inodes_.back().extent_size = extent_size;
        return id;
    }
    uint64_t add_symlink(uint64_t parent, const std::string& name, const std::string& target) {
        const uint64_t id = add(parent, name, 0120755);
        inodes_.back().xattrs.emplace_back("com.apple.fs.symlink", bytes_of(target + '\0'));
        return id;
    }
    // A file stored with transparent compression: its flag, its uncompressed
    // size and the attributes "com.apple.decmpfs" and, when not empty,
    // "com.apple.ResourceFork" (values larger than a record holds go to data
    // streams, as macOS stores them).
    uint64_t add_compressed(uint64_t parent, const std::string& name, uint64_t size, Bytes decmpfs,
                            Bytes resource_fork = {});
    // Any catalog record (a directory record may name an id without inode).
    void add_record(Bytes key, Bytes value) { extra_.emplace_back(std::move(key), std::move(value)); }
    void add_drec(uint64_t parent, const std::string& name, uint64_t id, uint16_t type) {
        add_record(drec_key(parent, name), drec_value(id, type));
    }
    Bytes build();

    static Bytes drec_key(uint64_t parent, const std::string& name);  // the name hash left 0
    static Bytes drec_value(uint64_t id, uint16_t type);
    static void seal(uint8_t* block, size_t size);  // writes the object checksum

private:
    struct Inode {
        uint64_t id, parent;
        uint16_t mode;
        uint64_t size;
        Bytes data = {};
        size_t extent_size = 0;
        uint32_t children = 0;
        uint32_t bsd_flags = 0;
        std::vector<std::pair<std::string, Bytes>> xattrs = {};
    };
    uint64_t add(uint64_t parent, const std::string& name, uint16_t mode, uint64_t size = 0);

    uint32_t block_size_;
    size_t per_node_;
    std::vector<Inode> inodes_{{kRoot, 1, 040755, 0}};
    Records extra_;
    uint64_t next_id_ = 16;
};

}  // namespace apfs_test
