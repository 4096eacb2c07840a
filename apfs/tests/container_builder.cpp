#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <tuple>

#include "core/endian.hpp"
#include "support.hpp"

namespace apfs_test {

namespace {

constexpr uint64_t kVolumeOid = 1026, kCatalogOid = 1028, kXid = ContainerBuilder::kXid, kZero = 0;
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

// An object-map entry: (oid, xid) to a block, with the value's flags.
struct Mapping {
    uint64_t oid, xid, paddr;
    uint32_t flags = 0;
    auto operator<=>(const Mapping&) const = default;
};

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
    uint8_t* object(uint64_t blk, uint64_t oid, uint32_t type, uint32_t subtype = 0, uint64_t xid = kXid) {
        store(block(blk) + 8, oid, xid, type, subtype);
        return block(blk);
    }

    // A tree over sorted `records`, level by level; returns the root's block.
    // Nodes of virtual trees get oids, the root `root_oid`, reported in
    // `mapping`; `nodes` collects the blocks written.
    uint64_t write_tree(Records records, bool omap, std::vector<Mapping>* mapping, std::vector<uint64_t>* nodes,
                        uint64_t xid = kXid, uint64_t root_oid = 0, uint32_t root_flags = 0,
                        uint32_t child_flags = 0) {
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
                const uint64_t blk = alloc(), oid = !mapping ? blk : root ? root_oid : next_oid++;
                if (mapping) mapping->push_back({oid, xid, blk, root ? root_flags : child_flags});
                if (nodes) nodes->push_back(blk);
                Bytes b = make_node(uint16_t(root | (level == 0) << 1 | omap << 2), recs, bs);
                store(&b[34], level), store(&b[48], uint16_t(0xFFFF), uint16_t(0), uint16_t(0xFFFF));
                const uint32_t fixed = omap ? 16 : 0;  // the tree information
                if (root) store(&b[bs - 40], omap ? 0x12u : 0x42u, bs, fixed, fixed, 0u, 0u, keys, node_count);
                std::copy(b.begin(), b.end(), block(blk));
                object(blk, oid, (omap ? kPhysical : 0) | (root ? 2 : 3), omap ? 11 : 14, xid);
                ContainerBuilder::seal(block(blk), bs);
                records.emplace_back(recs.front().first, pack(oid));  // the level above
            }
            if (root) return next_block - 1;
        }
    }

    // An object map over `mapping`, in (oid, xid) order; returns the object's block.
    uint64_t write_omap(std::vector<Mapping> mapping, uint32_t flags, uint64_t* root, std::vector<uint64_t>* nodes) {
        std::sort(mapping.begin(), mapping.end());
        Records records;
        for (const auto& m : mapping) records.emplace_back(pack(m.oid, m.xid), pack(m.flags, bs, m.paddr));
        *root = write_tree(std::move(records), true, nullptr, nodes);
        const uint64_t obj = alloc();
        uint8_t* b = object(obj, obj, kPhysical | 0x0B);
        store(b + 32, flags, 0u, kPhysical | 2, kPhysical | 2, *root);
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

Bytes ContainerBuilder::key_header(uint64_t oid, uint8_t type) { return pack(oid | uint64_t(type) << 60); }
Bytes ContainerBuilder::drec_key(uint64_t parent, const std::string& name) {
    return with_name(pack(parent | uint64_t(9) << 60, uint32_t(name.size() + 1)), name);
}
Bytes ContainerBuilder::drec_value(uint64_t id, uint16_t type) { return pack(id, kTime, type); }
Bytes ContainerBuilder::xattr_key(uint64_t oid, const std::string& name) {
    return with_name(pack(oid | uint64_t(4) << 60, uint16_t(name.size() + 1)), name);
}
void ContainerBuilder::seal(uint8_t* block, size_t size) { store(block, apfs::fletcher::compute({block, size})); }

// The directory record's type is the file type of the mode.
uint64_t ContainerBuilder::add(uint64_t parent, const std::string& name, uint16_t mode, uint64_t size) {
    const uint64_t id = next_id_++;
    for (auto& i : inodes_) i.children += i.id == parent;
    inodes_.push_back(Inode{id, parent, mode, size});
    add_drec(parent, name, id, mode >> 12);
    return id;
}

void ContainerBuilder::set_data(uint64_t id, Bytes data, size_t extent_size) {
    auto& inode = *std::find_if(inodes_.begin(), inodes_.end(), [id](const Inode& i) { return i.id == id; });
    inode.size = data.size();
    inode.extents.clear();
    const size_t step = extent_size ? extent_size : data.size();
    for (size_t at = 0; at < data.size(); at += step)
        inode.extents.push_back({at, Bytes(data.begin() + ptrdiff_t(at), data.begin() + ptrdiff_t(std::min(at + step, data.size())))});
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

namespace {

// The catalog records of `inodes` and `extra`, their data written to new
// blocks; attribute streams take ids from `next_id`.
Records catalog_records(Image& img, const std::vector<ContainerBuilder::Inode>& inodes, Records records,
                        uint64_t next_id) {
    using Extent = ContainerBuilder::Extent;
    const uint64_t B = img.bs;
    for (auto& i : inodes) {
        const uint16_t type = i.mode & 0xF000;
        // A data stream's extents, keyed by the stream's id.
        auto write_stream = [&](uint64_t stream, const std::vector<Extent>& extents) {
            uint64_t allocated = 0;
            for (auto& e : extents) {  // a hole is an extent at physical block 0
                const uint64_t length = e.hole ? e.hole : (e.bytes.size() + B - 1) / B * B;
                const uint64_t at = e.hole ? 0 : img.alloc(length / B);
                if (!e.hole) std::copy(e.bytes.begin(), e.bytes.end(), img.block(at + length / B) - length);
                records.emplace_back(pack(stream | uint64_t(8) << 60, e.logical), pack(length, at, kZero));
                allocated += e.hole ? 0 : length;
            }
            return allocated;
        };
        const uint64_t allocated = write_stream(i.id, i.extents);
        // Attributes: up to 3804 bytes in the record, larger ones in a data stream.
        for (auto& [name, value] : i.xattrs) {
            Bytes v;
            if (value.size() <= 3804) {
                v = concat({pack(uint16_t(2), uint16_t(value.size())), value});
            } else {
                const uint64_t stream = next_id++, size = value.size();
                const uint64_t alloced = write_stream(stream, {{0, value}});
                v = pack(uint16_t(1), uint16_t(48), stream, size, alloced, kZero, size, kZero);
            }
            records.emplace_back(ContainerBuilder::xattr_key(i.id, name), std::move(v));
        }
        // The inode, then for files the extended field of their data stream.
        // A compressed file has its uncompressed size (flag 0x40000) and no data stream.
        const bool compressed = i.bsd_flags & 0x20, stream = type == 0x8000 && !compressed;
        Bytes v = pack(i.parent, i.id, kTime, kTime + 1000, kTime + 2000, kTime + 3000, uint64_t(compressed ? 0x40000 : 0));
        put(v, type == 0x4000 ? i.children : 1u, 0u, 1u, i.bsd_flags, 501u, 20u, i.mode, uint16_t(0),
            compressed ? i.size : kZero);
        if (stream) put(v, uint16_t(1), uint16_t(40), uint16_t(0x2008), uint16_t(40), i.size, allocated, kZero, i.size, kZero);
        records.emplace_back(ContainerBuilder::key_header(i.id, 3), std::move(v));
    }
    std::stable_sort(records.begin(), records.end(), [](auto& a, auto& b) { return catalog_less(a.first, b.first); });
    return records;
}

}  // namespace

// Every committed version of the catalog, then the live one (transaction
// kXid), each a tree of its own whose root has the id the volume superblock names.
Bytes ContainerBuilder::build() {
    const uint64_t B = block_size_;
    Image img{block_size_, per_node_, {}};
    layout_ = Layout{};
    std::vector<Mapping> catalog;
    auto versions = versions_;
    versions.push_back({kXid, inodes_, extra_});
    for (const auto& version : versions) {
        const bool live = version.xid == kXid;
        img.next_oid = 1030;  // each version's nodes take the same ids
        const uint64_t root = img.write_tree(catalog_records(img, version.inodes, version.extra, next_id_), false,
                                             &catalog, live ? &layout_.catalog_nodes : nullptr, version.xid,
                                             kCatalogOid, root_flags, child_flags);
        if (live) layout_.catalog_root = root;
    }
    uint64_t volume_omap_root = 0;
    const uint64_t volume_omap = img.write_omap(catalog, 0, &volume_omap_root, &layout_.volume_omap_nodes);

    uint64_t counts[3] = {};  // files, directories, symlinks
    for (auto& i : inodes_)
        if (i.id != kRoot) ++counts[(i.mode & 0xF000) == 0x4000 ? 1 : (i.mode & 0xF000) == 0xA000 ? 2 : 0];
    uint8_t* b = img.object(layout_.volume_superblock = img.alloc(), kVolumeOid, 0x0D);
    store(b + 32, apfs::kApfsMagic, 0u, uint64_t(2), kZero, uint64_t(8), kTime);  // incompatible: insensitive names
    store(b + 116, 2u, kPhysical | 2, kPhysical | 2, volume_omap, kCatalogOid);   // tree types and oids
    store(b + 176, next_id_ + 100, counts[0], counts[1], counts[2]);
    store(b + 256, kTime, uint64_t(unencrypted_flag ? 1 : 0));
    seal(b, B);
    const uint64_t container_omap =
        img.write_omap({{kVolumeOid, kXid, layout_.volume_superblock}}, 1, &layout_.container_omap_root, nullptr);
    Bytes superblock = nxsb(kXid, container_omap, 0, block_size_, img.next_block);
    store(&superblock[1264], container_flags);
    seal(superblock.data(), B);
    std::copy(superblock.begin(), superblock.end(), img.block(0));
    return std::move(img.bytes);
}

}  // namespace apfs_test
