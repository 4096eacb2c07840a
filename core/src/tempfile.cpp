#include "core/tempfile.hpp"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/extract.hpp"
#include "core/try.hpp"

namespace core {
namespace {

// Creates a new file named `prefix` followed by random characters, open for
// reading and writing; returns it with its name.
IoResult<std::pair<File, std::string>> create_unique(const std::string& prefix, mode_t mode) {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 64; ++attempt) {
        uint8_t random[12];
        if (getrandom(random, sizeof random, 0) != ssize_t(sizeof random))
            return io_fail(IoError::from_errno(errno));
        std::string name = prefix;
        for (uint8_t b : random) name += kAlphabet[b % (sizeof kAlphabet - 1)];
        int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) return std::pair{File(fd), std::move(name)};
        if (errno != EEXIST) return io_fail(IoError::from_errno(errno));
    }
    return io_fail(IoError::from_errno(EEXIST));
}

}  // namespace

std::string temp_dir() {
    const char* dir = std::getenv("TMPDIR");
    if (dir && *dir) return dir;
    return "/tmp";
}

IoResult<File> anonymous_tempfile() {
    auto [file, name] = KIV_TRY(create_unique(temp_dir() + "/.tmp", 0600));
    ::unlink(name.c_str());
    return std::move(file);
}

IoResult<ReplacementFile> ReplacementFile::create(const std::string& path) {
    KIV_TRY(check_name(path));
    if (path.empty()) return io_fail(IoError::from_errno(ENOENT));
    std::string target = path;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        std::error_code ec;
        auto resolved = std::filesystem::canonical(path, ec);
        if (!ec) target = resolved.native();
    }
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) return io_fail(IoError::from_errno(EISDIR));
    const std::filesystem::path where(target);
    std::string prefix = where.parent_path().native();
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';
    prefix += "." + where.filename().native() + ".part-";
    auto [file, temp] = KIV_TRY(create_unique(prefix, 0666));
    if (exists && ::fchmod(file.fd(), st.st_mode & 07777) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return io_fail(IoError::from_errno(err));
    }
    return ReplacementFile(std::move(file), std::move(temp), std::move(target));
}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : file_(std::move(other.file_)), temp_(std::exchange(other.temp_, {})), target_(std::move(other.target_)) {}

ReplacementFile::~ReplacementFile() {
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

IoResult<void> ReplacementFile::commit() {
    file_.close();
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return io_fail(IoError::from_errno(errno));
    temp_.clear();
    return {};
}

}  // namespace core
