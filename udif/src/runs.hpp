// A partition's runs as the decoders take them: checked against the image,
// and laid out in the partition.
#pragma once

#include <cstdint>
#include <vector>

#include "core/io.hpp"
#include "udif/error.hpp"
#include "udif/format.hpp"

namespace udif::detail {

// One run with its output range and stored byte range worked out.
struct PlannedRun {
    BlockType type;
    uint64_t output_offset;  // bytes, relative to the partition start
    uint64_t output_length;
    uint64_t file_offset;    // of the stored bytes: data fork offset + compressed offset
    uint64_t stored_length;
    bool stored_in_file;     // false: reading the stored bytes runs short
};

struct RunPlan {
    uint64_t size = 0;             // of the partition
    std::vector<PlannedRun> runs;  // in stored order
};

// Sector count × 512 of a partition, within the image's sector limit.
Result<uint64_t> partition_bytes(const PartitionEntry& entry, uint64_t sector_limit);

// The partition's runs.  Every run, and the partition itself, must end
// within the image's sector limit: this is checked for all of them before a
// decoder allocates or writes anything.  Run-specific faults that the
// decoders report in their own order (ADC, stored bytes beyond the file)
// are left to them.
Result<RunPlan> plan_runs(const PartitionEntry& entry, uint64_t sector_limit, uint64_t fork, core::ByteSource& source);

// A run with stored bytes and the place its output takes in the partition.
struct PlacedRun {
    const PlannedRun* run;
    uint64_t at;  // bytes, relative to the partition start
};

// Where each run with stored bytes goes, in output order: at its own
// sector, whatever the order the runs are listed in; a run overlapping the
// one before it follows it instead.  Zero-fill runs, raw runs without
// stored bytes and markers leave zeros and get no place.  Checked in listed
// order first, before anything is decoded: ADC runs (refused) and stored
// bytes beyond the file (a short read); then a place reaching past the
// partition's end fails.  Every decoder that yields the partition's image
// places its runs here, so they all give the same bytes.
Result<std::vector<PlacedRun>> place_runs(const RunPlan& plan);

bool is_raw(BlockType t);

KivError past_partition_end();

}  // namespace udif::detail
