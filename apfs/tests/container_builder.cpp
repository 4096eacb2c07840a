#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <tuple>

#include "core/endian.hpp"
#include "support.hpp"

namespace apfs_test {

namespace {

constexpr uint64_t kVolumeOid = 1026, kXid = 7, kZero = 0;
constexpr uint64_t kTime = 1642144781000000000ull;  // 2022-01-14
constexpr uint32_t kPhysical = 0x40000000;

Bytes with_name(Bytes v, const std::string& name) {
    v.insert(v.end(), name.c_str(), name.c_str() + name.size() + 1);
    return v;
}

// Catalog order: object id, record type, then the type's own key order
// (the name for directory records, whose name hash the builder leaves 0,
// and attributes; the logical address for extents).
bool catalog_less(const Bytes& a, const Bytes& b) {
    auto rank = [](const Bytes& k) {
        const uint64_t h = core::load_le64(k.data()), type = h >> 60;
        return std::tuple(h & 0x0FFFFFFFFFFFFFFFull, type, type == 8 ? core::load_le64(&k[8]) : 0);
    };
    if (rank(a) != rank(b)) return rank(a) < rank(b);
    const ptrdiff_t skip = (a[7] >> 4) == 4 ? 10 : 12;  // past an attribute's name length or a hash
    return std::lexicographical_compare(a.begin() + skip, a.end(), b.begin() + skip, b.end());
}

// The blocks of the image being written.
struct Image {
    uint32_t bs;
    size_t per_node;
    Bytes bytes;
    uint64_t next_block = 1, next_oid = 1030;  // after the container superblock

    uint8_t* block(uint64_t n) {
        if (bytes.size() < (n + 1) * bs) bytes.resize((n + 1) * bs);
        return &bytes[n * bs];
    }
    uint64_t alloc(uint64_t n = 1) { return (next_block += n) - n; }
    uint8_t* object(uint64_t blk, uint64_t oid, uint32_t type, uint32_t subtype = 0) {
        store(block(blk) + 8, oid, kXid, type, subtype);
        return block(blk);
    }

    // A tree over sorted `records`, level by level; returns the root's block.
    // Nodes of virtual trees get oids, reported as (oid, block) in `mapping`.
    uint64_t write_tree(Records records, bool omap, std::vector<std::pair<uint64_t, uint64_t>>* mapping) {
        const uint64_t keys = records.size();
        uint64_t node_count = 0;
        for (uint16_t level = 0;; ++level) {
            std::vector<Records> packed(1);
            size_t used = 96;
            for (auto& rec : records) {
                const size_t need = (omap ? 4 : 8) + rec.first.size() + rec.second.size();
                if (!packed.back().empty() && ((per_node && packed.back().size() >= per_node) || used + need > bs))
                    packed.emplace_back(), used = 96;
                packed.back().push_back(std::move(rec));
                used += need;
            }
            node_count += packed.size();
            const bool root = packed.size() == 1;
            records.clear();
            for (auto& recs : packed) {
                const uint64_t blk = alloc(), oid = mapping ? next_oid++ : blk;
                if (mapping) mapping->emplace_back(oid, blk);
                Bytes b = make_node(uint16_t(root | (level == 0) << 1 | omap << 2), recs, bs);
                store(&b[34], level), store(&b[48], uint16_t(0xFFFF), uint16_t(0), uint16_t(0xFFFF));
                const uint32_t fixed = omap ? 16 : 0;  // the tree information
                if (root) store(&b[bs - 40], omap ? 0x12u : 0x42u, bs, fixed, fixed, 0u, 0u, keys, node_count);
                std::copy(b.begin(), b.end(), block(blk));
                object(blk, oid, (omap ? kPhysical : 0) | (root ? 2 : 3), omap ? 11 : 14);
                ContainerBuilder::seal(block(blk), bs);
                records.emplace_back(recs.front().first, pack(oid));  // the level above
            }
            if (root) return next_block - 1;
        }
    }

    // An object map over (oid, block) pairs; returns the object's block.
    uint64_t write_omap(std::vector<std::pair<uint64_t, uint64_t>> mapping, uint32_t flags) {
        Records records;
        for (auto [oid, paddr] : mapping) records.emplace_back(pack(oid, kXid), pack(0u, bs, paddr));
        const uint64_t root = write_tree(std::move(records), true, nullptr), obj = alloc();
        uint8_t* b = object(obj, obj, kPhysical | 0x0B);
        store(b + 32, flags, 0u, kPhysical | 2, kPhysical | 2, root);
        ContainerBuilder::seal(b, bs);
        return obj;
    }
};

}  // namespace

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes make_node(uint16_t flags, const Records& records, size_t size) {
    Bytes b(size);
    const bool fixed = flags & 4;
    const size_t esize = fixed ? 4 : 8, key_start = 56 + records.size() * esize;
    const size_t value_end = (flags & 1) ? size - 40 : size;
    size_t koff = 0, voff = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        const auto& [k, v] = records[i];
        std::copy(k.begin(), k.end(), &b[key_start + koff]);
        voff += v.size();
        std::copy(v.begin(), v.end(), &b[value_end - voff]);
        if (fixed) store(&b[56 + i * esize], uint16_t(koff), uint16_t(voff));
        else store(&b[56 + i * esize], uint16_t(koff), uint16_t(k.size()), uint16_t(voff), uint16_t(v.size()));
        koff += k.size();
    }
    if (key_start + koff > value_end - voff) throw std::logic_error("node overflow");
    store(&b[32], flags, uint16_t(0), uint32_t(records.size()), uint16_t(0), uint16_t(key_start - 56));  // flags to table
    store(&b[44], uint16_t(koff), uint16_t(value_end - voff - key_start - koff));                        // free space
    return b;
}

