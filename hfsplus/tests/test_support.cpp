#include "test_support.hpp"

#include <algorithm>
#include <set>

#include <gtest/gtest.h>

#include "core/endian.hpp"
#include "extents.hpp"
#include "testing/testing.hpp"
#include "unicode.hpp"

namespace hfs_test {

constexpr uint32_t kBlockSize = 4096;

hfsplus::HfsVolume open_memory(Bytes bytes) {
    return hfsplus::HfsVolume::open(std::make_unique<core::MemorySource>(std::move(bytes))).value();
}

hfsplus::HfsVolume open_file(const fs::path& path) {
    return hfsplus::HfsVolume::open(std::make_unique<core::FileSource>(core::FileSource::open(path).value())).value();
}

Bytes read(hfsplus::HfsVolume& volume, std::string_view path) {
    auto data = volume.read_file(path);
    if (!data) ADD_FAILURE() << "read_file(" << path << "): " << data.error();
    return data.value_or(Bytes());
}

// ------------------------------------------------------------ volume writer

namespace {

std::span<const uint16_t> units(const std::u16string& s) {
    return {reinterpret_cast<const uint16_t*>(s.data()), s.size()};
}

// Appends big-endian fields of 8, 16, 32 or 64 bits.
template <class... T>
Bytes& be(Bytes& out, T... xs) {
    auto one = [&](auto x) {
        if constexpr (sizeof x == 1) out.push_back(uint8_t(x));
        else if constexpr (sizeof x == 2) core::append_be16(out, uint16_t(x));
        else if constexpr (sizeof x == 4) core::append_be32(out, uint32_t(x));
        else core::append_be64(out, uint64_t(x));
    };
    (one(xs), ...);
    return out;
}

void append_name(Bytes& out, const std::u16string& name) {
    be(out, uint16_t(name.size()));
    for (char16_t c : name) be(out, c);
}

void append_extents(Bytes& out, const hfsplus::ExtentRecord& extents) {
    for (const auto& e : extents) be(out, e.start_block, e.block_count);
}

void append_fork(Bytes& out, const hfsplus::ForkData& f) {
    append_extents(be(out, f.logical_size, f.clump_size, f.total_blocks), f.extents);
}

// The 88 bytes folder (type 1) and file (2) records share: type, id, dates, BSD info, Finder info.
Bytes record_head(uint16_t type, uint32_t id) {
    const uint32_t mode = type == 1 ? 040755 : 0100644;
    Bytes d;
    be(d, type, uint16_t(0), 0u, id);  // type, flags, valence, id
    for (uint32_t k = 0; k < 5; ++k) be(d, 0xC0000000u + id * 10 + k);
    be(d, 501u, 20u, mode);  // owner, group, admin and owner flags 0, mode
    d.resize(88);
    return d;
}

// Packs sorted leaf records into nodes and adds index levels until one node
// holds them all.  Node 0 is the header node.
std::vector<Bytes> build_tree(std::vector<Bytes> level, uint16_t node_size, uint16_t max_key, uint8_t compare_type,
                              uint32_t& root, uint32_t& last_leaf) {
    std::vector<Bytes> nodes(1);
    const uint32_t leaf_records = uint32_t(level.size());
    uint16_t depth = 0;
    last_leaf = 0;
    for (int8_t kind = -1; kind < 0 ? !level.empty() : level.size() > 1; kind = 0) {
        ++depth;
        std::vector<Bytes> up, group;  // up: an index record for each node of this level
        size_t used = 16;
        for (size_t i = 0; i <= level.size(); ++i) {
            if (!group.empty() && (i == level.size() || used + level[i].size() + 2 > node_size)) {
                const uint32_t number = uint32_t(nodes.size());
                if (!up.empty()) core::store_be32(nodes.back().data(), number);  // forward link
                up.emplace_back(group[0].begin(), group[0].begin() + 2 + core::load_be16(group[0].data()));
                core::append_be32(up.back(), number);
                nodes.push_back(make_node(kind, uint8_t(depth), group, node_size));
                group.clear();
                used = 16;
            }
            if (i < level.size()) group.push_back(level[i]), used += level[i].size() + 2;
        }
        if (kind < 0) last_leaf = uint32_t(up.size());
        level = std::move(up);
    }
    root = depth ? uint32_t(nodes.size() - 1) : 0;
    // Depth, root, leaf records, first and last leaf, node size, largest key, total and free
    // nodes, a reserved field, clump size, tree type 0, compare type, big and variable-length keys.
    Bytes h;
    be(h, depth, root, leaf_records, depth ? 1u : 0u, last_leaf, node_size, max_key, uint32_t(nodes.size()), 0u);
    be(h, uint16_t(0), uint32_t(node_size), uint8_t(0), compare_type, 6u);
    h.resize(106);
    nodes[0] = make_node(1, 0, {h, Bytes(128), Bytes(node_size - 256, 0xFF)}, node_size);
    return nodes;
}

}  // namespace

Bytes make_node(int8_t kind, uint8_t height, const std::vector<Bytes>& records, uint16_t node_size) {
    Bytes n(node_size);
    n[8] = uint8_t(kind);
    n[9] = height;
    core::store_be16(n.data() + 10, uint16_t(records.size()));
    size_t pos = 14;
    for (size_t i = 0; i <= records.size(); ++i) {
        core::store_be16(n.data() + node_size - 2 * (i + 1), uint16_t(pos));
        if (i < records.size()) pos = std::copy(records[i].begin(), records[i].end(), n.begin() + pos) - n.begin();
    }
    return n;
}

Bytes folder_record(uint32_t id) { return record_head(1, id); }

Bytes thread_record(uint16_t type, uint32_t parent, const std::u16string& name) {
    Bytes d;
    append_name(be(d, type, uint16_t(0), parent), name);
    return d;
}

VolumeBuilder::VolumeBuilder(bool hfsx, uint16_t node_size) : hfsx_(hfsx), node_size_(node_size) {}

uint32_t VolumeBuilder::add_folder(uint32_t parent, const std::u16string& name) {
    ++folders_;
    add_record(parent, name, folder_record(next_id_));
    add_record(next_id_, u"", thread_record(3, parent, name));
    return next_id_++;
}

hfsplus::ForkData VolumeBuilder::place_fork(uint32_t id, uint8_t fork_type, const Bytes& data, unsigned fragments) {
    const uint64_t bs = kBlockSize;
    hfsplus::ForkData fork;
    fork.logical_size = data.size();
    const uint32_t blocks = fork.total_blocks = uint32_t((data.size() + bs - 1) / bs);
    const uint32_t pieces = std::min(fragments, blocks);
    for (uint32_t i = 0, done = 0, record_start = 0; i < pieces; ++i) {
        const uint32_t count = blocks / pieces + (i < blocks % pieces);
        if (i < 8) {
            fork.extents[i] = {next_block_, count};
        } else {
            if (i % 8 == 0) record_start = done;
            extent_records[{id, fork_type, record_start}][i % 8] = {next_block_, count};
        }
        image_.resize((next_block_ + count + 1) * bs);
        const size_t at = done * bs, n = std::min(count * bs, data.size() - at);
        std::copy_n(data.begin() + at, n, image_.begin() + next_block_ * bs);
        next_block_ += count + 1;
        done += count;
    }
    return fork;
}

uint32_t VolumeBuilder::add_file_record(uint32_t parent, const std::u16string& name, const hfsplus::ForkData& data,
                                        const hfsplus::ForkData& rsrc, uint8_t owner_flags, uint32_t special,
                                        bool hard_link) {
    Bytes record = record_head(2, next_id_);
    record[41] = owner_flags;
    core::store_be32(record.data() + 44, special);
    if (hard_link) std::copy_n("hlnkhfs+", 8, record.begin() + 48);
    append_fork(record, data);
    append_fork(record, rsrc);
    ++files_;
    add_record(parent, name, std::move(record));
    add_record(next_id_, u"", thread_record(4, parent, name));
    return next_id_++;
}

uint32_t VolumeBuilder::add_file(uint32_t parent, const std::u16string& name, const Bytes& data, unsigned fragments,
                                 std::optional<uint64_t> declared_size) {
    hfsplus::ForkData fork = place_fork(next_id_, hfsplus::kDataForkType, data, fragments);
    fork.logical_size = declared_size.value_or(data.size());
    return add_file_record(parent, name, fork, {});
}

uint32_t VolumeBuilder::add_compressed(uint32_t parent, const std::u16string& name,
                                       const codec_testing::DecmpfsFile& file, unsigned fragments) {
    const auto rsrc = place_fork(next_id_, hfsplus::kResourceForkType, file.resource_fork, fragments);
    attributes_.push_back({next_id_, u"com.apple.decmpfs", file.attribute});
    return add_file_record(parent, name, {}, rsrc, 0x20);
}

uint32_t VolumeBuilder::add_hard_links(const Bytes& data, const std::vector<std::pair<uint32_t, std::u16string>>& links) {
    if (!private_folder_) private_folder_ = add_folder(2, std::u16string(4, u'\0') + u"HFS+ Private Data");
    const uint32_t id = next_id_;
    const std::string name = "iNode" + std::to_string(id);
    add_file_record(private_folder_, std::u16string(name.begin(), name.end()),
                    place_fork(id, hfsplus::kDataForkType, data, 1), {}, 0, uint32_t(links.size()));
    for (const auto& [parent, link] : links) add_file_record(parent, link, {}, {}, 0x02, id, true);
    return id;
}

Bytes VolumeBuilder::build() {
    add_record(hfsplus::kRootParentId, volume_name, folder_record(hfsplus::kRootFolderId));
    add_record(hfsplus::kRootFolderId, u"", thread_record(3, hfsplus::kRootParentId, volume_name));
    std::stable_sort(records_.begin(), records_.end(), [&](const Record& a, const Record& b) {
        if (a.parent != b.parent) return a.parent < b.parent;
        return (hfsx_ ? hfsplus::unicode::compare_binary(units(a.name), units(b.name))
                      : hfsplus::unicode::compare_case_insensitive(units(a.name), units(b.name))) < 0;
    });
    std::vector<Bytes> catalog_leaves, extent_leaves, attribute_leaves;
    for (const auto& r : records_) {
        Bytes& leaf = be(catalog_leaves.emplace_back(), uint16_t(6 + 2 * r.name.size()), r.parent);
        append_name(leaf, r.name);
        leaf.insert(leaf.end(), r.data.begin(), r.data.end());
    }
    // Attributes (one per file, added in id order): key length, pad, file id, start block 0, name;
    // inline data record (0x10).
    for (const auto& a : attributes_) {
        Bytes& leaf = be(attribute_leaves.emplace_back(), uint16_t(12 + 2 * a.name.size()), uint16_t(0), a.parent, 0u);
        append_name(leaf, a.name);
        be(leaf, 0x10u, 0u, 0u, uint32_t(a.data.size())).insert(leaf.end(), a.data.begin(), a.data.end());
        if (leaf.size() % 2) leaf.push_back(0);
    }
    uint32_t unused;
    const auto catalog = build_tree(catalog_leaves, node_size_, 516, hfsx_ ? 0xBC : 0xCF, catalog_root, last_leaf);
    const auto attributes = build_tree(attribute_leaves, node_size_, 266, 0, unused, unused);

    // The catalog and attributes files first (more than eight extents add
    // overflow records), then the extents file, which has only inline ones.
    hfsplus::ForkData forks[5];  // allocation (not written), extents, catalog, attributes, startup
    auto place_tree = [&](const std::vector<Bytes>& nodes, uint32_t id, unsigned fragments) {
        Bytes data;
        for (const auto& n : nodes) data.insert(data.end(), n.begin(), n.end());
        data.resize((data.size() + kBlockSize - 1) / kBlockSize * kBlockSize);
        return place_fork(id, hfsplus::kDataForkType, data, fragments);
    };
    forks[2] = place_tree(catalog, 4, catalog_fragments);
    if (!attribute_leaves.empty()) forks[3] = place_tree(attributes, 8, attributes_fragments);
    for (const auto& [key, extents] : extent_records)  // key length, fork type, pad, file id, start block
        append_extents(be(extent_leaves.emplace_back(), uint16_t(10), std::get<1>(key), uint8_t(0), std::get<0>(key),
                          std::get<2>(key)), extents);
    forks[1] = place_tree(build_tree(extent_leaves, node_size_, 10, 0, unused, unused), 3, 1);
    catalog_offset = uint64_t(forks[2].extents[0].start_block) * kBlockSize;
    attributes_offset = uint64_t(forks[3].extents[0].start_block) * kBlockSize;
    extents_offset = uint64_t(forks[1].extents[0].start_block) * kBlockSize;

    Bytes h;
    be(h, hfsx_ ? hfsplus::kSignatureHfsx : hfsplus::kSignatureHfsPlus, uint16_t(hfsx_ ? 5 : 4));
    // Attributes (unmounted cleanly), last mounted version, journal block, four dates, file
    // and folder counts, block size, total, free, next allocation, clumps, next id, writes.
    for (uint32_t v : {0x100u, 0x31302E30u, 0u, 0xC0000000u, 0xC0000001u, 0xC0000002u, 0xC0000003u, files_, folders_,
                       kBlockSize, uint32_t(image_.size() / kBlockSize), 1u, next_block_, kBlockSize, kBlockSize, next_id_, 1u})
        be(h, v);
    h.resize(112);
    for (const auto& fork : forks) append_fork(h, fork);
    std::copy(h.begin(), h.end(), image_.begin() + 1024);
    return image_;
}

// ------------------------------------------------------------ comparisons

void expect_matches_seven_zip(hfsplus::HfsVolume& volume, const fs::path& volume_file, size_t min_files) {
    testing_util::ScratchDir dir;
    const std::string command = "cd " + testing_util::shell_quote(dir.path().string()) + " && 7zz x -y -sns- " +
                                testing_util::shell_quote(volume_file.string()) + " > /dev/null 2>&1";
    ASSERT_EQ(testing_util::run(command).status, 0);
    // 7-Zip puts everything under one folder named after the volume (and named streams, not
    // part of the tree, nowhere).
    expect_matches_tree(volume, fs::directory_iterator(dir.path())->path(), min_files);
}

void expect_matches_tree(hfsplus::HfsVolume& volume, const fs::path& top, size_t min_files) {
    using hfsplus::EntryKind;
    std::set<std::string> unmatched;
    for (const auto& e : fs::recursive_directory_iterator(top)) {
        const std::string rel = e.path().lexically_relative(top).string();
        if (rel.find("HFS+ Private Data") == std::string::npos) unmatched.insert(rel);
    }

    auto walk = volume.walk();
    ASSERT_TRUE(walk) << walk.error();
    size_t files = 0;
    for (const auto& w : *walk) {
        SCOPED_TRACE(w.path);
        const bool folder = w.entry.kind == EntryKind::Directory;
        auto st = volume.stat(w.path);
        ASSERT_TRUE(st) << st.error();
        EXPECT_EQ(st->id, w.entry.id);
        EXPECT_EQ(st->size, w.entry.size);
        EXPECT_EQ(st->kind, folder ? EntryKind::Directory : EntryKind::File);
        const auto data = folder ? hfsplus::Result<Bytes>() : volume.read_file(w.path);
        ASSERT_TRUE(data) << data.error();
        EXPECT_EQ(data->size(), w.entry.size);
        // 7-Zip spells the private folders' NUL characters differently.
        if (w.path.find('\0') != std::string::npos) continue;
        // It writes a "/" inside a name as "_" where we show ":".
        std::string rel = w.path.substr(1);
        if (!fs::exists(fs::symlink_status(top / rel))) std::replace(rel.begin(), rel.end(), ':', '_');
        EXPECT_EQ(unmatched.erase(rel), 1u) << "7-Zip did not extract it";
        fs::path theirs = top / rel;
        // A hard link it extracts empty, beside the file the link points to.
        if (auto record = volume.resolve_path_to_file(w.path); record && record->is_hard_link())
            theirs = top / "[HFS+ Private Data]" / ("iNode" + std::to_string(record->bsd.special));
        const auto type = fs::symlink_status(theirs).type();
        if (folder) {
            EXPECT_EQ(type, fs::file_type::directory);
        } else if (w.entry.kind == EntryKind::Symlink) {
            ASSERT_EQ(type, fs::file_type::symlink);
            // 7-Zip re-roots absolute targets below its output folder.
            const std::string ours(data->begin(), data->end()), target = fs::read_symlink(theirs).string();
            EXPECT_TRUE(ours.starts_with('/') ? target.ends_with(ours) : target == ours) << ours << " vs " << target;
        } else {
            ASSERT_EQ(type, fs::file_type::regular);
            EXPECT_TRUE(*data == testing_util::read_bytes(theirs));
            ++files;
        }
    }
    for (const auto& rel : unmatched) ADD_FAILURE() << "walk misses " << rel;
    EXPECT_GE(files, min_files);
}

}  // namespace hfs_test
