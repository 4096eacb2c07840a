// The destination folder of an extraction, reached one folder at a time.
#pragma once

#include <cstddef>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/io.hpp"
#include "core/place_error.hpp"

namespace core {

// Everything an extraction writes goes below one destination folder.  The
// folders below it are made and opened one level at a time, each relative to
// the one above and never through a symbolic link: a link standing where a
// folder goes fails with PlaceError::link_in_the_way, before anything is
// written through it.  The destination itself may be a link; it is followed.
//
// Relative paths are '/'-separated; empty and "." components are skipped, a
// ".." component or a NUL byte is refused.  The folders last used stay open,
// so that the entries of one folder, which come together, cost one system
// call each.
class DestDir {
public:
    // Makes `dest` and its missing parents (0777 before the umask) and opens it.
    static IoResult<DestDir> open(const std::filesystem::path& dest);

    // Makes the folder `rel` and its missing parents; an existing folder is
    // fine, anything else in its place fails ("File exists").  The descriptor
    // stays valid until the next call.
    PlaceResult<int> make_dirs(std::string_view rel);

    // The folder that holds `rel` (made with its parents) and the last name of `rel`.
    struct Place {
        int dir;  // valid until the next call
        std::string name;
    };
    PlaceResult<Place> place_of(std::string_view rel);

    // A descriptor of its own for the folder that holds `rel`, with the last name of `rel`.
    struct OwnedPlace {
        File dir;
        std::string name;
    };
    PlaceResult<OwnedPlace> own_place_of(std::string_view rel);

    // The path on disk of `rel`, for messages.
    std::string disk_path(std::string_view rel) const;

private:
    DestDir(File root, std::string path) : root_(std::move(root)), path_(std::move(path)) {}

    // At most this many folders below the destination stay open; a deeper
    // tree reopens the upper ones from the destination when it goes back up.
    static constexpr size_t kOpenLevels = 32;

    struct Level {
        std::string name;
        File dir;  // closed for levels above first_open_
    };

    // Opens the folder made of `components`, making what is missing.
    PlaceResult<int> enter(std::span<const std::string_view> components);
    // Makes and opens the folder `name` below the deepest open level.
    PlaceResult<void> descend(std::string_view name);
    // The path on disk of the open levels followed by `name`, for messages.
    std::string path_to(std::string_view name) const;

    File root_;
    std::string path_;
    std::vector<Level> levels_;  // the folder last entered, one level per component
    size_t first_open_ = 0;
};

}  // namespace core
