#include "container_builder.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "apfs/fletcher.hpp"
#include "apfs/superblock.hpp"
#include "core/endian.hpp"

namespace apfs_test {

using core::store_le16;
using core::store_le32;
using core::store_le64;
using Records = std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>>;

namespace {

constexpr uint64_t kVolumeOid = 1026;
constexpr uint64_t kXid = 7;
constexpr uint64_t kTime = 1642144781000000000ull;  // 2022-01-14
constexpr uint32_t kPhysical = 0x40000000;

void put16(std::vector<uint8_t>& v, uint16_t x) { v.resize(v.size() + 2); store_le16(&v[v.size() - 2], x); }
void put32(std::vector<uint8_t>& v, uint32_t x) { v.resize(v.size() + 4); store_le32(&v[v.size() - 4], x); }
void put64(std::vector<uint8_t>& v, uint64_t x) { v.resize(v.size() + 8); store_le64(&v[v.size() - 8], x); }
void pad8(std::vector<uint8_t>& v) { v.resize((v.size() + 7) / 8 * 8); }

// Directory records are hashed with CRC-32C over the name's UTF-32 code units.
uint32_t name_hash(const std::string& name) {
    uint32_t crc = 0xFFFFFFFF;
    for (unsigned char c : name) {  // the test names are ASCII
        uint8_t unit[4] = {c, 0, 0, 0};
        for (uint8_t b : unit) {
            crc ^= b;
            for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1) ? 0x82F63B78u : 0u);
        }
    }
    return crc & 0x3FFFFF;
}

// Catalog order: object id, record type, then the type's own key order.
bool catalog_less(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    uint64_t ha = core::load_le64(a.data()), hb = core::load_le64(b.data());
    uint64_t oa = ha & 0x0FFFFFFFFFFFFFFFull, ob = hb & 0x0FFFFFFFFFFFFFFFull;
    if (oa != ob) return oa < ob;
    if ((ha >> 60) != (hb >> 60)) return (ha >> 60) < (hb >> 60);
    if ((ha >> 60) == 9 && a.size() >= 12 && b.size() >= 12) {
        uint32_t la = core::load_le32(&a[8]) >> 10, lb = core::load_le32(&b[8]) >> 10;
        if (la != lb) return la < lb;
        return std::lexicographical_compare(a.begin() + 12, a.end(), b.begin() + 12, b.end());
    }
    if ((ha >> 60) == 8 && a.size() >= 16 && b.size() >= 16)
        return core::load_le64(&a[8]) < core::load_le64(&b[8]);
    size_t skip = (ha >> 60) == 4 ? 10 : 8;
    return std::lexicographical_compare(a.begin() + std::min(skip, a.size()), a.end(),
                                        b.begin() + std::min(skip, b.size()), b.end());
}

}  // namespace

ContainerBuilder::ContainerBuilder(Options options) : opt_(std::move(options)) {
    inodes_.push_back(Inode{kRoot, 1, 040755, "root", 0, {}, {}, 0});
}

std::vector<uint8_t> ContainerBuilder::key_header(uint64_t oid, uint8_t type) {
    std::vector<uint8_t> k;
    put64(k, oid | uint64_t(type) << 60);
    return k;
}

std::vector<uint8_t> ContainerBuilder::drec_key(uint64_t parent, const std::string& name) {
    auto k = key_header(parent, 9);
    put32(k, uint32_t(name.size() + 1) | name_hash(name) << 10);
    k.insert(k.end(), name.begin(), name.end());
    k.push_back(0);
    return k;
}

std::vector<uint8_t> ContainerBuilder::drec_value(uint64_t id, uint16_t type) {
    std::vector<uint8_t> v;
    put64(v, id);
    put64(v, kTime);
    put16(v, type);
    return v;
}

