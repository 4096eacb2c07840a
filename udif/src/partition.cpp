// Partition decoding: the checked list of a partition's runs, and the
// decoders built on it: in parallel into memory, run by run into a sink,
// and in parallel into a file in the run-by-run layout.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include <sys/mman.h>

#include "core/thread_pool.hpp"
#include "core/try.hpp"
#include "internal.hpp"
#include "udif/reader.hpp"

namespace udif {

namespace {

using detail::adc_refused;
using detail::fits_in_memory;
using detail::out_of_memory;
using detail::short_read;

constexpr uint64_t kMaxU64 = std::numeric_limits<uint64_t>::max();

// Zeroed memory that is only touched where it is written (calloc maps large
// requests lazily).
struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};
using ZeroBuffer = std::unique_ptr<uint8_t[], FreeDeleter>;

Result<ZeroBuffer> zero_buffer(uint64_t size) {
    if (!fits_in_memory(size)) return out_of_memory();
    ZeroBuffer buf(static_cast<uint8_t*>(std::calloc(size ? size_t(size) : 1, 1)));
    if (!buf) return out_of_memory();
    return buf;
}

bool is_raw(BlockType t) { return t == BlockType::Raw || t == BlockType::Ignore; }

// Runs whose output comes out of a decoder.
bool decodes(BlockType t) {
    return !is_raw(t) && t != BlockType::ZeroFill && t != BlockType::Terminator && t != BlockType::Comment;
}

KivError past_partition_end() { return KivError::invalid_block_map("block run reaches past the end of the partition"); }

// Sector count × 512 of a partition, within the image's sector limit.
Result<uint64_t> partition_bytes(const PartitionEntry& entry, uint64_t sector_limit) {
    uint64_t sectors = entry.block_map.sector_count;
    if (sectors > kMaxU64 / kSectorSize)
        return fail(KivError::invalid_block_map("partition sector count " + std::to_string(sectors) + " is too large"));
    if (sectors > sector_limit)
        return fail(KivError::invalid_block_map("partition of " + std::to_string(sectors) + " sectors exceeds the image's " +
                                                std::to_string(sector_limit) + " sectors"));
    return sectors * kSectorSize;
}

// One run as both decoders take it.
struct PlannedRun {
    BlockType type;
    uint64_t output_offset;  // bytes, relative to the partition start
    uint64_t output_length;
    uint64_t file_offset;    // of the stored bytes: data fork offset + compressed offset
    uint64_t stored_length;
    bool stored_in_file;     // false: reading the stored bytes runs short
};

struct RunPlan {
    uint64_t size = 0;  // of the partition
    std::vector<PlannedRun> runs;  // in stored order
};

// The partition's runs with their output ranges and stored byte ranges
// worked out.  Every run, and the partition itself, must end within the
// image's sector limit: this is checked for all of them before either
// decoder allocates or writes anything.  Run-specific faults that the
// decoders report in their own order (ADC, stored bytes beyond the file)
// are left to them.
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

// Decodes the planned runs on the thread pool into `output` (the partition's
// size), which the caller may have zeroed already.
Result<void> decode_parallel(const RunPlan& plan, core::ByteSource& source, std::span<uint8_t> output,
                             bool output_zeroed) {
    // Read pass, in stored order: which runs carry data, and where.
    std::vector<const PlannedRun*> pending;
    for (const auto& run : plan.runs) {
        if (run.type == BlockType::ZeroFill || run.type == BlockType::Terminator || run.type == BlockType::Comment) continue;
        if (run.type == BlockType::Adc) return fail(adc_refused());
        if (is_raw(run.type) && run.stored_length == 0) continue;
        if (!run.stored_in_file) return short_read();
        pending.push_back(&run);
    }

    // Slices are laid out in output order; a run overlapping its predecessor
    // follows it instead.
    std::stable_sort(pending.begin(), pending.end(),
                     [](const PlannedRun* a, const PlannedRun* b) { return a->output_offset < b->output_offset; });

    // Stored bytes: the file's own memory when it is in memory; read by each
    // task for itself where the source allows reads from several threads;
    // otherwise the runs' byte ranges merged into a few large sequential reads.
    std::vector<ReadBlock> blocks(pending.size());
    std::vector<std::unique_ptr<uint8_t[]>> buffers;
    const core::PositionalReader* positional = nullptr;
    if (const auto* mem = source.memory()) {
        for (size_t i = 0; i < pending.size(); ++i)
            blocks[i].data = {mem->data() + pending[i]->file_offset, size_t(pending[i]->stored_length)};
    } else if (!(positional = source.positional())) {
        std::vector<size_t> order(pending.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(),
                  [&](size_t a, size_t b) { return pending[a]->file_offset < pending[b]->file_offset; });
        constexpr uint64_t kMergeGap = 1u << 20;
        for (size_t k = 0; k < order.size();) {
            uint64_t start = pending[order[k]]->file_offset;
            uint64_t end = start + pending[order[k]]->stored_length;
            size_t last = k + 1;
            while (last < order.size() && pending[order[last]]->file_offset <= end + kMergeGap) {
                end = std::max(end, pending[order[last]]->file_offset + pending[order[last]]->stored_length);
                ++last;
            }
            // Not zero-filled: the read overwrites every byte.
            std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[size_t(end - start)]);
            if (!buf) return out_of_memory();
            KIV_TRY(source.read_exact_at(start, {buf.get(), size_t(end - start)}));
            for (size_t j = k; j < last; ++j) {
                const auto* p = pending[order[j]];
                blocks[order[j]].data = {buf.get() + (p->file_offset - start), size_t(p->stored_length)};
            }
            buffers.push_back(std::move(buf));
            k = last;
        }
    }
    for (size_t i = 0; i < pending.size(); ++i) {
        blocks[i].output_offset = pending[i]->output_offset;
        blocks[i].output_length = pending[i]->output_length;
        blocks[i].type = pending[i]->type;
    }

