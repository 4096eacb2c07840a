#include "codec/decmpfs.hpp"

#include <algorithm>
#include <array>

#include "block.hpp"
#include "core/endian.hpp"
#include "core/try.hpp"

namespace codec {

namespace {

using detail::BlockDecoder;
using detail::Method;

constexpr uint32_t kMagic = 0x636D7066;  // "fpmc" read as a little-endian u32
// A compressed block never needs more than its 64 KiB stored, plus a marker;
// anything much larger is a damaged table.
constexpr uint64_t kMaxEncodedBlock = 2 * kDecmpfsBlockSize;
// Block tables are read in pieces of this many bytes.
constexpr size_t kTableChunk = 4096;

std::unexpected<DecmpfsError> corrupt(std::string text) { return std::unexpected(DecmpfsError::corrupt(std::move(text))); }

Method method_of(uint32_t type) {
    switch (type) {
        case 3: case 4: return Method::Zlib;
        case 7: case 8: return Method::Lzvn;
        case 11: case 12: return Method::Lzfse;
        default: return Method::Stored;  // 9, 10 (type 1 needs no decoding)
    }
}

std::string with_block(uint64_t index, const DecmpfsError& e) {
    return "block " + std::to_string(index) + ": " + e.message();
}

// Little-endian u32 entries of a table in the resource fork, read a piece at a time.
class TableReader {
public:
    TableReader(const ReadAt& fork, uint64_t base, uint64_t entries) : fork_(fork), base_(base), entries_(entries) {}

