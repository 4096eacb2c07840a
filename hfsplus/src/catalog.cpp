#include "catalog.hpp"

#include <algorithm>
#include <cstdio>

#include "core/endian.hpp"
#include "core/try.hpp"
#include "unicode.hpp"

namespace hfsplus {

namespace catalog {

namespace {

constexpr size_t kMinKeySize = 8;  // key length, parent id, name length
constexpr size_t kFolderRecordSize = 84;
constexpr size_t kFileRecordSize = 248;
constexpr size_t kThreadHeaderSize = 10;

enum RecordType : uint16_t { kFolder = 1, kFile = 2, kFolderThread = 3, kFileThread = 4 };

CatalogThread parse_thread(const uint8_t* p, uint16_t name_len) {
    CatalogThread t;
    t.parent_id = core::load_be32(p + 4);
    t.name = unicode::utf16_to_string(unicode::utf16be_to_u16({p + kThreadHeaderSize, size_t(name_len) * 2}));
    return t;
}

// The fields at 12 to 84 of a folder or file record (which holds at least 84 bytes).
Result<void> parse_dates(std::span<const uint8_t> data, CatalogDates& d) {
    const uint8_t* p = data.data();
    d.create_date = core::load_be32(p + 12);
    d.content_mod_date = core::load_be32(p + 16);
    d.attribute_mod_date = core::load_be32(p + 20);
    d.access_date = core::load_be32(p + 24);
    d.backup_date = core::load_be32(p + 28);
    size_t pos = 32;
    d.bsd = KIV_TRY(parse_bsd_info(data, pos));
    d.text_encoding = core::load_be32(p + 80);
    return {};
}

std::string join(std::span<const std::string_view> parts) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += '/';
        out += parts[i];
    }
    return out;
}

// Looks a path component up as given; then with ":" read as "/", as
// listings present that character; then both again canonically decomposed,
// the form HFS+ stores (a name typed on Linux is usually composed).
Result<std::optional<CatalogRecord>> lookup_component(core::ByteSource& source, const BTreeHeader& catalog,
                                                      bool is_hfsx, uint32_t parent, std::string_view name) {
    std::vector<std::string> spellings{std::string(name)};
    auto add = [&](std::string s) {
        if (std::find(spellings.begin(), spellings.end(), s) == spellings.end()) spellings.push_back(std::move(s));
    };
    if (name.find(':') != std::string_view::npos) {
        std::string slashed(name);
        std::replace(slashed.begin(), slashed.end(), ':', '/');
        add(std::move(slashed));
    }
    for (size_t i = 0, n = spellings.size(); i < n; ++i) add(unicode::decompose(spellings[i]));
    for (const auto& spelling : spellings)
        if (auto found = KIV_TRY(lookup_catalog(source, catalog, is_hfsx, parent, spelling))) return found;
    return std::nullopt;
}

}  // namespace

std::string present_name(std::span<const uint16_t> units) {
    std::string name = unicode::utf16_to_string(units);
    std::replace(name.begin(), name.end(), '/', ':');
    return name;
}

Result<ForkData> parse_fork_data(std::span<const uint8_t> bytes, size_t& pos) {
    if (pos > bytes.size() || bytes.size() - pos < 80) return core::eof_fail();
    const uint8_t* p = bytes.data() + pos;
    ForkData f;
    f.logical_size = core::load_be64(p);
    f.clump_size = core::load_be32(p + 8);
    f.total_blocks = core::load_be32(p + 12);
    for (size_t i = 0; i < 8; ++i) {
        f.extents[i].start_block = core::load_be32(p + 16 + 8 * i);
        f.extents[i].block_count = core::load_be32(p + 20 + 8 * i);
    }
    pos += 80;
    return f;
}

Result<BsdInfo> parse_bsd_info(std::span<const uint8_t> bytes, size_t& pos) {
    if (pos > bytes.size() || bytes.size() - pos < 16) return core::eof_fail();
    const uint8_t* p = bytes.data() + pos;
    BsdInfo b;
    b.owner_id = core::load_be32(p);
    b.group_id = core::load_be32(p + 4);
    b.admin_flags = p[8];
    b.owner_flags = p[9];
    b.file_mode = core::load_be16(p + 10);
    b.special = core::load_be32(p + 12);
    pos += 16;
    return b;
}

Result<ParsedKey> parse_catalog_key(std::span<const uint8_t> record) {
    if (record.size() < kMinKeySize) return std::unexpected(HfsPlusError::invalid_btree("catalog key too short"));
    const size_t key_len = core::load_be16(record.data());
    const size_t name_len = core::load_be16(record.data() + 6);
    const size_t name_end = kMinKeySize + 2 * name_len;
    if (name_end > record.size())
        return std::unexpected(HfsPlusError::invalid_btree("catalog key name extends beyond data: name_end=" +
                                                           std::to_string(name_end) +
                                                           ", data_len=" + std::to_string(record.size())));
    ParsedKey k;
    k.key.parent_id = core::load_be32(record.data() + 2);
    k.key.name = unicode::utf16be_to_u16(record.subspan(kMinKeySize, 2 * name_len));
    k.data_offset = key_len + (key_len & 1) + 2;
    return k;
}

