// Copying a volume subtree into a directory on disk.
#include "core/extract.hpp"
#include "core/text.hpp"
#include "core/try.hpp"
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

// The volume library's corrupted-data error.
KivError corrupted(const FilesystemHandle& fs, std::string text) {
    if (fs.fs_type() == FsType::HfsPlus) return hfsplus::HfsPlusError::corrupted_data(std::move(text));
    return apfs::ApfsError::corrupted(std::move(text));
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

    KIV_TRY(core::create_directories(dest));

    ExtractStats stats;
    for (const FsWalkEntry& entry : entries) {
        std::string_view path = entry.path;
        if (path.starts_with('/')) path.remove_prefix(1);
        if (path.empty()) continue;
        std::string_view rel = path;
        if (!root_mode) {
            rel = pipeline::strip_base_prefix(path, prefix);
            if (rel.empty()) {  // the base itself
                if (entry.kind == FsEntryKind::Directory) ++stats.dirs;
                continue;
            }
        }
        auto relative = KIV_TRY(pipeline::sanitize_path(rel));
        const fs::path out = dest / relative;

        switch (entry.kind) {
            case FsEntryKind::File: {
                // A file whose bytes cannot all be produced is an error, and
                // is not left behind shorter.
                auto copy = [&](core::ByteSink& sink) -> Result<uint64_t> {
                    const uint64_t n = KIV_TRY(read_file_to(entry.path, sink));
                    if (n == entry.size) return n;
                    return fail(corrupted(*this, "file " + core::debug_quote(entry.path) + " declares " +
                                                     std::to_string(entry.size) + " bytes but only " +
                                                     std::to_string(n) + " could be read"));
                };
                stats.bytes += KIV_TRY(core::write_output_file(out, core::Partial::Remove, copy));
                ++stats.files;
                break;
            }
            case FsEntryKind::Directory:
                KIV_TRY(core::create_directories(out));
                ++stats.dirs;
                break;
            case FsEntryKind::Symlink:
                ++stats.symlinks_skipped;
                break;
        }
    }
    return stats;
}

}  // namespace kiv
