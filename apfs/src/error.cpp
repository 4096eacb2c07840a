#include "apfs/error.hpp"

#include <cstdio>

namespace apfs {

std::string ApfsError::message() const {
    switch (kind_) {
        case Kind::Io: return "I/O error: " + io_.message();
        case Kind::InvalidMagic: {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%08X", unsigned(magic_));
            return std::string("invalid magic: ") + hex;
        }
        case Kind::InvalidChecksum: return "invalid checksum";
        case Kind::InvalidBTree: return "invalid B-tree: " + text_;
        case Kind::FileNotFound: return "file not found: " + text_;
        case Kind::NotADirectory: return "not a directory: " + text_;
        case Kind::CorruptedData: return "corrupted data: " + text_;
        case Kind::Unsupported: return "unsupported: " + text_;
        case Kind::NoVolume: return "no volume found in container";
    }
    return "unknown APFS error";
}

}  // namespace apfs
