#include "apfs/apfs.hpp"

#include <string>

#include "compressed.hpp"
#include "core/text.hpp"
#include "internal.hpp"
#include "xattr_data.hpp"

namespace apfs {

using std::to_string;

Result<ApfsVolume> ApfsVolume::open(std::unique_ptr<core::ByteSource> source) {
    if (!source) return fail(ApfsError::io(core::IoError::other("no byte source")));
    core::ByteSource& src = *source;
    auto block0 = superblock::read_nxsb(src);
    if (!block0) return fail(block0.error());
    auto nx = superblock::find_latest_nxsb(src, *block0);
    if (!nx) return fail(nx.error());
    const uint32_t bs = nx->block_size;

    auto container_omap = omap::read_omap_tree_root(src, nx->omap_oid, bs);
    if (!container_omap) return fail(container_omap.error());
    uint64_t volume_oid = 0;
    for (uint64_t oid : nx->fs_oids)
        if (oid != 0) {
            volume_oid = oid;
            break;
        }
    if (volume_oid == 0) return fail(ApfsError::no_volume());

    auto volume_block = omap::omap_lookup(src, *container_omap, bs, volume_oid);
    if (!volume_block) return fail(volume_block.error());
    auto apsb_bytes = object::read_block(src, *volume_block, bs);
    if (!apsb_bytes) return fail(apsb_bytes.error());
    auto apsb = ApfsSuperblock::parse(*apsb_bytes);
    if (!apsb) return fail(apsb.error());
    auto volume_omap = omap::read_omap_tree_root(src, apsb->omap_oid, bs);
    if (!volume_omap) return fail(volume_omap.error());
    auto catalog_root = omap::omap_lookup(src, *volume_omap, bs, apsb->root_tree_oid);
    if (!catalog_root) return fail(catalog_root.error());

    ApfsVolume volume;
    volume.source_ = std::move(source);
    volume.name_ = std::move(apsb->volume_name);
    volume.file_count_ = apsb->num_files;
    volume.directory_count_ = apsb->num_directories;
    volume.symlink_count_ = apsb->num_symlinks;
    volume.tree_ = catalog::Tree{*catalog_root, *volume_omap, bs};
    return volume;
}

Result<std::pair<uint64_t, InodeVal>> ApfsVolume::resolve_path(std::string_view path) {
    return catalog::resolve_path(*source_, tree_, path);
}

Result<std::vector<DirEntry>> ApfsVolume::list_directory(std::string_view path) {
    if (path.empty() || path == "/") return catalog::list_directory(*source_, tree_, kRootDirectoryId);
    auto resolved = resolve_path(path);
    if (!resolved) return fail(resolved.error());
    if (kind_from_mode(resolved->second.mode) != EntryKind::Directory)
        return fail(ApfsError::not_a_directory(std::string(path)));
    return catalog::list_directory(*source_, tree_, resolved->first);
}

Result<FileStat> ApfsVolume::stat(std::string_view path) {
    auto resolved = resolve_path(path);
    if (!resolved) return fail(resolved.error());
    const auto& [id, inode] = *resolved;
    FileStat st{id, detail::file_size(*source_, tree_, id, inode), inode.create_time, inode.mod_time,
                inode.owner, inode.group, inode.nlink, inode.mode, kind_from_mode(inode.mode)};
    if (st.kind == EntryKind::Symlink) {
        auto target = symlink_target(id);
        if (!target) return fail(target.error());
        if (*target) st.size = (*target)->size();
    }
    return st;
}

Result<std::optional<std::vector<uint8_t>>> ApfsVolume::read_xattr(std::string_view path, std::string_view name) {
    auto resolved = resolve_path(path);
    if (!resolved) return fail(resolved.error());
    return detail::read_xattr(*source_, tree_, resolved->first, name,
                              "attribute " + std::string(name) + " of " + core::debug_quote(path));
}

Result<std::optional<std::vector<uint8_t>>> ApfsVolume::symlink_target(uint64_t id) {
    return catalog::symlink_target(*source_, tree_, id);
}

Result<std::vector<WalkEntry>> ApfsVolume::walk() {
    std::vector<WalkEntry> out;
    std::unordered_set<uint64_t> walked{kRootDirectoryId};
    if (auto r = walk_recursive(kRootDirectoryId, "", out, walked, 0); !r) return fail(r.error());
    return out;
}

// Each directory is entered once: a directory record leading back to a
// directory already walked (an ancestor, or one reached twice) ends the walk
// with an error instead of recursing without end.
Result<void> ApfsVolume::walk_recursive(uint64_t directory_id, const std::string& prefix, std::vector<WalkEntry>& out,
                                        std::unordered_set<uint64_t>& walked, size_t depth) {
    auto entries = catalog::list_directory(*source_, tree_, directory_id);
    if (!entries) return fail(entries.error());
    for (auto& entry : *entries) {
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
        if (auto r = walk_recursive(id, path, out, walked, depth + 1); !r) return r;
    }
    return {};
}

// A regular file's bytes come from its extents, or from its decmpfs
// attribute (and resource fork) when it is compressed.
Result<ApfsVolume::FileData> ApfsVolume::file_data(uint64_t id, const InodeVal& inode, std::string_view path) {
    if (kind_from_mode(inode.mode) == EntryKind::Directory) return FileData{};
    auto value = detail::decmpfs_value(*source_, tree_, id, inode);
    if (!value) return fail(value.error());
    if (!*value) return FileData{std::nullopt, inode.size()};
    auto size = detail::uncompressed_size(*source_, **value, path);
    if (!size) return fail(size.error());
    return FileData{std::move(*value), *size};
}

Result<uint64_t> ApfsVolume::write_file(const InodeVal& inode, uint64_t id, const FileData& data,
                                        std::string_view path, core::ByteSink& writer) {
    if (data.decmpfs) return detail::write_decompressed(*source_, tree_, id, *data.decmpfs, path, writer);
    if (data.size == 0) return 0;
    auto records = catalog::lookup_extents(*source_, tree_, inode.private_id);
    if (!records) return fail(records.error());
    const extents::StreamLayout layout(*records, tree_.block_size);
    if (auto r = layout.write_to(*source_, data.size, writer); !r) return fail(r.error());
    return data.size;
}

// In memory, a file may not be larger than its container could produce: a
// plain file holds no more data than the container (the rest would be
// holes, which read_file_to leaves as holes in a file), a compressed one no
// more than the codecs' best ratio allows (checked in file_data).
Result<std::vector<uint8_t>> ApfsVolume::read_file(std::string_view path) {
    auto resolved = resolve_path(path);
    if (!resolved) return fail(resolved.error());
    const auto& [id, inode] = *resolved;
    if (kind_from_mode(inode.mode) == EntryKind::Symlink) {
        auto target = symlink_target(id);
        if (!target) return fail(target.error());
        if (*target) return std::move(**target);
    }
    auto data = file_data(id, inode, path);
    if (!data) return fail(data.error());
    auto held = source_->size();
    if (!held) return detail::io_fail(held.error());
    const uint64_t limit = std::min(kMaxInMemoryFile, data->decmpfs ? kMaxInMemoryFile : *held);
    if (data->size > limit)
        return fail(ApfsError::unsupported("file too large to read into memory: " + to_string(data->size) +
                                           " bytes, more than " + to_string(limit) + " (read it into a file)"));
    core::VecSink sink;
    auto written = write_file(inode, id, *data, path, sink);
    if (!written) return fail(written.error());
    return sink.take();
}

Result<uint64_t> ApfsVolume::read_file_to(std::string_view path, core::ByteSink& writer) {
    auto resolved = resolve_path(path);
    if (!resolved) return fail(resolved.error());
    const auto& [id, inode] = *resolved;
    if (kind_from_mode(inode.mode) == EntryKind::Symlink) {
        auto target = symlink_target(id);
        if (!target) return fail(target.error());
        if (*target) {
            if (auto w = writer.write_all(**target); !w) return detail::io_fail(w.error());
            return uint64_t((*target)->size());
        }
    }
    auto data = file_data(id, inode, path);
    if (!data) return fail(data.error());
    return write_file(inode, id, *data, path, writer);
}

}  // namespace apfs