std::vector<uint8_t> ContainerBuilder::inode_value(uint64_t parent, uint64_t id, uint16_t mode, uint64_t size,
                                                   const std::string& name, uint32_t nchildren) {
    std::vector<uint8_t> v;
    put64(v, parent);
    put64(v, id);  // private (data-stream) id
    for (int i = 0; i < 4; ++i) put64(v, kTime + uint64_t(i) * 1000);
    put64(v, 0);  // internal flags
    put32(v, nchildren);
    put32(v, 0);  // protection class
    put32(v, 1);  // write generation
    put32(v, 0);  // BSD flags
    put32(v, 501);
    put32(v, 20);
    put16(v, mode);
    put16(v, 0);
    put64(v, 0);  // uncompressed size
    const bool stream = (mode & 0xF000) == 0x8000;
    std::vector<uint8_t> data(name.begin(), name.end());
    data.push_back(0);
    const uint16_t name_size = uint16_t(data.size());
    pad8(data);
    if (stream) {
        put64(data, size);
        put64(data, 0);  // allocated size, filled below
        put64(data, 0);
        put64(data, size);
        put64(data, 0);
    }
    put16(v, stream ? 2 : 1);
    put16(v, uint16_t(data.size()));
    v.push_back(4), v.push_back(2), put16(v, name_size);  // name
    if (stream) v.push_back(8), v.push_back(0x20), put16(v, 40);  // data stream
    v.insert(v.end(), data.begin(), data.end());
    return v;
}

std::vector<uint8_t> ContainerBuilder::xattr_key(uint64_t oid, const std::string& name) {
    auto k = key_header(oid, 4);
    put16(k, uint16_t(name.size() + 1));
    k.insert(k.end(), name.begin(), name.end());
    k.push_back(0);
    return k;
}

std::vector<uint8_t> ContainerBuilder::extent_key(uint64_t stream, uint64_t logical) {
    auto k = key_header(stream, 8);
    put64(k, logical);
    return k;
}

std::vector<uint8_t> ContainerBuilder::extent_value(uint64_t length, uint64_t block) {
    std::vector<uint8_t> v;
    put64(v, length);
    put64(v, block);
    put64(v, 0);
    return v;
}

void ContainerBuilder::seal(uint8_t* block, size_t size) {
    store_le64(block, apfs::fletcher::compute({block, size}));
}

uint64_t ContainerBuilder::add_inode(uint64_t parent, const std::string& name, uint16_t mode, uint16_t type) {
    uint64_t id = next_id_++;
    inodes_.push_back(Inode{id, parent, mode, name, 0, {}, {}, 0});
    for (auto& i : inodes_)
        if (i.id == parent) ++i.children;
    add_drec(parent, name, id, type);
    return id;
}

uint64_t ContainerBuilder::add_dir(uint64_t parent, const std::string& name) {
    return add_inode(parent, name, 040755, 4);
}

uint64_t ContainerBuilder::add_file(uint64_t parent, const std::string& name, const std::vector<uint8_t>& data) {
    if (data.empty()) return add_file_extents(parent, name, 0, {});
    return add_file_extents(parent, name, data.size(), {Extent{0, data}});
}

uint64_t ContainerBuilder::add_file_extents(uint64_t parent, const std::string& name, uint64_t size,
                                            std::vector<Extent> extents) {
    uint64_t id = add_inode(parent, name, 0100644, 8);
    inodes_.back().size = size;
    inodes_.back().extents = std::move(extents);
    return id;
}

uint64_t ContainerBuilder::add_symlink(uint64_t parent, const std::string& name, const std::string& target) {
    uint64_t id = add_inode(parent, name, 0120755, 10);
    inodes_.back().target = target;
    return id;
}

void ContainerBuilder::add_drec(uint64_t parent, const std::string& name, uint64_t id, uint16_t type) {
    extra_.emplace_back(drec_key(parent, name), drec_value(id, type));
}

void ContainerBuilder::add_record(std::vector<uint8_t> key, std::vector<uint8_t> value) {
    extra_.emplace_back(std::move(key), std::move(value));
}

uint8_t* ContainerBuilder::block(uint64_t n) {
    size_t end = size_t(n + 1) * opt_.block_size;
    if (image_.size() < end) image_.resize(end);
    return image_.data() + size_t(n) * opt_.block_size;
}

