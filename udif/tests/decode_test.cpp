#include <gtest/gtest.h>

#include <bzlib.h>
#include <lzfse.h>
#include <lzma.h>
#include <zlib.h>

#include <random>

#include "image_util.hpp"
#include "testing/testing.hpp"

using namespace udif_test;
using udif::BlockType;
using udif::KivError;
using Kind = KivError::Kind;

namespace {

std::vector<uint8_t> zlib_of(const std::vector<uint8_t>& in) {
    uLongf n = compressBound(in.size());
    std::vector<uint8_t> out(n);
    compress(out.data(), &n, in.data(), in.size());
    out.resize(n);
    return out;
}
std::vector<uint8_t> bzip2_of(const std::vector<uint8_t>& in) {
    unsigned n = unsigned(in.size() + in.size() / 100 + 600);
    std::vector<uint8_t> out(n);
    BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &n,
                             const_cast<char*>(reinterpret_cast<const char*>(in.data())), unsigned(in.size()), 9, 0, 0);
    out.resize(n);
    return out;
}
std::vector<uint8_t> xz_of(const std::vector<uint8_t>& in) {
    std::vector<uint8_t> out(lzma_stream_buffer_bound(in.size()));
    size_t n = 0;
    lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, in.data(), in.size(), out.data(), &n, out.size());
    out.resize(n);
    return out;
}
std::vector<uint8_t> lzfse_of(const std::vector<uint8_t>& in) {
    std::vector<uint8_t> out(in.size() + 4096);
    out.resize(lzfse_encode_buffer(out.data(), out.size(), in.data(), in.size(), nullptr));
    return out;
}

// One partition of `sectors` sectors over the given data fork and runs.
struct OnePartition {
    udif::DmgReader reader;

    std::string parallel() {
        auto r = reader.decompress_partition_parallel(0);
        return r ? std::string(r->begin(), r->end()) : "error: " + r.error().message();
    }
    std::string streamed() {
        core::VecSink sink;
        auto r = reader.decompress_partition_to(0, sink);
        if (!r) return "error: " + r.error().message();
        EXPECT_EQ(*r, sink.data().size());
        return std::string(sink.data().begin(), sink.data().end());
    }
};

OnePartition one(uint64_t sectors, std::vector<udif::BlockRun> runs, const std::vector<uint8_t>& fork,
                 bool in_memory = true) {
    auto bytes = image(fork, plist_xml(named_entry("p", 0, block_map(sectors, std::move(runs)))));
    auto r = in_memory ? open_bytes(bytes) : open_streamed(bytes);
    EXPECT_TRUE(r) << r.error().message();
    return OnePartition{std::move(*r)};
}

std::string str(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }
std::string zeros(size_t n) { return std::string(n, '\0'); }

}  // namespace

TEST(Decode, EveryCodecRoundTrips) {
    auto payload = testing_util::random_bytes(3000, 7);
    payload.resize(4096, 'z');  // compressible tail
    for (auto [type, stored] : {std::pair{BlockType::Zlib, zlib_of(payload)}, {BlockType::Bzip2, bzip2_of(payload)},
                                {BlockType::Xz, xz_of(payload)}, {BlockType::Lzfse, lzfse_of(payload)},
                                {BlockType::Raw, payload}, {BlockType::Ignore, payload}}) {
        SCOPED_TRACE(uint32_t(type));
        // A zero run, the coded run, a gap, and a terminator.
        std::vector<udif::BlockRun> runs = {run(BlockType::ZeroFill, 0, 2), run(type, 2, 8, 5, stored.size()),
                                            run(BlockType::Terminator, 12, 0)};
        std::vector<uint8_t> fork(5, 0xAA);
        fork.insert(fork.end(), stored.begin(), stored.end());
        std::string expected = zeros(1024) + str(payload) + zeros(1024);
        for (bool in_memory : {true, false}) {
            auto p = one(12, runs, fork, in_memory);
            EXPECT_EQ(p.parallel(), expected);
            EXPECT_EQ(p.streamed(), expected);
        }
    }
}

