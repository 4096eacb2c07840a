// The pipeline's one error type: a wrapped format-library error, or a failure
// only the pipeline detects.  Its display text is what Python users see.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <variant>

#include "apfs/error.hpp"
#include "core/io.hpp"
#include "core/place_error.hpp"
#include "hfsplus/error.hpp"
#include "pbzx/error.hpp"
#include "udif/error.hpp"
#include "xara/error.hpp"

namespace kiv {

class KivError {
public:
    enum class Kind : uint8_t {
        Io,
        Dmg,
        HfsPlus,
        Xar,
        Pbzx,
        Apfs,
        FileNotFound,
        NoHfsPartition,
        NoApfsPartition,
        NoFilesystemPartition,
        InvalidPath,
        NoEntries,
    };

    // A library error becomes its wrapping variant where it leaves the library call.
    KivError(core::IoError e) : kind_(Kind::Io), payload_(std::move(e)) {}
    // A place below an extraction's destination that cannot be reached: a
    // symbolic link in the way is an invalid path, anything else I/O.
    KivError(const core::PlaceError& e)
        : KivError(e.link() ? invalid_path("symbolic link in the way: " + *e.link()) : KivError(e.io_error())) {}
    KivError(udif::KivError e) : kind_(Kind::Dmg), payload_(std::move(e)) {}
    KivError(hfsplus::HfsPlusError e) : kind_(Kind::HfsPlus), payload_(std::move(e)) {}
    KivError(xara::XarError e) : kind_(Kind::Xar), payload_(std::move(e)) {}
    KivError(pbzx::PbzxError e) : kind_(Kind::Pbzx), payload_(std::move(e)) {}
    KivError(apfs::ApfsError e) : kind_(Kind::Apfs), payload_(std::move(e)) {}

    static KivError file_not_found(std::string path) { return {Kind::FileNotFound, std::move(path)}; }
    static KivError no_hfs_partition() { return {Kind::NoHfsPartition, {}}; }
    static KivError no_apfs_partition() { return {Kind::NoApfsPartition, {}}; }
    static KivError no_filesystem_partition() { return {Kind::NoFilesystemPartition, {}}; }
    static KivError invalid_path(std::string text) { return {Kind::InvalidPath, std::move(text)}; }
    static KivError no_entries(std::string base) { return {Kind::NoEntries, std::move(base)}; }

    Kind kind() const { return kind_; }
    std::string message() const;

    // The wrapped error of type E, or nullptr.
    template <class E>
    const E* inner() const { return std::get_if<E>(&payload_); }

private:
    KivError(Kind kind, std::string text) : kind_(kind), payload_(std::move(text)) {}

    Kind kind_;
    std::variant<std::string, core::IoError, udif::KivError, hfsplus::HfsPlusError, xara::XarError,
                 pbzx::PbzxError, apfs::ApfsError>
        payload_;
};

template <class T>
using Result = std::expected<T, KivError>;

inline std::unexpected<KivError> fail(KivError e) { return std::unexpected(std::move(e)); }

}  // namespace kiv
