// Helpers shared by the reader's source files (not part of the library's face).
#pragma once

#include <cerrno>
#include <cstdint>
#include <limits>
#include <span>

#include <unistd.h>

#include "udif/error.hpp"

namespace udif::detail {

inline std::unexpected<KivError> short_read() { return fail(core::IoError::unexpected_eof()); }
inline KivError adc_refused() { return KivError::unsupported("ADC compression"); }
inline std::unexpected<KivError> out_of_memory() { return fail(core::IoError::from_errno(ENOMEM)); }

// Buffers larger than the machine's memory are refused up front: they could
// never be filled, and a hostile image must not push the process into the
// out-of-memory killer.
inline bool fits_in_memory(uint64_t bytes) {
    static const uint64_t physical = [] {
        long pages = sysconf(_SC_PHYS_PAGES);
        long page = sysconf(_SC_PAGESIZE);
        return pages > 0 && page > 0 ? uint64_t(pages) * uint64_t(page) : uint64_t(1) << 40;
    }();
    return bytes <= physical && bytes <= std::numeric_limits<size_t>::max() / 2;
}

}  // namespace udif::detail
