// The error type shared by every part of the PBZX payload library.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "core/io.hpp"

namespace pbzx {

class PbzxError {
public:
    // The order is part of the interface: callers map errors by kind.
    enum class Kind : uint8_t {
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

    static PbzxError invalid_magic(std::array<uint8_t, 4> magic);
    static PbzxError io(core::IoError error);
    static PbzxError decompression(std::string text);
    static PbzxError invalid_chunk(uint64_t offset, std::string text);
    static PbzxError unexpected_eof(uint64_t offset);
    static PbzxError invalid_cpio(std::string text);
    static PbzxError file_not_found(std::string path);
    static PbzxError invalid_path(std::string text);
    static PbzxError compression(std::string text);
    static PbzxError unsupported(std::string text);

    Kind kind() const { return kind_; }
    // The display text, e.g. "Invalid chunk at offset 28: Decompressed size mismatch: ...".
    std::string message() const;

    // The wrapped I/O error of an Io error, else nullptr.
    const core::IoError* io_error() const { return io_ ? &*io_ : nullptr; }
    // The stream offset of InvalidChunk and UnexpectedEof (0 for the others).
    uint64_t offset() const { return offset_; }
    // The text payload (message, path, ...) of the variants that carry one.
    const std::string& text() const { return text_; }
    // The four bytes read where "pbzx" was expected (InvalidMagic only).
    const std::array<uint8_t, 4>& magic() const { return magic_; }

private:
    explicit PbzxError(Kind kind) : kind_(kind) {}
    static PbzxError with_text(Kind kind, std::string text);

    Kind kind_;
    std::optional<core::IoError> io_;
    uint64_t offset_ = 0;
    std::string text_;
    std::array<uint8_t, 4> magic_{};
};

template <class T>
using Result = std::expected<T, PbzxError>;

inline std::unexpected<PbzxError> fail(PbzxError e) { return std::unexpected(std::move(e)); }
inline std::unexpected<PbzxError> fail_io(core::IoError e) { return fail(PbzxError::io(std::move(e))); }

}  // namespace pbzx