void ContainerBuilder::write_node(const Node& node, bool omap, bool leaf, bool root, uint16_t level,
                                  uint64_t key_count, uint64_t node_count) {
    const size_t B = opt_.block_size;
    uint8_t* b = block(node.block);
    std::memset(b, 0, B);
    const bool fixed = omap;
    const size_t esize = fixed ? 4 : 8;
    const size_t toc_len = node.records.size() * esize;
    const size_t key_start = 56 + toc_len;
    const size_t value_end = root ? B - 40 : B;
    size_t koff = 0, voff = 0, longest_key = 0, longest_value = 0;
    for (size_t i = 0; i < node.records.size(); ++i) {
        const auto& [key, value] = node.records[i];
        std::memcpy(b + key_start + koff, key.data(), key.size());
        voff += value.size();
        std::memcpy(b + value_end - voff, value.data(), value.size());
        uint8_t* e = b + 56 + i * esize;
        if (fixed) {
            store_le16(e, uint16_t(koff)), store_le16(e + 2, uint16_t(voff));
        } else {
            store_le16(e, uint16_t(koff)), store_le16(e + 2, uint16_t(key.size()));
            store_le16(e + 4, uint16_t(voff)), store_le16(e + 6, uint16_t(value.size()));
        }
        koff += key.size();
        longest_key = std::max(longest_key, key.size());
        longest_value = std::max(longest_value, value.size());
    }
    if (key_start + koff > value_end - voff) throw std::logic_error("node overflow");
    store_le64(b + 8, node.oid);
    store_le64(b + 16, kXid);
    store_le32(b + 24, (omap ? kPhysical : 0) | (root ? 2 : 3));
    store_le32(b + 28, omap ? 11 : 14);
    store_le16(b + 32, uint16_t((root ? 1 : 0) | (leaf ? 2 : 0) | (fixed ? 4 : 0)));
    store_le16(b + 34, level);
    store_le32(b + 36, uint32_t(node.records.size()));
    store_le16(b + 40, 0), store_le16(b + 42, uint16_t(toc_len));
    store_le16(b + 44, uint16_t(koff)), store_le16(b + 46, uint16_t(value_end - voff - key_start - koff));
    store_le16(b + 48, 0xFFFF), store_le16(b + 52, 0xFFFF);
    if (root) {
        uint8_t* t = b + B - 40;
        store_le32(t, omap ? 0x12 : 0x42);
        store_le32(t + 4, uint32_t(B));
        store_le32(t + 8, omap ? 16 : 0);
        store_le32(t + 12, omap ? 16 : 0);
        store_le32(t + 16, uint32_t(omap ? 16 : longest_key));
        store_le32(t + 20, uint32_t(omap ? 16 : longest_value));
        store_le64(t + 24, key_count);
        store_le64(t + 32, node_count);
    }
    seal(b, B);
}

uint64_t ContainerBuilder::write_tree(Records records, bool omap,
                                      std::vector<std::pair<uint64_t, uint64_t>>* virtual_nodes,
                                      std::vector<uint64_t>* nodes) {
    const size_t B = opt_.block_size;
    const size_t limit = opt_.max_records_per_node ? opt_.max_records_per_node : SIZE_MAX;
    const uint64_t key_count = records.size();
    uint64_t node_count = 0;
    uint16_t level = 0;
    std::vector<Node> pending;
    for (;;) {
        const bool leaf = level == 0;
        // Pack the records of this level into nodes.
        std::vector<Node> level_nodes(1);
        size_t used = 56 + 40;
        for (auto& rec : records) {
            size_t need = (omap ? 4 : 8) + rec.first.size() + rec.second.size();
            if (!level_nodes.back().records.empty() &&
                (level_nodes.back().records.size() >= limit || used + need > B)) {
                level_nodes.emplace_back();
                used = 56 + 40;
            }
            level_nodes.back().records.push_back(std::move(rec));
            used += need;
        }
        for (auto& n : level_nodes) {
            n.block = alloc();
            n.oid = virtual_nodes ? next_oid_++ : n.block;
            if (virtual_nodes) virtual_nodes->emplace_back(n.oid, n.block);
        }
        node_count += level_nodes.size();
        const bool root = level_nodes.size() == 1;
        for (auto& n : level_nodes) {
            write_node(n, omap, leaf, root, level, key_count, node_count);
            if (nodes) nodes->push_back(n.block);
        }
        if (root) return level_nodes[0].block;
        // The next level up: each child's first key and its pointer.
        records.clear();
        for (auto& n : level_nodes) {
            std::vector<uint8_t> ptr;
            put64(ptr, n.oid);
            records.emplace_back(n.records.front().first, std::move(ptr));
        }
        ++level;
    }
}

