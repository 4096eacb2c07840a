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

void append_le32(std::vector<uint8_t>& out, uint32_t v) {
    uint8_t b[4];
    core::store_le32(b, v);
    out.insert(out.end(), b, b + 4);
}

std::vector<uint8_t> with_marker(uint8_t marker, std::span<const uint8_t> block) {
    std::vector<uint8_t> out(block.size() + 1);
    out[0] = marker;
    std::copy(block.begin(), block.end(), out.begin() + 1);
    return out;
}

std::vector<uint8_t> zlib_block(std::span<const uint8_t> block, bool store) {
    if (store) return with_marker(0xFF, block);
    uLongf n = compressBound(block.size());
    std::vector<uint8_t> out(n);
    if (compress2(out.data(), &n, block.data(), block.size(), 6) != Z_OK) throw std::runtime_error("compress2");
    out.resize(n);
    return out;
}

std::vector<uint8_t> lzvn_block(std::span<const uint8_t> block, bool store) {
    if (!store) {
        std::vector<uint8_t> work(lzvn_encode_scratch_size());
        std::vector<uint8_t> out(block.size() + block.size() / 16 + 64);
        if (size_t n = lzvn_encode_buffer(out.data(), out.size(), block.data(), block.size(), work.data())) {
            out.resize(n);
            return out;
        }
    }
    return with_marker(0x06, block);
}

std::vector<uint8_t> lzfse_block(std::span<const uint8_t> block) {
    std::vector<uint8_t> work(lzfse_encode_scratch_size());
    std::vector<uint8_t> out(block.size() + 4096);
    size_t n = lzfse_encode_buffer(out.data(), out.size(), block.data(), block.size(), work.data());
    if (n == 0) throw std::runtime_error("lzfse_encode_buffer");
    out.resize(n);
    return out;
}

std::vector<uint8_t> encode_block(uint32_t type, std::span<const uint8_t> block, bool store) {
    switch (type) {
        case 3: case 4: return zlib_block(block, store);
        case 7: case 8: return lzvn_block(block, store);
        case 11: case 12: return lzfse_block(block);
        case 9: case 10: return with_marker(0xCC, block);
        default: return {block.begin(), block.end()};
    }
}

// The resource fork of type 4: resource header, the "cmpf" resource (its
// length, then the block table and the blocks), and a resource map.
std::vector<uint8_t> classic_resource_fork(const std::vector<std::vector<uint8_t>>& blocks) {
    std::vector<uint8_t> table;
    append_le32(table, uint32_t(blocks.size()));
    uint32_t at = uint32_t(4 + 8 * blocks.size());
    for (const auto& b : blocks) {
        append_le32(table, at);
        append_le32(table, uint32_t(b.size()));
        at += uint32_t(b.size());
    }
    for (const auto& b : blocks) table.insert(table.end(), b.begin(), b.end());

    const uint32_t data_offset = 0x100, data_length = uint32_t(4 + table.size()), map_length = 50;
    std::vector<uint8_t> fork;
    core::append_be32(fork, data_offset);
    core::append_be32(fork, data_offset + data_length);
    core::append_be32(fork, data_length);
    core::append_be32(fork, map_length);
    fork.resize(data_offset);
    core::append_be32(fork, uint32_t(table.size()));
    fork.insert(fork.end(), table.begin(), table.end());
    // Map: a copy of the header, handle, file reference, attributes, the
    // offsets of the type and name lists, one type "cmpf" with one resource (id 1).
    std::vector<uint8_t> map(fork.begin(), fork.begin() + 16);
    map.resize(22, 0);
    map.insert(map.end(), {0x00, 0x00, 0x00, 0x1C, 0x00, 0x32, 0x00, 0x00, 'c', 'm', 'p', 'f', 0x00, 0x00, 0x00, 0x0A,
                           0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    fork.insert(fork.end(), map.begin(), map.end());
    return fork;
}

// Types 8, 10 and 12: n + 1 offsets, then the blocks.
std::vector<uint8_t> offset_table_fork(const std::vector<std::vector<uint8_t>>& blocks) {
    std::vector<uint8_t> fork;
    uint32_t at = uint32_t(4 * (blocks.size() + 1));
    append_le32(fork, at);
    for (const auto& b : blocks) append_le32(fork, at += uint32_t(b.size()));
    for (const auto& b : blocks) fork.insert(fork.end(), b.begin(), b.end());
    return fork;
}

}  // namespace

std::vector<uint8_t> decmpfs_header(uint32_t type, uint64_t size) {
    std::vector<uint8_t> out(16);
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
    std::vector<std::vector<uint8_t>> blocks;
    for (size_t at = 0, i = 0; at < data.size(); at += kBlock, ++i)
        blocks.push_back(encode_block(type, data.subspan(at, std::min(kBlock, data.size() - at)), stored.contains(i)));
    file.resource_fork = type == 4 ? classic_resource_fork(blocks) : offset_table_fork(blocks);
    return file;
}

}  // namespace codec_testing
