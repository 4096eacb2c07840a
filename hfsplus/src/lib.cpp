#include <cstdio>
#include <unordered_set>

#include "hfsplus/hfsplus.hpp"

#include "catalog.hpp"
#include "codec/decmpfs.hpp"
#include "core/text.hpp"
#include "core/try.hpp"
#include "trees.hpp"
#include "volume.hpp"

namespace hfsplus {

namespace {

std::unexpected<HfsPlusError> unexpected_thread() {
    return std::unexpected(HfsPlusError::corrupted_data("unexpected thread record"));
}

}  // namespace

HfsVolume::HfsVolume(std::unique_ptr<core::ByteSource> source, VolumeHeader header, std::unique_ptr<Trees> trees)
    : source_(std::move(source)), header_(header), trees_(std::move(trees)) {}
HfsVolume::HfsVolume(HfsVolume&&) noexcept = default;
HfsVolume& HfsVolume::operator=(HfsVolume&&) noexcept = default;
HfsVolume::~HfsVolume() = default;

Result<HfsVolume> HfsVolume::open(std::unique_ptr<core::ByteSource> source) {
    auto header = KIV_TRY(volume::read_header(*source));
    auto trees = KIV_TRY(Trees::open(*source, header));
    return HfsVolume(std::move(source), header, std::move(trees));
}

Result<std::vector<DirEntry>> HfsVolume::list_directory(std::string_view path) {
    auto resolved = KIV_TRY(catalog::resolve_path(*source_, header_, trees_->catalog, path));
    uint32_t id;
    if (auto* folder = std::get_if<CatalogFolder>(&resolved.record))
        id = folder->folder_id;
    else if (auto* file = std::get_if<CatalogFile>(&resolved.record))
        id = file->file_id;  // nothing has a file as parent: an empty list
    else
        return unexpected_thread();
    std::string_view prefix = path;
    while (prefix.ends_with('/')) prefix.remove_suffix(1);
    return list_folder(id, prefix);
}

Result<std::vector<DirEntry>> HfsVolume::list_folder(uint32_t folder_id, std::string_view prefix) {
    auto entries = KIV_TRY(catalog::list_directory(*source_, header_, trees_->catalog, folder_id));
    for (auto& e : entries)
        if (e.hard_link_inode || e.owner_flags & codec::kCompressedFlag)
            e.size = listed_size(e, std::string(prefix) + "/" + e.name);
    return entries;
}

Result<std::vector<WalkEntry>> HfsVolume::walk() {
    std::vector<WalkEntry> out;
    KIV_TRY(walk_recursive(kRootFolderId, "", out));
    return out;
}

Result<void> HfsVolume::walk_recursive(uint32_t folder_id, const std::string& prefix, std::vector<WalkEntry>& out) {
    // Depth first with an explicit stack, so a deep catalog cannot exhaust the
    // call stack.  Folder ids are unique on a sound volume; one seen twice
    // means a folder is its own descendant (or listed twice), and would make
    // the walk endless.
    struct Frame {
        std::vector<DirEntry> entries;
        size_t next = 0;
        std::string prefix;
    };
    std::unordered_set<uint32_t> entered{folder_id};
    std::vector<Frame> stack;
    stack.push_back({KIV_TRY(list_folder(folder_id, prefix)), 0, prefix});
    const size_t first_new = out.size();
    auto fail = [&](HfsPlusError e) {
        out.resize(first_new);
        return std::unexpected(std::move(e));
    };
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.entries.size()) {
            stack.pop_back();
            continue;
        }
        DirEntry& entry = top.entries[top.next++];
        std::string path = top.prefix + "/" + entry.name;
        const bool descend = entry.kind == EntryKind::Directory;
        const uint32_t id = entry.id;
        out.push_back({path, std::move(entry)});
        if (!descend) continue;
        if (!entered.insert(id).second)
            return fail(HfsPlusError::corrupted_data("folder id " + std::to_string(id) + " at " + path +
                                                     " was already walked (catalog loop)"));
        auto children = list_folder(id, path);
        if (!children) return fail(std::move(children.error()));
        stack.push_back({std::move(*children), 0, std::move(path)});  // `top` is not used past here
    }
    return {};
}

Result<FileStat> HfsVolume::stat(std::string_view path) {
    auto resolved = KIV_TRY(catalog::resolve_path(*source_, header_, trees_->catalog, path));
    auto stat_of = [](uint32_t id, const CatalogDates& d, EntryKind kind) {
        return FileStat{.id = id, .create_time = d.create_date, .modify_time = d.content_mod_date,
                        .uid = d.bsd.owner_id, .gid = d.bsd.group_id, .mode = d.bsd.file_mode, .kind = kind};
    };
    if (auto* folder = std::get_if<CatalogFolder>(&resolved.record))
        return stat_of(folder->folder_id, *folder, EntryKind::Directory);
    auto* record = std::get_if<CatalogFile>(&resolved.record);
    if (!record) return unexpected_thread();
    // A hard link keeps its own id; everything else is the target's.
    const Content content = KIV_TRY(content_of(*record, path));
    FileStat st = stat_of(record->file_id, content.file, EntryKind::File);
    st.size = content.size;
    st.resource_fork_size = content.file.resource_fork.logical_size;
    for (const auto& e : content.file.data_fork.extents) st.data_fork_extents += e.block_count != 0;
    return st;
}

Result<bool> HfsVolume::exists(std::string_view path) {
    auto found = catalog::resolve_path(*source_, header_, trees_->catalog, path);
    if (found) return true;
    if (found.error().kind() == HfsPlusError::Kind::FileNotFound) return false;
    return std::unexpected(std::move(found.error()));
}

Result<CatalogFile> HfsVolume::resolve_path_to_file(std::string_view path) {
    auto resolved = KIV_TRY(catalog::resolve_path(*source_, header_, trees_->catalog, path));
    if (auto* file = std::get_if<CatalogFile>(&resolved.record)) return std::move(*file);
    if (std::holds_alternative<CatalogFolder>(resolved.record))
        return std::unexpected(HfsPlusError::not_a_directory(std::string(path)));
    return unexpected_thread();
}

Result<std::vector<uint8_t>> HfsVolume::read_file(std::string_view path) {
    const Content content = KIV_TRY(content_of(KIV_TRY(resolve_path_to_file(path)), path));
    core::VecSink sink;
    uint64_t n = KIV_TRY(copy_content(content, path, sink));
    if (n != content.size)
        return std::unexpected(HfsPlusError::corrupted_data(
            "file " + core::debug_quote(path) + " declares " + std::to_string(content.size) + " bytes but only " +
            std::to_string(n) + " could be read; its extent chain ends early"));
    return sink.take();
}

Result<uint64_t> HfsVolume::read_file_to(std::string_view path, core::ByteSink& dest) {
    const Content content = KIV_TRY(content_of(KIV_TRY(resolve_path_to_file(path)), path));
    return copy_content(content, path, dest);
}

}  // namespace hfsplus
