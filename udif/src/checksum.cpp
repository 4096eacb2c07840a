#include "udif/checksum.hpp"

#include <algorithm>

#include <libdeflate.h>
#include <zlib.h>

#include "core/endian.hpp"

namespace udif::checksum {

uint32_t crc32_update(uint32_t crc, std::span<const uint8_t> bytes) {
    // libdeflate takes size_t lengths and computes the same CRC as zlib, faster.
    return libdeflate_crc32(crc, bytes.data(), bytes.size());
}

uint32_t crc32(std::span<const uint8_t> bytes) { return crc32_update(0, bytes); }

uint32_t crc32_zeros(uint32_t crc, uint64_t count) {
    static const uint8_t zeros[4096] = {};
    while (count > 0) {
        size_t n = size_t(std::min<uint64_t>(count, sizeof zeros));
        crc = crc32_update(crc, {zeros, n});
        count -= n;
    }
    return crc;
}

static_assert(sizeof(z_off_t) == 8, "lengths of the data fork need 64 bits");

uint32_t crc32_combine(uint32_t first, uint32_t second, uint64_t second_length) {
    return uint32_t(::crc32_combine(first, second, z_off_t(second_length)));
}

uint32_t stored_value(std::span<const uint8_t> field) {
    return field.size() >= 4 ? core::load_be32(field.data()) : 0;
}

bool has_checksum(uint32_t type, std::span<const uint8_t> field) {
    return type == kChecksumCrc32 && stored_value(field) != 0;
}

std::optional<std::pair<uint32_t, uint32_t>> verify_crc32(uint32_t type, std::span<const uint8_t> field,
                                                          std::span<const uint8_t> bytes) {
    if (!has_checksum(type, field)) return std::nullopt;
    uint32_t expected = stored_value(field);
    uint32_t got = crc32(bytes);
    if (expected == got) return std::nullopt;
    return std::pair{expected, got};
}

ChecksumField create_checksum_array(uint32_t value) {
    ChecksumField field{};
    core::store_be32(field.data(), value);
    return field;
}

}  // namespace udif::checksum
