// The table of contents' entries and the path lookup over them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/entry_kind.hpp"

namespace xara {

// File 0, Directory 1, Symlink 2 ("file", "directory", "symlink" in the TOC).
using XarFileType = core::EntryKind;

// Where and how an entry's bytes are stored in the heap.
struct XarFileData {
    std::string encoding = "application/octet-stream";
    std::optional<std::string> extracted_checksum;
    std::optional<std::string> archived_checksum;
    uint64_t offset = 0;  // from the heap start
    uint64_t length = 0;  // bytes stored in the heap
    uint64_t size = 0;    // bytes after decoding
};

// One entry of the table of contents.
struct XarFile {
    uint64_t id = 0;
    std::string name;
    std::string path;  // names from the top-level ancestor down, joined with '/'
    std::optional<size_t> parent;
    std::vector<size_t> children;
    XarFileType file_type = XarFileType::File;
    std::optional<std::string> link;  // symlinks only
    std::optional<XarFileData> data;
};

namespace toc {

// The first entry whose full path equals `path` with every leading and
// trailing '/' removed; nullptr if none.
const XarFile* find_by_path(std::span<const XarFile> files, std::string_view path);

}  // namespace toc
}  // namespace xara
