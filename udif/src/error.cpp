#include "udif/error.hpp"

#include <cstdio>

namespace udif {

namespace {

// "0x" followed by lower-case hexadecimal digits.
std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%#x", v);
    return v == 0 ? "0x0" : buf;
}

}  // namespace

KivError KivError::unsupported_compression(uint32_t block_type) {
    return {Kind::UnsupportedCompression, hex(block_type)};
}

KivError KivError::checksum_mismatch(uint32_t expected, uint32_t got) {
    return {Kind::ChecksumMismatch, "expected " + hex(expected) + ", got " + hex(got)};
}

std::string KivError::message() const {
    switch (kind()) {
        case Kind::InvalidMagic: return "invalid DMG magic: expected 'koly' trailer";
        case Kind::Io: return "I/O error: " + io_error()->message();
        case Kind::InvalidKoly: return "invalid koly header: " + text();
        case Kind::InvalidPlist: return "invalid plist: " + text();
        case Kind::InvalidBlockMap: return "invalid block map: " + text();
        case Kind::Decompression: return "decompression error: " + text();
        case Kind::Compression: return "compression error: " + text();
        case Kind::UnsupportedCompression: return "unsupported compression type: " + text();
        case Kind::FileNotFound: return "file not found: " + text();
        case Kind::InvalidPath: return "invalid path: " + text();
        case Kind::Base64: return "base64 decode error: " + text();
        case Kind::Xml: return "XML parsing error: " + text();
        case Kind::Unsupported: return "unsupported: " + text();
        case Kind::ChecksumMismatch: return "checksum mismatch: " + text();
    }
    return {};
}

}  // namespace udif
