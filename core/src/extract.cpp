#include "core/extract.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace core {
namespace {

std::unexpected<IoError> os_error() { return io_fail(IoError::from_errno(errno)); }

IoResult<void> check_name(const std::string& path) {
    if (path.find('\0') != std::string::npos)
        return io_fail(IoError::other("file name contained an unexpected NUL byte"));
    return {};
}

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

IoResult<void> create_directories(const std::filesystem::path& dir) {
    const std::string& path = dir.native();
    if (path.empty()) return {};
    KIV_TRY(check_name(path));
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

IoResult<File> open_output_file(const std::filesystem::path& path, bool truncate) {
    KIV_TRY(check_name(path.native()));
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (truncate ? O_TRUNC : 0);
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) return os_error();
    return File(fd);
}

IoResult<void> set_permissions(File& file, uint32_t mode) {
    if (::fchmod(file.fd(), mode_t(mode & 07777)) != 0) return os_error();
    return {};
}

void remove_output_file(const std::filesystem::path& path) { ::unlink(path.c_str()); }

}  // namespace core
