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

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kiv-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

core::File memory_file(std::span<const uint8_t> data) {
    core::File file(memfd_create("kiv-fuzz-input", MFD_CLOEXEC));
    if (!file.is_open() || !file.write_all(data) || !file.seek(0)) std::abort();
    return file;
}

}  // namespace kiv_fuzz
