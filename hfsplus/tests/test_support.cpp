#include "test_support.hpp"

#include <algorithm>
#include <fstream>
#include <cctype>
#include <sstream>
#include <set>

#include <gtest/gtest.h>

#include "core/endian.hpp"
#include "testing/testing.hpp"

namespace hfs_test {

using core::append_be16;
using core::append_be32;
using core::append_be64;
using testing_util::run;
using testing_util::shell_quote;

std::unique_ptr<core::ByteSource> memory_source(std::vector<uint8_t> bytes) {
    return std::make_unique<core::MemorySource>(std::move(bytes));
}

hfsplus::HfsVolume open_memory(std::vector<uint8_t> bytes) {
    auto v = hfsplus::HfsVolume::open(memory_source(std::move(bytes)));
    if (!v) {
        ADD_FAILURE() << "open failed: " << v.error();
        std::abort();
    }
    return std::move(*v);
}

hfsplus::HfsVolume open_file(const fs::path& path) {
    auto src = core::FileSource::open(path);
    if (!src) {
        ADD_FAILURE() << "cannot open " << path;
        std::abort();
    }
    auto v = hfsplus::HfsVolume::open(std::make_unique<core::FileSource>(std::move(*src)));
    if (!v) {
        ADD_FAILURE() << "open failed: " << v.error();
        std::abort();
    }
    return std::move(*v);
}

std::string to_utf8(const std::u16string& s) {
    return hfsplus::unicode::utf16_to_string(std::span<const uint16_t>(reinterpret_cast<const uint16_t*>(s.data()), s.size()));
}

// ------------------------------------------------------------ volume writer

namespace {

using Bytes = std::vector<uint8_t>;

std::span<const uint16_t> units(const std::u16string& s) {
    return {reinterpret_cast<const uint16_t*>(s.data()), s.size()};
}

Bytes catalog_key(uint32_t parent, const std::u16string& name) {
    Bytes k;
    append_be16(k, uint16_t(6 + 2 * name.size()));
    append_be32(k, parent);
    append_be16(k, uint16_t(name.size()));
    for (char16_t c : name) append_be16(k, c);
    return k;
}

void append_bsd(Bytes& out, uint16_t mode) {
    append_be32(out, 501);  // owner
    append_be32(out, 20);   // group
    out.push_back(0);
    out.push_back(0);
    append_be16(out, mode);
    append_be32(out, 0);
}

void append_fork(Bytes& out, const hfsplus::ForkData& f) {
    append_be64(out, f.logical_size);
    append_be32(out, f.clump_size);
    append_be32(out, f.total_blocks);
    for (const auto& e : f.extents) {
        append_be32(out, e.start_block);
        append_be32(out, e.block_count);
    }
}

Bytes folder_record(uint32_t id) {
    Bytes d;
    append_be16(d, 1);
    append_be16(d, 0);
    append_be32(d, 0);  // valence
    append_be32(d, id);
    for (uint32_t date = 0; date < 5; ++date) append_be32(d, 0xC0000000u + id * 10 + date);
    append_bsd(d, 040755);
    d.resize(d.size() + 32);
    append_be32(d, 0);  // text encoding
    append_be32(d, 0);
    return d;
}

Bytes file_record(uint32_t id, uint16_t mode, const hfsplus::ForkData& data, const hfsplus::ForkData& rsrc) {
    Bytes d;
    append_be16(d, 2);
    append_be16(d, 0);
    append_be32(d, 0);
    append_be32(d, id);
    for (uint32_t date = 0; date < 5; ++date) append_be32(d, 0xC0000000u + id * 10 + date);
    append_bsd(d, mode);
    d.resize(d.size() + 32);
    append_be32(d, 0);
    append_be32(d, 0);
    append_fork(d, data);
    append_fork(d, rsrc);
    return d;
}

Bytes thread_record(uint16_t type, uint32_t parent, const std::u16string& name) {
    Bytes d;
    append_be16(d, type);
    append_be16(d, 0);
    append_be32(d, parent);
    append_be16(d, uint16_t(name.size()));
    for (char16_t c : name) append_be16(d, c);
    return d;
}

struct LeafRecord {
    Bytes key;
    Bytes data;
};

struct Tree {
    std::vector<Bytes> nodes;  // node 0 is the header node
    uint32_t root = 0, first_leaf = 0, last_leaf = 0, leaf_records = 0;
    uint16_t depth = 0;
};

Bytes header_node(const Tree& t, uint16_t node_size, uint16_t max_key, uint8_t compare_type, uint32_t total) {
    Bytes h;
    append_be16(h, t.depth);
    append_be32(h, t.root);
    append_be32(h, t.leaf_records);
    append_be32(h, t.first_leaf);
    append_be32(h, t.last_leaf);
    append_be16(h, node_size);
    append_be16(h, max_key);
    append_be32(h, total);
    append_be32(h, 0);  // free nodes
    append_be16(h, 0);
    append_be32(h, node_size);  // clump size
    h.push_back(0);             // btree type
    h.push_back(compare_type);
    append_be32(h, 6);  // attributes: big keys, variable index keys
    h.resize(106);
    Bytes user(128);
    size_t map_size = node_size - 14 - 106 - 128 - 8;
    Bytes map(map_size, 0xFF);
    return make_node(1, 0, {h, user, map}, node_size);
}

// Packs sorted records into leaves and builds index levels above them.
Tree build_tree(const std::vector<LeafRecord>& records, uint16_t node_size, uint16_t max_key, uint8_t compare_type) {
    Tree t;
    t.nodes.emplace_back();  // header, filled in last
    if (records.empty()) {
        t.nodes[0] = header_node(t, node_size, max_key, compare_type, 1);
        return t;
    }
    struct Level {
        std::vector<uint32_t> nodes;
        std::vector<Bytes> first_keys;
    };
    auto pack = [&](const std::vector<std::pair<Bytes, Bytes>>& recs, int8_t kind, uint8_t height) {
        Level level;
        std::vector<std::vector<Bytes>> groups(1);
        std::vector<Bytes> firsts;
        size_t used = 14 + 2;
        for (const auto& [key, data] : recs) {
            size_t need = key.size() + data.size() + 2;
            if (!groups.back().empty() && used + need > node_size) {
                groups.emplace_back();
                used = 14 + 2;
            }
            if (groups.back().empty()) firsts.push_back(key);
            Bytes r = key;
            r.insert(r.end(), data.begin(), data.end());
            groups.back().push_back(std::move(r));
            used += need;
        }
        uint32_t first = uint32_t(t.nodes.size());
        for (size_t i = 0; i < groups.size(); ++i) {
            uint32_t fwd = i + 1 < groups.size() ? first + uint32_t(i) + 1 : 0;
            uint32_t bwd = i > 0 ? first + uint32_t(i) - 1 : 0;
            t.nodes.push_back(make_node(kind, height, groups[i], node_size, fwd, bwd));
            level.nodes.push_back(first + uint32_t(i));
        }
        level.first_keys = std::move(firsts);
        return level;
    };
    std::vector<std::pair<Bytes, Bytes>> recs;
    for (const auto& r : records) recs.emplace_back(r.key, r.data);
    Level level = pack(recs, -1, 1);
    t.first_leaf = level.nodes.front();
    t.last_leaf = level.nodes.back();
    t.leaf_records = uint32_t(records.size());
    t.depth = 1;
    while (level.nodes.size() > 1) {
        std::vector<std::pair<Bytes, Bytes>> index;
        for (size_t i = 0; i < level.nodes.size(); ++i) {
            Bytes child;
            append_be32(child, level.nodes[i]);
            index.emplace_back(level.first_keys[i], child);
        }
        ++t.depth;
        level = pack(index, 0, uint8_t(t.depth));
    }
    t.root = level.nodes.front();
    t.nodes[0] = header_node(t, node_size, max_key, compare_type, uint32_t(t.nodes.size()));
    return t;
}

}  // namespace

std::vector<uint8_t> folder_record_data(uint32_t id) { return folder_record(id); }
std::vector<uint8_t> thread_record_data(uint16_t type, uint32_t parent, const std::u16string& name) {
    return thread_record(type, parent, name);
}

std::vector<uint8_t> make_node(int8_t kind, uint8_t height, const std::vector<std::vector<uint8_t>>& records,
                               uint16_t node_size, uint32_t forward, uint32_t backward) {
    Bytes n(node_size);
    core::store_be32(n.data(), forward);
    core::store_be32(n.data() + 4, backward);
    n[8] = uint8_t(kind);
    n[9] = height;
    core::store_be16(n.data() + 10, uint16_t(records.size()));
    size_t pos = 14;
    for (size_t i = 0; i < records.size(); ++i) {
        core::store_be16(n.data() + node_size - 2 * (i + 1), uint16_t(pos));
        std::copy(records[i].begin(), records[i].end(), n.begin() + pos);
        pos += records[i].size();
    }
    core::store_be16(n.data() + node_size - 2 * (records.size() + 1), uint16_t(pos));
    return n;
}

VolumeBuilder::VolumeBuilder(bool hfsx, uint32_t block_size, uint16_t node_size)
    : hfsx_(hfsx), block_size_(block_size), node_size_(node_size) {
    records_.push_back({hfsplus::kRootParentId, u"Test", folder_record(hfsplus::kRootFolderId)});
    records_.push_back({hfsplus::kRootFolderId, u"", thread_record(3, hfsplus::kRootParentId, u"Test")});
}

uint32_t VolumeBuilder::add_folder(uint32_t parent, const std::u16string& name) {
    uint32_t id = next_id_++;
    ++folders_;
    records_.push_back({parent, name, folder_record(id)});
    records_.push_back({id, u"", thread_record(3, parent, name)});
    return id;
}

uint32_t VolumeBuilder::add_file(uint32_t parent, const std::u16string& name, std::vector<uint8_t> data,
                                 const FileOptions& options) {
    uint32_t id = next_id_++;
    files_.push_back({id, std::move(data), options, records_.size()});
    records_.push_back({parent, name, {}});  // filled in by build()
    records_.push_back({id, u"", thread_record(4, parent, name)});
    return id;
}

uint32_t VolumeBuilder::add_symlink(uint32_t parent, const std::u16string& name, const std::string& target) {
    FileOptions o;
    o.mode = 0120755;
    return add_file(parent, name, {target.begin(), target.end()}, o);
}

std::vector<uint8_t> VolumeBuilder::build() {
    const uint64_t bs = block_size_;
    const uint32_t reserved = uint32_t((1536 + bs - 1) / bs);
    auto blocks_for = [&](uint64_t bytes) { return uint32_t((bytes + bs - 1) / bs); };

    // Sizes first: record sizes do not depend on where the data lands.
    for (auto& f : files_) records_[f.record].data = file_record(f.id, f.options.mode, {}, {});
    auto cmp = [&](const Record& a, const Record& b) {
        if (a.parent != b.parent) return a.parent < b.parent;
        auto o = hfsx_ ? hfsplus::unicode::compare_binary(units(a.name), units(b.name))
                       : hfsplus::unicode::compare_case_insensitive(units(a.name), units(b.name));
        return o < 0;
    };
    auto catalog_records = [&] {
        std::vector<Record> sorted = records_;
        std::stable_sort(sorted.begin(), sorted.end(), cmp);
        std::vector<LeafRecord> out;
        for (auto& r : sorted) out.push_back({catalog_key(r.parent, r.name), r.data});
        return out;
    };
    const uint8_t compare_type = hfsx_ ? 0xBC : 0xCF;
    const uint32_t catalog_nodes = uint32_t(build_tree(catalog_records(), node_size_, 516, compare_type).nodes.size());

    // Data blocks: fragments are separated by one free block.
    uint32_t catalog_start = reserved;
    uint32_t catalog_blocks = blocks_for(uint64_t(catalog_nodes) * node_size_);
    // The extents tree: reserve room generously (one node per 6 records + header).
    size_t overflow_count = raw_extent_records_.size();
    for (auto& f : files_) overflow_count += f.options.fragments > 8 ? (f.options.fragments - 9) / 8 + 1 : 0;
    uint32_t extents_nodes_max = uint32_t(2 + overflow_count / 5) * 2 + 2;
    uint32_t extents_start = catalog_start + catalog_blocks;
    uint32_t extents_blocks = blocks_for(uint64_t(extents_nodes_max) * node_size_);
    uint32_t next_block = extents_start + extents_blocks;

    std::vector<ExtentRecordSpec> extent_records = raw_extent_records_;
    std::vector<std::pair<uint32_t, Bytes>> data_blocks;  // start block, bytes
    for (auto& f : files_) {
        hfsplus::ForkData data;
        data.logical_size = f.options.declared_size.value_or(f.data.size());
        uint32_t blocks = blocks_for(f.data.size());
        data.total_blocks = blocks;
        unsigned pieces = std::min<unsigned>(f.options.fragments, std::max<uint32_t>(blocks, 1));
        std::vector<hfsplus::ExtentDescriptor> extents;
        uint32_t done = 0;
        for (unsigned i = 0; i < pieces && blocks > 0; ++i) {
            uint32_t count = blocks / pieces + (i < blocks % pieces ? 1 : 0);
            extents.push_back({next_block, count});
            Bytes chunk(f.data.begin() + std::min<size_t>(size_t(done) * bs, f.data.size()),
                        f.data.begin() + std::min<size_t>(size_t(done + count) * bs, f.data.size()));
            data_blocks.emplace_back(next_block, std::move(chunk));
            next_block += count + 1;
            done += count;
        }
        uint32_t start = 0;
        for (size_t i = 0; i < extents.size(); ++i) {
            if (i < 8) {
                data.extents[i] = extents[i];
            } else {
                size_t rec = (i - 8) / 8;
                if (rec >= f.options.overflow_records_written) break;
                if ((i - 8) % 8 == 0) extent_records.push_back({f.id, 0, start, {}});
                extent_records.back().extents[(i - 8) % 8] = extents[i];
            }
            start += extents[i].block_count;
        }
        hfsplus::ForkData rsrc;
        rsrc.logical_size = f.options.resource_fork_size;
        records_[f.record].data = file_record(f.id, f.options.mode, data, rsrc);
    }

    Tree catalog = build_tree(catalog_records(), node_size_, 516, compare_type);
    std::sort(extent_records.begin(), extent_records.end(), [](const auto& a, const auto& b) {
        return std::tie(a.file_id, a.fork_type, a.start_block) < std::tie(b.file_id, b.fork_type, b.start_block);
    });
    std::vector<LeafRecord> ext_leaf;
    for (const auto& r : extent_records) {
        Bytes key;
        append_be16(key, 10);
        key.push_back(r.fork_type);
        key.push_back(0);
        append_be32(key, r.file_id);
        append_be32(key, r.start_block);
        Bytes data;
        for (const auto& e : r.extents) {
            append_be32(data, e.start_block);
            append_be32(data, e.block_count);
        }
        ext_leaf.push_back({key, data});
    }
    Tree extents = build_tree(ext_leaf, node_size_, 10, 0);
    if (extents.nodes.size() > extents_nodes_max) {
        ADD_FAILURE() << "extents tree too large for the reserved room";
        std::abort();
    }

    const uint32_t total_blocks = next_block + 1;
    Bytes image(size_t(total_blocks) * bs);
    auto put_tree = [&](const Tree& t, uint32_t start) {
        for (size_t i = 0; i < t.nodes.size(); ++i)
            std::copy(t.nodes[i].begin(), t.nodes[i].end(), image.begin() + start * bs + i * node_size_);
    };
    put_tree(catalog, catalog_start);
    put_tree(extents, extents_start);
    for (auto& [start, bytes] : data_blocks) std::copy(bytes.begin(), bytes.end(), image.begin() + start * bs);

    Bytes h;
    append_be16(h, hfsx_ ? hfsplus::kSignatureHfsx : hfsplus::kSignatureHfsPlus);
    append_be16(h, hfsx_ ? 5 : 4);
    append_be32(h, 0x100);     // attributes: unmounted cleanly
    append_be32(h, 0x31302E30);
    append_be32(h, 0);         // journal
    for (int i = 0; i < 4; ++i) append_be32(h, 0xC0000000u + i);
    append_be32(h, uint32_t(files_.size()));
    append_be32(h, folders_);
    append_be32(h, block_size_);
    append_be32(h, total_blocks);
    append_be32(h, 1);
    append_be32(h, next_block);
    append_be32(h, block_size_);
    append_be32(h, block_size_);
    append_be32(h, next_id_);
    append_be32(h, 1);
    append_be64(h, 1);
    h.resize(112);
    append_fork(h, {});  // allocation file (not used)
    hfsplus::ForkData ext_fork;
    ext_fork.logical_size = uint64_t(extents_blocks) * bs;
    ext_fork.total_blocks = extents_blocks;
    ext_fork.extents[0] = {extents_start, extents_blocks};
    append_fork(h, ext_fork);
    hfsplus::ForkData cat_fork;
    cat_fork.logical_size = uint64_t(catalog_blocks) * bs;
    cat_fork.total_blocks = catalog_blocks;
    cat_fork.extents[0] = {catalog_start, catalog_blocks};
    append_fork(h, cat_fork);
    append_fork(h, {});
    append_fork(h, {});
    std::copy(h.begin(), h.end(), image.begin() + 1024);

    layout_.catalog_offset = uint64_t(catalog_start) * bs;
    layout_.extents_offset = uint64_t(extents_start) * bs;
    layout_.catalog_nodes = uint32_t(catalog.nodes.size());
    layout_.catalog_root = catalog.root;
    layout_.first_leaf = catalog.first_leaf;
    layout_.last_leaf = catalog.last_leaf;
    return image;
}

// ------------------------------------------------------------ real volumes

std::vector<uint8_t> hfs_partition_of_dmg(const fs::path& image) {
    auto list = run("7zz l -tdmg " + shell_quote(image.string()));
    if (list.status != 0) return {};
    // The listing's last column names the partitions: "<n>.hfs".
    std::string partition;
    std::istringstream lines(list.output);
    for (std::string line; std::getline(lines, line);) {
        while (!line.empty() && isspace((unsigned char)line.back())) line.pop_back();
        auto space = line.rfind(' ');
        std::string last = space == std::string::npos ? line : line.substr(space + 1);
        if (last.ends_with(".hfs") && last.size() > 4 && isdigit((unsigned char)last[0])) partition = last;
    }
    if (partition.empty()) return {};
    testing_util::ScratchDir dir;
    auto out = dir / "volume.raw";
    auto r = run("7zz e -so -tdmg " + shell_quote(image.string()) + " " + shell_quote(partition) + " > " +
                 shell_quote(out.string()) + " 2>/dev/null");
    if (r.status != 0) return {};
    return testing_util::read_bytes(out);
}

std::optional<std::vector<uint8_t>> apple_hfs_partition(const std::vector<uint8_t>& iso) {
    // Apple partition map: 512-byte entries from block 1, "PM", start block at 8, type at 48.
    for (size_t block = 1; (block + 1) * 512 <= iso.size() && block < 64; ++block) {
        const uint8_t* e = iso.data() + block * 512;
        if (e[0] != 'P' || e[1] != 'M') break;
        std::string type(reinterpret_cast<const char*>(e + 48), 32);
        type = type.c_str();
        if (type == "Apple_HFS") {
            uint64_t start = uint64_t(core::load_be32(e + 8)) * 512;
            if (start >= iso.size()) return std::nullopt;
            return std::vector<uint8_t>(iso.begin() + start, iso.end());
        }
    }
    return std::nullopt;
}

std::map<std::string, SevenZipEntry> seven_zip_tree(const fs::path& volume) {
    std::map<std::string, SevenZipEntry> out;
    testing_util::ScratchDir dir;
    auto r = run("cd " + shell_quote(dir.path().string()) + " && 7zz x -y " + shell_quote(volume.string()) +
                 " > /dev/null 2>&1");
    EXPECT_EQ(r.status, 0) << "7zz x failed on " << volume;
    // 7-Zip puts everything under one folder named after the volume.
    fs::path top;
    for (auto& e : fs::directory_iterator(dir.path())) top = e.path();
    if (top.empty()) return out;
    for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator(); ++it) {
        std::string rel = it->path().lexically_relative(top).string();
        auto st = it->symlink_status();
        if (fs::is_symlink(st)) {
            std::string target = fs::read_symlink(it->path()).string();
            out[rel] = {SevenZipEntry::Symlink, {target.begin(), target.end()}};
        } else if (fs::is_directory(st)) {
            out[rel] = {SevenZipEntry::Directory, {}};
        } else {
            out[rel] = {SevenZipEntry::File, testing_util::read_bytes(it->path())};
        }
    }
    return out;
}