uint64_t ContainerBuilder::write_omap(std::vector<std::pair<uint64_t, uint64_t>> mappings, uint32_t flags,
                                      uint64_t* tree_root, std::vector<uint64_t>* nodes) {
    std::sort(mappings.begin(), mappings.end());
    Records records;
    for (auto [oid, paddr] : mappings) {
        std::vector<uint8_t> k, v;
        put64(k, oid), put64(k, kXid);
        put32(v, 0), put32(v, opt_.block_size), put64(v, paddr);
        records.emplace_back(std::move(k), std::move(v));
    }
    *tree_root = write_tree(std::move(records), true, nullptr, nodes);
    uint64_t obj = alloc();
    uint8_t* b = block(obj);
    store_le64(b + 8, obj), store_le64(b + 16, kXid);
    store_le32(b + 24, kPhysical | 0x0B);
    store_le32(b + 32, flags);
    store_le32(b + 40, kPhysical | 2), store_le32(b + 44, kPhysical | 2);
    store_le64(b + 48, *tree_root);
    seal(b, opt_.block_size);
    return obj;
}

void ContainerBuilder::write_apsb(uint64_t blk, uint64_t omap, const std::string& name) {
    uint8_t* b = block(blk);
    uint64_t files = 0, dirs = 0, links = 0;
    for (auto& i : inodes_) {
        if (i.id == kRoot) continue;
        auto t = i.mode & 0xF000;
        (t == 0x4000 ? dirs : t == 0xA000 ? links : files)++;
    }
    store_le64(b + 8, kVolumeOid), store_le64(b + 16, kXid);
    store_le32(b + 24, 0x0D);
    store_le32(b + 32, apfs::kApfsMagic);
    store_le64(b + 40, 2);  // features
    store_le64(b + 56, 8);  // incompatible: normalisation-insensitive names
    store_le64(b + 64, kTime);
    store_le32(b + 116, 2), store_le32(b + 120, kPhysical | 2), store_le32(b + 124, kPhysical | 2);
    store_le64(b + 128, omap);
    store_le64(b + 136, 1028);
    store_le64(b + 176, next_id_);
    store_le64(b + 184, files), store_le64(b + 192, dirs), store_le64(b + 200, links);
    store_le64(b + 256, kTime);
    store_le64(b + 264, 1);  // unencrypted
    std::memcpy(b + 272, "kiv test builder", 16);
    std::memcpy(b + 704, name.data(), std::min<size_t>(name.size(), 255));
    seal(b, opt_.block_size);
}

void ContainerBuilder::write_nxsb(uint8_t* b, uint64_t xid, uint64_t omap) {
    std::memset(b, 0, opt_.block_size);
    store_le64(b + 8, 1), store_le64(b + 16, xid);
    store_le32(b + 24, 0x80000001);
    store_le32(b + 32, apfs::kNxMagic);
    store_le32(b + 36, opt_.block_size);
    store_le64(b + 40, next_block_);
    store_le64(b + 64, 2);  // incompatible: version 2
    for (int i = 0; i < 16; ++i) b[72 + i] = uint8_t(0x40 + i);
    store_le64(b + 88, next_oid_), store_le64(b + 96, xid + 1);
    store_le32(b + 104, layout_.desc_blocks);
    store_le64(b + 112, layout_.desc_base);
    store_le32(b + 140, 2);  // descriptor length
    store_le64(b + 160, omap);
    store_le32(b + 180, 4);
    store_le64(b + 184 + (opt_.volume_in_second_slot ? 8 : 0), kVolumeOid);
    seal(b, opt_.block_size);
}

