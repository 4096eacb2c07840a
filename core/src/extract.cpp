#include "core/extract.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace core {
namespace {

std::unexpected<IoError> os_error() { return io_fail(IoError::from_errno(errno)); }

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

IoResult<void> check_name(const std::filesystem::path& path) {
    if (path.native().find('\0') != std::string::npos)
        return io_fail(IoError::other("file name contained an unexpected NUL byte"));
    return {};
}

IoResult<void> create_directories(const std::filesystem::path& dir) {
    const std::string& path = dir.native();
    if (path.empty()) return {};
    KIV_TRY(check_name(dir));
    if (::mkdir(path.c_str(), 0777) == 0 || is_directory(path)) return {};
    if (errno != ENOENT) return os_error();
    // Some parent is missing: create every prefix in turn.  The kernel's
    // path length limit bounds the number of steps.
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (prefix.back() == '/') continue;
        if (::mkdir(prefix.c_str(), 0777) != 0 && !is_directory(prefix)) return os_error();
    }
    if (::mkdir(path.c_str(), 0777) != 0 && !is_directory(path)) return os_error();
    return {};
}

PlaceResult<File> open_output_file_at(int dir, const std::string& name, const DestDir& dest, std::string_view rel,
                                      Existing existing) {
    KIV_TRY(check_name(name));
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW |
                      (existing == Existing::Truncate ? O_TRUNC : existing == Existing::Refuse ? O_EXCL : 0);
    const int fd = ::openat(dir, name.c_str(), flags, 0666);
    if (fd >= 0) return File(fd);
    const int err = errno;
    struct stat st;
    if (err == ELOOP && ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return std::unexpected(PlaceError::link_in_the_way(dest.disk_path(rel)));
    return io_fail(IoError::from_errno(err));
}

IoResult<void> set_permissions(File& file, uint32_t mode) {
    if (::fchmod(file.fd(), mode_t(mode & 07777)) != 0) return os_error();
    return {};
}

void remove_output_file_at(int dir, const std::string& name) { ::unlinkat(dir, name.c_str(), 0); }

}  // namespace core
