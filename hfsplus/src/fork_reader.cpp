#include <algorithm>
#include <string>

#include "core/try.hpp"
#include "extents.hpp"

namespace hfsplus {

Result<ForkReader> ForkReader::open(core::ByteSource& source, const VolumeHeader& volume,
                                    const BTreeHeader& extents_tree, const ForkData& fork, uint32_t file_id,
                                    uint8_t fork_type) {
    const uint64_t size = fork.logical_size;
    const uint64_t bs = volume.block_size;
    if (size == 0) return ForkReader(source, 0, {});
    KIV_TRY(extents::check_fork(source, volume, fork, file_id));

    const auto extents =
        KIV_TRY(extents::gather_extents(source, volume.block_size, extents_tree, fork, file_id, fork_type));
    std::vector<Run> runs;
    uint64_t covered = 0;
    for (const auto& e : extents) {
        if (covered >= size) break;
        const uint64_t length = std::min(uint64_t(e.block_count) * bs, size - covered);
        runs.push_back({covered, uint64_t(e.start_block) * bs, length});
        covered += length;
    }
    // Bytes past the last extent are left out: reads there fail.
    return ForkReader(source, size, std::move(runs));
}

core::IoResult<void> ForkReader::read_at(uint64_t offset, std::span<uint8_t> buf) {
    if (offset > size_ || buf.size() > size_ - offset) return core::eof_fail();
    // The run holding `offset`: the last one starting at or before it.
    size_t i = size_t(std::upper_bound(runs_.begin(), runs_.end(), offset,
                                       [](uint64_t at, const Run& r) { return at < r.fork_offset; }) -
                      runs_.begin());
    for (; !buf.empty(); ++i) {
        if (i == 0 || i > runs_.size() || offset >= runs_[i - 1].fork_offset + runs_[i - 1].length)
            return core::eof_fail();
        const Run& r = runs_[i - 1];
        const uint64_t within = offset - r.fork_offset;
        const size_t n = size_t(std::min<uint64_t>(buf.size(), r.length - within));
        KIV_TRY(source_->read_exact_at(r.image_offset + within, buf.first(n)));
        buf = buf.subspan(n);
        offset += n;
    }
    return {};
}

}  // namespace hfsplus
