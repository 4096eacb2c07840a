#include "object.hpp"

#include <string>

#include "core/endian.hpp"
#include "core/try.hpp"

namespace apfs {

Result<ObjectHeader> ObjectHeader::parse(std::span<const uint8_t> bytes) {
    if (bytes.size() < kSize)
        return fail(ApfsError::corrupted("object header too short: " + std::to_string(bytes.size()) + " bytes"));
    const uint8_t* p = bytes.data();
    return ObjectHeader{core::load_le64(p), core::load_le64(p + 8), core::load_le64(p + 16),
                        core::load_le32(p + 24), core::load_le32(p + 28)};
}

namespace object {

Result<uint64_t> block_offset(uint64_t block, uint32_t block_size) {
    uint64_t offset;
    if (__builtin_mul_overflow(block, uint64_t(block_size), &offset))
        return fail(ApfsError::corrupted("block " + std::to_string(block) + " overflows the device address space"));
    return offset;
}

Result<std::vector<uint8_t>> read_block(core::ByteSource& source, uint64_t block, uint32_t block_size) {
    auto offset = KIV_TRY(block_offset(block, block_size));
    KIV_TRY(source.seek(offset));
    return source.read_vec(block_size);
}

}  // namespace object
}  // namespace apfs
