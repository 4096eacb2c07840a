// The kind of a file-system or archive entry, shared by the volume
// libraries, the XAR library and the pipeline.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string_view>

namespace core {

enum class EntryKind : uint8_t { File = 0, Directory = 1, Symlink = 2 };

// "File", "Directory" or "Symlink".
std::string_view entry_kind_name(EntryKind kind);
// "file", "directory" or "symlink".
std::string_view entry_kind_lower_name(EntryKind kind);
std::ostream& operator<<(std::ostream& os, EntryKind kind);

}  // namespace core
