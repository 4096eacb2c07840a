// On-disk constants and the value records of PBZX streams and CPIO archives.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/extract.hpp"

namespace pbzx {

// ---- PBZX ----------------------------------------------------------------

inline constexpr char kPbzxMagic[4] = {'p', 'b', 'z', 'x'};
// The header flags pkgbuild writes (bytes 00 00 00 00 01 00 00 00).  Readers
// keep the flags without interpreting them.
inline constexpr uint64_t kPbzxFlags = 0x0000000001000000;
inline constexpr size_t kPbzxHeaderSize = 12;
inline constexpr size_t kChunkHeaderSize = 16;
inline constexpr uint64_t kDefaultChunkSize = 16 * 1024 * 1024;
inline constexpr uint32_t kDefaultLevel = 6;

// One chunk as read from a stream, before decoding.
struct ReadChunk {
    std::vector<uint8_t> data;  // compressed_size bytes
    uint64_t uncompressed_size = 0;
    uint64_t compressed_size = 0;
    uint64_t offset = 0;  // stream offset of the chunk's data (its header starts 16 bytes earlier)

    // Equal sizes mark a chunk stored as is; otherwise the data are one .xz stream.
    bool is_stored() const { return uncompressed_size == compressed_size; }
};

// ---- CPIO ----------------------------------------------------------------

inline constexpr std::string_view kNewcMagic = "070701";
inline constexpr std::string_view kNewcCrcMagic = "070702";
inline constexpr std::string_view kOdcMagic = "070707";
inline constexpr std::string_view kTrailerName = "TRAILER!!!";
inline constexpr size_t kNewcHeaderSize = 110;
inline constexpr size_t kOdcHeaderSize = 76;

inline constexpr uint32_t kTypeMask = 0170000;
inline constexpr uint32_t kTypeDirectory = 0040000;
inline constexpr uint32_t kTypeRegular = 0100000;
inline constexpr uint32_t kTypeSymlink = 0120000;
inline constexpr uint32_t kPermissionMask = 07777;

enum class CpioFormat : uint8_t { Newc, Odc };

// One parsed member header.  odc's dev and rdev are split into major (high
// bits) and minor (low 8 bits); odc has no check field (0).
struct CpioEntry {
    CpioFormat format = CpioFormat::Newc;
    std::string name;
    uint64_t mtime = 0;
    uint64_t filesize = 0;
    uint32_t ino = 0, mode = 0, uid = 0, gid = 0, nlink = 0;
    uint32_t devmajor = 0, devminor = 0, rdevmajor = 0, rdevminor = 0;
    uint32_t namesize = 0, check = 0;

    bool is_dir() const { return (mode & kTypeMask) == kTypeDirectory; }
    bool is_regular() const { return (mode & kTypeMask) == kTypeRegular; }
    bool is_symlink() const { return (mode & kTypeMask) == kTypeSymlink; }
    bool is_trailer() const { return name == kTrailerName; }
    // A name of a newc link set: a regular file whose device and inode numbers
    // it shares with the set's other names (nlink > 1).  GNU cpio and bsdtar
    // store the set's data once, with its last name; the others have size 0.
    bool is_newc_link() const { return format == CpioFormat::Newc && is_regular() && nlink > 1; }
};

// One listed member.
struct FileEntry {
    std::string path;  // the name exactly as stored, e.g. "./usr/bin/tool"
    uint64_t size = 0;
    uint64_t mtime = 0;
    uint32_t mode = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    bool is_dir = false;
    bool is_symlink = false;
    std::optional<std::string> link_target;

    friend bool operator==(const FileEntry&, const FileEntry&) = default;
};

using ExtractStats = core::ExtractStats;

}  // namespace pbzx