    // A slice past the partition's end means a corrupt block map: the
    // operation fails rather than write outside the output.  Gaps become
    // zero-fill tasks when the output is not known to be zero, so that
    // filling them runs in parallel too.
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
        const ReadBlock& block = blocks[i];
        uint64_t start = std::max(position, block.output_offset);
        if (start > output.size() || block.output_length > output.size() - start) return fail(past_partition_end());
        add_gap(position, start);
        tasks.push_back({&block, positional ? pending[i] : nullptr,
                         output.subspan(size_t(start), size_t(block.output_length))});
        position = start + block.output_length;
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
    return partition_bytes(entry, sector_limit_);
}

// ================================================================ parallel extraction

Result<std::vector<uint8_t>> DmgReader::decompress_partition_parallel(int32_t id) {
    auto entry = KIV_TRY(find_partition(id));
    auto plan = KIV_TRY(plan_runs(*entry, sector_limit_, trailer_.data_fork_offset, *source_));
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
    auto plan = KIV_TRY(plan_runs(*entry, sector_limit_, trailer_.data_fork_offset, *source_));
    if (plan.size != output.size())
        return fail(core::IoError::other("output buffer holds " + std::to_string(output.size()) +
                                            " bytes, the partition " + std::to_string(plan.size)));
    return decode_parallel(plan, *source_, output, false);
}

// ================================================================ streamed extraction

// Zeros (gaps, zero-fill and empty runs) go to the sink as skipped zeros:
// holes on a file.
Result<uint64_t> DmgReader::decompress_partition_to(int32_t id, core::ByteSink& sink) {
    auto entry = KIV_TRY(find_partition(id));
    auto plan = KIV_TRY(plan_runs(*entry, sector_limit_, trailer_.data_fork_offset, *source_));

    auto write = [&](std::span<const uint8_t> bytes) -> Result<void> {
        return sink.write_all(bytes);
    };
    auto zeros = [&](uint64_t n) -> Result<void> {
        return sink.skip_zeros(n);
    };
    auto read_stored = [&](const PlannedRun& run) -> Result<std::vector<uint8_t>> {
        if (!run.stored_in_file) return short_read();
        KIV_TRY(source_->seek(run.file_offset));
        return source_->read_vec(run.stored_length);
    };

    uint64_t position = 0;
    for (const auto& run : plan.runs) {
        if (run.output_offset > position) {
            KIV_TRY(zeros(run.output_offset - position));
            position = run.output_offset;
        }
        const uint64_t length = run.output_length;
        if (length > kMaxU64 - position) return fail(past_partition_end());
        switch (run.type) {
            case BlockType::Comment:
            case BlockType::Terminator:
                continue;
            case BlockType::Adc:
                return fail(adc_refused());
            case BlockType::ZeroFill:
                KIV_TRY(zeros(length));
                break;
            case BlockType::Raw:
            case BlockType::Ignore: {
                if (run.stored_length == 0) {
                    KIV_TRY(zeros(length));
                    break;
                }
                auto stored = KIV_TRY(read_stored(run));
                KIV_TRY(write(stored));
                if (stored.size() > length)
                    return fail(KivError::invalid_block_map("block run stores " + std::to_string(stored.size()) +
                                                            " bytes but declares only " + std::to_string(length)));
                KIV_TRY(zeros(length - stored.size()));
                break;
            }
            default: {
                auto stored = KIV_TRY(read_stored(run));
                auto buffer = KIV_TRY(zero_buffer(length));
                std::span<uint8_t> out(buffer.get(), size_t(length));
                ReadBlock block{stored, run.output_offset, length, run.type};
                KIV_TRY(reader::decompress_block(block, out));
                KIV_TRY(write(out));
                break;
            }
        }
        position += length;
    }
    if (position < plan.size) {
        KIV_TRY(zeros(plan.size - position));
        position = plan.size;
    }
    return position;
}

