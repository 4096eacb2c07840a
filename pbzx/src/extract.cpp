// Extraction of a CPIO archive's members below a destination directory.
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "core/dest_dir.hpp"
#include "core/extract.hpp"
#include "core/io.hpp"
#include "core/try.hpp"
#include "links.hpp"
#include "paths.hpp"
#include "pbzx/cpio.hpp"

namespace pbzx {
namespace {

// The failure of the system call that just set errno.
std::unexpected<core::IoError> os_error() { return core::io_fail(core::IoError::from_errno(errno)); }

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

struct FileId {
    dev_t dev;
    ino_t ino;
    friend bool operator==(const FileId&, const FileId&) = default;
};

FileId id_of(const struct stat& st) { return {st.st_dev, st.st_ino}; }

// The regular files of one extraction.  The names of a link set become hard
// links of one file, as cpio and bsdtar make them (a copy where the file
// system refuses links).  Each file is written as a new one, replacing what
// stands at its name, so that writing one name leaves the others as they are.
class FileWriter {
public:
    explicit FileWriter(core::DestDir& dest) : dest_(dest) {}

    // Writes `data` to `path` (below the destination) with the permission
    // bits `permissions`; for a link set (the offset of its data), links
    // `path` to the set's file when one is already written.  An existing
    // symbolic link at `path` is not followed.
    core::PlaceResult<void> write(const std::string& path, std::span<const uint8_t> data, uint32_t permissions,
                                  std::optional<size_t> link_set) {
        if (link_set) {
            if (auto it = sets_.find(*link_set); it != sets_.end()) {
                auto linked = KIV_TRY(link(it->second, path, permissions));
                if (linked) return {};
            }
        }
        const core::File file = KIV_TRY(create(path, data, permissions));
        if (link_set) {
            struct stat st;
            if (::fstat(file.fd(), &st) != 0) return os_error();
            sets_.insert_or_assign(*link_set, Written{path, id_of(st)});
        }
        return {};
    }

private:
    struct Written {
        std::string path;
        FileId id;
    };

    // Creates the file at `path`, replacing what stands there, and writes it.
    core::PlaceResult<core::File> create(const std::string& path, std::span<const uint8_t> data, uint32_t permissions) {
        const auto place = KIV_TRY(dest_.place_of(path));
        core::File file = KIV_TRY(core::open_output_file_at(place.dir, place.name, dest_, path));
        KIV_TRY(file.write_all(data));
        KIV_TRY(core::set_permissions(file, permissions));
        return file;
    }

    // Makes `path` a hard link of `first`, replacing what stands there.  False
    // when `first` no longer holds the set's file, when a folder or a symbolic
    // link stands at `path`, or when the file system refuses the link: the
    // caller writes the data.
    core::PlaceResult<bool> link(const Written& first, const std::string& path, uint32_t permissions) {
        const auto from = KIV_TRY(dest_.own_place_of(first.path));
        struct stat st;
        if (::fstatat(from.dir.fd(), from.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || id_of(st) != first.id)
            return false;
        const auto to = KIV_TRY(dest_.place_of(path));
        bool linked = false;  // `path` is already a name of the set's file
        if (::fstatat(to.dir, to.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode)) return false;
            linked = id_of(st) == first.id;
            if (!linked && ::unlinkat(to.dir, to.name.c_str(), 0) != 0) return os_error();
        }
        if (!linked && ::linkat(from.dir.fd(), from.name.c_str(), to.dir, to.name.c_str(), 0) != 0) {
            if (errno == EXDEV || errno == EPERM || errno == EMLINK || errno == ENOTSUP || errno == EOPNOTSUPP)
                return false;
            return os_error();
        }
        // The set's regular file stands there now, so the change cannot go through a link.
        if (::fchmodat(to.dir, to.name.c_str(), mode_t(permissions), 0) != 0) return os_error();
        return true;
    }

    core::DestDir& dest_;
    std::unordered_map<size_t, Written> sets_;  // link set -> the file written for it
};

}  // namespace

Result<ExtractStats> CpioReader::extract_path(std::string_view base_path, const std::string& dest) {
    std::string base = cpio::normalize_cpio_path(base_path);
    while (!base.empty() && base.back() == '/') base.pop_back();

    // Data that are no CPIO archive fail before anything is made.
    KIV_TRY(check_start());
    core::DestDir out = KIV_TRY(core::DestDir::open(dest));
    rewind();
    ExtractStats stats;

    FileWriter files(out);
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