TEST(Decode, DeclaredSizesAgainstDecodedSizes) {
    auto k = testing_util::random_bytes(1000, 3);
    // Raw: a longer stored part is cut in memory, an error when streamed.
    auto longer = one(1, {run(BlockType::Raw, 0, 1, 0, 1000)}, k);
    EXPECT_EQ(longer.parallel(), str(k).substr(0, 512));
    EXPECT_EQ(longer.streamed(), "error: invalid block map: block run stores 1000 bytes but declares only 512");
    auto shorter = one(1, {run(BlockType::Raw, 0, 1, 0, 100)}, k);
    EXPECT_EQ(shorter.parallel(), str(k).substr(0, 100) + zeros(412));
    EXPECT_EQ(shorter.streamed(), str(k).substr(0, 100) + zeros(412));

    // Compressed: fewer bytes is an error, more are cut.
    std::vector<uint8_t> small(1000, 'a'), big(5000, 'b');
    for (auto [type, name, coded_small, coded_big] :
         {std::tuple{BlockType::Zlib, "zlib", zlib_of(small), zlib_of(big)},
          {BlockType::Bzip2, "bzip2", bzip2_of(small), bzip2_of(big)},
          {BlockType::Xz, "xz", xz_of(small), xz_of(big)}}) {
        auto s = one(8, {run(type, 0, 8, 0, coded_small.size())}, coded_small);
        std::string msg = std::string("error: decompression error: ") + name + " decoded 1000 bytes, expected 4096";
        EXPECT_EQ(s.parallel(), msg);
        EXPECT_EQ(s.streamed(), msg);
        auto b = one(8, {run(type, 0, 8, 0, coded_big.size())}, coded_big);
        EXPECT_EQ(b.parallel(), std::string(4096, 'b'));
        EXPECT_EQ(b.streamed(), std::string(4096, 'b'));
        // A truncated stream ends early: the count decides.
        auto t = one(8, {run(type, 0, 8, 0, coded_big.size() / 2)}, coded_big);
        EXPECT_NE(t.parallel().find("decoded"), std::string::npos) << name;
    }

    // LZFSE must match exactly.
    std::vector<uint8_t> lz4095(4095, 'c');
    auto l = one(8, {run(BlockType::Lzfse, 0, 8, 0, lzfse_of(lz4095).size())}, lzfse_of(lz4095));
    EXPECT_EQ(l.parallel(), "error: decompression error: lzfse decoded 4095 bytes, expected 4096");
    std::vector<uint8_t> lz_huge(20000, 'c');
    auto h = one(8, {run(BlockType::Lzfse, 0, 8, 0, lzfse_of(lz_huge).size())}, lzfse_of(lz_huge));
    EXPECT_EQ(h.streamed(), "error: decompression error: LZFSE: BufferTooSmall");
    auto junk = one(8, {run(BlockType::Lzfse, 0, 8, 0, 100)}, k);
    EXPECT_EQ(junk.parallel(), "error: decompression error: lzfse decoded 0 bytes, expected 4096");
}

TEST(Decode, CorruptStreamsAreIoErrorsWithTheDecodersMessage) {
    std::vector<uint8_t> garbage(64, 0x55);
    struct Case {
        BlockType type;
        const char* text;
    };
    for (auto [type, text] : {Case{BlockType::Zlib, "error: I/O error: incorrect header check"},
                              Case{BlockType::Bzip2, "error: I/O error: bzip2: bz2 header missing"},
                              Case{BlockType::Xz, "error: I/O error: File format not recognized"}}) {
        auto p = one(8, {run(type, 0, 8, 0, 64)}, garbage);
        EXPECT_EQ(p.parallel(), text);
        EXPECT_EQ(p.streamed(), text);
    }
    // A damaged body inside a valid zlib header.
    auto coded = zlib_of(testing_util::random_bytes(4096, 9));
    coded[2] = 0xFF;
    auto bad_body = one(8, {run(BlockType::Zlib, 0, 8, 0, coded.size())}, coded);
    auto msg = bad_body.parallel();
    EXPECT_TRUE(msg.starts_with("error: I/O error: invalid")) << msg;
}

TEST(Decode, OrderOverlapsAndFailures) {
    std::vector<uint8_t> a(512, 'A'), b(512, 'B');
    std::vector<uint8_t> fork = a;
    fork.insert(fork.end(), b.begin(), b.end());
    // Stored out of order: the parallel way places runs by their sectors.
    auto swapped = one(3, {run(BlockType::Raw, 2, 1, 512, 512), run(BlockType::Raw, 0, 1, 0, 512)}, fork);
    EXPECT_EQ(swapped.parallel(), std::string(512, 'A') + zeros(512) + std::string(512, 'B'));
    EXPECT_EQ(swapped.streamed(), zeros(1024) + std::string(512, 'B') + std::string(512, 'A'));

    // An overlapping run follows its predecessor.
    auto overlap = one(2, {run(BlockType::Raw, 0, 1, 0, 512), run(BlockType::Raw, 0, 1, 512, 512)}, fork);
    EXPECT_EQ(overlap.parallel(), std::string(512, 'A') + std::string(512, 'B'));
    auto pushed_out = one(1, {run(BlockType::Raw, 0, 1, 0, 512), run(BlockType::Raw, 0, 1, 512, 512)}, fork);
    EXPECT_EQ(pushed_out.parallel(), "error: invalid block map: block run reaches past the end of the partition");

    // Of two failing runs, the one earlier in the output decides.
    std::vector<uint8_t> bad(64, 0x55);
    auto two = one(16, {run(BlockType::Bzip2, 8, 8, 0, 64), run(BlockType::Zlib, 0, 8, 0, 64)}, bad);
    EXPECT_EQ(two.parallel(), "error: I/O error: incorrect header check");

    // ADC is refused both ways, before anything is decoded.
    auto adc = one(16, {run(BlockType::Zlib, 0, 8, 0, 64), run(BlockType::Adc, 8, 8, 0, 64)}, bad);
    EXPECT_EQ(adc.parallel(), "error: unsupported: ADC compression");
    core::VecSink sink;
    EXPECT_EQ(adc.reader.decompress_partition_to(0, sink).error().message(), "I/O error: incorrect header check");

    // Stored bytes beyond the file read short.
    auto beyond = one(1, {run(BlockType::Raw, 0, 1, 1u << 20, 512)}, a, false);
    EXPECT_EQ(beyond.parallel(), "error: I/O error: failed to fill whole buffer");
    EXPECT_EQ(beyond.streamed(), "error: I/O error: failed to fill whole buffer");
    auto wraps = one(1, {run(BlockType::Raw, 0, 1, UINT64_MAX - 10, 512)}, a);
    EXPECT_EQ(wraps.parallel(), "error: I/O error: failed to fill whole buffer");
}

