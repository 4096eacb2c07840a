// The one error type of the UDIF library.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "core/io.hpp"

namespace udif {

// Every fallible operation of the library returns a value or one of these.
class KivError {
public:
    enum class Kind : uint8_t {
        InvalidMagic,
        Io,
        InvalidKoly,
        InvalidPlist,
        InvalidBlockMap,
        Decompression,
        Compression,
        UnsupportedCompression,
        FileNotFound,
        InvalidPath,
        Base64,
        Xml,
        Unsupported,
        ChecksumMismatch,
    };

    // Every I/O failure converts into Io.
    KivError(core::IoError error) : kind_(Kind::Io), io_(std::move(error)) {}
    static KivError invalid_magic();
    static KivError invalid_koly(std::string text);
    static KivError invalid_plist(std::string text);
    static KivError invalid_block_map(std::string text);
    static KivError decompression(std::string text);
    static KivError compression(std::string text);
    static KivError unsupported_compression(uint32_t block_type);
    static KivError file_not_found(std::string text);
    static KivError invalid_path(std::string text);
    static KivError base64(std::string text);
    static KivError xml(std::string text);
    static KivError unsupported(std::string text);
    static KivError checksum_mismatch(uint32_t expected, uint32_t got);

    Kind kind() const { return kind_; }
    // The display text, e.g. "file not found: partition 7".
    std::string message() const;

    // The text payload of the text-carrying kinds (empty otherwise).
    const std::string& text() const { return text_; }
    // The inner I/O error of kind Io.
    const core::IoError* io_error() const { return io_ ? &*io_ : nullptr; }
    // The block type of kind UnsupportedCompression.
    uint32_t block_type() const { return expected_; }
    // The stored and the computed value of kind ChecksumMismatch.
    uint32_t expected() const { return expected_; }
    uint32_t got() const { return got_; }

private:
    KivError(Kind kind, std::string text = {}) : kind_(kind), text_(std::move(text)) {}

    Kind kind_;
    std::string text_;
    std::optional<core::IoError> io_;
    uint32_t expected_ = 0;
    uint32_t got_ = 0;
};

using Error = KivError;

template <class T>
using Result = std::expected<T, KivError>;

inline std::unexpected<KivError> fail(KivError e) { return std::unexpected(std::move(e)); }

}  // namespace udif
