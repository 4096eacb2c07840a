// The one error type of the XAR library.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "core/error.hpp"
#include "core/io.hpp"
#include "core/place_error.hpp"

namespace xara {

enum class XarErrorKind : uint8_t {
    Io,
    InvalidMagic,
    InvalidToc,
    XmlParse,
    FileNotFound,
    UnsupportedEncoding,
    DecompressionFailed,
    InvalidPath,
};

class XarError : public core::Error<XarErrorKind> {
public:
    using Kind = XarErrorKind;

    // An I/O error converts wherever it propagates.
    XarError(core::IoError io) : Error(Kind::Io, std::move(io)) {}
    // So does a place below an extraction's destination that cannot be
    // reached; a symbolic link in the way is an invalid path.
    XarError(const core::PlaceError& e)
        : XarError(e.link() ? invalid_path("symbolic link in the way: " + *e.link()) : XarError(e.io_error())) {}
    static XarError invalid_magic(uint32_t magic);
    static XarError invalid_toc(std::string text) { return {Kind::InvalidToc, std::move(text)}; }
    static XarError xml_parse(std::string text) { return {Kind::XmlParse, std::move(text)}; }
    static XarError file_not_found(std::string text) { return {Kind::FileNotFound, std::move(text)}; }
    static XarError unsupported_encoding(std::string text) { return {Kind::UnsupportedEncoding, std::move(text)}; }
    static XarError decompression_failed(std::string text) { return {Kind::DecompressionFailed, std::move(text)}; }
    static XarError invalid_path(std::string text) { return {Kind::InvalidPath, std::move(text)}; }

    // The display text, e.g. "invalid TOC: ..." or "I/O error: failed to fill whole buffer".
    std::string message() const;

private:
    XarError(Kind kind, std::string text) : Error(kind, std::move(text)) {}
};

template <class T>
using Result = std::expected<T, XarError>;

inline std::unexpected<XarError> fail(XarError e) { return std::unexpected(std::move(e)); }

}  // namespace xara
