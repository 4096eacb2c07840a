// Extraction of a CPIO archive's members below a destination directory.
#include <optional>

#include "core/dest_dir.hpp"
#include "core/try.hpp"
#include "file_writer.hpp"
#include "links.hpp"
#include "paths.hpp"
#include "pbzx/cpio.hpp"

namespace pbzx {
namespace {

// The relative path without its last component ("" when there is none).
std::string_view parent_of(std::string_view rel) {
    for (;;) {
        while (rel.ends_with('/')) rel.remove_suffix(1);
        if (rel.ends_with("/.")) rel.remove_suffix(2);
        else break;
    }
    const size_t slash = rel.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : rel.substr(0, slash);
}

}  // namespace

Result<ExtractStats> CpioReader::extract_path(std::string_view base_path, const std::string& dest) {
    std::string base = cpio::normalize_cpio_path(base_path);
    while (!base.empty() && base.back() == '/') base.pop_back();

    // Data that are no CPIO archive fail before anything is made.
    KIV_TRY(check_start());
    core::DestDir out = KIV_TRY(core::DestDir::open(dest));
    rewind();
    ExtractStats stats;

    detail::FileWriter files(out);
    std::optional<detail::LinkIndex> links;  // built when the first size-0 link name is met
    for (;;) {
        const size_t header_offset = pos_;
        auto header = KIV_TRY(read_header());
        if (!header || header->is_trailer()) break;
        const CpioEntry& e = *header;

        std::string name = cpio::normalize_cpio_path(e.name);
        bool selected = base.empty() || name == base ||
                        (name.size() > base.size() && name.starts_with(base) && name[base.size()] == '/');
        if (!selected) {
            KIV_TRY(skip_data(e.filesize));
            continue;
        }
        std::string rel = cpio::strip_base_prefix(name, base);
        if (rel.empty()) {
            KIV_TRY(skip_data(e.filesize));
            if (e.is_dir()) ++stats.dirs;
            continue;
        }
        const std::string safe = KIV_TRY(cpio::sanitize_path(rel));
        KIV_TRY(out.make_dirs(parent_of(safe)));

        switch (e.mode & kTypeMask) {
        case kTypeDirectory:
            KIV_TRY(out.make_dirs(safe));
            KIV_TRY(skip_data(e.filesize));
            ++stats.dirs;
            break;
        case kTypeRegular: {
            const size_t data_offset = pos_;
            auto data = KIV_TRY(take(e.filesize));
            KIV_TRY(take(data_padding(e.filesize)));
            // The names of a link set share one file, made from the set's data.
            std::span<const uint8_t> content = data;
            std::optional<size_t> link_set;
            if (e.is_newc_link() && e.filesize > 0) {
                link_set = data_offset;
            } else if (e.is_newc_link()) {
                if (!links) links = detail::LinkIndex::build(data_);
                if (auto shared = links->shared(header_offset)) {
                    content = data_.subspan(shared->offset, size_t(shared->size));
                    link_set = shared->offset;
                }
            }
            KIV_TRY(files.write(safe, content, e.mode & kPermissionMask, link_set));
            ++stats.files;
            stats.bytes += content.size();
            break;
        }
        case kTypeSymlink:
            KIV_TRY(skip_data(e.filesize));
            ++stats.symlinks_skipped;
            break;
        default:  // devices, FIFOs, sockets: not created, not counted
            KIV_TRY(skip_data(e.filesize));
        }
    }
    return stats;
}

namespace cpio {

std::string normalize_cpio_path(std::string_view path) {
    if (path.starts_with("./")) path.remove_prefix(2);
    if (path.starts_with('/')) path.remove_prefix(1);
    if (path == ".") return {};
    return std::string(path);
}

Result<std::string> sanitize_path(std::string_view path) {
    while (path.starts_with('/')) path.remove_prefix(1);
    for (size_t start = 0; start <= path.size();) {
        size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        if (path.substr(start, slash - start) == "..")
            return fail(PbzxError::invalid_path("Path traversal detected: " + std::string(path)));
        start = slash + 1;
    }
    return std::string(path);
}

std::string strip_base_prefix(std::string_view path, std::string_view base) {
    if (base.empty()) return std::string(path);
    if (path.size() <= base.size()) return {};
    return std::string(path.substr(base.size() + 1));
}

}  // namespace cpio
}  // namespace pbzx
