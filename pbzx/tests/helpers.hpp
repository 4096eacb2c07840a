// Small builders shared by the PBZX tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/endian.hpp"
#include "pbzx/pbzx.hpp"
#include "testing/testing.hpp"

namespace pbzx_test {

inline std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

inline std::string text(std::span<const uint8_t> v) { return {v.begin(), v.end()}; }

// The message of a failed result, for comparing with the expected text.
template <class R>
std::string error_of(const R& r) {
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
inline RawChunk xz_chunk(const std::vector<uint8_t>& plain, uint32_t level = 1) {
    auto data = xz(plain, level);
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

// A newc member with the given fields written as they are.
inline std::string newc_member(std::string name, std::string data, uint32_t mode = 0100644, std::string filesize = "",
                               uint32_t ino = 7, uint32_t nlink = 1) {
    char fields[13 * 8 + 1];
    std::snprintf(fields, sizeof fields, "%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X", ino, mode, 501u, 20u,
                  nlink, 1234u, unsigned(data.size()), 0u, 0u, 0u, 0u, unsigned(name.size() + 1), 0u);
    std::string out = std::string("070701") + fields;
    if (!filesize.empty()) out.replace(54, 8, filesize);
    out += name + '\0';
    out.resize((out.size() + 3) / 4 * 4, '\0');
    out += data;
    out.resize((out.size() + 3) / 4 * 4, '\0');
    return out;
}

// The member that ends a newc archive.
inline const std::string trailer = newc_member("TRAILER!!!", "");

// Pseudo-random text of a small alphabet: it compresses about as well as real payloads do.
inline std::vector<uint8_t> payload_like(size_t n, uint64_t seed) {
    auto out = testing_util::random_bytes(n, seed);
    for (auto& b : out) b = "usr/bin/lib.plist\n"[b % 18];
    return out;
}

}  // namespace pbzx_test
