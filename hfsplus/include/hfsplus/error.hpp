// The one error type of the HFS+ volume library.
#pragma once

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <string>
#include <variant>

#include "core/io.hpp"

namespace hfsplus {

class HfsPlusError {
public:
    enum class Kind : uint8_t {
        Io,                  // "I/O error: {}"
        InvalidSignature,    // "invalid HFS+ signature: 0x{:04X} (expected 0x482B or 0x4858)"
        InvalidBTree,        // "invalid B-tree: {}"
        FileNotFound,        // "file not found: {}"
        NotADirectory,       // "not a directory: {}"
        CorruptedData,       // "corrupted data: {}"
        UnsupportedVersion,  // "unsupported version: {}"
        Unsupported,         // "unsupported: {}" (a file stored in a form this library cannot decode)
    };

    // Every I/O failure of a source or a destination converts into Io.
    HfsPlusError(core::IoError error) : kind_(Kind::Io), payload_(std::move(error)) {}

    static HfsPlusError invalid_signature(uint16_t signature) { return {Kind::InvalidSignature, signature}; }
    static HfsPlusError invalid_btree(std::string text) { return {Kind::InvalidBTree, std::move(text)}; }
    static HfsPlusError file_not_found(std::string path) { return {Kind::FileNotFound, std::move(path)}; }
    static HfsPlusError not_a_directory(std::string path) { return {Kind::NotADirectory, std::move(path)}; }
    static HfsPlusError corrupted_data(std::string text) { return {Kind::CorruptedData, std::move(text)}; }
    static HfsPlusError unsupported_version(uint16_t version) { return {Kind::UnsupportedVersion, version}; }
    static HfsPlusError unsupported(std::string text) { return {Kind::Unsupported, std::move(text)}; }

    Kind kind() const { return kind_; }
    // The display text.
    std::string message() const;

    // The I/O error of an Io error, else nullptr.
    const core::IoError* io_error() const { return std::get_if<core::IoError>(&payload_); }
    // The signature or version of InvalidSignature / UnsupportedVersion, else 0.
    uint16_t number() const;
    // The text payload of InvalidBTree, FileNotFound, NotADirectory, CorruptedData and Unsupported, else "".
    const std::string& text() const;

    friend bool operator==(const HfsPlusError&, const HfsPlusError&) = default;

private:
    HfsPlusError(Kind kind, uint16_t value) : kind_(kind), payload_(value) {}
    HfsPlusError(Kind kind, std::string text) : kind_(kind), payload_(std::move(text)) {}

    Kind kind_;
    std::variant<core::IoError, uint16_t, std::string> payload_;
};

template <class T>
using Result = std::expected<T, HfsPlusError>;

std::ostream& operator<<(std::ostream& os, const HfsPlusError& error);

}  // namespace hfsplus
