// Helpers shared by the APFS tests.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apfs/apfs.hpp"
#include "testing/testing.hpp"

namespace apfs_test {

inline std::unique_ptr<core::ByteSource> memory(std::vector<uint8_t> bytes) {
    return std::make_unique<core::MemorySource>(std::move(bytes));
}

inline apfs::ApfsVolume open_volume(std::vector<uint8_t> bytes) {
    auto volume = apfs::ApfsVolume::open(memory(std::move(bytes)));
    if (!volume) throw std::runtime_error("open failed: " + volume.error().message());
    return std::move(*volume);
}

inline std::vector<uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

// Expects `r` to fail with `kind` and the display text `message`.
#define EXPECT_APFS_ERROR(r, k, text)                                   \
    do {                                                                \
        auto&& r_ = (r);                                                \
        ASSERT_FALSE(r_.has_value());                                   \
        EXPECT_EQ(r_.error().kind(), apfs::ApfsError::Kind::k);         \
        EXPECT_EQ(r_.error().message(), text);                          \
    } while (0)

// Extracts `image` with 7-Zip and checks that the volume's walk names the
// same tree, with the same kinds, sizes, contents and link targets.
void expect_same_as_7zip(apfs::ApfsVolume& volume, const std::filesystem::path& image);

// Runs `cmd`, which must succeed.
std::string run_ok(const std::string& cmd);

}  // namespace apfs_test
