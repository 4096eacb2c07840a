// Partition decoding in parallel into memory.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "core/thread_pool.hpp"
#include "core/try.hpp"
#include "internal.hpp"
#include "runs.hpp"
#include "udif/reader.hpp"

namespace udif {

namespace {

using detail::fits_in_memory;
using detail::out_of_memory;
using detail::PlannedRun;
using detail::RunPlan;

// Decodes the planned runs on the thread pool into `output` (the partition's
// size), which the caller may have zeroed already.
Result<void> decode_parallel(const RunPlan& plan, core::ByteSource& source, std::span<uint8_t> output,
                             bool output_zeroed) {
    const auto placed = KIV_TRY(detail::place_runs(plan));

    // Stored bytes: the file's own memory when it is in memory; read by each
    // task for itself where the source allows reads from several threads;
    // otherwise the runs' byte ranges merged into a few large sequential reads.
    std::vector<ReadBlock> blocks(placed.size());
    std::vector<std::unique_ptr<uint8_t[]>> buffers;
    const core::PositionalReader* positional = nullptr;
    if (const auto* mem = source.memory()) {
        for (size_t i = 0; i < placed.size(); ++i)
            blocks[i].data = {mem->data() + placed[i].run->file_offset, size_t(placed[i].run->stored_length)};
    } else if (!(positional = source.positional())) {
        std::vector<size_t> order(placed.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(),
                  [&](size_t a, size_t b) { return placed[a].run->file_offset < placed[b].run->file_offset; });
        constexpr uint64_t kMergeGap = 1u << 20;
        for (size_t k = 0; k < order.size();) {
            uint64_t start = placed[order[k]].run->file_offset;
            uint64_t end = start + placed[order[k]].run->stored_length;
            size_t last = k + 1;
            while (last < order.size() && placed[order[last]].run->file_offset <= end + kMergeGap) {
                end = std::max(end, placed[order[last]].run->file_offset + placed[order[last]].run->stored_length);
                ++last;
            }
            // Not zero-filled: the read overwrites every byte.
            std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[size_t(end - start)]);
            if (!buf) return out_of_memory();
            KIV_TRY(source.read_exact_at(start, {buf.get(), size_t(end - start)}));
            for (size_t j = k; j < last; ++j) {
                const auto* p = placed[order[j]].run;
                blocks[order[j]].data = {buf.get() + (p->file_offset - start), size_t(p->stored_length)};
            }
            buffers.push_back(std::move(buf));
            k = last;
        }
    }
    for (size_t i = 0; i < placed.size(); ++i) {
        blocks[i].output_offset = placed[i].run->output_offset;
        blocks[i].output_length = placed[i].run->output_length;
        blocks[i].type = placed[i].run->type;
    }

    // Gaps become zero-fill tasks when the output is not known to be zero,
    // so that filling them runs in parallel too.
    struct Task {
        const ReadBlock* block;     // nullptr: fill with zeros
        const PlannedRun* stored;   // where a task reading for itself finds its bytes
        std::span<uint8_t> out;
    };
    std::vector<Task> tasks;
    tasks.reserve(blocks.size() + 1);
    auto add_gap = [&](uint64_t from, uint64_t to) {
        constexpr uint64_t kPiece = 4u << 20;
        for (; !output_zeroed && from < to; from += std::min(kPiece, to - from))
            tasks.push_back({nullptr, nullptr, output.subspan(size_t(from), size_t(std::min(kPiece, to - from)))});
    };
    uint64_t position = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        add_gap(position, placed[i].at);
        tasks.push_back({&blocks[i], positional ? placed[i].run : nullptr,
                         output.subspan(size_t(placed[i].at), size_t(blocks[i].output_length))});
        position = placed[i].at + blocks[i].output_length;
    }
    add_gap(position, output.size());

    // Tasks are in output order, so the first failing run in the output
    // decides the error.
    return core::parallel_try<KivError>(tasks.size(), [&](size_t i) -> Result<void> {
        const Task& t = tasks[i];
        if (!t.block) {
            std::memset(t.out.data(), 0, t.out.size());
            return {};
        }
        if (!t.stored) return reader::decompress_block(*t.block, t.out);
        // Lengths were checked against the file size when the runs were planned.
        std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size_t(t.stored->stored_length)]);
        if (!bytes) return out_of_memory();
        KIV_TRY(positional->pread_exact(t.stored->file_offset, {bytes.get(), size_t(t.stored->stored_length)}));
        ReadBlock block = *t.block;
        block.data = {bytes.get(), size_t(t.stored->stored_length)};
        return reader::decompress_block(block, t.out);
    });
}

}  // namespace

Result<uint64_t> DmgReader::checked_size(const PartitionEntry& entry) const {
    return detail::partition_bytes(entry, sector_limit_);
}

// ================================================================ parallel extraction

Result<std::vector<uint8_t>> DmgReader::decompress_partition_parallel(int32_t id) {
    auto entry = KIV_TRY(find_partition(id));
    auto plan = KIV_TRY(detail::plan_runs(*entry, sector_limit_, trailer_.data_fork_offset, *source_));
    if (!fits_in_memory(plan.size)) return out_of_memory();
    std::vector<uint8_t> output;
    try {
        output.resize(size_t(plan.size));
    } catch (const std::bad_alloc&) {
        return out_of_memory();
    }
    KIV_TRY(decode_parallel(plan, *source_, output, true));
    return output;
}

Result<void> DmgReader::decompress_partition_into(int32_t id, std::span<uint8_t> output) {
    auto entry = KIV_TRY(find_partition(id));
    auto plan = KIV_TRY(detail::plan_runs(*entry, sector_limit_, trailer_.data_fork_offset, *source_));
    if (plan.size != output.size())
        return fail(core::IoError::other("output buffer holds " + std::to_string(output.size()) +
                                            " bytes, the partition " + std::to_string(plan.size)));
    return decode_parallel(plan, *source_, output, false);
}

}  // namespace udif
