// The error type shared by every part of the PBZX payload library.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>

#include "core/error.hpp"
#include "core/io.hpp"
#include "core/place_error.hpp"

namespace pbzx {

enum class PbzxErrorKind : uint8_t {
    InvalidMagic,
    Io,
    Decompression,
    InvalidChunk,
    UnexpectedEof,
    InvalidCpio,
    FileNotFound,
    InvalidPath,
    Compression,
    Unsupported,
};

class PbzxError : public core::Error<PbzxErrorKind> {
public:
    using Kind = PbzxErrorKind;

    // Every I/O failure converts into Io.
    PbzxError(core::IoError error) : Error(Kind::Io, std::move(error)) {}
    // So does a place below an extraction's destination that cannot be
    // reached; a symbolic link in the way is an invalid path.
    PbzxError(const core::PlaceError& e)
        : PbzxError(e.link() ? invalid_path("Symbolic link in the way: " + *e.link()) : PbzxError(e.io_error())) {}
    static PbzxError invalid_magic(std::array<uint8_t, 4> magic);
    static PbzxError decompression(std::string text) { return {Kind::Decompression, std::move(text)}; }
    static PbzxError invalid_chunk(uint64_t offset, std::string text) {
        return {Kind::InvalidChunk, std::to_string(offset) + ": " + text};
    }
    static PbzxError unexpected_eof(uint64_t offset) { return {Kind::UnexpectedEof, std::to_string(offset)}; }
    static PbzxError invalid_cpio(std::string text) { return {Kind::InvalidCpio, std::move(text)}; }
    static PbzxError file_not_found(std::string path) { return {Kind::FileNotFound, std::move(path)}; }
    static PbzxError invalid_path(std::string text) { return {Kind::InvalidPath, std::move(text)}; }
    static PbzxError compression(std::string text) { return {Kind::Compression, std::move(text)}; }
    static PbzxError unsupported(std::string text) { return {Kind::Unsupported, std::move(text)}; }

    // The display text, e.g. "Invalid chunk at offset 28: Decompressed size mismatch: ...".
    std::string message() const;

private:
    PbzxError(Kind kind, std::string text) : Error(kind, std::move(text)) {}
};

template <class T>
using Result = std::expected<T, PbzxError>;

inline std::unexpected<PbzxError> fail(PbzxError e) { return std::unexpected(std::move(e)); }

}  // namespace pbzx
