#include <gtest/gtest.h>

#include "helpers.hpp"
#include "testing/testing.hpp"

using namespace std::string_literals;
namespace {

using namespace pbzx_test;
using pbzx::PbzxWriter;

// Splits a written stream into its chunks (the stream must be well formed).
std::vector<RawChunk> chunks_of(const std::vector<uint8_t>& stream) {
    std::vector<RawChunk> out;
    core::SpanReader r(stream);
    (void)r.skip(12);
    while (r.remaining() >= 16) {
        uint64_t u = *r.be64(), c = *r.be64();
        auto data = *r.bytes(c);
        out.push_back({u, c, {data.begin(), data.end()}});
    }
    EXPECT_EQ(r.remaining(), 0u);
    return out;
}

// A writer over memory, and the bytes it wrote.
struct MemoryWriter {
    explicit MemoryWriter(uint64_t chunk, uint32_t level = 6)
        : writer(std::make_unique<core::VecSink>(), chunk, level) {}
    std::vector<uint8_t>& bytes() { return static_cast<core::VecSink&>(writer.sink()).data(); }
    PbzxWriter writer;
};

TEST(PbzxWriterTest, HeaderChunkingAndTotals) {
    // A zero chunk size is refused; the writer stays usable and writes the header alone.
    MemoryWriter zero(0);
    EXPECT_EQ(error_of(zero.writer.write_cpio(bytes("data"))), "Compression error: chunk size must be greater than 0");
    EXPECT_EQ(zero.writer.total_written(), 0u);
    ASSERT_TRUE(zero.writer.finish());
    EXPECT_EQ(zero.bytes(), pbzx_stream({}));
    EXPECT_EQ(zero.writer.total_written(), 12u);

    MemoryWriter w(4);
    for (auto part : {"0123456789", "abc", "def", ""}) ASSERT_TRUE(w.writer.write_cpio(bytes(part)));
    ASSERT_TRUE(w.writer.write_header());  // already written: nothing more
    ASSERT_TRUE(w.writer.finish());
    const auto& out = w.bytes();
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 12), bytes("pbzx\0\0\0\0\1\0\0\0"s));
    EXPECT_EQ(w.writer.total_written(), out.size());
    std::vector<uint64_t> sizes;
    for (auto& c : chunks_of(out)) {
        sizes.push_back(c.uncompressed);
        EXPECT_EQ(std::string(c.data.begin(), c.data.begin() + 6), "\xFD" "7zXZ\0"s);
        EXPECT_EQ(c.data[7], 0x04);  // CRC-64 check
    }
    EXPECT_EQ(sizes, (std::vector<uint64_t>{4, 4, 2, 3, 3}));
    core::MemorySource source(out);
    EXPECT_EQ(text(pbzx::Archive::from_reader(source)->data()), "0123456789abcdef");
}

// Slices are compressed in parallel; the bytes are those of compressing them one after another.
TEST(PbzxWriterTest, FileWriterChunksAreXzStreams) {
    testing_util::ScratchDir dir;
    auto path = (dir / "out.pbzx").string();
    auto plain = payload_like(300000, 9);
    {
        auto w = PbzxWriter::create(path, 7000, 2);
        ASSERT_TRUE(w && w->write_cpio(plain) && w->finish());
    }
    auto archive = pbzx::Archive::open(path);
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->data(), plain);
    auto chunks = chunks_of(testing_util::read_bytes(path));
    ASSERT_EQ(chunks.size(), (plain.size() + 6999) / 7000);
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < chunks.size(); ++i) {
        std::vector<uint8_t> slice(plain.begin() + i * 7000, plain.begin() + std::min(plain.size(), (i + 1) * 7000));
        EXPECT_EQ(chunks[i].uncompressed, slice.size());
        EXPECT_EQ(chunks[i].data, xz(slice, 2)) << i;
        joined.insert(joined.end(), chunks[i].data.begin(), chunks[i].data.end());
    }

    // Unfinished and without data, a file stays empty.
    { auto w = PbzxWriter::create((dir / "empty").string()); ASSERT_TRUE(w); }
    EXPECT_TRUE(testing_util::read_bytes(dir / "empty").empty());
    auto bad = PbzxWriter::create((dir / "missing" / "x.pbzx").string());
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message(), "No such file or directory (os error 2)");

    // xz reads the chunks, one complete stream after another.
    KIV_REQUIRE_TOOL("xz");
    testing_util::write_bytes(dir / "chunks.xz", joined);
    auto r = testing_util::run("xz -dc " + testing_util::shell_quote((dir / "chunks.xz").string()));
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(bytes(r.output), plain);
}

// Equal sizes mean a stored chunk to readers: a slice whose stream ties with it is stored as is.
TEST(PbzxWriterTest, SliceAsLongAsItsStreamIsStored) {
    auto plain = testing_util::random_bytes(1000, 7);
    plain.resize(1092, 0);
    ASSERT_EQ(xz(plain, 6).size(), plain.size());
    MemoryWriter w(1 << 20);
    ASSERT_TRUE(w.writer.write_cpio(plain) && w.writer.write_cpio(bytes("tail")));
    auto chunks = chunks_of(w.bytes());
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(std::pair(chunks[0].uncompressed, chunks[0].compressed), std::pair(uint64_t(1092), uint64_t(1092)));
    EXPECT_EQ(chunks[0].data, plain);
    core::MemorySource source(w.bytes());
    plain.insert(plain.end(), {'t', 'a', 'i', 'l'});
    EXPECT_EQ(pbzx::Archive::from_reader(source)->data(), plain);
}

TEST(PbzxWriterTest, LevelIsClampedToNine) {
    MemoryWriter high(1 << 20, 12);
    auto plain = payload_like(5000, 3);
    ASSERT_TRUE(high.writer.write_cpio(plain));
    EXPECT_EQ(chunks_of(high.bytes())[0].data, xz(plain, 9));
}

}  // namespace
