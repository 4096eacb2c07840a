// Small builders shared by the PBZX tests.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/endian.hpp"
#include "pbzx/pbzx.hpp"

namespace pbzx {
// gtest shows a result as its value or its message.
template <class T>
void PrintTo(const Result<T>& r, std::ostream* os) {
    *os << (r ? ::testing::PrintToString(*r) : "error: " + r.error().message());
}
}  // namespace pbzx

namespace pbzx_test {

inline std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

inline std::string text(std::span<const uint8_t> v) { return {v.begin(), v.end()}; }

// The message of a failed result, for comparing with the expected text.
template <class T>
std::string error_of(const pbzx::Result<T>& r) {
    return r ? "no error" : r.error().message();
}

inline std::vector<uint8_t> xz(const std::vector<uint8_t>& plain, uint32_t level = 1) {
    return *pbzx::compress_chunk(plain, level);
}

// "pbzx", the given flags, then one chunk per entry of `chunks`, each as
// {uncompressed size, compressed size, data} written as they stand.
struct RawChunk {
    uint64_t uncompressed, compressed;
    std::vector<uint8_t> data;
};
inline RawChunk xz_chunk(const std::vector<uint8_t>& plain) {
    auto data = xz(plain);
    return {plain.size(), data.size(), data};
}
inline std::vector<uint8_t> pbzx_stream(const std::vector<RawChunk>& chunks, uint64_t flags = pbzx::kPbzxFlags) {
    std::vector<uint8_t> out = bytes("pbzx");
    core::append_be64(out, flags);
    for (const auto& c : chunks) {
        core::append_be64(out, c.uncompressed);
        core::append_be64(out, c.compressed);
        out.insert(out.end(), c.data.begin(), c.data.end());
    }
    return out;
}

// Text-like data that compresses as real payloads do.
inline std::vector<uint8_t> payload_like(size_t n, uint64_t seed) {
    static constexpr std::string_view words[] = {"usr/", "bin/", "lib", "Frameworks/", "Contents", ".plist",
                                                 "<key>", "</string>", "\n", "CFBundle", "0x7fff", " "};
    std::vector<uint8_t> out;
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