Bytes nxsb(uint64_t xid, uint64_t omap, uint32_t checkpoint_blocks, uint32_t block_size, uint64_t blocks) {
    Bytes b(block_size);
    store(&b[8], uint64_t(1), xid, 0x80000001u, 0u, apfs::kNxMagic, block_size, blocks, kZero, kZero, uint64_t(2));
    store(&b[104], checkpoint_blocks, 0u, uint64_t(1));  // the area starts at block 1
    store(&b[160], omap), store(&b[180], 1u, kVolumeOid);
    ContainerBuilder::seal(b.data(), b.size());
    return b;
}

Bytes ContainerBuilder::drec_key(uint64_t parent, const std::string& name) {
    return with_name(pack(parent | uint64_t(9) << 60, uint32_t(name.size() + 1)), name);
}
Bytes ContainerBuilder::drec_value(uint64_t id, uint16_t type) { return pack(id, kTime, type); }
void ContainerBuilder::seal(uint8_t* block, size_t size) { store(block, apfs::fletcher::compute({block, size})); }

// The directory record's type is the file type of the mode.
uint64_t ContainerBuilder::add(uint64_t parent, const std::string& name, uint16_t mode, uint64_t size) {
    const uint64_t id = next_id_++;
    for (auto& i : inodes_) i.children += i.id == parent;
    inodes_.push_back(Inode{id, parent, mode, size});
    add_drec(parent, name, id, mode >> 12);
    return id;
}

uint64_t ContainerBuilder::add_compressed(uint64_t parent, const std::string& name, uint64_t size, Bytes decmpfs,
                                          Bytes resource_fork) {
    const uint64_t id = add(parent, name, 0100644, size);
    auto& inode = inodes_.back();
    inode.bsd_flags = 0x20;  // compressed
    inode.xattrs.emplace_back("com.apple.decmpfs", std::move(decmpfs));
    if (!resource_fork.empty()) inode.xattrs.emplace_back("com.apple.ResourceFork", std::move(resource_fork));
    return id;
}

Bytes ContainerBuilder::build() {
    const uint64_t B = block_size_;
    Image img{block_size_, per_node_, {}};
    Records records = extra_;
    for (auto& i : inodes_) {
        const uint16_t type = i.mode & 0xF000;
        // A data stream in consecutive blocks, its extents keyed by the stream's id.
        auto write_stream = [&](uint64_t stream, const Bytes& data, uint64_t extent_size) {
            const uint64_t allocated = (data.size() + B - 1) / B * B, first = img.alloc(allocated / B);
            const uint64_t step = extent_size ? extent_size : allocated;
            std::copy(data.begin(), data.end(), img.block(first + allocated / B) - allocated);
            for (uint64_t at = 0; at < allocated; at += step)
                records.emplace_back(pack(stream | uint64_t(8) << 60, at), pack(std::min(step, allocated - at), first + at / B, kZero));
            return allocated;
        };
        const uint64_t allocated = write_stream(i.id, i.data, i.extent_size);
        // Attributes: up to 3804 bytes in the record, larger ones in a data stream.
        for (auto& [name, value] : i.xattrs) {
            Bytes v;
            if (value.size() <= 3804) {
                v = concat({pack(uint16_t(2), uint16_t(value.size())), value});
            } else {
                const uint64_t stream = next_id_++, size = value.size();
                const uint64_t alloced = write_stream(stream, value, 0);
                v = pack(uint16_t(1), uint16_t(48), stream, size, alloced, kZero, size, kZero);
            }
            records.emplace_back(with_name(pack(i.id | uint64_t(4) << 60, uint16_t(name.size() + 1)), name), std::move(v));
        }
        // The inode, then for files the extended field of their data stream.
        // A compressed file has its uncompressed size (flag 0x40000) and no data stream.
        const bool compressed = i.bsd_flags & 0x20, stream = type == 0x8000 && !compressed;
        Bytes v = concat({pack(i.parent, i.id, kTime, kTime + 1000, kTime + 2000, kTime + 3000,
                               uint64_t(compressed ? 0x40000 : 0)),
                          pack(type == 0x4000 ? i.children : 1u, 0u, 1u, i.bsd_flags, 501u, 20u, i.mode, uint16_t(0),
                               compressed ? i.size : kZero)});
        if (stream)
            v = concat({v, pack(uint16_t(1), uint16_t(40), uint16_t(0x2008), uint16_t(40), i.size, allocated, kZero, i.size, kZero)});
        records.emplace_back(pack(i.id | uint64_t(3) << 60), std::move(v));
    }
    std::stable_sort(records.begin(), records.end(), [](auto& a, auto& b) { return catalog_less(a.first, b.first); });

    // The catalog is virtual: the volume superblock names its root by oid.
    std::vector<std::pair<uint64_t, uint64_t>> catalog;
    img.write_tree(std::move(records), false, &catalog);
    const uint64_t volume_omap = img.write_omap(catalog, 0), volume_superblock = img.alloc();

    uint8_t* b = img.object(volume_superblock, kVolumeOid, 0x0D);
    store(b + 32, apfs::kApfsMagic, 0u, uint64_t(2), kZero, uint64_t(8), kTime);  // incompatible: insensitive names
    store(b + 116, 2u, kPhysical | 2, kPhysical | 2, volume_omap, catalog.back().first);  // tree types and oids
    store(b + 176, next_id_);
    seal(b, B);
    const uint64_t container_omap = img.write_omap({{kVolumeOid, volume_superblock}}, 1);
    const Bytes superblock = nxsb(kXid, container_omap, 0, block_size_, img.next_block);
    std::copy(superblock.begin(), superblock.end(), img.block(0));
    return std::move(img.bytes);
}

}  // namespace apfs_test
