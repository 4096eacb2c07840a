#include "hfsplus/error.hpp"

#include <cstdio>
#include <ostream>

namespace hfsplus {

HfsPlusError HfsPlusError::invalid_signature(uint16_t signature) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04X", unsigned(signature));
    return {Kind::InvalidSignature, hex};
}

std::string HfsPlusError::message() const {
    switch (kind()) {
        case Kind::Io: return "I/O error: " + io_error()->message();
        case Kind::InvalidSignature: return "invalid HFS+ signature: 0x" + text() + " (expected 0x482B or 0x4858)";
        case Kind::InvalidBTree: return "invalid B-tree: " + text();
        case Kind::FileNotFound: return "file not found: " + text();
        case Kind::NotADirectory: return "not a directory: " + text();
        case Kind::CorruptedData: return "corrupted data: " + text();
        case Kind::UnsupportedVersion: return "unsupported version: " + text();
        case Kind::Unsupported: return "unsupported: " + text();
    }
    return {};
}

HfsPlusError HfsPlusError::within(std::string_view context) const {
    const std::string lead = std::string(context) + ": ";
    switch (kind()) {
        case Kind::Io: return HfsPlusError(core::IoError::other(lead + io_error()->message()));
        case Kind::InvalidSignature:
        case Kind::UnsupportedVersion: return *this;
        default: return {kind(), lead + text()};
    }
}

std::ostream& operator<<(std::ostream& os, const HfsPlusError& error) { return os << error.message(); }

}  // namespace hfsplus
