#include <random>

#include <gtest/gtest.h>

#include "helpers.hpp"
#include "testing/testing.hpp"

namespace {

using namespace pbzx_test;
using pbzx::Archive;
using pbzx::PbzxError;
using Kind = pbzx::PbzxError::Kind;

pbzx::Result<std::vector<uint8_t>> decode(std::vector<uint8_t> stream) {
    core::MemorySource source(std::move(stream));
    auto archive = Archive::from_reader(source);
    if (!archive) return std::unexpected(archive.error());
    return archive->take_data();
}

void expect_eof(const pbzx::Result<std::vector<uint8_t>>& r) {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), Kind::Io);
    EXPECT_EQ(r.error().message(), "I/O error: failed to fill whole buffer");
}

// Callers map errors by kind: the order is fixed.
TEST(PbzxErrorTest, KindOrderAndTextsWithoutAProducer) {
    EXPECT_EQ(int(Kind::InvalidCpio), 5);
    EXPECT_EQ(int(Kind::Unsupported), 9);
    EXPECT_EQ(PbzxError::unexpected_eof(7).message(), "Unexpected end of file at offset 7");
    EXPECT_EQ(PbzxError::unsupported("u").message(), "Unsupported: u");
}

TEST(PbzxHeaderTest, ShortStreamIsAnIoErrorBeforeTheMagicIsChecked) {
    expect_eof(decode({}));
    expect_eof(decode(bytes("nope")));
    expect_eof(decode(bytes("pbzx\0\0\0\0\0\0\0")));
}

TEST(PbzxHeaderTest, WrongMagicShowsTheBytes) {
    auto r = decode(std::vector<uint8_t>(16, 0));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Kind::InvalidMagic);
    EXPECT_EQ(r.error().message(), "Invalid PBZX magic: expected 'pbzx', got [0, 0, 0, 0]");
}

TEST(PbzxHeaderTest, FlagsAreKeptAndNotInterpreted) {
    for (uint64_t flags : {pbzx::kPbzxFlags, uint64_t(0x0100000000000000), uint64_t(0)}) {
        auto stream = pbzx_header(flags);
        append_xz_chunk(stream, bytes("hello"));
        core::MemorySource source(stream);
        auto reader = pbzx::PbzxReader::from_source(source);
        ASSERT_TRUE(reader);
        EXPECT_EQ(reader->flags(), flags);
        EXPECT_EQ(reader->offset(), 12u);
        auto data = reader->decompress_parallel();
        ASSERT_TRUE(data);
        EXPECT_EQ(text(*data), "hello");
    }
}

TEST(PbzxChunksTest, StreamEnds) {
    // No chunks, or 1 to 7 stray bytes after the last chunk: a normal end.
    for (size_t stray = 0; stray < 8; ++stray) {
        auto stream = pbzx_header();
        stream.resize(stream.size() + stray, 0xAB);
        auto r = decode(stream);
        ASSERT_TRUE(r) << stray;
        EXPECT_TRUE(r->empty());
    }
    // 8 to 15 bytes: a chunk header cut short.
    for (size_t stray = 8; stray < 16; ++stray) {
        auto stream = pbzx_header();
        append_xz_chunk(stream, bytes("abc"));
        stream.resize(stream.size() + stray, 0x01);
        expect_eof(decode(stream));
    }
}

TEST(PbzxChunksTest, EndHeader) {
    auto stream = pbzx_header();
    append_xz_chunk(stream, bytes("abc"));
    const uint64_t end_at = stream.size();
    append_chunk(stream, 0, 0, {});
    auto r = decode(stream);
    ASSERT_TRUE(r);
    EXPECT_EQ(text(*r), "abc");

    stream.push_back(0);
    r = decode(stream);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Kind::InvalidChunk);
    EXPECT_EQ(r.error().offset(), end_at);
    EXPECT_EQ(r.error().text(), "zero-length chunk header followed by more data");

    auto first = pbzx_header();
    append_chunk(first, 0, 0, {});
    append_xz_chunk(first, bytes("never read"));
    r = decode(first);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Invalid chunk at offset 12: zero-length chunk header followed by more data");
}

