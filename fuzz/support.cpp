#include "support.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kiv_fuzz {

core::IoResult<void> BoundedSink::write_all(std::span<const uint8_t> data) {
    if (data.size() > budget_ - written_) return core::io_fail(core::IoError::other("fuzz output budget spent"));
    // Touch every byte: a span past the end of its buffer is reported here.
    thread_local uint8_t scratch[64 * 1024];
    for (size_t at = 0; at < data.size(); at += sizeof scratch)
        std::memcpy(scratch, data.data() + at, std::min(sizeof scratch, data.size() - at));
    written_ += data.size();
    return {};
}

core::IoResult<void> BoundedSink::skip_zeros(uint64_t) { return {}; }

namespace {

namespace fs = std::filesystem;

// Gives the owner full access to `dir` and every folder below it, so that
// removal can enter folders an extraction made unreadable.
void unlock(const fs::path& dir) {
    std::error_code ec;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add | fs::perm_options::nofollow, ec);
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.is_directory(ec) && !e.is_symlink(ec)) unlock(e.path());
}

}  // namespace

const fs::path& empty_scratch_dir() {
    static const fs::path root = [] {
        std::string path = (fs::temp_directory_path() / "kiv-fuzz-XXXXXX").string();
        if (!mkdtemp(path.data())) std::abort();
        return fs::path(path);
    }();
    // Registered once the path is made, so that it runs before the path goes.
    [[maybe_unused]] static const int removed_at_exit = std::atexit([] {
        std::error_code ec;
        fs::remove(empty_scratch_dir(), ec);
    });
    unlock(root);
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root, ec)) fs::remove_all(e.path(), ec);
    return root;
}

core::File memory_file(std::span<const uint8_t> data) {
    core::File file(memfd_create("kiv-fuzz-input", MFD_CLOEXEC));
    if (!file.is_open() || !file.write_all(data) || !file.seek(0)) std::abort();
    return file;
}

}  // namespace kiv_fuzz
