// macOS transparent compression ("decmpfs"): the "com.apple.decmpfs"
// attribute value and, for the larger files, the block table in the
// resource fork.  Shared by the HFS+ and APFS volume libraries, which map
// DecmpfsError into their own error kinds.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/io.hpp"

namespace codec {

// The extended attribute that marks a file as compressed and holds its header.
inline constexpr std::string_view kDecmpfsAttribute = "com.apple.decmpfs";
// The BSD owner flag of compressed files (UF_COMPRESSED).
inline constexpr uint32_t kCompressedFlag = 0x20;
inline constexpr size_t kDecmpfsHeaderSize = 16;
// Every block of a compressed file holds this many uncompressed bytes (the last one fewer).
inline constexpr size_t kDecmpfsBlockSize = 64 * 1024;

enum class DecmpfsErrorKind : uint8_t {
    Unsupported,  // a compression type this library does not decode
    Corrupt,      // the header, block table or a block is malformed
    Io,           // the resource fork could not be read
};

class DecmpfsError : public core::Error<DecmpfsErrorKind> {
public:
    using Kind = DecmpfsErrorKind;

    DecmpfsError(core::IoError error) : Error(Kind::Io, std::move(error)) {}
    static DecmpfsError unsupported(uint32_t type) { return {Kind::Unsupported, std::to_string(type)}; }
    static DecmpfsError corrupt(std::string text) { return {Kind::Corrupt, std::move(text)}; }

    // "compression type 13 is not supported", the corruption's text, or the I/O error's text.
    std::string message() const;

private:
    DecmpfsError(Kind kind, std::string text) : Error(kind, std::move(text)) {}
};

template <class T>
using Result = std::expected<T, DecmpfsError>;

// The 16-byte little-endian header at the start of the attribute value.
struct DecmpfsHeader {
    uint32_t type = 0;
    uint64_t uncompressed_size = 0;

    // Even types keep their data in the resource fork, odd ones after the header.
    bool in_resource_fork() const { return type % 2 == 0; }
};

// Checks the magic "fpmc" and reads the type and the uncompressed size.
Result<DecmpfsHeader> parse_decmpfs_header(std::span<const uint8_t> value);

// Whether decode_decmpfs handles the type: 1 (the bytes as they are), 3/4
// (zlib), 7/8 (LZVN), 9/10 (stored: each block is 0xCC, then its bytes),
// 11/12 (LZFSE).  A zlib block starting with 0xFF and an LZVN block starting
// with 0x06 are stored too.
bool is_supported_type(uint32_t type);

// Reads exactly buf.size() bytes of the resource fork at `offset`.
using ReadAt = std::function<core::IoResult<void>(uint64_t offset, std::span<uint8_t> buf)>;

// Writes the file's uncompressed bytes to `out`, block by block, and returns
// their count, which always equals the header's size.  `resource_fork` and
// its length are used only by the even types; inline types may pass an
// empty function and 0.  Nothing is allocated from the declared sizes: the
// block table is read piecewise and bounded by the fork length, and every
// block decodes to at most 64 KiB.
Result<uint64_t> decode_decmpfs(std::span<const uint8_t> value, const ReadAt& resource_fork,
                                uint64_t resource_fork_length, core::ByteSink& out);

}  // namespace codec
