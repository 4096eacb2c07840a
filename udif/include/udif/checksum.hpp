// CRC-32 helpers for the checksum fields of the trailer and the block maps.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

namespace udif {

// A checksum field: the value big-endian in its first four bytes.
using ChecksumField = std::array<uint8_t, 128>;

// The checksum type meaning CRC-32.
inline constexpr uint32_t kChecksumCrc32 = 2;

namespace checksum {

// CRC-32 (IEEE 802.3, as zlib's crc32) of the bytes.
uint32_t crc32(std::span<const uint8_t> bytes);
// Continues a CRC-32 over more bytes (start with 0).
uint32_t crc32_update(uint32_t crc, std::span<const uint8_t> bytes);
// Continues a CRC-32 over `count` zero bytes.
uint32_t crc32_zeros(uint32_t crc, uint64_t count);
// The CRC-32 of two byte sequences one after the other, from the CRC-32 of
// each and the length of the second.
uint32_t crc32_combine(uint32_t first, uint32_t second, uint64_t second_length);

// True when the type is CRC-32 and the field's first word is not zero.
bool has_checksum(uint32_t type, std::span<const uint8_t> field);
// The stored value (first word, big-endian) of a field.
uint32_t stored_value(std::span<const uint8_t> field);
// When a checksum is present and differs from crc32(bytes): {expected, got}.
std::optional<std::pair<uint32_t, uint32_t>> verify_crc32(uint32_t type, std::span<const uint8_t> field,
                                                          std::span<const uint8_t> bytes);
// A field holding `value` big-endian in its first four bytes, zeros elsewhere.
ChecksumField create_checksum_array(uint32_t value);

}  // namespace checksum
}  // namespace udif
