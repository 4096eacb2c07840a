// Files stored with macOS transparent compression: the attribute
// "com.apple.decmpfs" (header and, for small files, the data) and, for the
// larger ones, the resource fork "com.apple.ResourceFork" with a block table.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "catalog.hpp"
#include "core/io.hpp"

namespace apfs::detail {

// No codec shrinks a 64 KiB block of a compressed file by more than this
// (zlib comes closest, at about 780 to 1 on zeros), so a compressed file
// cannot be more than this many times larger than its container.
inline constexpr uint64_t kMaxCompressionRatio = 1024;

// The decmpfs attribute of a compressed file (its compressed flag set and
// the attribute present), or nullopt for a file read from its extents.
Result<std::optional<std::vector<uint8_t>>> decmpfs_value(core::ByteSource& source, const catalog::Tree& tree,
                                                          uint64_t id, const InodeVal& inode);

// The size listings and stat give a file: the uncompressed size of a
// compressed file, else the inode's size (also when the attribute cannot be read).
uint64_t file_size(core::ByteSource& source, const catalog::Tree& tree, uint64_t id, const InodeVal& inode);

// The uncompressed size of a compressed file, checked against what a
// container of the source's size can hold.  `path` names the file in errors.
Result<uint64_t> uncompressed_size(core::ByteSource& source, std::span<const uint8_t> value, std::string_view path);

// Writes a compressed file's uncompressed bytes (after uncompressed_size
// has accepted `value`); returns their count.
Result<uint64_t> write_decompressed(core::ByteSource& source, const catalog::Tree& tree, uint64_t id,
                                    std::span<const uint8_t> value, std::string_view path, core::ByteSink& writer);

}  // namespace apfs::detail
