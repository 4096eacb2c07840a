// The fixed 28-byte big-endian header at the start of every XAR archive.
#pragma once

#include <cstdint>

namespace xara {

inline constexpr uint32_t kXarMagic = 0x78617221;  // "xar!"
inline constexpr uint16_t kXarHeaderSize = 28;

struct XarHeader {
    uint32_t magic = kXarMagic;
    uint16_t header_size = kXarHeaderSize;
    uint16_t version = 1;
    uint64_t toc_length_compressed = 0;
    uint64_t toc_length_uncompressed = 0;
    uint32_t checksum_alg = 0;
    // checksum_alg when below 4, else 4.
    uint32_t checksum_kind = 0;
};

}  // namespace xara
