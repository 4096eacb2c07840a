#include "core/dest_dir.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/extract.hpp"
#include "core/try.hpp"

namespace core {
namespace {

std::unexpected<IoError> errno_fail(int err) { return io_fail(IoError::from_errno(err)); }

// The components of `rel` that name something, or the reason it cannot be used.
IoResult<std::vector<std::string_view>> split(std::string_view rel) {
    if (rel.find('\0') != std::string_view::npos)
        return io_fail(IoError::other("file name contained an unexpected NUL byte"));
    std::vector<std::string_view> out;
    for (size_t start = 0; start <= rel.size();) {
        size_t slash = rel.find('/', start);
        if (slash == std::string_view::npos) slash = rel.size();
        const std::string_view part = rel.substr(start, slash - start);
        start = slash + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") return io_fail(IoError::other("a \"..\" component would leave the destination"));
        out.push_back(part);
    }
    return out;
}

}  // namespace

IoResult<DestDir> DestDir::open(const std::filesystem::path& dest) {
    KIV_TRY(core::create_directories(dest));
    const std::string& path = dest.native();
    const int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno_fail(errno);
    return DestDir(File(fd), path);
}

PlaceResult<int> DestDir::make_dirs(std::string_view rel) {
    const auto components = KIV_TRY(split(rel));
    return enter(components);
}

PlaceResult<DestDir::Place> DestDir::place_of(std::string_view rel) {
    const auto components = KIV_TRY(split(rel));
    if (components.empty()) return errno_fail(EISDIR);  // the destination itself
    const int dir = KIV_TRY(enter(std::span(components).first(components.size() - 1)));
    return Place{dir, std::string(components.back())};
}

PlaceResult<DestDir::OwnedPlace> DestDir::own_place_of(std::string_view rel) {
    auto place = KIV_TRY(place_of(rel));
    const int fd = ::fcntl(place.dir, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return errno_fail(errno);
    return OwnedPlace{File(fd), std::move(place.name)};
}

PlaceResult<int> DestDir::enter(std::span<const std::string_view> components) {
    size_t common = 0;
    while (common < levels_.size() && common < components.size() && levels_[common].name == components[common])
        ++common;
    levels_.resize(common);
    if (common > 0 && common <= first_open_) {
        // The folder to go on from was closed: start again from the destination.
        levels_.clear();
        common = 0;
    }
    if (levels_.empty()) first_open_ = 0;
    for (size_t i = common; i < components.size(); ++i) KIV_TRY(descend(components[i]));
    return levels_.empty() ? root_.fd() : levels_.back().dir.fd();
}

PlaceResult<void> DestDir::descend(std::string_view component) {
    const int parent = levels_.empty() ? root_.fd() : levels_.back().dir.fd();
    const std::string name(component);
    const int made = ::mkdirat(parent, name.c_str(), 0777) == 0 ? 0 : errno;
    const int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int opened = errno;
        struct stat st;
        if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            return std::unexpected(PlaceError::link_in_the_way(path_to(component)));
        // A failed mkdir says more than the open after it, unless it only found something there.
        if (made != 0 && made != EEXIST) return errno_fail(made);
        return errno_fail(made == EEXIST && opened == ENOTDIR ? EEXIST : opened);
    }
    levels_.push_back({name, File(fd)});
    if (levels_.size() - first_open_ > kOpenLevels) levels_[first_open_++].dir.close();
    return {};
}

std::string DestDir::disk_path(std::string_view rel) const {
    std::string out = path_;
    if (!out.empty() && out.back() != '/' && !rel.empty() && rel.front() != '/') out += '/';
    out += rel;
    return out;
}

std::string DestDir::path_to(std::string_view name) const {
    std::string out = path_;
    auto add = [&](std::string_view part) {
        if (!out.empty() && out.back() != '/') out += '/';
        out += part;
    };
    for (const Level& level : levels_) add(level.name);
    add(name);
    return out;
}

}  // namespace core
