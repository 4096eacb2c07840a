// The error type of the APFS library.  Kinds and display texts are part of
// the interface: callers map errors by kind() and show message().
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

#include "core/io.hpp"

namespace apfs {

class ApfsError {
public:
    enum class Kind : uint8_t {
        Io,
        InvalidMagic,
        InvalidChecksum,
        InvalidBTree,
        FileNotFound,
        NotADirectory,
        CorruptedData,
        Unsupported,
        NoVolume,
    };

    // Every I/O failure converts into Io.
    ApfsError(core::IoError e) : kind_(Kind::Io), io_(std::move(e)) {}
    static ApfsError invalid_magic(uint32_t found) {
        ApfsError e(Kind::InvalidMagic);
        e.magic_ = found;
        return e;
    }
    static ApfsError invalid_checksum() { return ApfsError(Kind::InvalidChecksum); }
    static ApfsError invalid_btree(std::string text) { return ApfsError(Kind::InvalidBTree, std::move(text)); }
    static ApfsError file_not_found(std::string text) { return ApfsError(Kind::FileNotFound, std::move(text)); }
    static ApfsError not_a_directory(std::string text) { return ApfsError(Kind::NotADirectory, std::move(text)); }
    static ApfsError corrupted(std::string text) { return ApfsError(Kind::CorruptedData, std::move(text)); }
    static ApfsError unsupported(std::string text) { return ApfsError(Kind::Unsupported, std::move(text)); }
    static ApfsError no_volume() { return ApfsError(Kind::NoVolume); }

    Kind kind() const { return kind_; }
    // The display text, e.g. "invalid magic: 0x4253584E".
    std::string message() const;
    // The payload text of the text-carrying kinds (empty for the others).
    const std::string& text() const { return text_; }
    // The I/O error of an Io error (unexpected end of file for other kinds).
    const core::IoError& io_error() const { return io_; }
    // The value found by an InvalidMagic error.
    uint32_t magic() const { return magic_; }

private:
    explicit ApfsError(Kind kind, std::string text = {})
        : kind_(kind), text_(std::move(text)), io_(core::IoError::unexpected_eof()) {}

    Kind kind_;
    std::string text_;
    core::IoError io_;
    uint32_t magic_ = 0;
};

template <class T>
using Result = std::expected<T, ApfsError>;

inline std::unexpected<ApfsError> fail(ApfsError e) { return std::unexpected(std::move(e)); }

}  // namespace apfs
