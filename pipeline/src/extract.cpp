// Copying a volume subtree into a directory on disk.
#include <system_error>

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

// Copies the contents of the walk entry into `out`; a file whose bytes
// cannot all be produced is an error, and is not left behind shorter.
Result<uint64_t> copy_file(FilesystemHandle& fs, const FsWalkEntry& entry, const fs::path& out) {
    auto file = KIV_TRY(core::File::create(out.string()));
    Result<uint64_t> copied = 0;
    if (auto* h = fs.hfs()) {
        auto n = h->volume().read_file_to(entry.path, file);
        copied = n ? Result<uint64_t>(*n) : fail(n.error());
        if (copied && *copied != entry.size)
            copied = fail(hfsplus::HfsPlusError::corrupted_data(
                "file " + core::debug_quote(entry.path) + " declares " + std::to_string(entry.size) +
                " bytes but only " + std::to_string(*copied) + " could be read"));
    } else {
        core::BufferedFileWriter writer(std::move(file));
        auto n = fs.apfs()->volume().read_file_to(entry.path, writer);
        copied = n ? Result<uint64_t>(*n) : fail(n.error());
        if (copied && *copied != entry.size)
            copied = fail(apfs::ApfsError::corrupted(
                "file " + core::debug_quote(entry.path) + " declares " + std::to_string(entry.size) +
                " bytes but only " + std::to_string(*copied) + " could be read"));
        if (auto flushed = writer.flush(); copied && !flushed) copied = fail(flushed.error());
    }
    if (!copied) {
        std::error_code ignored;
        fs::remove(out, ignored);
    }
    return copied;
}

// Creates `dir` and its missing parents (0777 before the umask); an existing directory is fine.
Result<void> make_dirs(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) return fail(core::IoError::from_errno(ec.value()));
    return {};
}

}  // namespace

Result<ExtractStats> FilesystemHandle::extract_path(std::string_view base_path, const fs::path& dest) {
    const bool root_mode = base_path == "/";
    std::string_view prefix = base_path;
    if (prefix.starts_with('/')) prefix.remove_prefix(1);
    while (prefix.ends_with('/')) prefix.remove_suffix(1);
    if (root_mode) prefix = {};

    auto entries = KIV_TRY(walk());
    const bool hfs_volume = hfs() != nullptr;
    std::erase_if(entries, [&](const FsWalkEntry& e) {
        if (hfs_volume && in_hfs_metadata_folder(e.path)) return true;
        if (root_mode) return false;
        std::string_view p = e.path;
        if (p.starts_with('/')) p.remove_prefix(1);
        const bool below = p.size() > prefix.size() && p.starts_with(prefix) && p[prefix.size()] == '/';
        return !(p == prefix || below);
    });
    if (entries.empty()) return fail(KivError::no_entries(std::string(base_path)));

    KIV_TRY(make_dirs(dest));

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
                KIV_TRY(make_dirs(out.parent_path()));
                auto copied = KIV_TRY(copy_file(*this, entry, out));
                ++stats.files;
                stats.bytes += copied;
                break;
            }
            case FsEntryKind::Directory:
                KIV_TRY(make_dirs(out));
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
