// Assembling a file's bytes from its extents.
#pragma once

#include <cstdint>
#include <vector>

#include "apfs/catalog.hpp"
#include "apfs/error.hpp"
#include "core/io.hpp"

namespace apfs::extents {

// Writes the first `file_size` bytes described by `extents` (holes as zeros)
// and returns how many were written; extents ending early leave it short.
Result<uint64_t> read_file_data(core::ByteSource& source, uint32_t block_size,
                                const std::vector<FileExtentRecord>& extents, uint64_t file_size,
                                core::ByteSink& writer);

}  // namespace apfs::extents
