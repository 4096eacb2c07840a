#include "xara/error.hpp"

#include <cstdio>

#include "internal.hpp"

namespace xara {

XarError::XarError(core::IoError io) : kind_(Kind::Io), io_(std::move(io)) {}

XarError XarError::invalid_magic(uint32_t magic) {
    XarError e(Kind::InvalidMagic, {});
    e.magic_ = magic;
    return e;
}
XarError XarError::invalid_toc(std::string text) { return {Kind::InvalidToc, std::move(text)}; }
XarError XarError::xml_parse(std::string text) { return {Kind::XmlParse, std::move(text)}; }
XarError XarError::file_not_found(std::string text) { return {Kind::FileNotFound, std::move(text)}; }
XarError XarError::unsupported_encoding(std::string text) { return {Kind::UnsupportedEncoding, std::move(text)}; }
XarError XarError::decompression_failed(std::string text) { return {Kind::DecompressionFailed, std::move(text)}; }
XarError XarError::invalid_path(std::string text) { return {Kind::InvalidPath, std::move(text)}; }

std::string XarError::message() const {
    switch (kind_) {
        case Kind::Io: return "I/O error: " + (io_ ? io_->message() : std::string());
        case Kind::InvalidMagic: {
            char buf[80];
            std::snprintf(buf, sizeof buf, "invalid XAR magic: 0x%08X (expected 0x78617221)", unsigned(magic_));
            return buf;
        }
        case Kind::InvalidToc: return "invalid TOC: " + text_;
        case Kind::XmlParse: return "XML parse error: " + text_;
        case Kind::FileNotFound: return "file not found: " + text_;
        case Kind::UnsupportedEncoding: return "unsupported encoding: " + text_;
        case Kind::DecompressionFailed: return "decompression failed: " + text_;
        case Kind::InvalidPath: return "invalid path: " + text_;
    }
    return text_;
}

namespace detail {

}  // namespace detail
}  // namespace xara
