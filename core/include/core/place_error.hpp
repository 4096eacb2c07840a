// Why a place below an extraction's destination could not be reached.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <utility>

#include "core/io.hpp"

namespace core {

// The system's error, or a symbolic link standing where a folder of the
// extracted tree goes (never followed).  Each library shows the link as its
// own invalid-path error.
class PlaceError {
public:
    PlaceError(IoError io) : io_(std::move(io)) {}
    static PlaceError link_in_the_way(std::string path) {
        PlaceError e(IoError::other({}));
        e.link_ = std::move(path);
        return e;
    }

    // The path on disk of the link in the way, else nullptr.
    const std::string* link() const { return link_ ? &*link_ : nullptr; }
    // The I/O error when there is no link in the way.
    const IoError& io_error() const { return io_; }

private:
    IoError io_;
    std::optional<std::string> link_;
};

template <class T>
using PlaceResult = std::expected<T, PlaceError>;

}  // namespace core
