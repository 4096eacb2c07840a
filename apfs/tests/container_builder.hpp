// Builds small APFS containers in memory for tests: a catalog of directories,
// files (one or several extents, holes), symlinks and raw records, with its
// object maps, volume and container superblocks and checkpoint area.  Node
// fill can be limited so that small catalogs already get index nodes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace apfs_test {

struct Extent {
    uint64_t logical = 0;
    std::vector<uint8_t> bytes;  // stored in blocks of their own
    uint64_t hole = 0;           // when set: a sparse extent of this length at physical block 0
};

struct Layout {
    uint64_t desc_base = 1;
    uint32_t desc_blocks = 0;
    uint64_t container_omap = 0;       // object-map object
    uint64_t container_omap_root = 0;  // its tree root
    uint64_t volume_superblock = 0;
    uint64_t volume_omap = 0;
    uint64_t volume_omap_root = 0;
    uint64_t catalog_root = 0;                 // physical block of the catalog root
    std::vector<uint64_t> catalog_nodes;       // every catalog node, root last
    std::vector<uint64_t> volume_omap_nodes;   // every volume object-map node, root last
    std::map<uint64_t, uint64_t> file_blocks;  // inode id -> first data block
};

class ContainerBuilder {
public:
    struct Options {
        uint32_t block_size = 4096;
        size_t max_records_per_node = 0;  // 0: as many as fit
        std::string volume_name = "Built";
        bool volume_in_second_slot = false;  // volume id list starts with 0
        // Block 0 holds an older checkpoint (xid 1, volume "stale"); the
        // descriptor area holds the current one.
        bool stale_block0 = false;
    };

    static constexpr uint64_t kRoot = 2;

    explicit ContainerBuilder(Options options);
    ContainerBuilder() : ContainerBuilder(Options{}) {}

    uint64_t add_dir(uint64_t parent, const std::string& name);
    uint64_t add_file(uint64_t parent, const std::string& name, const std::vector<uint8_t>& data);
    // A file of `size` bytes whose data is the given extents (gaps are holes).
    uint64_t add_file_extents(uint64_t parent, const std::string& name, uint64_t size, std::vector<Extent> extents);
    uint64_t add_symlink(uint64_t parent, const std::string& name, const std::string& target);
    // A directory record without an inode (or pointing where the caller wants).
    void add_drec(uint64_t parent, const std::string& name, uint64_t id, uint16_t type);
    // Any catalog record; keys are sorted like the catalog sorts them.
    void add_record(std::vector<uint8_t> key, std::vector<uint8_t> value);
    // Drops the inode record of `id` (a directory record then dangles).
    void drop_inode(uint64_t id) { dropped_.push_back(id); }

    std::vector<uint8_t> build();
    const Layout& layout() const { return layout_; }

    // Catalog records, for tests that make their own.
    static std::vector<uint8_t> key_header(uint64_t oid, uint8_t type);
    static std::vector<uint8_t> drec_key(uint64_t parent, const std::string& name);
    static std::vector<uint8_t> drec_value(uint64_t id, uint16_t type);
    static std::vector<uint8_t> inode_value(uint64_t parent, uint64_t id, uint16_t mode, uint64_t size,
                                            const std::string& name, uint32_t nchildren);
    static std::vector<uint8_t> xattr_key(uint64_t oid, const std::string& name);
    static std::vector<uint8_t> extent_key(uint64_t stream, uint64_t logical);
    static std::vector<uint8_t> extent_value(uint64_t length, uint64_t block);

    // Writes the object checksum of a block in place.
    static void seal(uint8_t* block, size_t size);

private:
    struct Inode {
        uint64_t id, parent;
        uint16_t mode;
        std::string name;
        uint64_t size = 0;
        std::vector<Extent> extents;
        std::string target;
        uint32_t children = 0;
    };
    struct Node {
        std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> records;
        uint64_t block = 0, oid = 0;
    };

    uint64_t add_inode(uint64_t parent, const std::string& name, uint16_t mode, uint16_t type);
    uint64_t alloc(uint64_t n = 1) { uint64_t b = next_block_; next_block_ += n; return b; }
    uint8_t* block(uint64_t n);
    // Writes a B-tree over `records` (sorted) and returns the root's block.
    // Virtual trees get node oids from `next_oid` and report (oid, block) pairs.
    uint64_t write_tree(std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> records, bool omap,
                        std::vector<std::pair<uint64_t, uint64_t>>* virtual_nodes, std::vector<uint64_t>* nodes);
    void write_node(const Node& node, bool omap, bool leaf, bool root, uint16_t level, uint64_t key_count,
                    uint64_t node_count);
    uint64_t write_omap(std::vector<std::pair<uint64_t, uint64_t>> mappings, uint32_t flags, uint64_t* tree_root,
                        std::vector<uint64_t>* nodes);
    void write_apsb(uint64_t block, uint64_t omap, const std::string& name);
    void write_nxsb(uint8_t* b, uint64_t xid, uint64_t omap);

    Options opt_;
    std::vector<Inode> inodes_;
    std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> extra_;
    std::vector<uint64_t> dropped_;
    uint64_t next_id_ = 16;
    uint64_t next_block_ = 0;
    uint64_t next_oid_ = 1030;
    std::vector<uint8_t> image_;
    Layout layout_;
};

}  // namespace apfs_test
