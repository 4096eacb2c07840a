// Copying a volume subtree into a directory on disk.
#include <algorithm>
#include <optional>
#include <string>

#include "core/extract.hpp"
#include "core/thread_pool.hpp"
#include "core/try.hpp"
#include "file_writers.hpp"
#include "pipeline/pipeline.hpp"

namespace kiv {
namespace {

namespace fs = std::filesystem;

// The folders where HFS+ keeps the files and folders that hard links point
// to.  Their contents reach the user through the links; the folders
// themselves are not extracted.
bool in_hfs_metadata_folder(std::string_view path) {
    if (path.starts_with('/')) path.remove_prefix(1);
    const std::string_view top = path.substr(0, path.find('/'));
    return top == hfsplus::kPrivateDataFolder || top == std::string_view(".HFS+ Private Directory Data\r");
}

}  // namespace

Result<ExtractStats> FilesystemHandle::extract_path(std::string_view base_path, const fs::path& dest) {
    const bool root_mode = base_path == "/";
    std::string_view prefix = base_path;
    if (prefix.starts_with('/')) prefix.remove_prefix(1);
    while (prefix.ends_with('/')) prefix.remove_suffix(1);
    if (root_mode) prefix = {};

    auto entries = KIV_TRY(walk());
    const bool hfs_volume = fs_type() == FsType::HfsPlus;
    std::erase_if(entries, [&](const FsWalkEntry& e) {
        if (hfs_volume && in_hfs_metadata_folder(e.path)) return true;
        if (root_mode) return false;
        std::string_view p = e.path;
        if (p.starts_with('/')) p.remove_prefix(1);
        const bool below = p.size() > prefix.size() && p.starts_with(prefix) && p[prefix.size()] == '/';
        return !(p == prefix || below);
    });
    if (entries.empty()) return fail(KivError::no_entries(std::string(base_path)));

    // Where each entry goes below dest, worked out on the pool: pure path arithmetic.
    struct Target {
        enum { Skip, Base, Out, Invalid } what = Skip;
        std::string out;
        size_t parent = 0;  // length of the parent directory's path within `out`, 0 for dest itself
        std::optional<KivError> error;
    };
    std::vector<Target> targets(entries.size());
    constexpr size_t kPerTask = 512;
    core::parallel_for((targets.size() + kPerTask - 1) / kPerTask, [&](size_t task) {
        for (size_t i = task * kPerTask; i < std::min(targets.size(), (task + 1) * kPerTask); ++i) {
            std::string_view path = entries[i].path;
            if (path.starts_with('/')) path.remove_prefix(1);
            if (path.empty()) continue;
            std::string_view rel = root_mode ? path : pipeline::strip_base_prefix(path, prefix);
            if (rel.empty()) {  // the base itself
                targets[i].what = Target::Base;
                continue;
            }
            auto relative = pipeline::sanitize_path(rel);
            if (!relative) {
                targets[i] = {Target::Invalid, {}, 0, std::move(relative.error())};
                continue;
            }
            // The parent is a leading part of the path's own text.
            targets[i] = {Target::Out, relative->native(), relative->parent_path().native().size(), std::nullopt};
        }
    });

    core::DestDir out = KIV_TRY(core::DestDir::open(dest));

    ExtractStats stats;
    detail::FileWriters writers(*this, hfs() ? hfs()->partition() : apfs()->partition(), out);
    // An error found while going through the entries comes after the files
    // waiting to be written, which precede it.
    auto stop = [&](KivError error) -> Result<ExtractStats> {
        KIV_TRY(writers.write_batch());
        return fail(std::move(error));
    };
    for (size_t i = 0; i < entries.size(); ++i) {
        const FsWalkEntry& entry = entries[i];
        const Target& target = targets[i];
        if (target.what == Target::Skip) continue;
        if (target.what == Target::Base) {
            if (entry.kind == FsEntryKind::Directory) ++stats.dirs;
            continue;
        }
        if (target.what == Target::Invalid) return stop(*target.error);
        switch (entry.kind) {
            case FsEntryKind::File:
                if (auto added = writers.add(entry, target.out, target.parent); !added) return stop(added.error());
                break;
            case FsEntryKind::Directory:
                if (auto made = writers.ensure_dirs(target.out); !made) return stop(made.error());
                ++stats.dirs;
                break;
            case FsEntryKind::Symlink:
                ++stats.symlinks_skipped;
                break;
        }
    }
    KIV_TRY(writers.write_batch());
    stats.files = writers.files();
    stats.bytes = writers.bytes();
    return stats;
}

}  // namespace kiv
