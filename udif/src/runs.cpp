#include "runs.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "core/try.hpp"
#include "internal.hpp"

namespace udif::detail {
namespace {

constexpr uint64_t kMaxU64 = std::numeric_limits<uint64_t>::max();

// Runs whose output comes out of a decoder.
bool decodes(BlockType t) {
    return !is_raw(t) && t != BlockType::ZeroFill && t != BlockType::Terminator && t != BlockType::Comment;
}

}  // namespace

bool is_raw(BlockType t) { return t == BlockType::Raw || t == BlockType::Ignore; }

KivError past_partition_end() { return KivError::invalid_block_map("block run reaches past the end of the partition"); }

Result<uint64_t> partition_bytes(const PartitionEntry& entry, uint64_t sector_limit) {
    uint64_t sectors = entry.block_map.sector_count;
    if (sectors > kMaxU64 / kSectorSize)
        return fail(KivError::invalid_block_map("partition sector count " + std::to_string(sectors) + " is too large"));
    if (sectors > sector_limit)
        return fail(KivError::invalid_block_map("partition of " + std::to_string(sectors) + " sectors exceeds the image's " +
                                                std::to_string(sector_limit) + " sectors"));
    return sectors * kSectorSize;
}

Result<RunPlan> plan_runs(const PartitionEntry& entry, uint64_t sector_limit, uint64_t fork, core::ByteSource& source) {
    auto size = KIV_TRY(partition_bytes(entry, sector_limit));
    auto file_size = KIV_TRY(source.size());
    const uint64_t limit = sector_limit > kMaxU64 / kSectorSize ? kMaxU64 : sector_limit * kSectorSize;
    constexpr uint64_t kMaxSectors = kMaxU64 / kSectorSize;
    RunPlan plan{size, {}};
    plan.runs.reserve(entry.block_map.runs.size());
    for (const auto& run : entry.block_map.runs) {
        if (run.sector_number > kMaxSectors || run.sector_count > kMaxSectors) return fail(past_partition_end());
        uint64_t offset = run.sector_number * kSectorSize, length = run.sector_count * kSectorSize;
        if (offset > kMaxU64 - length) return fail(past_partition_end());
        if (offset + length > limit) return fail(KivError::invalid_block_map("block run reaches past the end of the image"));
        // A decoded run is held whole in memory, so none may be larger than
        // the partition it belongs to.
        if (decodes(run.type) && length > size) return fail(past_partition_end());
        bool in_file = run.compressed_offset <= kMaxU64 - fork && fork + run.compressed_offset <= file_size &&
                       run.compressed_length <= file_size - (fork + run.compressed_offset);
        plan.runs.push_back({run.type, offset, length, in_file ? fork + run.compressed_offset : 0,
                             run.compressed_length, in_file});
    }
    return plan;
}

Result<std::vector<PlacedRun>> place_runs(const RunPlan& plan) {
    std::vector<PlacedRun> placed;
    for (const auto& run : plan.runs) {
        if (run.type == BlockType::ZeroFill || run.type == BlockType::Terminator || run.type == BlockType::Comment) continue;
        if (run.type == BlockType::Adc) return fail(adc_refused());
        if (is_raw(run.type) && run.stored_length == 0) continue;
        if (!run.stored_in_file) return short_read();
        placed.push_back({&run, run.output_offset});
    }
    std::stable_sort(placed.begin(), placed.end(),
                     [](const PlacedRun& a, const PlacedRun& b) { return a.run->output_offset < b.run->output_offset; });
    uint64_t position = 0;
    for (auto& p : placed) {
        p.at = std::max(position, p.run->output_offset);
        if (p.at > plan.size || p.run->output_length > plan.size - p.at) return fail(past_partition_end());
        position = p.at + p.run->output_length;
    }
    return placed;
}

}  // namespace udif::detail