std::vector<uint8_t> ContainerBuilder::build() {
    const uint64_t B = opt_.block_size;
    image_.clear();
    layout_ = Layout{};
    layout_.desc_blocks = 4;
    next_block_ = 1 + layout_.desc_blocks;

    Records records = extra_;
    auto put = [&](std::vector<uint8_t> k, std::vector<uint8_t> v) { records.emplace_back(std::move(k), std::move(v)); };
    put(drec_key(1, "root"), drec_value(kRoot, 4));
    for (auto& i : inodes_) {
        if (std::find(dropped_.begin(), dropped_.end(), i.id) == dropped_.end()) {
            auto v = inode_value(i.parent, i.id, i.mode, i.size, i.name, (i.mode & 0xF000) == 0x4000 ? i.children : 1);
            if ((i.mode & 0xF000) == 0x8000) {  // allocated size of the data stream
                uint64_t alloced = 0;
                for (auto& e : i.extents) alloced += (e.bytes.size() + B - 1) / B * B;
                store_le64(&v[v.size() - 32], alloced);
            }
            put(key_header(i.id, 3), std::move(v));
        }
        if (!i.target.empty()) {
            std::vector<uint8_t> v;
            put16(v, 6), put16(v, uint16_t(i.target.size() + 1));
            v.insert(v.end(), i.target.begin(), i.target.end());
            v.push_back(0);
            put(xattr_key(i.id, "com.apple.fs.symlink"), std::move(v));
        }
        if ((i.mode & 0xF000) == 0x8000) {
            std::vector<uint8_t> refcnt;
            put32(refcnt, 1);
            if (!i.extents.empty()) put(key_header(i.id, 6), refcnt);
            bool first = true;
            for (auto& e : i.extents) {
                if (e.hole) {
                    put(extent_key(i.id, e.logical), extent_value(e.hole, 0));
                    continue;
                }
                uint64_t blocks = (e.bytes.size() + B - 1) / B, at = alloc(blocks);
                if (blocks) std::memcpy(block(at + blocks - 1) - (blocks - 1) * B, e.bytes.data(), e.bytes.size());
                if (first) layout_.file_blocks[i.id] = at, first = false;
                put(extent_key(i.id, e.logical), extent_value(blocks * B, at));
            }
        }
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const auto& a, const auto& b) { return catalog_less(a.first, b.first); });

    // The catalog is virtual: its root gets the id the volume superblock names.
    std::vector<std::pair<uint64_t, uint64_t>> catalog_nodes;
    layout_.catalog_root = write_tree(std::move(records), false, &catalog_nodes, &layout_.catalog_nodes);
    catalog_nodes.back().first = 1028;
    store_le64(block(layout_.catalog_root) + 8, 1028);
    seal(block(layout_.catalog_root), B);

    layout_.volume_omap = write_omap(catalog_nodes, 0, &layout_.volume_omap_root, &layout_.volume_omap_nodes);
    layout_.volume_superblock = alloc();
    write_apsb(layout_.volume_superblock, layout_.volume_omap, opt_.volume_name);
    layout_.container_omap = write_omap({{kVolumeOid, layout_.volume_superblock}}, 1, &layout_.container_omap_root, nullptr);

    uint64_t block0_omap = layout_.container_omap;
    if (opt_.stale_block0) {
        uint64_t stale_apsb = alloc(), stale_root = 0;
        write_apsb(stale_apsb, layout_.volume_omap, "stale");
        block0_omap = write_omap({{kVolumeOid, stale_apsb}}, 1, &stale_root, nullptr);
    }
    block(next_block_ + 7);  // some free space at the end
    next_block_ += 8;

    // Descriptor area: a checkpoint map, then the superblock of that checkpoint.
    uint8_t* map = block(layout_.desc_base);
    store_le64(map + 8, layout_.desc_base), store_le64(map + 16, kXid);
    store_le32(map + 24, kPhysical | 0x0C);
    store_le32(map + 32, 1);  // last map of the checkpoint
    seal(map, B);
    write_nxsb(block(layout_.desc_base + 1), kXid, layout_.container_omap);
    if (opt_.stale_block0) write_nxsb(block(0), 1, block0_omap);
    else write_nxsb(block(0), kXid, layout_.container_omap);
    return image_;
}

}  // namespace apfs_test
