// Partition decoding into a file: runs decoded on the thread pool in windows
// of bounded memory, each written at its place in the partition.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "core/thread_pool.hpp"
#include "core/try.hpp"
#include "internal.hpp"
#include "runs.hpp"
#include "udif/reader.hpp"
#include "windows.hpp"

namespace udif {
namespace {

using detail::out_of_memory;
using detail::PlacedRun;
using detail::Scratch;
using detail::StoredReader;

struct Lane {
    Scratch stored, decoded;
};

// The file being filled, and what its writers share.
struct Output {
    StoredReader& source;
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
    const auto stored = KIV_TRY(out.source.read(run, lane.stored));
    // A raw run's stored bytes beyond its length are cut; short of it, the
    // rest stays zero.
    if (detail::is_raw(run.type))
        return write_skipping_zeros(out, stored.first(size_t(std::min<uint64_t>(stored.size(), run.output_length))),
                                    placed.at);
    uint8_t* decoded = lane.decoded.get(run.output_length);
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
    StoredReader source(*source_);
    std::mutex writing;
    Output out{source, file, writing};
    std::vector<Lane> lanes(std::max<size_t>(core::worker_count(), 1));
    for (size_t begin = 0; begin < placed.size();) {
        const size_t end = detail::window_end(placed, begin);
        KIV_TRY(core::parallel_try_lanes<KivError>(end - begin, lanes.size(), [&](size_t lane, size_t i) {
            return write_placed(placed[begin + i], out, lanes[lane]);
        }));
        // What a lane keeps for the next window stays within the window.
        for (auto& lane : lanes) {
            lane.stored.trim(size_t(detail::kWindowBytes / lanes.size()));
            lane.decoded.trim(size_t(detail::kWindowBytes / lanes.size()));
        }
        begin = end;
    }

    // The tail up to the partition's size, and the file position after it.
    KIV_TRY(file.extend_by(plan.size));
    return plan.size;
}

}  // namespace udif