size_t expect_matches_seven_zip(hfsplus::HfsVolume& volume, const fs::path& volume_file) {
    auto theirs = seven_zip_tree(volume_file);
    auto walk = volume.walk();
    if (!walk) {
        ADD_FAILURE() << "walk: " << walk.error();
        return 0;
    }
    size_t files = 0;
    std::set<std::string> seen;
    for (const auto& w : *walk) {
        SCOPED_TRACE(w.path);
        auto st = volume.stat(w.path);
        if (!st) {
            ADD_FAILURE() << "stat: " << st.error();
            continue;
        }
        EXPECT_EQ(st->id, w.entry.id);
        EXPECT_EQ(st->kind, w.entry.kind == hfsplus::EntryKind::Directory ? hfsplus::EntryKind::Directory
                                                                           : hfsplus::EntryKind::File);
        if (w.entry.kind != hfsplus::EntryKind::Directory) {
            auto data = volume.read_file(w.path);
            if (!data) {
                ADD_FAILURE() << "read_file: " << data.error();
                continue;
            }
            EXPECT_EQ(data->size(), w.entry.size);
        }
        // 7-Zip shows the private folders' NUL characters differently; skip them.
        if (w.path.find('\0') != std::string::npos) continue;
        std::string rel = w.path.substr(1);
        seen.insert(rel);
        auto it = theirs.find(rel);
        if (it == theirs.end()) {
            ADD_FAILURE() << "7-Zip did not extract " << rel;
            continue;
        }
        switch (w.entry.kind) {
            case hfsplus::EntryKind::Directory: EXPECT_EQ(it->second.kind, SevenZipEntry::Directory); break;
            case hfsplus::EntryKind::Symlink:
            {
                EXPECT_EQ(it->second.kind, SevenZipEntry::Symlink);
                // 7-Zip re-roots absolute targets below its output folder.
                auto ours = *volume.read_file(w.path);
                std::string a(ours.begin(), ours.end()), b(it->second.data.begin(), it->second.data.end());
                if (a.starts_with("/")) EXPECT_TRUE(b.ends_with(a)) << a << " vs " << b;
                else EXPECT_EQ(a, b);
                break;
            }
            case hfsplus::EntryKind::File:
                EXPECT_EQ(it->second.kind, SevenZipEntry::File);
                if (st->size == 0 && st->resource_fork_size != 0 && !it->second.data.empty()) break;  // compressed
                EXPECT_TRUE(*volume.read_file(w.path) == it->second.data);
                ++files;
                break;
        }
    }
    for (const auto& [rel, e] : theirs) {
        // Named streams ("file:rsrc", "file:xattr") are not part of the tree.
        auto colon = rel.rfind(':');
        if (colon != std::string::npos && rel.find('/', colon) == std::string::npos && theirs.count(rel.substr(0, colon)))
            continue;
        if (rel.find("HFS+ Private Data") != std::string::npos) continue;
        EXPECT_TRUE(seen.count(rel)) << "walk misses " << rel;
    }
    return files;
}

}  // namespace hfs_test
