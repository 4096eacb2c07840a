#include "pbzx/bytes.hpp"

#include <algorithm>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

namespace pbzx {
namespace {

// Below this size a vector does: zero-filling it costs next to nothing.
constexpr size_t kMappingThreshold = 1u << 20;

}  // namespace

Bytes::Bytes(std::vector<uint8_t> bytes) : vector_(std::move(bytes)), data_(vector_.data()), size_(vector_.size()) {}

Bytes::Bytes(Bytes&& other) noexcept
    : vector_(std::move(other.vector_)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

Bytes& Bytes::operator=(Bytes&& other) noexcept {
    if (this != &other) {
        release();
        vector_ = std::move(other.vector_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

Bytes::~Bytes() { release(); }

void Bytes::release() {
    if (mapped_) ::munmap(data_, mapped_);
    vector_ = {};
    data_ = nullptr;
    size_ = mapped_ = 0;
}

std::optional<Bytes> Bytes::uninitialized(size_t size) {
    Bytes out;
    if (size < kMappingThreshold) {
        out.vector_.resize(size);
        out.data_ = out.vector_.data();
        out.size_ = size;
        return out;
    }
    // Reserved without counting against the commit limit: the pages are
    // taken as they are written, and a decoder writes only what it decodes.
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return std::nullopt;
    out.data_ = static_cast<uint8_t*>(p);
    out.size_ = out.mapped_ = size;
    return out;
}

Bytes Bytes::copy_of(std::span<const uint8_t> bytes) {
    if (bytes.size() < kMappingThreshold) return Bytes(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    if (auto out = uninitialized(bytes.size())) {
        std::memcpy(out->data(), bytes.data(), bytes.size());
        return std::move(*out);
    }
    return Bytes(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

void prefault(std::span<uint8_t> region) {
#ifdef MADV_POPULATE_WRITE
    static const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
    if (region.empty()) return;
    uintptr_t start = uintptr_t(region.data()) & ~(page - 1);
    uintptr_t end = uintptr_t(region.data() + region.size());
    (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
#else
    (void)region;
#endif
}

bool operator==(const Bytes& a, const Bytes& b) { return std::ranges::equal(a, b); }

bool operator==(const Bytes& a, const std::vector<uint8_t>& b) { return std::ranges::equal(a, b); }

}  // namespace pbzx
