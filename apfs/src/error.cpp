#include "apfs/error.hpp"

#include <cstdio>

namespace apfs {

ApfsError ApfsError::invalid_magic(uint32_t found) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", unsigned(found));
    return {Kind::InvalidMagic, hex};
}

std::string ApfsError::message() const {
    switch (kind()) {
        case Kind::Io: return "I/O error: " + io_error()->message();
        case Kind::InvalidMagic: return "invalid magic: " + text();
        case Kind::InvalidChecksum: return "invalid checksum";
        case Kind::InvalidBTree: return "invalid B-tree: " + text();
        case Kind::FileNotFound: return "file not found: " + text();
        case Kind::NotADirectory: return "not a directory: " + text();
        case Kind::CorruptedData: return "corrupted data: " + text();
        case Kind::Unsupported: return "unsupported: " + text();
        case Kind::NoVolume: return "no volume found in container";
    }
    return "unknown APFS error";
}

}  // namespace apfs
