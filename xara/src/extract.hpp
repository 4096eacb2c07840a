// Writing a subtree of an archive into a directory, without ever leaving it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "xara/archive.hpp"

namespace xara {

namespace extract {

// Writes every entry at or below `prefix` ("" or "/" selects everything) into
// `dest`, parents before children, with the prefix removed from the paths.
// Symbolic links are counted, never created.
Result<ExtractStats> extract_inner(XarArchive& archive, std::string_view prefix,
                                   const std::filesystem::path& dest);

// The part of `path` below `prefix` (both without surrounding '/'): empty when
// they are equal.
std::string_view strip_base_prefix(std::string_view path, std::string_view prefix);

// A relative path with root and "." components dropped; ".." and paths that
// end up empty are InvalidPath.
Result<std::filesystem::path> sanitize_path(std::string_view relative);

// The byte string that orders extraction: each component prefixed with 0x00,
// the last one of a non-directory with 0x01, joined with '/'.
std::string tree_sort_key(std::string_view path, bool is_directory);

}  // namespace extract
}  // namespace xara
