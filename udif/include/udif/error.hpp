// The one error type of the UDIF library.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "core/error.hpp"
#include "core/io.hpp"

namespace udif {

enum class KivErrorKind : uint8_t {
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

// Every fallible operation of the library returns a value or one of these.
class KivError : public core::Error<KivErrorKind> {
public:
    using Kind = KivErrorKind;

    // Every I/O failure converts into Io.
    KivError(core::IoError error) : Error(Kind::Io, std::move(error)) {}
    static KivError invalid_magic() { return {Kind::InvalidMagic, {}}; }
    static KivError invalid_koly(std::string text) { return {Kind::InvalidKoly, std::move(text)}; }
    static KivError invalid_plist(std::string text) { return {Kind::InvalidPlist, std::move(text)}; }
    static KivError invalid_block_map(std::string text) { return {Kind::InvalidBlockMap, std::move(text)}; }
    static KivError decompression(std::string text) { return {Kind::Decompression, std::move(text)}; }
    static KivError compression(std::string text) { return {Kind::Compression, std::move(text)}; }
    static KivError unsupported_compression(uint32_t block_type);
    static KivError file_not_found(std::string text) { return {Kind::FileNotFound, std::move(text)}; }
    static KivError invalid_path(std::string text) { return {Kind::InvalidPath, std::move(text)}; }
    static KivError base64(std::string text) { return {Kind::Base64, std::move(text)}; }
    static KivError xml(std::string text) { return {Kind::Xml, std::move(text)}; }
    static KivError unsupported(std::string text) { return {Kind::Unsupported, std::move(text)}; }
    static KivError checksum_mismatch(uint32_t expected, uint32_t got);

    // The display text, e.g. "file not found: partition 7".
    std::string message() const;

private:
    KivError(Kind kind, std::string text) : Error(kind, std::move(text)) {}
};

using Error = KivError;

template <class T>
using Result = std::expected<T, KivError>;

inline std::unexpected<KivError> fail(KivError e) { return std::unexpected(std::move(e)); }

}  // namespace udif
