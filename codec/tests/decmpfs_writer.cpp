#include "decmpfs_writer.hpp"

#include <algorithm>
#include <stdexcept>

#include <lzfse.h>
#include <zlib.h>

#include "core/endian.hpp"

extern "C" size_t lzvn_encode_scratch_size(void);
extern "C" size_t lzvn_encode_buffer(void* dst, size_t dst_size, const void* src, size_t src_size, void* work);

namespace codec_testing {

namespace {

constexpr size_t kBlock = 64 * 1024;
using Bytes = std::vector<uint8_t>;

void append_le32(Bytes& out, uint32_t v) {
    out.resize(out.size() + 4);
    core::store_le32(out.data() + out.size() - 4, v);
}

Bytes with_marker(uint8_t marker, std::span<const uint8_t> block) {
    Bytes out(block.size() + 1, marker);
    std::copy(block.begin(), block.end(), out.begin() + 1);
    return out;
}

// One block as type `type` stores it; `store` keeps it behind the stored-block
// marker where the type has one (zlib, LZVN).
Bytes encode_block(uint32_t type, std::span<const uint8_t> block, bool store) {
    Bytes out(block.size() + block.size() / 16 + (type >= 11 ? 4096 : 64));  // LZVN fails where it cannot shrink
    size_t n = 0;
    if (type == 3 || type == 4) {
        if (store) return with_marker(0xFF, block);
        uLongf z = out.size();
        if (compress2(out.data(), &z, block.data(), block.size(), 6) != Z_OK) throw std::runtime_error("compress2");
        n = z;
    } else if (type == 7 || type == 8) {
        Bytes work(lzvn_encode_scratch_size());
        n = store ? 0 : lzvn_encode_buffer(out.data(), out.size(), block.data(), block.size(), work.data());
        if (n == 0) return with_marker(0x06, block);  // what the encoder cannot shrink is stored
    } else if (type == 11 || type == 12) {
        Bytes work(lzfse_encode_scratch_size());
        n = lzfse_encode_buffer(out.data(), out.size(), block.data(), block.size(), work.data());
        if (n == 0) throw std::runtime_error("lzfse_encode_buffer");
    } else {
        return type == 9 || type == 10 ? with_marker(0xCC, block) : Bytes(block.begin(), block.end());
    }
    out.resize(n);
    return out;
}

// The resource fork of type 4: resource header, the "cmpf" resource (its
// length, then the block table and the blocks), and a resource map.
Bytes classic_resource_fork(const std::vector<Bytes>& blocks) {
    Bytes table;
    append_le32(table, uint32_t(blocks.size()));
    uint32_t at = uint32_t(4 + 8 * blocks.size());
    for (const auto& b : blocks) {
        append_le32(table, at);
        append_le32(table, uint32_t(b.size()));
        at += uint32_t(b.size());
    }
    for (const auto& b : blocks) table.insert(table.end(), b.begin(), b.end());
    const uint32_t data_offset = 0x100, data_length = uint32_t(4 + table.size()), map_length = 50;
    Bytes fork;
    for (uint32_t v : {data_offset, data_offset + data_length, data_length, map_length}) core::append_be32(fork, v);
    fork.resize(data_offset);
    core::append_be32(fork, uint32_t(table.size()));
    fork.insert(fork.end(), table.begin(), table.end());
    // Map: a copy of the header, handle, file reference, attributes, the
    // offsets of the type and name lists, one type "cmpf" with one resource (id 1).
    Bytes map(fork.begin(), fork.begin() + 16);
    map.resize(22, 0);
    map.insert(map.end(), {0x00, 0x00, 0x00, 0x1C, 0x00, 0x32, 0x00, 0x00, 'c', 'm', 'p', 'f', 0x00, 0x00, 0x00, 0x0A,
                           0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    fork.insert(fork.end(), map.begin(), map.end());
    return fork;
}

}  // namespace

Bytes decmpfs_header(uint32_t type, uint64_t size) {
    Bytes out(16);
    core::store_le32(out.data(), 0x636D7066);
    core::store_le32(out.data() + 4, type);
    core::store_le64(out.data() + 8, size);
    return out;
}

DecmpfsFile encode_decmpfs(uint32_t type, std::span<const uint8_t> data, const std::set<size_t>& stored) {
    DecmpfsFile file{decmpfs_header(type, data.size()), {}};
    if (type % 2 == 1) {
        auto body = encode_block(type, data, stored.contains(0));
        file.attribute.insert(file.attribute.end(), body.begin(), body.end());
        return file;
    }
    std::vector<Bytes> blocks;
    for (size_t at = 0, i = 0; at < data.size(); at += kBlock, ++i)
        blocks.push_back(encode_block(type, data.subspan(at, std::min(kBlock, data.size() - at)), stored.contains(i)));
    if (type == 4) {
        file.resource_fork = classic_resource_fork(blocks);
        return file;
    }
    // Types 8, 10 and 12: n + 1 offsets, then the blocks.
    uint32_t at = uint32_t(4 * (blocks.size() + 1));
    append_le32(file.resource_fork, at);
    for (const auto& b : blocks) append_le32(file.resource_fork, at += uint32_t(b.size()));
    for (const auto& b : blocks) file.resource_fork.insert(file.resource_fork.end(), b.begin(), b.end());
    return file;
}

}  // namespace codec_testing
