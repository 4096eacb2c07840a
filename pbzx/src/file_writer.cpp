#include "file_writer.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/extract.hpp"
#include "core/try.hpp"

namespace pbzx::detail {
namespace {

// The failure of the system call that just set errno.
std::unexpected<core::IoError> os_error() { return core::io_fail(core::IoError::from_errno(errno)); }

}  // namespace

core::PlaceResult<void> FileWriter::write(const std::string& path, std::span<const uint8_t> data,
                                          uint32_t permissions, std::optional<size_t> link_set) {
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
        sets_.insert_or_assign(*link_set, Written{path, {st.st_dev, st.st_ino}});
    }
    return {};
}

core::PlaceResult<core::File> FileWriter::create(const std::string& path, std::span<const uint8_t> data,
                                                 uint32_t permissions) {
    const auto place = KIV_TRY(dest_.place_of(path));
    core::File file = KIV_TRY(core::open_output_file_at(place.dir, place.name, dest_, path));
    KIV_TRY(file.write_all(data));
    KIV_TRY(core::set_permissions(file, permissions));
    return file;
}

core::PlaceResult<bool> FileWriter::link(const Written& first, const std::string& path, uint32_t permissions) {
    const auto from = KIV_TRY(dest_.own_place_of(first.path));
    struct stat st;
    if (::fstatat(from.dir.fd(), from.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        FileId{st.st_dev, st.st_ino} != first.id)
        return false;
    const auto to = KIV_TRY(dest_.place_of(path));
    bool linked = false;  // `path` is already a name of the set's file
    if (::fstatat(to.dir, to.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode)) return false;
        linked = FileId{st.st_dev, st.st_ino} == first.id;
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

}  // namespace pbzx::detail
