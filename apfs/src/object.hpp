// Blocks and the 32-byte header every APFS object begins with.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "apfs/error.hpp"
#include "core/io.hpp"

namespace apfs {

inline constexpr uint32_t kObjectTypeNxSuperblock = 1;

struct ObjectHeader {
    uint64_t checksum = 0;
    uint64_t oid = 0;
    uint64_t xid = 0;
    uint32_t type = 0;  // only the low 16 bits name the type
    uint32_t subtype = 0;

    static constexpr size_t kSize = 32;
    static Result<ObjectHeader> parse(std::span<const uint8_t> bytes);
};

namespace object {

// The byte offset of block `block`; a product beyond 64 bits is corrupt data.
Result<uint64_t> block_offset(uint64_t block, uint32_t block_size);
// Reads block `block` (at byte offset block * block_size) into a new buffer.
Result<std::vector<uint8_t>> read_block(core::ByteSource& source, uint64_t block, uint32_t block_size);

}  // namespace object
}  // namespace apfs
