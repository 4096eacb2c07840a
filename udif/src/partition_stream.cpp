// Partition decoding into a sink, which only goes forward: the runs are laid
// out as in memory and written in output order, decoded on the thread pool a
// window at a time.
#include <algorithm>
#include <vector>

#include "core/thread_pool.hpp"
#include "core/try.hpp"
#include "internal.hpp"
#include "runs.hpp"
#include "udif/reader.hpp"
#include "windows.hpp"

namespace udif {

Result<uint64_t> DmgReader::decompress_partition_to(int32_t id, core::ByteSink& sink) {
    auto entry = KIV_TRY(find_partition(id));
    auto plan = KIV_TRY(detail::plan_runs(*entry, sector_limit_, trailer_.data_fork_offset, *source_));
    // The whole table is checked here, before a byte reaches the sink.
    const auto placed = KIV_TRY(detail::place_runs(plan));

    // A window's runs decode side by side into one buffer, each at its own
    // offset there; the sink then takes them in output order, with the zeros
    // between them.  The first failing run in the output decides the error.
    detail::StoredReader source(*source_);
    std::vector<detail::Scratch> lanes(std::max<size_t>(core::worker_count(), 1));
    detail::Scratch window;
    std::vector<uint64_t> offsets;  // of each run of the window in `window`
    uint64_t position = 0;
    for (size_t begin = 0; begin < placed.size();) {
        const size_t end = detail::window_end(placed, begin);
        offsets.assign(1, 0);
        for (size_t i = begin; i < end; ++i) offsets.push_back(offsets.back() + placed[i].run->output_length);
        uint8_t* decoded = window.get(offsets.back());
        if (!decoded) return detail::out_of_memory();
        KIV_TRY(core::parallel_try_lanes<KivError>(end - begin, lanes.size(), [&](size_t lane, size_t i) -> Result<void> {
            const detail::PlannedRun& run = *placed[begin + i].run;
            const auto stored = KIV_TRY(source.read(run, lanes[lane]));
            std::span<uint8_t> out(decoded + offsets[i], size_t(run.output_length));
            return reader::decompress_block(ReadBlock{stored, run.output_offset, run.output_length, run.type}, out);
        }));
        for (size_t i = begin; i < end; ++i) {
            KIV_TRY(sink.skip_zeros(placed[i].at - position));
            KIV_TRY(sink.write_all({decoded + offsets[i - begin], size_t(placed[i].run->output_length)}));
            position = placed[i].at + placed[i].run->output_length;
        }
        for (auto& lane : lanes) lane.trim(size_t(detail::kWindowBytes / lanes.size()));
        window.trim(size_t(detail::kWindowBytes));
        begin = end;
    }
    KIV_TRY(sink.skip_zeros(plan.size - position));
    return plan.size;
}

}  // namespace udif
