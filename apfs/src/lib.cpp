#include "apfs/apfs.hpp"

#include <string>

#include "catalog.hpp"
#include "compressed.hpp"
#include "extents.hpp"
#include "superblock.hpp"
#include "core/text.hpp"
#include "core/try.hpp"
#include "internal.hpp"
#include "xattr_data.hpp"

namespace apfs {

using std::to_string;

Result<ApfsVolume> ApfsVolume::open(std::unique_ptr<core::ByteSource> source) {
    if (!source) return fail(ApfsError(core::IoError::other("no byte source")));
    auto volume = KIV_TRY(superblock::open_first_volume(*source));
    ApfsVolume opened;
    opened.source_ = std::move(source);
    opened.name_ = std::move(volume.superblock.volume_name);
    opened.file_count_ = volume.superblock.num_files;
    opened.directory_count_ = volume.superblock.num_directories;
    opened.symlink_count_ = volume.superblock.num_symlinks;
    opened.catalog_root_ = volume.catalog.root_block;
    opened.omap_root_ = volume.catalog.omap_root;
    opened.block_size_ = volume.catalog.block_size;
    opened.xid_ = volume.catalog.xid;
    return opened;
}

catalog::Tree ApfsVolume::tree() const { return {catalog_root_, omap_root_, block_size_, xid_}; }

Result<bool> ApfsVolume::exists(std::string_view path) {
    auto found = resolve_path(path);
    if (found) return true;
    if (found.error().kind() == ApfsError::Kind::FileNotFound) return false;
    return fail(std::move(found.error()));
}

Result<std::pair<uint64_t, InodeVal>> ApfsVolume::resolve_path(std::string_view path) {
    return catalog::resolve_path(*source_, tree(), path);
}

Result<std::vector<DirEntry>> ApfsVolume::list_directory(std::string_view path) {
    if (path.empty() || path == "/") return catalog::list_directory(*source_, tree(), kRootDirectoryId);
    auto resolved = KIV_TRY(resolve_path(path));
    if (kind_from_mode(resolved.second.mode) != EntryKind::Directory)
        return fail(ApfsError::not_a_directory(std::string(path)));
    return catalog::list_directory(*source_, tree(), resolved.first);
}

Result<FileStat> ApfsVolume::stat(std::string_view path) {
    auto resolved = KIV_TRY(resolve_path(path));
    const auto& [id, inode] = resolved;
    FileStat st{id, detail::file_size(*source_, tree(), id, inode), inode.create_time, inode.mod_time,
                inode.owner, inode.group, inode.nlink, inode.mode, kind_from_mode(inode.mode)};
    if (st.kind == EntryKind::Symlink) {
        auto target = KIV_TRY(symlink_target(id));
        if (target) st.size = target->size();
    }
    return st;
}

Result<std::optional<std::vector<uint8_t>>> ApfsVolume::read_xattr(std::string_view path, std::string_view name) {
    auto resolved = KIV_TRY(resolve_path(path));
    return detail::read_xattr(*source_, tree(), resolved.first, name,
                              "attribute " + std::string(name) + " of " + core::debug_quote(path));
}

Result<std::optional<std::vector<uint8_t>>> ApfsVolume::symlink_target(uint64_t id) {
    return catalog::symlink_target(*source_, tree(), id);
}

Result<std::vector<WalkEntry>> ApfsVolume::walk() {
    std::vector<WalkEntry> out;
    std::unordered_set<uint64_t> walked{kRootDirectoryId};
    KIV_TRY(walk_recursive(kRootDirectoryId, "", out, walked, 0));
    return out;
}

// Each directory is entered once: a directory record leading back to a
// directory already walked (an ancestor, or one reached twice) ends the walk
// with an error instead of recursing without end.
Result<void> ApfsVolume::walk_recursive(uint64_t directory_id, const std::string& prefix, std::vector<WalkEntry>& out,
                                        std::unordered_set<uint64_t>& walked, size_t depth) {
    auto entries = KIV_TRY(catalog::list_directory(*source_, tree(), directory_id));
    for (auto& entry : entries) {
        std::string path = prefix + "/" + entry.name;
        const bool is_dir = entry.kind == EntryKind::Directory;
        const uint64_t id = entry.id;
        out.push_back(WalkEntry{path, std::move(entry)});
        if (!is_dir) continue;
        if (!walked.insert(id).second)
            return fail(ApfsError::corrupted("directory cycle: inode " + to_string(id) + " reached again at " + path));
        if (depth + 1 >= kMaxWalkDepth)
            return fail(ApfsError::corrupted("directories nested deeper than " + to_string(kMaxWalkDepth) +
                                             " levels at " + path));
        KIV_TRY(walk_recursive(id, path, out, walked, depth + 1));
    }
    return {};
}

// A regular file's bytes come from its extents, or from its decmpfs
// attribute (and resource fork) when it is compressed.
Result<ApfsVolume::FileData> ApfsVolume::file_data(uint64_t id, const InodeVal& inode, std::string_view path) {
    if (kind_from_mode(inode.mode) == EntryKind::Directory) return FileData{};
    auto value = KIV_TRY(detail::decmpfs_value(*source_, tree(), id, inode));
    if (!value) return FileData{std::nullopt, inode.size()};
    auto size = KIV_TRY(detail::uncompressed_size(*source_, *value, path));
    return FileData{std::move(value), size};
}

Result<uint64_t> ApfsVolume::write_file(const InodeVal& inode, uint64_t id, const FileData& data,
                                        std::string_view path, core::ByteSink& writer) {
    if (data.decmpfs) return detail::write_decompressed(*source_, tree(), id, *data.decmpfs, path, writer);
    if (data.size == 0) return 0;
    auto records = KIV_TRY(catalog::lookup_extents(*source_, tree(), inode.private_id));
    const extents::StreamLayout layout(records, block_size_);
    KIV_TRY(layout.write_to(*source_, data.size, writer));
    return data.size;
}

// In memory, a file may not be larger than its container could produce: a
// plain file holds no more data than the container (the rest would be
// holes, which read_file_to leaves as holes in a file), a compressed one no
// more than the codecs' best ratio allows (checked in file_data).
Result<std::vector<uint8_t>> ApfsVolume::read_file(std::string_view path) {
    auto resolved = KIV_TRY(resolve_path(path));
    const auto& [id, inode] = resolved;
    if (kind_from_mode(inode.mode) == EntryKind::Symlink) {
        auto target = KIV_TRY(symlink_target(id));
        if (target) return std::move(*target);
    }
    auto data = KIV_TRY(file_data(id, inode, path));
    auto held = KIV_TRY(source_->size());
    const uint64_t limit = std::min(kMaxInMemoryFile, data.decmpfs ? kMaxInMemoryFile : held);
    if (data.size > limit)
        return fail(ApfsError::unsupported("file too large to read into memory: " + to_string(data.size) +
                                           " bytes, more than " + to_string(limit) + " (read it into a file)"));
    core::VecSink sink;
    KIV_TRY(write_file(inode, id, data, path, sink));
    return sink.take();
}

Result<uint64_t> ApfsVolume::read_file_to(std::string_view path, core::ByteSink& writer) {
    auto resolved = KIV_TRY(resolve_path(path));
    const auto& [id, inode] = resolved;
    if (kind_from_mode(inode.mode) == EntryKind::Symlink) {
        auto target = KIV_TRY(symlink_target(id));
        if (target) {
            KIV_TRY(writer.write_all(*target));
            return uint64_t(target->size());
        }
    }
    auto data = KIV_TRY(file_data(id, inode, path));
    return write_file(inode, id, data, path, writer);
}

}  // namespace apfs
