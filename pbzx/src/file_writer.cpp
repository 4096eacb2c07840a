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

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The errors of a link that cannot be made here, or not now: the data are written instead.
bool cannot_link(int error) {
    return error == EEXIST || error == ENOENT || error == EXDEV || error == EPERM || error == EMLINK ||
           error == ENOTSUP || error == EOPNOTSUPP;
}

}  // namespace

core::PlaceResult<void> FileWriter::write(const std::string& path, std::span<const uint8_t> data,
                                          uint32_t permissions, std::optional<size_t> link_set) {
    if (link_set) {
        if (core::File* held = sets_.find(*link_set)) {
            if (KIV_TRY(link(*held, path, permissions))) return {};
        }
    }
    core::File file = KIV_TRY(create(path, data, permissions));
    if (link_set) sets_.hold(*link_set, std::move(file));
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

core::PlaceResult<bool> FileWriter::link(core::File& file, const std::string& path, uint32_t permissions) {
    struct stat held, st;
    if (::fstat(file.fd(), &held) != 0) return os_error();
    if (held.st_nlink == 0) return false;  // every name of the set's file was replaced
    const auto to = KIV_TRY(dest_.place_of(path));
    bool linked = false;  // `path` is already a name of the set's file
    if (::fstatat(to.dir, to.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode)) return false;
        linked = same_file(st, held);
        if (!linked && ::unlinkat(to.dir, to.name.c_str(), 0) != 0 && errno != ENOENT) return os_error();
    }
    // The link goes through the descriptor: no other file can take the place of the set's.
    if (!linked) {
        const std::string self = "/proc/self/fd/" + std::to_string(file.fd());
        if (::linkat(AT_FDCWD, self.c_str(), to.dir, to.name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            if (cannot_link(errno)) return false;
            return os_error();
        }
    }
    KIV_TRY(core::set_permissions(file, permissions));
    return true;
}

}  // namespace pbzx::detail
