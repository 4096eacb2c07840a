#include "catalog.hpp"

#include <algorithm>

#include "compressed.hpp"
#include "core/endian.hpp"
#include "core/text.hpp"
#include "core/try.hpp"
#include "internal.hpp"

namespace apfs {

using core::load_le16;
using core::load_le32;
using core::load_le64;
using std::to_string;

namespace {

constexpr uint64_t kOidMask = 0x0FFF'FFFF'FFFF'FFFFull;
constexpr uint8_t kXattrDataStream = 1;
constexpr uint8_t kExtFieldDataStream = 8;
constexpr uint16_t kDirectoryType = 4;
constexpr uint16_t kSymlinkType = 10;

std::string too_short(const char* what, size_t n) { return std::string(what) + " too short: " + to_string(n) + " bytes"; }

}  // namespace

EntryKind kind_from_mode(uint16_t mode) {
    switch (mode & 0xF000) {
        case 0x4000: return EntryKind::Directory;
        case 0xA000: return EntryKind::Symlink;
        default: return EntryKind::File;
    }
}

Result<InodeVal> catalog::parse_inode(std::span<const uint8_t> v) {
    const size_t len = v.size();
    if (len < kInodeMinSize) return fail(ApfsError::corrupted(too_short("inode value", len)));
    const uint8_t* p = v.data();
    InodeVal inode;
    inode.parent_id = load_le64(p);
    inode.private_id = load_le64(p + 8);
    inode.create_time = load_le64(p + 16);
    inode.mod_time = load_le64(p + 24);
    inode.change_time = load_le64(p + 32);
    inode.access_time = load_le64(p + 40);
    inode.internal_flags = load_le64(p + 48);
    inode.nlink = load_le32(p + 56);
    inode.protection_class = load_le32(p + 60);
    inode.write_generation = load_le32(p + 64);
    inode.bsd_flags = load_le32(p + 68);
    inode.owner = load_le32(p + 72);
    inode.group = load_le32(p + 76);
    inode.mode = load_le16(p + 80);
    inode.uncompressed_size = load_le64(p + 84);

    // Extended fields: a count and a data size at 92, then a 4-byte header per
    // field (type, flags, size), then each field's data padded to 8 bytes.
    if (len < 96) return inode;
    const uint64_t count = load_le16(p + 92);
    const uint64_t xlen = len - 92;  // bytes from the extended-field blob on
    if (count == 0 || 4 + 4 * count > xlen) return inode;
    uint64_t data = 4 + 4 * count;  // offset of the next field's data, from 92
    for (uint64_t i = 0; i < count && i < (len - 96) / 4; ++i) {
        const uint8_t* h = p + 96 + 4 * i;
        const uint8_t type = h[0];
        const uint16_t size = load_le16(h + 2);
        if (type == kExtFieldDataStream && size >= 8) {
            if (data + 8 <= xlen) inode.dstream_size = load_le64(p + 92 + data);
            break;
        }
        data += (uint64_t(size) + 7) / 8 * 8;
    }
    return inode;
}

Result<DrecVal> DrecVal::parse(std::span<const uint8_t> v) {
    if (v.size() < 18) return fail(ApfsError::corrupted(too_short("drec value", v.size())));
    return DrecVal{load_le64(v.data()), load_le64(v.data() + 8), load_le16(v.data() + 16)};
}

EntryKind DrecVal::kind() const {
    switch (flags & 0xF) {
        case kDirectoryType: return EntryKind::Directory;
        case kSymlinkType: return EntryKind::Symlink;
        default: return EntryKind::File;
    }
}

Result<FileExtentVal> FileExtentVal::parse(std::span<const uint8_t> v) {
    if (v.size() < 24) return fail(ApfsError::corrupted(too_short("file extent value", v.size())));
    return FileExtentVal{load_le64(v.data()), load_le64(v.data() + 8), load_le64(v.data() + 16)};
}

namespace catalog {

std::strong_ordering compare_key_to(std::span<const uint8_t> key, uint64_t oid, uint8_t type) {
    if (key.size() < 8) return std::strong_ordering::less;
    const uint64_t head = load_le64(key.data());
    if (auto c = (head & kOidMask) <=> oid; c != 0) return c;
    return uint8_t(head >> 60) <=> type;
}

KeyCompare catalog_key(uint64_t oid, uint8_t type) {
    return [oid, type](std::span<const uint8_t> key) { return compare_key_to(key, oid, type); };
}

std::strong_ordering compare_xattr_key(std::span<const uint8_t> key, uint64_t oid, std::span<const uint8_t> name) {
    if (auto c = compare_key_to(key, oid, kRecordXattr); c != 0) return c;
    auto stored = key.size() > 10 ? key.subspan(10) : std::span<const uint8_t>();
    return std::lexicographical_compare_three_way(stored.begin(), stored.end(), name.begin(), name.end());
}

Result<std::string> decode_drec_name(std::span<const uint8_t> key) {
    if (key.size() < 12) return fail(ApfsError::invalid_btree("drec key too short for name"));
    const size_t name_len = load_le32(key.data() + 8) & 0x3FF;  // the upper bits hold the name hash
    if (12 + name_len > key.size())
        return fail(ApfsError::invalid_btree("drec name extends beyond key: name_end=" + to_string(12 + name_len) +
                                             ", key_len=" + to_string(key.size())));
    auto name = key.subspan(12, name_len);
    auto nul = std::find(name.begin(), name.end(), uint8_t(0));
    return core::utf8_lossy(core::as_text(name.first(size_t(nul - name.begin()))));
}

// A value in a data stream holds the stream's id and then its description,
// whose first field is the size.
Result<XattrValue> parse_xattr(std::span<const uint8_t> v) {
    if (v.size() < 4) return fail(ApfsError::corrupted(too_short("xattr value", v.size())));
    const size_t end = std::min<size_t>(4 + size_t(load_le16(v.data() + 2)), v.size());
    auto data = v.subspan(4, end - 4);
    if (!(load_le16(v.data()) & kXattrDataStream)) return XattrValue{{data.begin(), data.end()}, std::nullopt};
    if (data.size() < 16) return fail(ApfsError::corrupted(too_short("xattr data stream", data.size())));
    return XattrValue{{}, XattrValue::Stream{load_le64(data.data()), load_le64(data.data() + 8)}};
}

Result<std::vector<uint8_t>> parse_xattr_value(std::span<const uint8_t> v) {
    auto value = parse_xattr(v);
    if (value && !value->stream) return std::move(value->embedded);
    if (v.size() >= 4 && (load_le16(v.data()) & kXattrDataStream))
        return fail(ApfsError::unsupported("xattr is stored as a data stream, not embedded in the record"));
    return fail(value.error());
}

Result<uint64_t> parse_file_extent_logical_addr(std::span<const uint8_t> key) {
    if (key.size() < 16)
        return fail(ApfsError::corrupted("file extent key too short for a logical address: " +
                                         to_string(key.size()) + " bytes"));
    return load_le64(key.data() + 8);
}

namespace {

btree::OmapView view(const Tree& tree) { return {tree.omap_root, tree.xid}; }

Result<std::optional<std::vector<uint8_t>>> lookup(core::ByteSource& source, const Tree& tree,
                                                   const KeyCompare& compare) {
    return btree::btree_lookup(source, tree.root_block, tree.block_size, 0, 0, compare, view(tree));
}

Result<std::vector<Record>> scan(core::ByteSource& source, const Tree& tree, uint64_t oid, uint8_t type) {
    return btree::btree_scan(source, tree.root_block, tree.block_size, 0, 0, catalog_key(oid, type), view(tree));
}

}  // namespace

Result<InodeVal> lookup_inode(core::ByteSource& source, const Tree& tree, uint64_t id) {
    auto value = KIV_TRY(lookup(source, tree, catalog_key(id, kRecordInode)));
    if (!value) return fail(ApfsError::file_not_found("inode OID " + to_string(id)));
    return parse_inode(*value);
}

namespace {

// The raw value of attribute `name` of `id`.
Result<std::optional<std::vector<uint8_t>>> find_xattr(core::ByteSource& source, const Tree& tree, uint64_t id,
                                                       std::string_view name) {
    std::vector<uint8_t> target(name.begin(), name.end());
    target.push_back(0);
    return lookup(source, tree, [&](std::span<const uint8_t> key) { return compare_xattr_key(key, id, target); });
}

// Parses a value that was found; absence stays absence.
template <class T>
Result<std::optional<T>> parse_found(Result<std::optional<std::vector<uint8_t>>> raw,
                                     Result<T> (*parse)(std::span<const uint8_t>)) {
    const auto found = KIV_TRY(std::move(raw));
    if (!found) return std::optional<T>{};
    return std::optional<T>(KIV_TRY(parse(*found)));
}

}  // namespace

Result<std::optional<XattrValue>> lookup_xattr_value(core::ByteSource& source, const Tree& tree, uint64_t id,
                                                    std::string_view name) {
    return parse_found(find_xattr(source, tree, id, name), parse_xattr);
}

Result<std::optional<std::vector<uint8_t>>> lookup_xattr(core::ByteSource& source, const Tree& tree, uint64_t id,
                                                         std::string_view name) {
    return parse_found(find_xattr(source, tree, id, name), parse_xattr_value);
}

Result<std::optional<std::vector<uint8_t>>> symlink_target(core::ByteSource& source, const Tree& tree, uint64_t id) {
    auto data = KIV_TRY(lookup_xattr(source, tree, id, "com.apple.fs.symlink"));
    if (data) {
        auto& bytes = *data;
        while (!bytes.empty() && bytes.back() == 0) bytes.pop_back();
    }
    return data;
}

Result<std::vector<FileExtentRecord>> lookup_extents(core::ByteSource& source, const Tree& tree, uint64_t stream_id) {
    auto records = KIV_TRY(scan(source, tree, stream_id, kRecordFileExtent));
    std::vector<FileExtentRecord> extents;
    extents.reserve(records.size());
    for (const auto& [key, value] : records) {
        auto logical = KIV_TRY(parse_file_extent_logical_addr(key));
        auto val = KIV_TRY(FileExtentVal::parse(value));
        extents.push_back({logical, val.len_and_flags, val.phys_block, val.crypto_id});
    }
    return extents;
}

Result<std::vector<DirEntry>> list_directory(core::ByteSource& source, const Tree& tree, uint64_t directory_id) {
    auto records = KIV_TRY(scan(source, tree, directory_id, kRecordDirRecord));
    std::vector<DirEntry> entries;
    entries.reserve(records.size());
    for (const auto& [key, value] : records) {
        auto name = decode_drec_name(key);
        if (!name) continue;
        auto drec = DrecVal::parse(value);
        if (!drec) continue;
        DirEntry entry{std::move(*name), drec->file_id, 0, 0, 0, drec->kind()};
        // A missing or unreadable inode still leaves the name listed.
        if (auto inode = lookup_inode(source, tree, drec->file_id)) {
            entry.size = detail::file_size(source, tree, drec->file_id, *inode);
            entry.create_time = inode->create_time;
            entry.mod_time = inode->mod_time;
        }
        // macOS keeps a symlink's target in an attribute, not in a data
        // stream, so its inode size says nothing; report the target length.
        if (entry.kind == EntryKind::Symlink)
            if (auto target = symlink_target(source, tree, entry.id); target && *target)
                entry.size = (*target)->size();
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<std::string_view> split_path(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        if (j > i) parts.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return parts;
}

Result<std::pair<uint64_t, InodeVal>> resolve_path(core::ByteSource& source, const Tree& tree, std::string_view path) {
    auto resolved = [&](uint64_t id) -> Result<std::pair<uint64_t, InodeVal>> {
        auto inode = KIV_TRY(lookup_inode(source, tree, id));
        return std::pair{id, std::move(inode)};
    };
    const auto parts = split_path(path);
    if (parts.empty()) return resolved(kRootDirectoryId);

    uint64_t current = kRootDirectoryId;
    for (size_t k = 0; k < parts.size(); ++k) {
        auto records = KIV_TRY(scan(source, tree, current, kRecordDirRecord));
        const Record* match = nullptr;
        for (const auto& record : records) {
            auto name = decode_drec_name(record.first);
            if (name && *name == parts[k]) {
                match = &record;
                break;
            }
        }
        if (!match) return fail(ApfsError::file_not_found(std::string(parts[k])));
        auto drec = KIV_TRY(DrecVal::parse(match->second));
        current = drec.file_id;
        if (k + 1 == parts.size()) return resolved(current);
        if ((drec.flags & 0xF) != kDirectoryType) {
            std::string prefix;
            for (size_t i = 0; i <= k; ++i) prefix += (i ? "/" : "") + std::string(parts[i]);
            return fail(ApfsError::not_a_directory(std::move(prefix)));
        }
    }
    return resolved(current);  // not reached: the loop returns at the last component
}

}  // namespace catalog
}  // namespace apfs