Result<CatalogRecord> parse_catalog_record(std::span<const uint8_t> data) {
    if (data.size() < 2) return std::unexpected(HfsPlusError::invalid_btree("catalog record too short"));
    const uint8_t* p = data.data();
    const uint16_t type = core::load_be16(p);
    switch (type) {
        case kFolder: {
            if (data.size() < kFolderRecordSize) return core::eof_fail();
            CatalogFolder f;
            KIV_TRY(parse_dates(data, f));
            f.valence = core::load_be32(p + 4);
            f.folder_id = core::load_be32(p + 8);
            return f;
        }
        case kFile: {
            if (data.size() < kFileRecordSize) return core::eof_fail();
            CatalogFile f;
            KIV_TRY(parse_dates(data, f));
            f.file_id = core::load_be32(p + 8);
            size_t pos = 88;
            f.data_fork = KIV_TRY(parse_fork_data(data, pos));
            f.resource_fork = KIV_TRY(parse_fork_data(data, pos));
            f.file_type = core::load_be32(p + 48);
            f.creator = core::load_be32(p + 52);
            return f;
        }
        case kFolderThread:
        case kFileThread: {
            if (data.size() < kThreadHeaderSize) return core::eof_fail();
            const uint16_t name_len = core::load_be16(p + 8);
            if (data.size() - kThreadHeaderSize < size_t(name_len) * 2) return core::eof_fail();
            if (type == kFolderThread) return CatalogFolderThread{parse_thread(p, name_len)};
            return CatalogFileThread{parse_thread(p, name_len)};
        }
        default: {
            char hex[8];
            std::snprintf(hex, sizeof hex, "%04X", unsigned(type));
            return std::unexpected(HfsPlusError::invalid_btree(std::string("unknown catalog record type: 0x") + hex));
        }
    }
}

Comparator make_catalog_comparator(uint32_t parent_id, std::vector<uint16_t> name, bool is_hfsx) {
    // Compares straight from the record bytes; the scratch vector is reused.
    return [parent_id, name = std::move(name), is_hfsx, scratch = std::vector<uint16_t>()](
               std::span<const uint8_t> record) mutable -> std::optional<std::strong_ordering> {
        if (record.size() < kMinKeySize) return std::nullopt;
        const size_t name_len = core::load_be16(record.data() + 6);
        if (kMinKeySize + 2 * name_len > record.size()) return std::nullopt;
        const uint32_t parent = core::load_be32(record.data() + 2);
        if (parent != parent_id) return parent <=> parent_id;
        scratch.resize(name_len);
        for (size_t i = 0; i < name_len; ++i) scratch[i] = core::load_be16(record.data() + kMinKeySize + 2 * i);
        return is_hfsx ? unicode::compare_binary(scratch, name) : unicode::compare_case_insensitive(scratch, name);
    };
}

Result<std::optional<CatalogRecord>> lookup_catalog(core::ByteSource& source, const BTreeHeader& catalog,
                                                    bool is_hfsx, uint32_t parent_id, std::string_view name) {
    auto compare = make_catalog_comparator(parent_id, unicode::string_to_utf16(name), is_hfsx);
    auto hit = KIV_TRY(btree::search_btree(source, catalog, compare));
    if (!hit) return std::nullopt;
    auto record = hit->record();
    auto key = KIV_TRY(parse_catalog_key(record));
    if (record.size() <= key.data_offset)
        return std::unexpected(HfsPlusError::invalid_btree("record data missing after key"));
    return KIV_TRY(parse_catalog_record(record.subspan(key.data_offset)));
}

