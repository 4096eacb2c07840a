#include "extents.hpp"

#include <algorithm>
#include <string>

#include "core/endian.hpp"
#include "core/try.hpp"

namespace hfsplus::extents {

namespace {

constexpr size_t kExtentKeySize = 12;  // key length, fork type, pad, file id, start block
constexpr size_t kExtentRecordSize = 64;
// Contiguous blocks are copied in pieces of about this size (whole blocks).
constexpr uint64_t kCopyChunk = 1u << 20;

}  // namespace

std::optional<std::strong_ordering> compare_extent_key(std::span<const uint8_t> record, uint32_t file_id,
                                                       uint8_t fork_type, uint32_t start_block) {
    if (record.size() < kExtentKeySize) return std::nullopt;
    const uint8_t* p = record.data();
    if (auto c = core::load_be32(p + 4) <=> file_id; c != 0) return c;
    if (auto c = p[2] <=> fork_type; c != 0) return c;
    return core::load_be32(p + 8) <=> start_block;
}

Result<std::vector<ExtentDescriptor>> lookup_overflow_extents(core::ByteSource& source,
                                                              const BTreeHeader& extents_tree,
                                                              uint32_t file_id, uint32_t start_block,
                                                              uint8_t fork_type) {
    Comparator compare = [=](std::span<const uint8_t> record) {
        return compare_extent_key(record, file_id, fork_type, start_block);
    };
    auto hit = KIV_TRY(btree::search_btree(source, extents_tree, compare));
    std::vector<ExtentDescriptor> out;
    if (!hit) return out;
    auto record = hit->record();
    const size_t key_len = core::load_be16(record.data());  // the comparator saw at least 12 bytes
    if (record.size() < key_len + 2 + kExtentRecordSize)
        return std::unexpected(HfsPlusError::invalid_btree("extent record too short"));
    const uint8_t* p = record.data() + key_len + 2;
    out.resize(8);
    for (size_t i = 0; i < 8; ++i) out[i] = {core::load_be32(p + 8 * i), core::load_be32(p + 8 * i + 4)};
    return out;
}

Result<std::vector<ExtentDescriptor>> gather_extents(core::ByteSource& source, uint32_t block_size,
                                                     const BTreeHeader& extents_tree, const ForkData& fork,
                                                     uint32_t file_id, uint8_t fork_type) {
    const uint64_t bs = block_size;
    std::vector<ExtentDescriptor> out = btree::inline_extents(fork);
    uint64_t blocks = 0;
    for (const auto& e : out) blocks += e.block_count;
    // A fork cannot be larger than the image; every record followed adds at
    // least one block, so the chain below ends within the image's blocks.
    const uint64_t limit = std::min(fork.logical_size, KIV_TRY(source.size()));
    if (bs == 0 || out.size() < fork.extents.size()) return out;
    while (blocks < (limit + bs - 1) / bs && blocks <= UINT32_MAX) {
        auto record = KIV_TRY(lookup_overflow_extents(source, extents_tree, file_id, uint32_t(blocks), fork_type));
        if (record.empty() || record.front().block_count == 0) break;
        for (const auto& e : record) {
            if (e.block_count == 0) break;
            out.push_back(e);
            blocks += e.block_count;
        }
    }
    return out;
}

Result<uint64_t> read_extent(core::ByteSource& source, uint32_t start_block, uint32_t block_count,
                             uint32_t block_size, uint64_t wanted, std::vector<uint8_t>& buffer,
                             core::ByteSink& writer) {
    const uint64_t bs = block_size;
    const uint64_t n = std::min(wanted, uint64_t(block_count) * bs);
    if (n == 0) return 0;
    const uint64_t pos = uint64_t(start_block) * bs;
    // The blocks of an extent are contiguous, so they are copied in large
    // pieces.  A piece that runs short still delivers the whole blocks it
    // got, as a block-by-block copy would have, before failing.
    auto whole_blocks = [bs](uint64_t bytes) { return bytes / bs * bs; };

    if (const auto* mem = source.memory()) {
        const uint64_t avail = pos < mem->size() ? mem->size() - pos : 0;
        const uint64_t take = avail >= n ? n : whole_blocks(avail);
        if (take > 0) KIV_TRY(writer.write_all(std::span<const uint8_t>(mem->data() + pos, size_t(take))));
        if (take < n) return core::eof_fail();
        return n;
    }

    const uint64_t step = std::min(n, bs >= kCopyChunk ? bs : kCopyChunk / bs * bs);
    if (buffer.size() < step) buffer.resize(size_t(step));
    KIV_TRY(source.seek(pos));
    for (uint64_t done = 0; done < n;) {
        const size_t m = size_t(std::min(n - done, step));
        const size_t got = KIV_TRY(source.read_up_to({buffer.data(), m}));
        if (got < m) {
            KIV_TRY(writer.write_all({buffer.data(), size_t(whole_blocks(got))}));
            return core::eof_fail();
        }
        KIV_TRY(writer.write_all({buffer.data(), m}));
        done += m;
    }
    return n;
}

Result<void> check_fork(core::ByteSource& source, const VolumeHeader& volume, const ForkData& fork,
                        uint32_t file_id) {
    const uint32_t bs = volume.block_size;
    if (bs == 0 || bs > kMaxBlockSize)
        return std::unexpected(HfsPlusError::corrupted_data("unsupported allocation block size " + std::to_string(bs)));
    // A fork lives in distinct blocks of the volume, so it cannot be larger
    // than the image; this also bounds what overlapping extents emit.
    const uint64_t image_size = KIV_TRY(source.size());
    if (fork.logical_size > image_size)
        return std::unexpected(HfsPlusError::corrupted_data(
            "file " + std::to_string(file_id) + " declares " + std::to_string(fork.logical_size) +
            " bytes, more than the volume's " + std::to_string(image_size)));
    return {};
}

Result<uint64_t> read_fork_data(core::ByteSource& source, const VolumeHeader& volume,
                                const BTreeHeader& extents_tree, const ForkData& fork, uint32_t file_id,
                                core::ByteSink& writer) {
    const uint64_t size = fork.logical_size;
    if (size == 0) return 0;
    KIV_TRY(check_fork(source, volume, fork, file_id));
    const uint32_t bs = volume.block_size;

    std::vector<uint8_t> buffer;
    uint64_t written = 0;
    for (const auto& e : fork.extents) {
        if (e.block_count == 0 || written >= size) break;
        written += KIV_TRY(read_extent(source, e.start_block, e.block_count, bs, size - written, buffer, writer));
    }
    if (written >= size) return written;

    uint32_t next_start = 0;
    for (const auto& e : fork.extents) next_start += e.block_count;
    while (written < size) {
        auto record = KIV_TRY(lookup_overflow_extents(source, extents_tree, file_id, next_start));
        if (record.empty() || record.front().block_count == 0) break;
        for (const auto& e : record) {
            if (e.block_count == 0 || written >= size) break;
            written += KIV_TRY(read_extent(source, e.start_block, e.block_count, bs, size - written, buffer, writer));
            next_start += e.block_count;
        }
    }
    return written;
}

}  // namespace hfsplus::extents
