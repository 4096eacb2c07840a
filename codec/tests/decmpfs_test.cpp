#include <cstring>

#include <gtest/gtest.h>

#include "codec/decmpfs.hpp"
#include "core/endian.hpp"
#include "decmpfs_writer.hpp"
#include "testing/testing.hpp"

namespace {

using codec::DecmpfsError;
using codec_testing::decmpfs_header;
using codec_testing::encode_decmpfs;

codec::ReadAt reader_of(const std::vector<uint8_t>& fork) {
    return [&fork](uint64_t offset, std::span<uint8_t> buf) -> core::IoResult<void> {
        if (offset > fork.size() || buf.size() > fork.size() - offset) return core::eof_fail();
        std::memcpy(buf.data(), fork.data() + offset, buf.size());
        return {};
    };
}

codec::Result<std::vector<uint8_t>> decode(const codec_testing::DecmpfsFile& file) {
    core::VecSink sink;
    auto n = codec::decode_decmpfs(file.attribute, reader_of(file.resource_fork), file.resource_fork.size(), sink);
    if (!n) return std::unexpected(n.error());
    EXPECT_EQ(*n, sink.data().size());
    return sink.take();
}

// Text-like bytes that compress, then random bytes that do not.
std::vector<uint8_t> sample(size_t n) {
    auto out = testing_util::random_bytes(n, n);
    std::string text;
    for (size_t i = 0; text.size() < n / 2; ++i) text += "line " + std::to_string(i) + " of a file macOS compressed\n";
    std::copy_n(text.begin(), n / 2, out.begin());
    return out;
}

// Inline and resource-fork types, with blocks kept behind the stored-block marker.
TEST(Decmpfs, EveryTypeAndLayoutReadsBack) {
    const std::tuple<uint32_t, size_t, std::set<size_t>> rows[] = {
        {1, 100, {}},     {3, 3000, {}},    {3, 200, {0}},       {7, 3000, {}},      {7, 200, {0}},    {9, 100, {}},
        {11, 3000, {}},   {4, 200000, {}},  {4, 200000, {1}},    {8, 200000, {}},    {8, 200000, {0, 3}},
        {10, 200000, {}}, {12, 200000, {}}, {4, 65536, {}},      {8, 5, {}},         {12, 131072, {}},
    };
    for (const auto& [type, size, stored] : rows) {
        const auto data = sample(size);
        auto back = decode(encode_decmpfs(type, data, stored));
        EXPECT_EQ(back.value_or(std::vector<uint8_t>{}), data) << "type " << type << ", " << size << " bytes";
    }
}

TEST(Decmpfs, DamagedValuesAndForksFail) {
    const auto data = sample(150000);
    const auto small = sample(2000);
    auto lzvn = encode_decmpfs(8, data);
    auto zlib = encode_decmpfs(4, data);
    auto with = [](codec_testing::DecmpfsFile f, auto change) {
        change(f);
        return f;
    };
    // A classic resource fork whose one block is a zlib stream of 70000
    // bytes, for a file of 64 KiB: the block is refused, not cut to fit.
    codec_testing::DecmpfsFile oversized{decmpfs_header(4, 65536), std::vector<uint8_t>(32, 0)};
    {
        auto stream = encode_decmpfs(3, sample(70000)).attribute;
        stream.erase(stream.begin(), stream.begin() + 16);
        core::store_be32(oversized.resource_fork.data(), 16);  // resource data at 16, its table at 20
        core::store_le32(oversized.resource_fork.data() + 20, 1);
        core::store_le32(oversized.resource_fork.data() + 24, 12);
        core::store_le32(oversized.resource_fork.data() + 28, uint32_t(stream.size()));
        oversized.resource_fork.insert(oversized.resource_fork.end(), stream.begin(), stream.end());
    }
    // {file, what the message says}: all corrupt but the first, an unsupported type.
    const std::pair<codec_testing::DecmpfsFile, const char*> rows[] = {
        {{decmpfs_header(13, 10), {}}, "compression type 13 is not supported"},
        {{std::vector<uint8_t>(10, 0), {}}, "decmpfs attribute of 10 bytes is shorter than its header"},
        {with(encode_decmpfs(3, small), [](auto& f) { f.attribute[0] = 'x'; }), "fpmc"},
        {with(encode_decmpfs(3, small), [](auto& f) { core::store_le64(f.attribute.data() + 8, 1ull << 60); }),
         "holds 2000 bytes, header declares 1152921504606846976"},
        {with(encode_decmpfs(7, small), [](auto& f) { core::store_le64(f.attribute.data() + 8, 10); }), "holds 2000 bytes, header declares 10"},
        {encode_decmpfs(11, sample(70000)), "more than 65536 bytes"},
        {encode_decmpfs(7, sample(70000)), "more than 65536 bytes"},
        {with(encode_decmpfs(11, small), [](auto& f) { f.attribute[16] = 0; }), "LZFSE block is corrupt or truncated"},
        {with(encode_decmpfs(9, small), [](auto& f) { f.attribute[16] = 'x'; }), "stored block lacks its marker 0xCC"},
        {with(lzvn, [](auto& f) { core::store_le64(f.attribute.data() + 8, 1ull << 60); }), "lists 3 blocks, but 1152921504606846976 bytes need"},
        {with(lzvn, [](auto& f) { core::store_le32(f.resource_fork.data() + 4, core::load_le32(f.resource_fork.data() + 4) - 9); }),
         "block 0: LZVN block is corrupt or truncated"},
        {with(lzvn, [](auto& f) { core::store_le64(f.attribute.data() + 8, 140000); }), "block 2 decodes to 18928 bytes, expected 8928"},
        {with(lzvn, [](auto& f) { f.resource_fork.clear(); }), "resource fork of 0 bytes holds no block table"},
        {with(lzvn, [](auto& f) { f.resource_fork.resize(10); }), "block table of 16 bytes does not fit the resource fork (10 bytes)"},
        {with(lzvn, [](auto& f) { core::store_le32(f.resource_fork.data() + 8, 20); }), "block 1 ends at 20 before it starts at"},
        {with(lzvn, [](auto& f) { f.resource_fork.pop_back(); }), "block 2 lies beyond the resource fork"},
        {with(zlib, [](auto& f) { f.resource_fork.resize(10); }), "resource fork of 10 bytes holds no resource header"},
        {with(zlib, [](auto& f) { core::store_be32(f.resource_fork.data(), 0x7FFFFFF0); }), "resource data at 2147483632 lies beyond"},
        {oversized, "block 0: block decodes to more than 65536 bytes"},
        {with(zlib, [](auto& f) { core::store_le64(f.attribute.data() + 8, 1ull << 60); }), "lists 3 blocks, but 1152921504606846976 bytes need"},
        {with(zlib, [](auto& f) { core::store_le32(f.resource_fork.data() + 0x104 + 8, 0x7FFFFFF0); }), "block 0 lies beyond the resource fork"},
        {with(zlib, [](auto& f) { core::store_le32(f.resource_fork.data() + 0x104, 0x10000000); }),
         "block table of 268435456 entries runs past the resource fork"},
        {with(zlib, [](auto& f) { f.resource_fork[0x100 + 4 + 4 + 24 + 5] ^= 0xFF; }), "block 0: zlib block is corrupt"},
        {with(zlib, [](auto& f) {
             core::store_le32(f.resource_fork.data() + 0x104 + 12, core::load_le32(f.resource_fork.data() + 0x104 + 4));
         }), "block 1 overlaps the block before it"},
        {with(zlib, [](auto& f) {
             core::store_le32(f.resource_fork.data() + 0x104 + 8, 1 << 20);
             f.resource_fork.resize(2 << 20);
         }), "block 0 holds 1048576 bytes, more than any block needs"},
    };
    for (const auto& [file, text] : rows) {
        SCOPED_TRACE(text);
        auto back = decode(file);
        ASSERT_FALSE(back);
        EXPECT_EQ(back.error().kind(), &file == &rows[0].first ? DecmpfsError::Kind::Unsupported : DecmpfsError::Kind::Corrupt);
        EXPECT_NE(back.error().message().find(text), std::string::npos) << back.error().message();
    }
}

// A failing read of the resource fork comes back as that I/O error.
TEST(Decmpfs, ForkReadErrorsPassThrough) {
    auto file = encode_decmpfs(12, sample(100000));
    core::VecSink sink;
    auto n = codec::decode_decmpfs(file.attribute, [](uint64_t, std::span<uint8_t>) -> core::IoResult<void> {
        return core::io_fail(core::IoError::from_errno(EIO));
    }, file.resource_fork.size(), sink);
    ASSERT_TRUE(!n && n.error().io_error());
    EXPECT_EQ(n.error().io_error()->os_code(), EIO);
}

}  // namespace
