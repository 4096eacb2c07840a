#include "extents.hpp"

#include <algorithm>
#include <string>

#include "core/try.hpp"
#include "internal.hpp"

namespace apfs::extents {

using std::to_string;

StreamLayout::StreamLayout(const std::vector<FileExtentRecord>& extents, uint32_t block_size)
    : block_size_(block_size) {
    std::vector<const FileExtentRecord*> order;
    order.reserve(extents.size());
    for (const auto& e : extents) order.push_back(&e);
    std::stable_sort(order.begin(), order.end(), [](auto* a, auto* b) { return a->logical_addr < b->logical_addr; });
    uint64_t covered = 0;  // where the pieces so far end
    for (const FileExtentRecord* e : order) {
        const uint64_t length = std::min(e->length(), UINT64_MAX - e->logical_addr);
        const uint64_t start = std::max(covered, e->logical_addr), end = e->logical_addr + length;
        if (start >= end) continue;
        pieces_.push_back({start, end - start, e->phys_block, start - e->logical_addr});
        covered = end;
    }
}

Result<void> StreamLayout::check_covers(uint64_t size, std::string_view what) const {
    if (end() < size)
        return fail(ApfsError::corrupted(std::string(what) + " declares " + to_string(size) +
                                         " bytes but its extents end at byte " + to_string(end())));
    return {};
}

Result<void> StreamLayout::read_piece(core::ByteSource& source, const Piece& piece, uint64_t offset,
                                      std::span<uint8_t> buf) const {
    if (piece.phys_block == 0) {
        std::fill(buf.begin(), buf.end(), uint8_t(0));
        return {};
    }
    uint64_t at;
    if (__builtin_mul_overflow(uint64_t(block_size_), piece.phys_block, &at) ||
        __builtin_add_overflow(at, piece.skip + offset, &at) || __builtin_add_overflow(at, buf.size(), &at))
        return fail(ApfsError::corrupted("extent physical block " + to_string(piece.phys_block) +
                                         " overflows the device address space"));
    return source.read_exact_at(at - buf.size(), buf);
}

Result<void> StreamLayout::write_to(core::ByteSource& source, uint64_t size, core::ByteSink& writer) const {
    KIV_TRY(detail::check_block_size(block_size_));
    std::vector<uint8_t> buf;
    uint64_t pos = 0;
    auto skip = [&](uint64_t n) -> Result<void> {
        KIV_TRY(writer.skip_zeros(n));
        pos += n;
        return {};
    };
    for (const Piece& piece : pieces_) {
        if (pos >= size) break;
        if (piece.logical > pos)  // a gap between extents
            if (auto r = skip(std::min(piece.logical, size) - pos); !r || pos >= size) return r;
        const uint64_t stop = std::min(piece.logical + piece.length, size);
        if (piece.phys_block == 0) {
            KIV_TRY(skip(stop - pos));
            continue;
        }
        if (buf.empty()) buf.resize(size_t(std::min<uint64_t>(block_size_, size)));
        while (pos < stop) {
            std::span<uint8_t> chunk(buf.data(), size_t(std::min<uint64_t>(stop - pos, buf.size())));
            KIV_TRY(read_piece(source, piece, pos - piece.logical, chunk));
            KIV_TRY(writer.write_all(chunk));
            pos += chunk.size();
        }
    }
    // Past the last extent the file is sparse, as after a truncate that grew it.
    return pos < size ? skip(size - pos) : Result<void>{};
}

Result<void> StreamLayout::read_at(core::ByteSource& source, uint64_t offset, std::span<uint8_t> buf) const {
    // The first piece ending after `offset`.
    auto it = std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                               [](uint64_t at, const Piece& p) { return at < p.logical + p.length; });
    while (!buf.empty()) {
        if (it == pieces_.end()) return core::eof_fail();
        const uint64_t stop = it->logical + it->length;
        size_t n;
        if (offset < it->logical) {  // a gap between extents
            n = size_t(std::min<uint64_t>(it->logical - offset, buf.size()));
            std::fill_n(buf.begin(), n, uint8_t(0));
        } else {
            n = size_t(std::min<uint64_t>(stop - offset, buf.size()));
            KIV_TRY(read_piece(source, *it, offset - it->logical, buf.first(n)));
            ++it;
        }
        offset += n;
        buf = buf.subspan(n);
    }
    return {};
}

Result<uint64_t> read_file_data(core::ByteSource& source, uint32_t block_size,
                                const std::vector<FileExtentRecord>& extents, uint64_t file_size,
                                core::ByteSink& writer) {
    if (file_size == 0) return 0;
    KIV_TRY(StreamLayout(extents, block_size).write_to(source, file_size, writer));
    return file_size;
}

}  // namespace apfs::extents