TEST(PbzxChunksTest, EqualSizesAreStoredAsIs) {
    auto compressed = xz(bytes("payload"));
    auto stream = pbzx_header();
    append_chunk(stream, compressed.size(), compressed.size(), compressed);
    append_chunk(stream, 4, 4, bytes("raw!"));
    auto r = decode(stream);
    ASSERT_TRUE(r);
    auto expected = compressed;
    expected.insert(expected.end(), {'r', 'a', 'w', '!'});
    EXPECT_EQ(*r, expected);
}

TEST(PbzxChunksTest, DeclaredDataBeyondTheEndIsAnIoErrorWithoutReservation) {
    for (uint64_t declared : {uint64_t(100), uint64_t(1) << 40, UINT64_MAX}) {
        auto stream = pbzx_header();
        append_chunk(stream, 5, declared, bytes("short"));
        expect_eof(decode(stream));
    }
}

TEST(PbzxChunksTest, DecodeErrorsNameTheChunkDataOffset) {
    auto bad = xz(bytes("some text that will be corrupted"));
    bad[bad.size() / 2] ^= 0xFF;
    auto stream = pbzx_header();
    append_chunk(stream, 32, bad.size(), bad);
    auto r = decode(stream);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Kind::Decompression);
    EXPECT_TRUE(r.error().text().starts_with("Failed to decompress chunk at offset 28: ")) << r.error().message();

    // A truncated .xz stream fails the same way.
    auto cut = xz(bytes("truncated stream"));
    cut.resize(cut.size() - 5);
    stream = pbzx_header();
    append_chunk(stream, 16, cut.size(), cut);
    r = decode(stream);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Kind::Decompression);
}

TEST(PbzxChunksTest, FirstFailingChunkInStreamOrderWins) {
    auto stream = pbzx_header();
    uint64_t second_offset = 0;
    for (int i = 0; i < 6; ++i) {
        auto plain = payload_like(3000 + i, i);
        auto data = xz(plain);
        if (i == 1 || i == 4) data[data.size() / 2] ^= 0x55;
        if (i == 1) second_offset = stream.size() + 16;
        append_chunk(stream, plain.size(), data.size(), data);
    }
    auto r = decode(stream);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().text().starts_with("Failed to decompress chunk at offset " + std::to_string(second_offset) + ":"))
        << r.error().message();
}

TEST(PbzxChunksTest, DecodedSizeMustMatchTheHeader) {
    auto data = xz(bytes("0123456789"));
    auto stream = pbzx_header();
    append_chunk(stream, 11, data.size(), data);
    auto r = decode(stream);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Invalid chunk at offset 28: Decompressed size mismatch: expected 11, got 10");

    stream = pbzx_header();
    append_chunk(stream, 3, data.size(), data);
    r = decode(stream);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Invalid chunk at offset 28: Decompressed size mismatch: expected 3, got 10");

    // A huge declared size is never reserved up front.
    stream = pbzx_header();
    append_chunk(stream, uint64_t(1) << 60, data.size(), data);
    r = decode(stream);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Kind::InvalidChunk);
    EXPECT_EQ(r.error().text(), "Decompressed size mismatch: expected 1152921504606846976, got 10");
}

TEST(PbzxChunksTest, HighlyCompressibleChunkGrowsPastTheInitialReservation) {
    std::vector<uint8_t> zeros(24u << 20, 0);
    auto data = xz(zeros);
    ASSERT_LT(data.size() * 16, zeros.size());
    auto stream = pbzx_header();
    append_chunk(stream, zeros.size(), data.size(), data);
    append_xz_chunk(stream, bytes("tail"));
    auto r = decode(stream);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->size(), zeros.size() + 4);
    EXPECT_EQ(text(std::vector<uint8_t>(r->end() - 4, r->end())), "tail");
    // Over-long output is counted exactly for the message.
    stream = pbzx_header();
    append_chunk(stream, 1000, data.size(), data);
    auto over = decode(stream);
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error().text(), "Decompressed size mismatch: expected 1000, got " + std::to_string(zeros.size()));
}

