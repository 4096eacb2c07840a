// The one error type of the XAR library.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "core/io.hpp"

namespace xara {

class XarError {
public:
    // The order is a contract with the Python error mapper.
    enum class Kind : uint8_t {
        Io,
        InvalidMagic,
        InvalidToc,
        XmlParse,
        FileNotFound,
        UnsupportedEncoding,
        DecompressionFailed,
        InvalidPath,
    };

    XarError(core::IoError io);  // NOLINT: an I/O error converts wherever it propagates
    static XarError invalid_magic(uint32_t magic);
    static XarError invalid_toc(std::string text);
    static XarError xml_parse(std::string text);
    static XarError file_not_found(std::string text);
    static XarError unsupported_encoding(std::string text);
    static XarError decompression_failed(std::string text);
    static XarError invalid_path(std::string text);

    Kind kind() const { return kind_; }
    // The display text, e.g. "invalid TOC: ..." or "I/O error: failed to fill whole buffer".
    std::string message() const;
    // The text payload (empty for Io and InvalidMagic).
    const std::string& detail() const { return text_; }
    // The I/O error of the Io variant.
    const std::optional<core::IoError>& io_error() const { return io_; }
    // The magic number of the InvalidMagic variant.
    uint32_t magic() const { return magic_; }

private:
    XarError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    Kind kind_;
    std::string text_;
    std::optional<core::IoError> io_;
    uint32_t magic_ = 0;
};

template <class T>
using Result = std::expected<T, XarError>;

inline std::unexpected<XarError> fail(XarError e) { return std::unexpected(std::move(e)); }

}  // namespace xara
