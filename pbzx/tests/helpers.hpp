// Small builders shared by the PBZX tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/endian.hpp"
#include "pbzx/pbzx.hpp"

namespace pbzx_test {

inline std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

inline std::string text(const std::vector<uint8_t>& v) { return {v.begin(), v.end()}; }

// "pbzx" and the given flags.
inline std::vector<uint8_t> pbzx_header(uint64_t flags = pbzx::kPbzxFlags) {
    std::vector<uint8_t> out = bytes("pbzx");
    core::append_be64(out, flags);
    return out;
}

// Appends one chunk with the given header sizes and data.
inline void append_chunk(std::vector<uint8_t>& out, uint64_t uncompressed, uint64_t compressed,
                         const std::vector<uint8_t>& data) {
    core::append_be64(out, uncompressed);
    core::append_be64(out, compressed);
    out.insert(out.end(), data.begin(), data.end());
}

// Appends `plain` as one xz chunk (or stored, when asked).
inline void append_xz_chunk(std::vector<uint8_t>& out, const std::vector<uint8_t>& plain) {
    auto xz = pbzx::compress_chunk(plain, 1);
    append_chunk(out, plain.size(), xz->size(), *xz);
}

inline std::vector<uint8_t> xz(const std::vector<uint8_t>& plain, uint32_t level = 1) {
    return *pbzx::compress_chunk(plain, level);
}

// Text-like data that compresses as real payloads do.
inline std::vector<uint8_t> payload_like(size_t n, uint64_t seed) {
    static constexpr std::string_view words[] = {"usr/", "bin/", "lib", "Frameworks/", "Contents", ".plist",
                                                 "<key>", "</string>", "\n", "CFBundle", "0x7fff", " "};
    std::vector<uint8_t> out;
    out.reserve(n);
    uint64_t x = seed * 6364136223846793005ull + 1442695040888963407ull;
    while (out.size() < n) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        auto w = words[(x >> 33) % std::size(words)];
        out.insert(out.end(), w.begin(), w.end());
        if ((x >> 20) % 7 == 0) out.push_back(uint8_t(x >> 40));
    }
    out.resize(n);
    return out;
}

}  // namespace pbzx_test
