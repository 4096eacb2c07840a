#include "extract.hpp"

#include <algorithm>

#include "core/extract.hpp"
#include "core/try.hpp"
#include "heap.hpp"

namespace xara::extract {
namespace {

namespace fs = std::filesystem;

std::string_view trim_slashes(std::string_view s) {
    while (!s.empty() && s.front() == '/') s.remove_prefix(1);
    while (!s.empty() && s.back() == '/') s.remove_suffix(1);
    return s;
}

}  // namespace

std::string_view strip_base_prefix(std::string_view path, std::string_view prefix) {
    if (prefix.empty()) return path;
    if (path.size() < prefix.size() || path.substr(0, prefix.size()) != prefix) return path;
    path.remove_prefix(prefix.size());
    if (!path.empty() && path.front() == '/') path.remove_prefix(1);
    return path;
}

Result<fs::path> sanitize_path(std::string_view relative) {
    fs::path out;
    size_t kept = 0;
    size_t i = 0;
    while (i <= relative.size()) {
        size_t j = relative.find('/', i);
        if (j == std::string_view::npos) j = relative.size();
        const std::string_view part = relative.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") return fail(XarError::invalid_path("path traversal detected: " + std::string(relative)));
        if (part.find('\0') != std::string_view::npos)
            return fail(XarError::invalid_path("path contains a NUL byte: " + std::string(relative)));
        out /= fs::path(std::string(part));
        ++kept;
    }
    if (kept == 0) return fail(XarError::invalid_path("empty path after sanitization: " + std::string(relative)));
    return out;
}

std::string tree_sort_key(std::string_view path, bool is_directory) {
    std::string key;
    key.reserve(path.size() + 8);
    size_t i = 0;
    for (;;) {
        size_t j = path.find('/', i);
        const bool last = j == std::string_view::npos;
        if (last) j = path.size();
        key += char(last && !is_directory ? 0x01 : 0x00);
        key.append(path.substr(i, j - i));
        if (last) break;
        key += '/';
        i = j + 1;
    }
    return key;
}

Result<ExtractStats> extract_inner(XarArchive& archive, std::string_view prefix, const fs::path& dest) {
    prefix = trim_slashes(prefix);

    struct Selected {
        std::string key;
        const XarFile* entry;
    };
    std::vector<Selected> selected;
    for (const XarFile& f : archive.files()) {
        const std::string_view p = f.path;
        const bool below = prefix.empty() || p == prefix ||
                           (p.size() > prefix.size() && p.substr(0, prefix.size()) == prefix && p[prefix.size()] == '/');
        if (below) selected.push_back({tree_sort_key(p, f.file_type == XarFileType::Directory), &f});
    }
    // Unsigned byte order: std::string compares through char_traits<char>, which compares as unsigned char.
    std::stable_sort(selected.begin(), selected.end(),
                     [](const Selected& a, const Selected& b) { return a.key < b.key; });

    core::DestDir out = KIV_TRY(core::DestDir::open(dest));

    ExtractStats stats;
    for (const Selected& s : selected) {
        const XarFile& f = *s.entry;
        const std::string_view relative = prefix.empty() ? std::string_view(f.path) : strip_base_prefix(f.path, prefix);
        if (relative.empty()) {
            if (f.file_type == XarFileType::Directory) ++stats.dirs;
            continue;
        }
        const fs::path rel = KIV_TRY(sanitize_path(relative));
        switch (f.file_type) {
            case XarFileType::File:
                stats.bytes += KIV_TRY(core::write_output_file(out, rel.native(), core::Partial::Keep, [&](core::ByteSink& sink) {
                    return archive.read_entry(f, sink);
                }));
                ++stats.files;
                break;
            case XarFileType::Directory:
                KIV_TRY(out.make_dirs(rel.native()));
                ++stats.dirs;
                break;
            case XarFileType::Symlink: ++stats.symlinks_skipped; break;
        }
    }
    return stats;
}

}  // namespace xara::extract
