// Neutral records, path helpers, and the one-call operations over an image.
#include <utility>

#include "core/io.hpp"
#include "core/text.hpp"
#include "core/try.hpp"
#include "pipeline/pipeline.hpp"
#include "xara/pkg.hpp"

namespace kiv {

std::string_view fs_type_name(FsType type) { return type == FsType::HfsPlus ? "HfsPlus" : "Apfs"; }

std::ostream& operator<<(std::ostream& os, FsType type) { return os << fs_type_name(type); }

FsDirEntry to_fs_dir_entry(const hfsplus::DirEntry& e) { return {e.name, e.size, e.kind}; }
FsDirEntry to_fs_dir_entry(const apfs::DirEntry& e) { return {e.name, e.size, e.kind}; }

FsWalkEntry to_fs_walk_entry(const hfsplus::WalkEntry& w) {
    return {w.path, w.entry.name, w.entry.size, w.entry.kind};
}
FsWalkEntry to_fs_walk_entry(const apfs::WalkEntry& w) {
    return {w.path, w.entry.name, w.entry.size, w.entry.kind};
}

FsFileStat to_fs_file_stat(const hfsplus::FileStat& s) {
    return FsFileStat{
        .resource_fork_size = s.resource_fork_size != 0 ? std::optional(s.resource_fork_size) : std::nullopt,
        .nlink = std::nullopt,
        .data_fork_extents = s.data_fork_extents,
        .id = s.id,
        .size = s.size,
        .create_time = s.create_time,  // seconds since 1904, deliberately not converted
        .modify_time = s.modify_time,
        .uid = s.uid,
        .gid = s.gid,
        .mode = s.mode,
        .fs_type = FsType::HfsPlus,
        .kind = s.kind,
    };
}

FsFileStat to_fs_file_stat(const apfs::FileStat& s) {
    return FsFileStat{
        .resource_fork_size = std::nullopt,
        .nlink = s.nlink,
        .data_fork_extents = std::nullopt,
        .id = s.id,
        .size = s.size,
        .create_time = int64_t(s.create_time),
        .modify_time = int64_t(s.mod_time),
        .uid = s.uid,
        .gid = s.gid,
        .mode = s.mode,
        .fs_type = FsType::Apfs,
        .kind = s.kind,
    };
}

FsVolumeInfo volume_info_of(const hfsplus::HfsVolume& volume) {
    const hfsplus::VolumeHeader& h = volume.header();
    return FsVolumeInfo{
        .symlink_count = std::nullopt,
        .name = std::nullopt,
        .total_blocks = h.total_blocks,
        .free_blocks = h.free_blocks,
        .file_count = h.file_count,
        .directory_count = h.folder_count,
        .version = h.version,
        .block_size = h.block_size,
        .fs_type = FsType::HfsPlus,
        .is_hfsx = h.is_hfsx,
    };
}

FsVolumeInfo volume_info_of(const apfs::ApfsVolume& volume) {
    return FsVolumeInfo{
        .symlink_count = volume.symlink_count(),
        .name = volume.volume_name(),
        .total_blocks = std::nullopt,
        .free_blocks = std::nullopt,
        .file_count = volume.file_count(),
        .directory_count = volume.directory_count(),
        .version = std::nullopt,
        .block_size = volume.block_size(),
        .fs_type = FsType::Apfs,
        .is_hfsx = std::nullopt,
    };
}

namespace pipeline {

std::string_view strip_base_prefix(std::string_view path, std::string_view base) {
    if (base.empty()) return path;
    if (path.size() <= base.size()) return {};
    if (path.starts_with(base) && path[base.size()] == '/') return path.substr(base.size() + 1);
    return {};
}

Result<std::filesystem::path> sanitize_path(std::string_view path) {
    std::filesystem::path out;
    // The operating system would cut a name at a NUL and write somewhere the volume never named.
    if (path.find('\0') != std::string_view::npos)
        return fail(KivError::invalid_path("name contains a NUL character: " + core::debug_quote(path)));
    for (const auto& part : std::filesystem::path(path)) {
        if (part.empty() || part == "." || part.has_root_directory() || part.has_root_name()) continue;
        if (part == "..") return fail(KivError::invalid_path("path traversal detected: " + std::string(path)));
        out /= part;
    }
    if (out.empty()) return fail(KivError::invalid_path("empty path after sanitization: " + std::string(path)));
    return out;
}

Result<std::vector<std::string>> find_packages(const std::string& dmg_path) {
    auto dmg = KIV_TRY(DmgPipeline::open(dmg_path));
    auto fs = KIV_TRY(dmg.open_filesystem());
    auto entries = KIV_TRY(fs.walk());
    std::vector<std::string> packages;
    for (auto& e : entries)
        if (e.kind == FsEntryKind::File && e.path.ends_with(".pkg")) packages.push_back(std::move(e.path));
    return packages;
}

Result<pbzx::Archive> extract_pkg_payload(const std::string& dmg_path, const std::string& pkg_path,
                                          std::optional<std::string> component) {
    std::vector<uint8_t> payload;
    {
        auto dmg = KIV_TRY(DmgPipeline::open(dmg_path));
        auto fs = KIV_TRY(dmg.open_filesystem());
        auto archive = KIV_TRY(fs.open_pkg(pkg_path));
        xara::PkgReader pkg(std::move(archive));
        auto bytes = KIV_TRY(pkg.payload(component.value_or("")));
        payload = std::move(bytes);
    }  // package, handle and image released before decoding
    core::MemorySource source(std::move(payload));
    return pbzx::Archive::from_reader(source);
}

}  // namespace pipeline
}  // namespace kiv
