#include "core/tempfile.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/extract.hpp"
#include "core/try.hpp"

namespace core {
namespace {

constexpr size_t kRandomChars = 12;

// Creates a new file named `prefix` followed by random characters, open for
// reading and writing; returns it with its name.
IoResult<std::pair<File, std::string>> create_unique(const std::string& prefix, mode_t mode) {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 64; ++attempt) {
        uint8_t random[kRandomChars];
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

// The file that opening `path` for writing would reach.  Where the last
// component is a symbolic link, its chain is followed here, so that one whose
// file is missing still leads to where that file is made; the folders on the
// way are left to the kernel.  Past 40 links it fails as opening would.
IoResult<std::string> follow_final_links(std::string path) {
    for (int hops = 0;; ++hops) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        if (hops == 40) return io_fail(IoError::from_errno(ELOOP));
        std::string link(PATH_MAX, '\0');
        for (;;) {
            const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
            if (n < 0) return io_fail(IoError::from_errno(errno));
            if (size_t(n) < link.size()) {
                link.resize(size_t(n));
                break;
            }
            link.resize(link.size() * 2);
        }
        if (link.empty()) return io_fail(IoError::from_errno(ENOENT));
        // A relative link is read from its own folder (none: npos + 1 == 0).
        path = link.front() == '/' ? std::move(link) : path.substr(0, path.rfind('/') + 1) + link;
    }
}

// The hidden name's prefix for a file named `name`: ".NAME.part-", NAME cut
// short where the whole, random part included, would pass NAME_MAX; the cut
// is moved back to the start of a character unless NAME is not UTF-8 there.
std::string hidden_prefix(const std::string& name) {
    constexpr size_t kRoom = NAME_MAX - std::string_view("..part-").size() - kRandomChars;
    auto inside = [&](size_t at) { return at < name.size() && (uint8_t(name[at]) & 0xc0) == 0x80; };
    size_t keep = std::min(name.size(), kRoom), start = keep;
    while (start > 0 && keep - start < 3 && inside(start)) --start;
    if (!inside(start)) keep = start;
    return "." + name.substr(0, keep) + ".part-";
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
    std::string target = KIV_TRY(follow_final_links(path));
    struct stat st;
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) return io_fail(IoError::from_errno(EISDIR));
    const size_t slash = target.rfind('/') + 1;  // npos + 1 == 0: no folder
    const std::string prefix = target.substr(0, slash) + hidden_prefix(target.substr(slash));
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
