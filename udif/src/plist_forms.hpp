// The property-list forms the reader accepts, behind parse_plist.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include <plist/plist.h>

#include "udif/error.hpp"

namespace udif::detail {

struct PlistDeleter {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// InvalidPlist "plist parse error: {what}".
inline KivError plist_error(const std::string& what) { return KivError::invalid_plist("plist parse error: " + what); }

// No real property list nests anywhere near this deep; deeper ones are
// refused before any recursive parser (libplist's, or the node tree's own
// recursive release) sees them.
constexpr size_t kMaxPlistDepth = 512;

// The old-style (OpenStep) ASCII form.
Result<PlistPtr> parse_ascii_plist(std::span<const uint8_t> text);

// Refuse XML and binary lists nested deeper than kMaxPlistDepth with
// "nesting too deep at offset N".  Both scans are linear and keep their state
// on the heap; where they cannot tell how libplist will read the bytes they
// count the deeper way.
Result<void> check_xml_nesting(std::span<const uint8_t> text);
Result<void> check_binary_nesting(std::span<const uint8_t> bytes);

}  // namespace udif::detail
