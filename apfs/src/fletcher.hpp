// The Fletcher-64 checksum that guards APFS objects.
#pragma once

#include <cstdint>
#include <span>

namespace apfs::fletcher {

// The checksum of `bytes[8..]` as APFS stores it in the first 8 bytes.
uint64_t compute(std::span<const uint8_t> bytes);
// True when the stored checksum matches; false for fewer than 8 bytes.
bool verify_object(std::span<const uint8_t> bytes);

}  // namespace apfs::fletcher
