#include "apfs/extents.hpp"

#include <algorithm>
#include <string>

#include "internal.hpp"

namespace apfs::extents {

Result<uint64_t> read_file_data(core::ByteSource& source, uint32_t block_size,
                                const std::vector<FileExtentRecord>& extents, uint64_t file_size,
                                core::ByteSink& writer) {
    if (file_size == 0 || extents.empty()) return 0;
    if (block_size == 0) return fail(ApfsError::corrupted("block size 0"));

    std::vector<const FileExtentRecord*> order;
    order.reserve(extents.size());
    for (const auto& e : extents) order.push_back(&e);
    std::stable_sort(order.begin(), order.end(),
                     [](auto* a, auto* b) { return a->logical_addr < b->logical_addr; });

    // Pieces of at most one block; a file smaller than a block needs less.
    const uint64_t B = std::min<uint64_t>(block_size, file_size);
    const std::vector<uint8_t> zeros(size_t(B), 0);
    std::vector<uint8_t> buf(static_cast<size_t>(B));
    uint64_t pos = 0;
    for (const FileExtentRecord* e : order) {
        if (pos >= file_size) break;
        const uint64_t length = e->length();
        if (length == 0) continue;
        if (e->logical_addr > pos) {  // a hole
            uint64_t gap = std::min(e->logical_addr - pos, file_size - pos);
            while (gap > 0) {
                const uint64_t n = std::min(gap, B);
                if (auto w = writer.write_all({zeros.data(), size_t(n)}); !w) return detail::io_fail(w.error());
                gap -= n;
                pos += n;
            }
            if (pos >= file_size) break;
        }
        uint64_t skip = pos - e->logical_addr;  // bytes of this extent already covered
        if (skip >= length) continue;
        uint64_t base;
        if (__builtin_mul_overflow(uint64_t(block_size), e->phys_block, &base) || base + length < base)
            return fail(ApfsError::corrupted("extent physical block " + std::to_string(e->phys_block) +
                                             " overflows the device address space"));
        while (skip < length && pos < file_size) {
            const uint64_t n = std::min({length - skip, file_size - pos, B});
            std::span<uint8_t> chunk(buf.data(), size_t(n));
            if (auto r = source.read_exact_at(base + skip, chunk); !r) return detail::io_fail(r.error());
            if (auto w = writer.write_all(chunk); !w) return detail::io_fail(w.error());
            pos += n;
            skip += n;
        }
    }
    return pos;
}

}  // namespace apfs::extents
