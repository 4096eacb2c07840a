// Helpers shared by the library's sources.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "apfs/error.hpp"
#include "core/io.hpp"
#include "superblock.hpp"

namespace apfs::detail {


inline Result<void> check_block_size(uint32_t size) {
    if (valid_block_size(size)) return {};
    return fail(ApfsError::corrupted("block size " + std::to_string(size) + " is not a power of two from " +
                                     std::to_string(kMinBlockSize) + " to " + std::to_string(kMaxBlockSize)));
}

}  // namespace apfs::detail
