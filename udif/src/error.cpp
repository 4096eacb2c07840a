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

KivError KivError::invalid_magic() { return KivError(Kind::InvalidMagic); }
KivError KivError::invalid_koly(std::string text) { return KivError(Kind::InvalidKoly, std::move(text)); }
KivError KivError::invalid_plist(std::string text) { return KivError(Kind::InvalidPlist, std::move(text)); }
KivError KivError::invalid_block_map(std::string text) { return KivError(Kind::InvalidBlockMap, std::move(text)); }
KivError KivError::decompression(std::string text) { return KivError(Kind::Decompression, std::move(text)); }
KivError KivError::compression(std::string text) { return KivError(Kind::Compression, std::move(text)); }
KivError KivError::unsupported_compression(uint32_t block_type) {
    KivError e(Kind::UnsupportedCompression);
    e.expected_ = block_type;
    return e;
}
KivError KivError::file_not_found(std::string text) { return KivError(Kind::FileNotFound, std::move(text)); }
KivError KivError::invalid_path(std::string text) { return KivError(Kind::InvalidPath, std::move(text)); }
KivError KivError::base64(std::string text) { return KivError(Kind::Base64, std::move(text)); }
KivError KivError::xml(std::string text) { return KivError(Kind::Xml, std::move(text)); }
KivError KivError::unsupported(std::string text) { return KivError(Kind::Unsupported, std::move(text)); }
KivError KivError::checksum_mismatch(uint32_t expected, uint32_t got) {
    KivError e(Kind::ChecksumMismatch);
    e.expected_ = expected;
    e.got_ = got;
    return e;
}

std::string KivError::message() const {
    switch (kind_) {
        case Kind::InvalidMagic: return "invalid DMG magic: expected 'koly' trailer";
        case Kind::Io: return "I/O error: " + io_->message();
        case Kind::InvalidKoly: return "invalid koly header: " + text_;
        case Kind::InvalidPlist: return "invalid plist: " + text_;
        case Kind::InvalidBlockMap: return "invalid block map: " + text_;
        case Kind::Decompression: return "decompression error: " + text_;
        case Kind::Compression: return "compression error: " + text_;
        case Kind::UnsupportedCompression: return "unsupported compression type: " + hex(expected_);
        case Kind::FileNotFound: return "file not found: " + text_;
        case Kind::InvalidPath: return "invalid path: " + text_;
        case Kind::Base64: return "base64 decode error: " + text_;
        case Kind::Xml: return "XML parsing error: " + text_;
        case Kind::Unsupported: return "unsupported: " + text_;
        case Kind::ChecksumMismatch: return "checksum mismatch: expected " + hex(expected_) + ", got " + hex(got_);
    }
    return {};
}

}  // namespace udif
