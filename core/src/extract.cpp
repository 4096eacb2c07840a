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

PlaceResult<File> open_output_file_at(int dir, const std::string& name, const DestDir& dest, std::string_view rel) {
    KIV_TRY(check_name(name));
    // O_EXCL fails on any entry standing there, a symbolic link included, so
    // what stands there is looked at, and only removed, after that failure.
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    // Another process may put entries back as fast as they go: give up then.
    constexpr int kAttempts = 4;
    for (int attempt = 1;; ++attempt) {
        const int fd = ::openat(dir, name.c_str(), kFlags, 0666);
        if (fd >= 0) return File(fd);
        if (errno != EEXIST || attempt == kAttempts) return os_error();
        struct stat st;
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;  // gone meanwhile
            return os_error();
        }
        if (S_ISLNK(st.st_mode)) return std::unexpected(PlaceError::link_in_the_way(dest.disk_path(rel)));
        if (S_ISDIR(st.st_mode)) return io_fail(IoError::from_errno(EISDIR));
        if (::unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT) return os_error();
    }
}

IoResult<void> set_permissions(File& file, uint32_t mode) {
    if (::fchmod(file.fd(), mode_t(mode & 07777)) != 0) return os_error();
    return {};
}

void remove_output_file_at(int dir, const std::string& name) { ::unlinkat(dir, name.c_str(), 0); }

}  // namespace core