// ================================================================ parallel extraction to a file

namespace {

// Runs in flight at once hold at most this many stored and decoded bytes
// (or one run, when a single run is larger).
constexpr uint64_t kFileWindow = 64u << 20;

// A run with bytes to write, and where the run-by-run layout puts them.
struct PlacedRun {
    const PlannedRun* run;
    uint64_t at;
};

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

// Reads, decodes and writes one run at its place, as the streamed decoder
// would have.
Result<void> write_placed(const PlacedRun& placed, core::ByteSource& source, core::File& file, Lane& lane,
                          std::mutex& writing) {
    const PlannedRun& run = *placed.run;
    if (!run.stored_in_file) return short_read();
    std::span<const uint8_t> stored;
    if (const auto* mem = source.memory()) {
        stored = {mem->data() + run.file_offset, size_t(run.stored_length)};
    } else {
        // Lengths were checked against the file size when the runs were planned.
        uint8_t* bytes = lane.stored.get(size_t(run.stored_length));
        if (!bytes) return out_of_memory();
        stored = {bytes, size_t(run.stored_length)};
        KIV_TRY(source.positional()->pread_exact(run.file_offset, {bytes, stored.size()}));
    }
    auto write = [&](std::span<const uint8_t> bytes) -> Result<void> {
        // Writes to one file are serialised by the kernel anyway; waiting
        // here sleeps instead of spinning on the file's lock.
        std::lock_guard lock(writing);
        KIV_TRY(file.pwrite_all(bytes, placed.at));
        return {};
    };
    if (is_raw(run.type)) {
        KIV_TRY(write(stored));
        if (stored.size() > run.output_length)
            return fail(KivError::invalid_block_map("block run stores " + std::to_string(stored.size()) +
                                                    " bytes but declares only " + std::to_string(run.output_length)));
        return {};  // the rest of the run stays a hole: zeros
    }
    uint8_t* decoded = fits_in_memory(run.output_length) ? lane.decoded.get(size_t(run.output_length)) : nullptr;
    if (!decoded) return out_of_memory();
    std::span<uint8_t> out(decoded, size_t(run.output_length));
    KIV_TRY(reader::decompress_block(ReadBlock{stored, run.output_offset, run.output_length, run.type}, out));
    return write(out);
}

}  // namespace

Result<uint64_t> DmgReader::decompress_partition_positional(int32_t id, core::File& file) {
    if (!source_->memory() && !source_->positional()) {
        core::FileSink sink(file);
        return decompress_partition_to(id, sink);
    }
    auto entry = KIV_TRY(find_partition(id));
    auto plan = KIV_TRY(plan_runs(*entry, sector_limit_, trailer_.data_fork_offset, *source_));

    // The layout of the streamed decoder: each run at the position the runs
    // before it leave, zeros (holes) in between.  A run the streamed decoder
    // would refuse outright ends the list.
    std::vector<PlacedRun> placed;
    std::optional<KivError> refused;
    uint64_t position = 0;
    for (const auto& run : plan.runs) {
        position = std::max(position, run.output_offset);
        if (run.output_length > kMaxU64 - position) {
            refused = past_partition_end();
            break;
        }
        if (run.type == BlockType::Comment || run.type == BlockType::Terminator) continue;
        if (run.type == BlockType::Adc) {
            refused = adc_refused();
            break;
        }
        if (run.type != BlockType::ZeroFill && !(is_raw(run.type) && run.stored_length == 0))
            placed.push_back({&run, position});
        position += run.output_length;
    }

    // Windows of runs decoded on the pool, each worker writing the runs it
    // decodes; the first failing run in stored order decides the error.
    std::mutex writing;
    std::vector<Lane> lanes(std::max<size_t>(core::worker_count(), 1));
    for (size_t begin = 0; begin < placed.size();) {
        size_t end = begin;
        for (uint64_t held = 0; end < placed.size(); ++end) {
            uint64_t bytes = placed[end].run->stored_length + placed[end].run->output_length;
            if (end > begin && bytes > kFileWindow - held) break;
            held = bytes > kFileWindow - held ? kFileWindow : held + bytes;
        }
        KIV_TRY(core::parallel_try_lanes<KivError>(end - begin, lanes.size(), [&](size_t lane, size_t i) {
            return write_placed(placed[begin + i], *source_, file, lanes[lane], writing);
        }));
        // What a lane keeps for the next window stays within the window.
        for (auto& lane : lanes) {
            lane.stored.trim(size_t(kFileWindow / lanes.size()));
            lane.decoded.trim(size_t(kFileWindow / lanes.size()));
        }
        begin = end;
    }
    if (refused) return fail(std::move(*refused));

    // The tail up to the partition's size, and the file position after the
    // last byte, as streaming would leave them.
    position = std::max(position, plan.size);
    KIV_TRY(file.extend_by(position));
    return position;
}

}  // namespace udif
