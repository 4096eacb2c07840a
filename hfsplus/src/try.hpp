// Error propagation inside the library (GNU statement expressions).
#pragma once

#include <expected>
#include <utility>

#include "hfsplus/error.hpp"

// Evaluates a std::expected; returns its error (converted to HfsPlusError)
// from the enclosing function, else yields the value.
#define HFS_TRY(expr)                                                                 \
    ({                                                                                \
        auto&& hfs_try_r_ = (expr);                                                   \
        if (!hfs_try_r_)                                                              \
            return std::unexpected(::hfsplus::HfsPlusError(std::move(hfs_try_r_).error())); \
        std::move(*hfs_try_r_);                                                       \
    })

// The same for a std::expected<void, E>.
#define HFS_CHECK(expr)                                                               \
    do {                                                                              \
        auto&& hfs_try_r_ = (expr);                                                   \
        if (!hfs_try_r_)                                                              \
            return std::unexpected(::hfsplus::HfsPlusError(std::move(hfs_try_r_).error())); \
    } while (0)
