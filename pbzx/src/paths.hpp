// The path rules of CPIO extraction.
#pragma once

#include <string>
#include <string_view>

#include "pbzx/error.hpp"

namespace pbzx::cpio {

// Drops a leading "./" and then one leading '/'; a lone "." becomes empty.
std::string normalize_cpio_path(std::string_view path);
// Drops every leading '/' and rejects ".." components ("Path traversal
// detected: {}"); returns the rest unchanged.
Result<std::string> sanitize_path(std::string_view path);
// `path` without `base` and the '/' after it (the caller has checked that
// `path` is `base` followed by '/'); empty when `path` is not longer.
std::string strip_base_prefix(std::string_view path, std::string_view base);

}  // namespace pbzx::cpio