TEST(PbzxChunksTest, ManyChunksKeepTheirOrder) {
    std::vector<uint8_t> expected;
    auto stream = pbzx_header();
    for (int i = 0; i < 40; ++i) {
        auto plain = payload_like(1 + i * 997, i);
        expected.insert(expected.end(), plain.begin(), plain.end());
        if (i % 5 == 0) append_chunk(stream, plain.size(), plain.size(), plain);
        else append_xz_chunk(stream, plain);
    }
    auto r = decode(stream);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, expected);

    // The same through a file.
    testing_util::ScratchDir dir;
    testing_util::write_bytes(dir / "p.pbzx", stream);
    auto archive = Archive::open((dir / "p.pbzx").string());
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->data(), expected);
}

TEST(PbzxFileTest, FileSourceFailuresAreIoErrors) {
    auto missing = Archive::open("/nonexistent/payload.pbzx");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message(), "I/O error: No such file or directory (os error 2)");

    testing_util::ScratchDir dir;
    auto stream = pbzx_header();
    append_chunk(stream, 10, uint64_t(1) << 50, bytes("0123456789"));
    testing_util::write_bytes(dir / "big.pbzx", stream);
    auto r = Archive::open((dir / "big.pbzx").string());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "I/O error: failed to fill whole buffer");

    testing_util::write_bytes(dir / "short", bytes("pbz"));
    r = Archive::open((dir / "short").string());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "I/O error: failed to fill whole buffer");
}

TEST(PbzxRealDataTest, PkgbuildPayload) {
    auto path = KIV_REQUIRE_FIXTURE("real/libarchive/PR2857_pkgbuild_latest_Payload.pbzx");
    auto reader = pbzx::PbzxReader::open(path.string());
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->flags(), 0x0000000001000000u);
    auto chunks = reader->read_chunks();
    ASSERT_TRUE(chunks);
    ASSERT_EQ(chunks->size(), 1u);
    EXPECT_EQ((*chunks)[0].uncompressed_size, 1024u);
    EXPECT_EQ((*chunks)[0].compressed_size, 264u);
    EXPECT_EQ((*chunks)[0].offset, 28u);

    auto archive = Archive::open(path.string());
    ASSERT_TRUE(archive) << archive.error().message();
    EXPECT_EQ(archive->size(), 1024u);
    EXPECT_EQ(std::string(archive->data().begin(), archive->data().begin() + 6), "070707");
    auto entries = archive->list();
    ASSERT_TRUE(entries) << entries.error().message();
    EXPECT_EQ(entries->size(), 5u);

    if (testing_util::have_tool("cpio")) {
        testing_util::ScratchDir dir;
        testing_util::write_bytes(dir / "payload.cpio", archive->data());
        auto listed = testing_util::run("cpio -it --quiet < " + testing_util::shell_quote((dir / "payload.cpio").string()));
        std::string ours;
        for (const auto& e : *entries) ours += e.path + "\n";
        EXPECT_EQ(listed.output, ours);
    }
}

TEST(PbzxDamageTest, DamagedStreamsFailCleanly) {
    auto stream = pbzx_header();
    for (int i = 0; i < 4; ++i) append_xz_chunk(stream, payload_like(700 + 300 * i, i));
    append_chunk(stream, 6, 6, bytes("stored"));
    std::mt19937_64 rng(5);
    int failures = 0;
    for (int round = 0; round < 3000; ++round) {
        auto damaged = testing_util::damage(stream, rng);
        auto r = decode(damaged);
        if (!r) {
            ++failures;
            EXPECT_FALSE(r.error().message().empty());
        }
    }
    EXPECT_GT(failures, 1000);
}

}  // namespace
