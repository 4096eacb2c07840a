#include "testing/testing.hpp"

#include <array>
#include <cstdio>
#include <random>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sys/wait.h>

namespace testing_util {

fs::path fixture(const std::string& relative) { return fs::path(KIV_FIXTURES_DIR) / relative; }

bool have_tool(const std::string& name) {
    return run("command -v " + shell_quote(name) + " >/dev/null 2>&1").status == 0;
}

ScratchDir::ScratchDir() {
    std::string tmpl = (fs::temp_directory_path() / "kiv-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    // Extraction tests may leave read-only folders behind.
    run("chmod -R u+rwx " + shell_quote(path_.string()) + " 2>/dev/null");
    fs::remove_all(path_, ec);
}

CommandResult run(const std::string& command) {
    CommandResult result{-1, {}};
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    std::array<char, 65536> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) result.output.append(buf.data(), n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string shell_quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::vector<uint8_t> read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_bytes(const fs::path& path, const std::vector<uint8_t>& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

void write_text(const fs::path& path, const std::string& text) { write_bytes(path, {text.begin(), text.end()}); }

std::vector<uint8_t> random_bytes(size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = uint8_t(rng());
    return out;
}

}  // namespace testing_util
