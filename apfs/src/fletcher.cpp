#include "fletcher.hpp"

#include "core/endian.hpp"

namespace apfs::fletcher {

uint64_t compute(std::span<const uint8_t> bytes) {
    constexpr uint64_t M = 0xFFFFFFFF;
    uint64_t s1 = 0, s2 = 0;
    size_t words = bytes.size() < 8 ? 0 : (bytes.size() - 8) / 4;
    const uint8_t* p = bytes.data() + 8;
    // Both sums stay below 2^33, so reduction can wait for many words; reduce
    // every step anyway to keep the arithmetic obviously exact.
    for (size_t i = 0; i < words; ++i) {
        s1 = (s1 + core::load_le32(p + 4 * i)) % M;
        s2 = (s2 + s1) % M;
    }
    uint64_t c1 = M - ((s1 + s2) % M);
    uint64_t c2 = M - ((s1 + c1) % M);
    return c2 << 32 | c1;
}

bool verify_object(std::span<const uint8_t> bytes) {
    if (bytes.size() < 8) return false;
    return core::load_le64(bytes.data()) == compute(bytes);
}

}  // namespace apfs::fletcher
