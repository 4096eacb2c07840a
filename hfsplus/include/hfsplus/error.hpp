// The one error type of the HFS+ volume library.
#pragma once

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/io.hpp"

namespace hfsplus {

enum class HfsPlusErrorKind : uint8_t {
    Io,                  // "I/O error: {}"
    InvalidSignature,    // "invalid HFS+ signature: 0x{:04X} (expected 0x482B or 0x4858)"
    InvalidBTree,        // "invalid B-tree: {}"
    FileNotFound,        // "file not found: {}"
    NotADirectory,       // "not a directory: {}"
    CorruptedData,       // "corrupted data: {}"
    UnsupportedVersion,  // "unsupported version: {}"
    Unsupported,         // "unsupported: {}" (a file stored in a form this library cannot decode)
};

class HfsPlusError : public core::Error<HfsPlusErrorKind> {
public:
    using Kind = HfsPlusErrorKind;

    // Every I/O failure of a source or a destination converts into Io.
    HfsPlusError(core::IoError error) : Error(Kind::Io, std::move(error)) {}

    static HfsPlusError invalid_signature(uint16_t signature);
    static HfsPlusError invalid_btree(std::string text) { return {Kind::InvalidBTree, std::move(text)}; }
    static HfsPlusError file_not_found(std::string path) { return {Kind::FileNotFound, std::move(path)}; }
    static HfsPlusError not_a_directory(std::string path) { return {Kind::NotADirectory, std::move(path)}; }
    static HfsPlusError corrupted_data(std::string text) { return {Kind::CorruptedData, std::move(text)}; }
    static HfsPlusError unsupported_version(uint16_t version) { return {Kind::UnsupportedVersion, std::to_string(version)}; }
    static HfsPlusError unsupported(std::string text) { return {Kind::Unsupported, std::move(text)}; }

    // The display text.
    std::string message() const;

    // The same failure with `context` leading its text ("context: text"): an
    // I/O failure stays one, a numeric payload (signature, version) is kept as it is.
    HfsPlusError within(std::string_view context) const;

private:
    HfsPlusError(Kind kind, std::string text) : Error(kind, std::move(text)) {}
};

template <class T>
using Result = std::expected<T, HfsPlusError>;

std::ostream& operator<<(std::ostream& os, const HfsPlusError& error);

}  // namespace hfsplus
