#include "windows.hpp"

#include <sys/mman.h>

#include "core/try.hpp"
#include "internal.hpp"

namespace udif::detail {

uint8_t* Scratch::get(uint64_t n) {
    if (n == 0) return reinterpret_cast<uint8_t*>(this);
    if (n > capacity_) {
        trim(0);
        if (!fits_in_memory(n)) return nullptr;
        void* p = ::mmap(nullptr, size_t(n), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        bytes_ = static_cast<uint8_t*>(p);
        capacity_ = size_t(n);
    }
    return bytes_;
}

void Scratch::trim(size_t keep) {
    if (capacity_ > keep) {
        ::munmap(bytes_, capacity_);
        bytes_ = nullptr;
        capacity_ = 0;
    }
}

Result<std::span<const uint8_t>> StoredReader::read(const PlannedRun& run, Scratch& scratch) {
    // Lengths were checked against the file size when the runs were planned.
    if (const auto* mem = source_.memory()) return std::span{mem->data() + run.file_offset, size_t(run.stored_length)};
    uint8_t* bytes = scratch.get(run.stored_length);
    if (!bytes) return out_of_memory();
    std::span<uint8_t> stored{bytes, size_t(run.stored_length)};
    if (const auto* positional = source_.positional()) {
        KIV_TRY(positional->pread_exact(run.file_offset, stored));
    } else {
        std::lock_guard lock(reading_);
        KIV_TRY(source_.read_exact_at(run.file_offset, stored));
    }
    return std::span<const uint8_t>(stored);
}

size_t window_end(const std::vector<PlacedRun>& placed, size_t begin) {
    size_t end = begin;
    for (uint64_t held = 0; end < placed.size(); ++end) {
        const uint64_t bytes = placed[end].run->stored_length + placed[end].run->output_length;
        if (end > begin && bytes > kWindowBytes - held) break;
        held = bytes > kWindowBytes - held ? kWindowBytes : held + bytes;
    }
    return end;
}

}  // namespace udif::detail