    Result<uint32_t> at(uint64_t index) {
        if (index < first_ || index >= first_ + loaded_) {
            first_ = index;
            loaded_ = size_t(std::min<uint64_t>(entries_ - index, kTableChunk / 4));
            if (auto r = fork_(base_ + 4 * first_, std::span(chunk_.data(), 4 * loaded_)); !r) {
                loaded_ = 0;
                return std::unexpected(DecmpfsError(r.error()));
            }
        }
        return core::load_le32(chunk_.data() + 4 * (index - first_));
    }

private:
    const ReadAt& fork_;
    uint64_t base_;
    uint64_t entries_;
    uint64_t first_ = 0;
    size_t loaded_ = 0;
    std::array<uint8_t, kTableChunk> chunk_{};
};

struct Extent {
    uint64_t offset = 0;
    uint64_t length = 0;
};

// Decodes the blocks a table locates, in order, writing each to `out`.
// Block i must give min(64 KiB, what is left of `size`) bytes.
template <class Locate>
Result<uint64_t> decode_blocks(Method method, uint64_t size, uint64_t count, Locate locate, const ReadAt& fork,
                               uint64_t fork_length, core::ByteSink& out) {
    const uint64_t needed = size / kDecmpfsBlockSize + (size % kDecmpfsBlockSize != 0);
    if (count < needed)
        return corrupt("block table lists " + std::to_string(count) + " blocks, but " + std::to_string(size) +
                       " bytes need " + std::to_string(needed));
    BlockDecoder decoder(method);
    std::vector<uint8_t> encoded;
    uint64_t written = 0;
    for (uint64_t i = 0; i < needed; ++i) {
        auto extent = KIV_TRY(locate(i));
        if (extent.offset > fork_length || extent.length > fork_length - extent.offset)
            return corrupt("block " + std::to_string(i) + " lies beyond the resource fork (" +
                           std::to_string(fork_length) + " bytes)");
        if (extent.length > kMaxEncodedBlock)
            return corrupt("block " + std::to_string(i) + " holds " + std::to_string(extent.length) +
                           " bytes, more than any block needs");
        encoded.resize(size_t(extent.length));
        KIV_TRY(fork(extent.offset, encoded));
        auto bytes = decoder.decode(encoded);
        if (!bytes) {
            if (bytes.error().kind() == DecmpfsError::Kind::Io) return std::unexpected(std::move(bytes.error()));
            return corrupt(with_block(i, bytes.error()));
        }
        const uint64_t expected = std::min<uint64_t>(kDecmpfsBlockSize, size - written);
        if (bytes->size() != expected)
            return corrupt("block " + std::to_string(i) + " decodes to " + std::to_string(bytes->size()) +
                           " bytes, expected " + std::to_string(expected));
        KIV_TRY(out.write_all(*bytes));
        written += expected;
    }
    return written;
}

// Types 8, 10 and 12: the fork starts with n + 1 little-endian u32 offsets,
// block i spanning [offset i, offset i + 1).  The first offset is the
// table's own size.
Result<uint64_t> decode_offset_table(Method method, uint64_t size, const ReadAt& fork, uint64_t fork_length,
                                     core::ByteSink& out) {
    if (fork_length < 4) return corrupt("resource fork of " + std::to_string(fork_length) + " bytes holds no block table");
    TableReader table(fork, 0, fork_length / 4);
    auto first = KIV_TRY(table.at(0));
    if (first < 8 || first % 4 != 0 || first > fork_length)
        return corrupt("block table of " + std::to_string(first) + " bytes does not fit the resource fork (" +
                       std::to_string(fork_length) + " bytes)");
    const uint64_t count = first / 4 - 1;
    auto locate = [&](uint64_t i) -> Result<Extent> {
        auto start = KIV_TRY(table.at(i));
        auto end = KIV_TRY(table.at(i + 1));
        if (end < start)
            return corrupt("block " + std::to_string(i) + " ends at " + std::to_string(end) + " before it starts at " +
                           std::to_string(start));
        return Extent{start, uint64_t(end) - start};
    };
    return decode_blocks(method, size, count, locate, fork, fork_length, out);
}

// Type 4: a classic resource fork.  Its 16-byte big-endian header gives the
// offset of the resource data; there the one resource's length (u32 BE)
// precedes the block table: a little-endian count, then (offset, length)
// pairs counted from the table's start.
Result<uint64_t> decode_resource_table(uint64_t size, const ReadAt& fork, uint64_t fork_length, core::ByteSink& out) {
    std::array<uint8_t, 16> header;
    if (fork_length < header.size())
        return corrupt("resource fork of " + std::to_string(fork_length) + " bytes holds no resource header");
    KIV_TRY(fork(0, header));
    const uint64_t base = uint64_t(core::load_be32(header.data())) + 4;
    if (base + 4 > fork_length)
        return corrupt("resource data at " + std::to_string(base - 4) + " lies beyond the resource fork (" +
                       std::to_string(fork_length) + " bytes)");
    TableReader table(fork, base, (fork_length - base) / 4);
    auto count = KIV_TRY(table.at(0));
    if (4 + 8 * uint64_t(count) > fork_length - base)
        return corrupt("block table of " + std::to_string(count) + " entries runs past the resource fork (" +
                       std::to_string(fork_length) + " bytes)");
    // Blocks follow each other; one that reaches back into its predecessor
    // would let a small fork decode to far more than it holds.
    uint64_t previous_end = 0;
    auto locate = [&](uint64_t i) -> Result<Extent> {
        auto offset = KIV_TRY(table.at(1 + 2 * i));
        auto length = KIV_TRY(table.at(2 + 2 * i));
        if (offset < previous_end)
            return corrupt("block " + std::to_string(i) + " overlaps the block before it");
        previous_end = uint64_t(offset) + length;
        return Extent{base + offset, length};
    };
    return decode_blocks(Method::Zlib, size, count, locate, fork, fork_length, out);
}

}  // namespace

Result<DecmpfsHeader> parse_decmpfs_header(std::span<const uint8_t> value) {
    if (value.size() < kDecmpfsHeaderSize)
        return corrupt("decmpfs attribute of " + std::to_string(value.size()) + " bytes is shorter than its header");
    if (core::load_le32(value.data()) != kMagic) return corrupt("decmpfs attribute lacks the magic \"fpmc\"");
    return DecmpfsHeader{core::load_le32(value.data() + 4), core::load_le64(value.data() + 8)};
}

bool is_supported_type(uint32_t type) {
    switch (type) {
        case 1: case 3: case 4: case 7: case 8: case 9: case 10: case 11: case 12: return true;
        default: return false;
    }
}

Result<uint64_t> decode_decmpfs(std::span<const uint8_t> value, const ReadAt& resource_fork,
                                uint64_t resource_fork_length, core::ByteSink& out) {
    auto header = KIV_TRY(parse_decmpfs_header(value));
    const uint64_t size = header.uncompressed_size;
    if (!is_supported_type(header.type)) return std::unexpected(DecmpfsError::unsupported(header.type));
    if (size == 0) return 0;
    const Method method = method_of(header.type);

    if (header.in_resource_fork()) {
        if (!resource_fork) resource_fork_length = 0;
        if (header.type == 4) return decode_resource_table(size, resource_fork, resource_fork_length, out);
        return decode_offset_table(method, size, resource_fork, resource_fork_length, out);
    }

    // Inline types: the data after the header, as one block; type 1 holds
    // the bytes as they are, of any length.
    const auto data = value.subspan(kDecmpfsHeaderSize);
    std::span<const uint8_t> bytes = data;
    BlockDecoder decoder(method);
    if (header.type != 1) {
        auto decoded = KIV_TRY(decoder.decode(data));
        bytes = decoded;
    }
    if (bytes.size() != size)
        return corrupt("attribute data holds " + std::to_string(bytes.size()) + " bytes, header declares " +
                       std::to_string(size));
    KIV_TRY(out.write_all(bytes));
    return size;
}

}  // namespace codec