TEST(Decode, EmptyPartitionsTerminatorsAndIds) {
    auto empty = one(3, {}, {});
    EXPECT_EQ(empty.parallel(), zeros(1536));
    EXPECT_EQ(empty.streamed(), zeros(1536));

    // A terminator beyond the end: zeros up to it when streamed, ignored in memory.
    auto far = one(2, {run(BlockType::Terminator, 5, 0)}, {});
    EXPECT_EQ(far.parallel(), zeros(1024));
    EXPECT_EQ(far.streamed(), zeros(2560));

    auto missing = empty.reader.decompress_partition_parallel(7);
    EXPECT_EQ(missing.error().message(), "file not found: partition 7");
    EXPECT_EQ(missing.error().kind(), Kind::FileNotFound);

    // Sizes no machine can hold fail cleanly instead of allocating.
    auto huge = one(uint64_t(1) << 52, {}, {});
    EXPECT_EQ(huge.reader.decompress_partition_parallel(0).error().kind(), Kind::Io);
    auto overflow = one(UINT64_MAX / 256, {}, {});
    EXPECT_EQ(overflow.reader.decompress_partition_parallel(0).error().kind(), Kind::InvalidBlockMap);
    auto huge_run = one(8, {run(BlockType::Zlib, 0, uint64_t(1) << 50, 0, 8)}, std::vector<uint8_t>(8, 0));
    EXPECT_EQ(huge_run.streamed(), "error: I/O error: Cannot allocate memory (os error 12)");
}

TEST(Decode, IntoCallerMemoryWritesEveryByte) {
    auto payload = testing_util::random_bytes(4096, 5);
    auto coded = zlib_of(payload);
    auto p = one(16, {run(BlockType::Raw, 2, 1, 0, 100), run(BlockType::Zlib, 6, 8, 100, coded.size())},
                 [&] {
                     auto f = testing_util::random_bytes(100, 6);
                     f.insert(f.end(), coded.begin(), coded.end());
                     return f;
                 }());
    auto expected = p.reader.decompress_partition_parallel(0);
    ASSERT_TRUE(expected);
    std::vector<uint8_t> out(8192, 0xCD);
    ASSERT_TRUE(p.reader.decompress_partition_into(0, out));
    EXPECT_EQ(out, *expected);
    std::vector<uint8_t> wrong(100);
    EXPECT_FALSE(p.reader.decompress_partition_into(0, wrong));
}

// Damaged images fail or decode, never crash, hang or exhaust memory.
TEST(Decode, DamagedImagesNeverCrash) {
    udif::DmgBuilder b;
    b.chunk_size = 4096;
    auto data = testing_util::random_bytes(6000, 11);
    data.resize(20000, 0);
    b.add_partition("disk image (Apple_HFS : 0)", data).add_partition("second", testing_util::random_bytes(700, 12));
    testing_util::ScratchDir dir;
    std::mt19937_64 rng(42);
    for (auto method : {udif::CompressionMethod::Zlib, udif::CompressionMethod::Lzfse, udif::CompressionMethod::Bzip2}) {
        b.compression = method;
        ASSERT_TRUE(b.build(dir / "seed.dmg"));
        auto seed = testing_util::read_bytes(dir / "seed.dmg");
        for (int i = 0; i < 700; ++i) {
            auto damaged = testing_util::damage(seed, rng);
            for (bool verify : {false, true}) {
                auto r = open_bytes(damaged, verify);
                if (!r) continue;
                for (const auto& e : r->partitions()) {
                    // Keep what a damaged map may declare within test-sized memory.
                    bool modest = e.block_map.sector_count < (1u << 17);
                    for (const auto& run : e.block_map.runs)
                        modest = modest && run.sector_number < (1u << 17) && run.sector_count < (1u << 17);
                    if (!modest) continue;
                    (void)r->decompress_partition_parallel(e.id);
                    core::VecSink sink;
                    (void)r->decompress_partition_to(e.id, sink);
                }
            }
        }
    }
}
