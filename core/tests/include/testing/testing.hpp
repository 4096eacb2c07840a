// Helpers shared by the C++ tests: fixtures, scratch folders, external tools.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace testing_util {

namespace fs = std::filesystem;

// Path of a file under the shared fixtures folder (may not exist).
fs::path fixture(const std::string& relative);

// Skips the current test unless the fixture exists; evaluates to its path.
#define KIV_REQUIRE_FIXTURE(rel)                                                    \
    ({                                                                              \
        auto kiv_fixture_path_ = ::testing_util::fixture(rel);                      \
        if (!std::filesystem::exists(kiv_fixture_path_))                            \
            GTEST_SKIP() << "fixture not available: " << kiv_fixture_path_;         \
        kiv_fixture_path_;                                                          \
    })

// Skips the current test unless the program is on PATH.
#define KIV_REQUIRE_TOOL(name)                                                      \
    do {                                                                            \
        if (!::testing_util::have_tool(name)) GTEST_SKIP() << "tool not available: " << name; \
    } while (0)

bool have_tool(const std::string& name);

// A fresh folder removed again when the object goes away.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& rel) const { return path_ / rel; }

private:
    fs::path path_;
};

// Runs a shell command; returns its exit status and standard output.
struct CommandResult {
    int status;
    std::string output;
};
CommandResult run(const std::string& command);
// Quotes a string for the shell.
std::string shell_quote(const std::string& s);

std::vector<uint8_t> read_bytes(const fs::path& path);
void write_bytes(const fs::path& path, const std::vector<uint8_t>& data);
void write_text(const fs::path& path, const std::string& text);

// Deterministic pseudo-random bytes.
std::vector<uint8_t> random_bytes(size_t n, uint64_t seed);

}  // namespace testing_util
