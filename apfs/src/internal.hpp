// Helpers shared by the library's sources.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "apfs/error.hpp"
#include "apfs/superblock.hpp"
#include "core/io.hpp"

namespace apfs::detail {

inline std::unexpected<ApfsError> io_fail(const core::IoError& e) { return fail(ApfsError::io(e)); }
inline std::unexpected<ApfsError> short_read() { return fail(ApfsError::short_read()); }

inline Result<void> check_block_size(uint32_t size) {
    if (valid_block_size(size)) return {};
    return fail(ApfsError::corrupted("block size " + std::to_string(size) + " is not a power of two from " +
                                     std::to_string(kMinBlockSize) + " to " + std::to_string(kMaxBlockSize)));
}

// Decodes UTF-8, replacing each maximal invalid subsequence with U+FFFD.
inline std::string utf8_lossy(std::span<const uint8_t> s) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        uint8_t b = s[i];
        if (b < 0x80) {
            out.push_back(char(b));
            ++i;
            continue;
        }
        size_t need;
        uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
        if (b >= 0xC2 && b <= 0xDF) need = 1;
        else if (b == 0xE0) need = 2, lo = 0xA0;
        else if (b == 0xED) need = 2, hi = 0x9F;
        else if (b >= 0xE1 && b <= 0xEF) need = 2;
        else if (b == 0xF0) need = 3, lo = 0x90;
        else if (b == 0xF4) need = 3, hi = 0x8F;
        else if (b >= 0xF1 && b <= 0xF3) need = 3;
        else {
            out += kReplacement;
            ++i;
            continue;
        }
        size_t k = 1;
        for (; k <= need && i + k < s.size(); ++k) {
            uint8_t c = s[i + k];
            uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
            if (c < l || c > h) break;
        }
        if (k == need + 1) out.append(reinterpret_cast<const char*>(s.data() + i), need + 1);
        else out += kReplacement;
        i += k;
    }
    return out;
}

}  // namespace apfs::detail
