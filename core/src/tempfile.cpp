#include "core/tempfile.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace core {

std::string temp_dir() {
    const char* dir = std::getenv("TMPDIR");
    if (dir && *dir) return dir;
    return "/tmp";
}

IoResult<File> anonymous_tempfile() {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string dir = temp_dir();
    for (int attempt = 0; attempt < 64; ++attempt) {
        uint8_t random[12];
        if (getrandom(random, sizeof random, 0) != ssize_t(sizeof random))
            return io_fail(IoError::from_errno(errno));
        std::string name = dir + "/.tmp";
        for (uint8_t b : random) name += kAlphabet[b % (sizeof kAlphabet - 1)];
        int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return io_fail(IoError::from_errno(errno));
        }
        ::unlink(name.c_str());
        return File(fd);
    }
    return io_fail(IoError::from_errno(EEXIST));
}

}  // namespace core
