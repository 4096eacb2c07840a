// Partition decoding into a file: runs decoded on the thread pool in windows
// of bounded memory, each written at its place in the partition.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include <sys/mman.h>

#include "core/thread_pool.hpp"
#include "core/try.hpp"
#include "internal.hpp"
#include "runs.hpp"
#include "udif/reader.hpp"

namespace udif {
namespace {

using detail::fits_in_memory;
using detail::out_of_memory;
using detail::PlacedRun;

// Runs in flight at once hold at most this many stored and decoded bytes
// (or one run, when a single run is larger).
constexpr uint64_t kFileWindow = 64u << 20;

// Memory one worker reuses from run to run, mapped straight from the
// system: when it is given back nothing of it stays with the allocator's
// per-thread pools, so the process shrinks back after decoding.
class Scratch {
public:
    Scratch() = default;
    Scratch(Scratch&& other) noexcept
        : bytes_(std::exchange(other.bytes_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}
    Scratch& operator=(Scratch&&) = delete;
    ~Scratch() { trim(0); }

    // `n` bytes of storage (any content), or nullptr when memory runs out.
    uint8_t* get(size_t n) {
        if (n == 0) return reinterpret_cast<uint8_t*>(this);
        if (n > capacity_) {
            trim(0);
            if (!fits_in_memory(n)) return nullptr;
            void* p = ::mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) return nullptr;
            bytes_ = static_cast<uint8_t*>(p);
            capacity_ = n;
        }
        return bytes_;
    }
    // Gives the storage back when it holds more than `keep` bytes.
    void trim(size_t keep) {
        if (capacity_ > keep) {
            ::munmap(bytes_, capacity_);
            bytes_ = nullptr;
            capacity_ = 0;
        }
    }

private:
    uint8_t* bytes_ = nullptr;
    size_t capacity_ = 0;
};

struct Lane {
    Scratch stored, decoded;
};

// The file being filled, and what its writers share.
struct Output {
    core::ByteSource& source;
    std::mutex& reading;  // for sources without positional reads
    core::File& file;
    std::mutex& writing;
};

// Writes `bytes` at `at`, leaving every all-zero block of the file's 4 KiB
// grid unwritten: the file starts empty, so those read back as zeros (holes
// where the file system has them).
Result<void> write_skipping_zeros(Output& out, std::span<const uint8_t> bytes, uint64_t at) {
    constexpr uint64_t kBlock = 4096;
    static const uint8_t zeros[kBlock] = {};
    auto block_end = [&](size_t from) { return std::min<size_t>(bytes.size(), from + (kBlock - (at + from) % kBlock)); };
    auto is_zero = [&](size_t from, size_t to) { return std::memcmp(bytes.data() + from, zeros, to - from) == 0; };
    for (size_t from = 0; from < bytes.size();) {
        size_t to = block_end(from);
        const bool zero = is_zero(from, to);
        while (to < bytes.size() && is_zero(to, block_end(to)) == zero) to = block_end(to);
        if (!zero) {
            // Writes to one file are serialised by the kernel anyway; waiting
            // here sleeps instead of spinning on the file's lock.
            std::lock_guard lock(out.writing);
            KIV_TRY(out.file.pwrite_all(bytes.subspan(from, to - from), at + from));
        }
        from = to;
    }
    return {};
}

// Reads, decodes and writes one run at its place.
Result<void> write_placed(const PlacedRun& placed, Output& out, Lane& lane) {
    const detail::PlannedRun& run = *placed.run;
    std::span<const uint8_t> stored;
    if (const auto* mem = out.source.memory()) {
        stored = {mem->data() + run.file_offset, size_t(run.stored_length)};
    } else {
        // Lengths were checked against the file size when the runs were planned.
        uint8_t* bytes = lane.stored.get(size_t(run.stored_length));
        if (!bytes) return out_of_memory();
        stored = {bytes, size_t(run.stored_length)};
        if (const auto* positional = out.source.positional()) {
            KIV_TRY(positional->pread_exact(run.file_offset, {bytes, stored.size()}));
        } else {
            std::lock_guard lock(out.reading);
            KIV_TRY(out.source.read_exact_at(run.file_offset, {bytes, stored.size()}));
        }
    }
    // A raw run's stored bytes beyond its length are cut; short of it, the
    // rest stays zero.
    if (detail::is_raw(run.type))
        return write_skipping_zeros(out, stored.first(size_t(std::min<uint64_t>(stored.size(), run.output_length))),
                                    placed.at);
    uint8_t* decoded = fits_in_memory(run.output_length) ? lane.decoded.get(size_t(run.output_length)) : nullptr;
    if (!decoded) return out_of_memory();
    std::span<uint8_t> bytes(decoded, size_t(run.output_length));
    KIV_TRY(reader::decompress_block(ReadBlock{stored, run.output_offset, run.output_length, run.type}, bytes));
    return write_skipping_zeros(out, bytes, placed.at);
}

}  // namespace

Result<uint64_t> DmgReader::decompress_partition_positional(int32_t id, core::File& file) {
    auto entry = KIV_TRY(find_partition(id));
    auto plan = KIV_TRY(detail::plan_runs(*entry, sector_limit_, trailer_.data_fork_offset, *source_));
    const auto placed = KIV_TRY(detail::place_runs(plan));

    // Windows of runs, in output order, decoded on the pool, each worker
    // writing the runs it decodes; the first failing run in the output
    // decides the error, as in memory.
    std::mutex reading, writing;
    Output out{*source_, reading, file, writing};
    std::vector<Lane> lanes(std::max<size_t>(core::worker_count(), 1));
    for (size_t begin = 0; begin < placed.size();) {
        size_t end = begin;
        for (uint64_t held = 0; end < placed.size(); ++end) {
            uint64_t bytes = placed[end].run->stored_length + placed[end].run->output_length;
            if (end > begin && bytes > kFileWindow - held) break;
            held = bytes > kFileWindow - held ? kFileWindow : held + bytes;
        }
        KIV_TRY(core::parallel_try_lanes<KivError>(end - begin, lanes.size(), [&](size_t lane, size_t i) {
            return write_placed(placed[begin + i], out, lanes[lane]);
        }));
        // What a lane keeps for the next window stays within the window.
        for (auto& lane : lanes) {
            lane.stored.trim(size_t(kFileWindow / lanes.size()));
            lane.decoded.trim(size_t(kFileWindow / lanes.size()));
        }
        begin = end;
    }

    // The tail up to the partition's size, and the file position after it.
    KIV_TRY(file.extend_by(plan.size));
    return plan.size;
}

}  // namespace udif
