// Catalog names: UTF-16 conversion and the two name orders.
#pragma once

#include <compare>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace hfsplus::unicode {

// Plain UTF-16 encoding of UTF-8 text (invalid UTF-8 bytes become U+FFFD).
std::vector<uint16_t> string_to_utf16(std::string_view text);
// UTF-8 text of UTF-16 units: pairs combine, unpaired surrogates become U+FFFD.
std::string utf16_to_string(std::span<const uint16_t> units);
// Big-endian byte pairs to units (a trailing odd byte is ignored).
std::vector<uint16_t> utf16be_to_u16(std::span<const uint8_t> bytes);

// The canonical decomposition (NFD) of UTF-8 text; invalid text comes back unchanged.
std::string decompose(std::string_view text);

// HFSX order: unit by unit as unsigned numbers, a prefix before the longer name.
std::strong_ordering compare_binary(std::span<const uint16_t> a, std::span<const uint16_t> b);

// HFS+ order, as macOS sorts catalog keys: each unit goes through the
// case-folding table (Latin, Greek, Cyrillic, Armenian, Georgian, Roman
// numerals and fullwidth Latin capitals fold to lower case; precomposed
// Latin-1 and Latin Extended-A capitals fold too), the ignorable format
// characters are skipped, and U+0000 sorts after every other unit.
std::strong_ordering compare_case_insensitive(std::span<const uint16_t> a, std::span<const uint16_t> b);

// The folded value of one unit: 0 for an ignorable unit, 0xFFFF for U+0000.
uint16_t fold_unit(uint16_t unit);

}  // namespace hfsplus::unicode