Result<void> for_each_child(core::ByteSource& source, const VolumeHeader& volume, const BTreeHeader& catalog,
                            uint32_t parent_id, const ChildVisitor& visit) {
    // The leaf that would hold (parent id, empty name).
    auto compare = make_catalog_comparator(parent_id, {}, volume.is_hfsx);
    auto leaf = KIV_TRY(btree::find_leaf(source, catalog, compare, true, "leaf search"));
    if (!leaf) return {};
    BTreeNode node = std::move(*leaf);

    // Follow the leaf chain until a key of a greater parent.  A sound chain
    // visits each node once, and there are no more nodes than the fork can
    // address and the image can hold: more visits than that is a cycle.
    const uint64_t image_size = KIV_TRY(source.size());
    const uint64_t max_nodes = std::min(catalog.node_capacity(), image_size / std::max<uint64_t>(catalog.node_size, 1));
    for (uint64_t visited = 1;; ++visited) {
        if (visited > max_nodes)
            return std::unexpected(HfsPlusError::invalid_btree("leaf chain longer than the " +
                                                               std::to_string(max_nodes) +
                                                               " nodes of the tree (cycle in leaf links)"));
        for (size_t i = 0; i < node.descriptor.num_records; ++i) {
            auto rec = KIV_TRY(node.record_data(i));
            auto key = KIV_TRY(parse_catalog_key(rec));  // a damaged key would hide an entry
            if (key.key.parent_id < parent_id) continue;
            if (key.key.parent_id > parent_id) return {};
            if (rec.size() <= key.data_offset) continue;
            auto record = KIV_TRY(parse_catalog_record(rec.subspan(key.data_offset)));
            if (std::holds_alternative<CatalogFolderThread>(record) || std::holds_alternative<CatalogFileThread>(record))
                continue;
            if (!visit(key.key, std::move(record))) return {};
        }
        const uint32_t next = node.descriptor.forward_link;
        if (next == 0) return {};
        node = KIV_TRY(btree::read_node(source, catalog, next));
        if (!node.is_leaf()) return {};
    }
}

Result<std::vector<DirEntry>> list_directory(core::ByteSource& source, const VolumeHeader& volume,
                                             const BTreeHeader& catalog, uint32_t parent_id) {
    std::vector<DirEntry> out;
    KIV_TRY(for_each_child(source, volume, catalog, parent_id, [&](const CatalogKey& key, CatalogRecord&& record) {
        DirEntry e;
        if (auto* folder = std::get_if<CatalogFolder>(&record)) {
            e.kind = EntryKind::Directory;
            e.id = folder->folder_id;
            e.create_time = folder->create_date;
            e.modify_time = folder->content_mod_date;
        } else {
            auto& file = std::get<CatalogFile>(record);
            e.kind = file.is_symlink() ? EntryKind::Symlink : EntryKind::File;
            e.size = file.data_fork.logical_size;
            e.owner_flags = file.bsd.owner_flags;
            if (file.is_hard_link()) e.hard_link_inode = file.bsd.special;
            e.id = file.file_id;
            e.create_time = file.create_date;
            e.modify_time = file.content_mod_date;
        }
        e.name = present_name(key.name);
        out.push_back(std::move(e));
        return true;
    }));
    return out;
}

Result<ResolvedPath> resolve_path(core::ByteSource& source, const VolumeHeader& volume,
                                  const BTreeHeader& catalog, std::string_view path) {
    const size_t first = path.find_first_not_of('/');
    if (first == std::string_view::npos) {
        // The root folder is keyed by (1, volume name): first by an empty name.
        if (auto root = KIV_TRY(lookup_catalog(source, catalog, volume.is_hfsx, kRootParentId, "")))
            return ResolvedPath{std::move(*root), ""};
        // Else the first child of the root's parent, whatever its name holds
        // (a "/" in it is shown as ":", which a lookup by name would not find).
        std::optional<ResolvedPath> root;
        KIV_TRY(for_each_child(source, volume, catalog, kRootParentId, [&](const CatalogKey& key, CatalogRecord&& r) {
            root = ResolvedPath{std::move(r), present_name(key.name)};
            return false;
        }));
        if (!root) return std::unexpected(HfsPlusError::file_not_found("root folder"));
        return std::move(*root);
    }
    path = path.substr(first, path.find_last_not_of('/') + 1 - first);

    std::vector<std::string_view> parts;
    for (size_t pos = 0; pos <= path.size();) {
        size_t end = std::min(path.find('/', pos), path.size());
        if (end > pos) parts.push_back(path.substr(pos, end - pos));
        pos = end + 1;
    }

    uint32_t parent = kRootFolderId;
    for (size_t i = 0; i < parts.size(); ++i) {
        auto found = KIV_TRY(lookup_component(source, catalog, volume.is_hfsx, parent, parts[i]));
        std::span<const std::string_view> so_far(parts.data(), i + 1);
        if (!found) return std::unexpected(HfsPlusError::file_not_found(join(so_far)));
        if (i + 1 == parts.size()) return ResolvedPath{std::move(*found), std::string(parts[i])};
        if (auto* folder = std::get_if<CatalogFolder>(&*found))
            parent = folder->folder_id;
        else if (std::holds_alternative<CatalogFile>(*found))
            return std::unexpected(HfsPlusError::not_a_directory(join(so_far)));
        else
            return std::unexpected(HfsPlusError::corrupted_data("unexpected thread record in path resolution"));
    }
    return std::unexpected(HfsPlusError::file_not_found("root folder"));  // unreachable: parts is not empty
}

}  // namespace catalog
}  // namespace hfsplus
