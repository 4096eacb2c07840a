// Compressed files as macOS stores them, for the tests of every library that
// reads them: the "com.apple.decmpfs" value and the resource fork.
#pragma once

#include <cstdint>
#include <set>
#include <span>
#include <vector>

namespace codec_testing {

struct DecmpfsFile {
    std::vector<uint8_t> attribute;      // header, then the data of the inline types
    std::vector<uint8_t> resource_fork;  // empty for the inline types
};

// `data` compressed with decmpfs type `type` (1, 3/4 zlib, 7/8 LZVN, 9/10
// stored, 11/12 LZFSE; any other type gets a header and the data as it is).
// The 64 KiB blocks whose index is in `stored` keep their bytes behind the
// stored-block marker (zlib and LZVN only).
DecmpfsFile encode_decmpfs(uint32_t type, std::span<const uint8_t> data, const std::set<size_t>& stored = {});

// The 16-byte header alone.
std::vector<uint8_t> decmpfs_header(uint32_t type, uint64_t size);

}  // namespace codec_testing
