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
// little-endian): store() writes them at `p`, put() appends them, pack() makes them.
template <class... T>
void store(uint8_t* p, T... xs) {
    ((std::memcpy(p, &xs, sizeof xs), p += sizeof xs), ...);
}
template <class... T>
Bytes& put(Bytes& v, T... xs) {
    const size_t n = (sizeof xs + ... + 0);
    v.resize(v.size() + n);
    store(&v[v.size() - n], xs...);
    return v;
}
template <class... T>
Bytes pack(T... xs) {
    Bytes v;
    return put(v, xs...);
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

// Builds a container in memory: a catalog of directories, files (extents
// with gaps between them are holes), symlinks and raw records, its object
// maps and the volume and container superblocks.  A limit on records per
// node gives small catalogs index nodes.  The container's checkpoint is
// transaction kXid; commit() keeps the catalog as it stands as the tree of
// another transaction (a snapshot's, or one after the checkpoint), whose
// nodes the volume object map holds beside the live tree's under the same ids.
class ContainerBuilder {
public:
    static constexpr uint64_t kRoot = 2;
    static constexpr uint64_t kXid = 7;
    struct Extent {
        uint64_t logical;
        Bytes bytes;        // stored in blocks of their own
        uint64_t hole = 0;  // else a sparse extent (physical block 0) this long
    };
    struct Layout {  // physical blocks of the live tree
        uint64_t container_omap_root = 0, volume_superblock = 0, catalog_root = 0;
        std::vector<uint64_t> catalog_nodes, volume_omap_nodes;  // root last
    };

    explicit ContainerBuilder(uint32_t block_size = 4096, size_t records_per_node = 0)
        : block_size_(block_size), per_node_(records_per_node) {}

    uint64_t add_dir(uint64_t parent, const std::string& name) { return add(parent, name, 040755); }
    // A file stored in extents of `extent_size` bytes (a multiple of the
    // block size) and a last one of the rest; in one extent when 0.
    uint64_t add_file(uint64_t parent, const std::string& name, Bytes data, size_t extent_size = 0) {
        const uint64_t id = add(parent, name, 0100644, data.size());
        set_data(id, std::move(data), extent_size);
        return id;
    }
    uint64_t add_file(uint64_t parent, const std::string& name, uint64_t size, std::vector<Extent> extents) {
        const uint64_t id = add(parent, name, 0100644, size);
        inodes_.back().extents = std::move(extents);
        return id;
    }
    // Gives file `id` new contents (stored in new blocks).
    void set_data(uint64_t id, Bytes data, size_t extent_size = 0);
    // A symlink; an empty target leaves the target attribute out.
    uint64_t add_symlink(uint64_t parent, const std::string& name, const std::string& target) {
        const uint64_t id = add(parent, name, 0120755);
        if (!target.empty()) inodes_.back().xattrs.emplace_back("com.apple.fs.symlink", bytes_of(target + '\0'));
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
    // Keeps the catalog as it stands now as the tree of transaction `xid`.
    void commit(uint64_t xid) { versions_.push_back({xid, inodes_, extra_}); }

    // Encryption marks: the flags of the object-map values of the catalog's
    // root and of its other nodes (4: encrypted); whether the volume
    // superblock carries the unencrypted flag; the container superblock's
    // flags (at 1264; 4: software encryption).
    uint32_t root_flags = 0, child_flags = 0;
    bool unencrypted_flag = true;
    uint64_t container_flags = 0;

    Bytes build();
    const Layout& layout() const { return layout_; }

    static Bytes key_header(uint64_t oid, uint8_t type);
    static Bytes drec_key(uint64_t parent, const std::string& name);  // the name hash left 0
    static Bytes drec_value(uint64_t id, uint16_t type);
    static Bytes xattr_key(uint64_t oid, const std::string& name);
    static void seal(uint8_t* block, size_t size);  // writes the object checksum

    // What the builder keeps of each inode.
    struct Inode {
        uint64_t id, parent;
        uint16_t mode;
        uint64_t size;
        std::vector<Extent> extents = {};
        uint32_t children = 0;
        uint32_t bsd_flags = 0;
        std::vector<std::pair<std::string, Bytes>> xattrs = {};
    };
    struct Version {
        uint64_t xid;
        std::vector<Inode> inodes;
        Records extra;
    };

private:
    uint64_t add(uint64_t parent, const std::string& name, uint16_t mode, uint64_t size = 0);

    uint32_t block_size_;
    size_t per_node_;
    std::vector<Inode> inodes_{{kRoot, 1, 040755, 0}};
    Records extra_;
    std::vector<Version> versions_;
    uint64_t next_id_ = 16;
    Layout layout_;
};

}  // namespace apfs_test
