#include "core/entry_kind.hpp"

#include <ostream>

namespace core {

std::string_view entry_kind_name(EntryKind kind) {
    switch (kind) {
        case EntryKind::File: return "File";
        case EntryKind::Directory: return "Directory";
        case EntryKind::Symlink: return "Symlink";
    }
    return "File";
}

std::string_view entry_kind_lower_name(EntryKind kind) {
    switch (kind) {
        case EntryKind::File: return "file";
        case EntryKind::Directory: return "directory";
        case EntryKind::Symlink: return "symlink";
    }
    return "file";
}

std::ostream& operator<<(std::ostream& os, EntryKind kind) { return os << entry_kind_name(kind); }

}  // namespace core
