#include "hfsplus/error.hpp"

#include <cstdio>
#include <ostream>

namespace hfsplus {

std::string HfsPlusError::message() const {
    switch (kind_) {
        case Kind::Io: return "I/O error: " + io_error()->message();
        case Kind::InvalidSignature: {
            char hex[8];
            std::snprintf(hex, sizeof hex, "%04X", unsigned(number()));
            return std::string("invalid HFS+ signature: 0x") + hex + " (expected 0x482B or 0x4858)";
        }
        case Kind::InvalidBTree: return "invalid B-tree: " + text();
        case Kind::FileNotFound: return "file not found: " + text();
        case Kind::NotADirectory: return "not a directory: " + text();
        case Kind::CorruptedData: return "corrupted data: " + text();
        case Kind::UnsupportedVersion: return "unsupported version: " + std::to_string(number());
        case Kind::Unsupported: return "unsupported: " + text();
    }
    return {};
}

uint16_t HfsPlusError::number() const {
    auto* v = std::get_if<uint16_t>(&payload_);
    return v ? *v : 0;
}

const std::string& HfsPlusError::text() const {
    static const std::string empty;
    auto* s = std::get_if<std::string>(&payload_);
    return s ? *s : empty;
}

std::ostream& operator<<(std::ostream& os, const HfsPlusError& error) { return os << error.message(); }

}  // namespace hfsplus
