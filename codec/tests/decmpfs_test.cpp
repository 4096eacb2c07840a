#include <cstring>
#include <optional>
#include <random>

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
    using K = DecmpfsError::Kind;
    struct Row {
        const char* name;
        codec_testing::DecmpfsFile file;
        K kind;
        const char* text;
    };
    const Row rows[] = {
        {"unknown type", {decmpfs_header(13, 10), {}}, K::Unsupported, "compression type 13 is not supported"},
        {"short header", {std::vector<uint8_t>(10, 0), {}}, K::Corrupt, "shorter than its header"},
        {"bad magic", with(encode_decmpfs(3, small), [](auto& f) { f.attribute[0] = 'x'; }), K::Corrupt, "fpmc"},
        {"inline size beyond the data", with(encode_decmpfs(3, small), [](auto& f) { core::store_le64(f.attribute.data() + 8, 1ull << 60); }),
         K::Corrupt, "holds 2000 bytes, header declares 1152921504606846976"},
        {"inline size below the data", with(encode_decmpfs(7, small), [](auto& f) { core::store_le64(f.attribute.data() + 8, 10); }),
         K::Corrupt, "holds 2000 bytes, header declares 10"},
        {"inline stream over 64 KiB", encode_decmpfs(11, sample(70000)), K::Corrupt, "more than 65536 bytes"},
        {"stored without marker", with(encode_decmpfs(9, small), [](auto& f) { f.attribute[16] = 'x'; }), K::Corrupt,
         "stored block lacks its marker 0xCC"},
        {"fork size 2^60", with(lzvn, [](auto& f) { core::store_le64(f.attribute.data() + 8, 1ull << 60); }), K::Corrupt,
         "lists 3 blocks, but 1152921504606846976 bytes need"},
        {"no fork", with(lzvn, [](auto& f) { f.resource_fork.clear(); }), K::Corrupt, "holds no block table"},
        {"offset table cut", with(lzvn, [](auto& f) { f.resource_fork.resize(10); }), K::Corrupt,
         "block table of 16 bytes does not fit"},
        {"offsets backwards", with(lzvn, [](auto& f) { core::store_le32(f.resource_fork.data() + 8, 20); }), K::Corrupt,
         "block 1 ends at"},
        {"last block cut", with(lzvn, [](auto& f) { f.resource_fork.pop_back(); }), K::Corrupt,
         "block 2 lies beyond the resource fork"},
        {"LZVN block truncated", with(lzvn, [](auto& f) {
             core::store_le32(f.resource_fork.data() + 4, core::load_le32(f.resource_fork.data() + 4) - 9);
         }), K::Corrupt, "block 0: LZVN block is corrupt or truncated"},
        {"block too large", with(lzvn, [](auto& f) { core::store_le64(f.attribute.data() + 8, 140000); }), K::Corrupt,
         "block 2 decodes to 18928 bytes, expected 8928"},
        {"resource table count huge", with(zlib, [](auto& f) { core::store_le32(f.resource_fork.data() + 0x104, 0x10000000); }),
         K::Corrupt, "block table of 268435456 entries runs past the resource fork"},
        {"resource data beyond fork", with(zlib, [](auto& f) { core::store_be32(f.resource_fork.data(), 0x7FFFFFF0); }),
         K::Corrupt, "resource data at 2147483632 lies beyond"},
        {"zlib block damaged", with(zlib, [](auto& f) { f.resource_fork[0x100 + 4 + 4 + 24 + 5] ^= 0xFF; }), K::Corrupt,
         "block 0: zlib block is corrupt"},
        {"blocks overlap", with(zlib, [](auto& f) {
             core::store_le32(f.resource_fork.data() + 0x104 + 12, core::load_le32(f.resource_fork.data() + 0x104 + 4));
         }), K::Corrupt, "block 1 overlaps the block before it"},
        {"block claims 1 MiB", with(zlib, [](auto& f) {
             core::store_le32(f.resource_fork.data() + 0x104 + 8, 1 << 20);
             f.resource_fork.resize(2 << 20);
         }), K::Corrupt, "block 0 holds 1048576 bytes, more than any block needs"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto back = decode(row.file);
        ASSERT_FALSE(back);
        EXPECT_EQ(back.error().kind(), row.kind);
        EXPECT_NE(back.error().message().find(row.text), std::string::npos) << back.error().message();
    }
}

TEST(Decmpfs, RandomDamageNeverCrashes) {
    std::mt19937_64 rng(9);
    for (uint32_t type : {3, 4, 7, 8, 9, 10, 11, 12}) {
        const auto file = encode_decmpfs(type, sample(type % 2 ? 3000 : 140000), {1});
        for (int round = 0; round < 300; ++round) {
            auto damaged = file;
            auto& part = round % 2 ? damaged.resource_fork : damaged.attribute;
            part = testing_util::damage(part, rng);
            if (damaged.attribute.size() >= 8) core::store_le32(damaged.attribute.data() + 4, type);
            (void)decode(damaged);
        }
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
