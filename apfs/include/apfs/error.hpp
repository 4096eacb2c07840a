// The error type of the APFS library.  Kinds and display texts are part of
// the interface: callers map errors by kind() and show message().
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

#include "core/error.hpp"
#include "core/io.hpp"

namespace apfs {

enum class ApfsErrorKind : uint8_t {
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

class ApfsError : public core::Error<ApfsErrorKind> {
public:
    using Kind = ApfsErrorKind;

    // Every I/O failure converts into Io.
    ApfsError(core::IoError e) : Error(Kind::Io, std::move(e)) {}
    static ApfsError invalid_magic(uint32_t found);
    static ApfsError invalid_checksum() { return {Kind::InvalidChecksum, {}}; }
    static ApfsError invalid_btree(std::string text) { return {Kind::InvalidBTree, std::move(text)}; }
    static ApfsError file_not_found(std::string text) { return {Kind::FileNotFound, std::move(text)}; }
    static ApfsError not_a_directory(std::string text) { return {Kind::NotADirectory, std::move(text)}; }
    static ApfsError corrupted(std::string text) { return {Kind::CorruptedData, std::move(text)}; }
    static ApfsError unsupported(std::string text) { return {Kind::Unsupported, std::move(text)}; }
    static ApfsError no_volume() { return {Kind::NoVolume, {}}; }

    // The display text, e.g. "invalid magic: 0x4253584E".
    std::string message() const;

private:
    ApfsError(Kind kind, std::string text) : Error(kind, std::move(text)) {}
};

template <class T>
using Result = std::expected<T, ApfsError>;

inline std::unexpected<ApfsError> fail(ApfsError e) { return std::unexpected(std::move(e)); }

}  // namespace apfs
