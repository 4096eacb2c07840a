// What the decoders that work through a partition's runs in windows share:
// memory a worker reuses from run to run, reading a run's stored bytes from
// several threads, and where a window of runs ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "core/io.hpp"
#include "runs.hpp"
#include "udif/error.hpp"

namespace udif::detail {

// Runs in flight at once hold at most this many stored and decoded bytes
// (or one run, when a single run is larger).
inline constexpr uint64_t kWindowBytes = 64u << 20;

// Memory reused from run to run, mapped straight from the system: when it
// is given back nothing of it stays with the allocator's per-thread pools,
// so the process shrinks back after decoding.
class Scratch {
public:
    Scratch() = default;
    Scratch(Scratch&& other) noexcept
        : bytes_(std::exchange(other.bytes_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}
    Scratch& operator=(Scratch&&) = delete;
    ~Scratch() { trim(0); }

    // `n` bytes of storage (any content), or nullptr when memory runs out.
    uint8_t* get(uint64_t n);
    // Gives the storage back when it holds more than `keep` bytes.
    void trim(size_t keep);

private:
    uint8_t* bytes_ = nullptr;
    size_t capacity_ = 0;
};

// The image the runs' stored bytes come from, shared by the workers.
class StoredReader {
public:
    explicit StoredReader(core::ByteSource& source) : source_(source) {}

    // The stored bytes of `run`: the source's own memory where it is in
    // memory, else read into `scratch`.  Sources without positional reads
    // take turns.
    Result<std::span<const uint8_t>> read(const PlannedRun& run, Scratch& scratch);

private:
    core::ByteSource& source_;
    std::mutex reading_;
};

// The end of the window of placed runs that starts at `begin`: as many runs
// as fit in kWindowBytes of stored and decoded bytes, at least one.
size_t window_end(const std::vector<PlacedRun>& placed, size_t begin);

}  // namespace udif::detail
