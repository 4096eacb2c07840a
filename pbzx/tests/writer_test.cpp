#include <gtest/gtest.h>

#include "helpers.hpp"
#include "testing/testing.hpp"

using namespace std::string_literals;
namespace {

using namespace pbzx_test;
using pbzx::PbzxWriter;

// A writer over memory, and the bytes it wrote.
struct MemoryWriter {
    explicit MemoryWriter(uint64_t chunk, uint32_t level = 6) : writer(std::make_unique<core::VecSink>(), chunk, level) {}
    std::vector<uint8_t>& bytes() { return static_cast<core::VecSink&>(writer.sink()).data(); }
    PbzxWriter writer;
};

TEST(PbzxWriterTest, ChunkingLevelsAndStoredSlices) {
    // A zero chunk size is refused; the writer stays usable and writes the header alone.
    MemoryWriter zero(0);
    EXPECT_EQ(error_of(zero.writer.write_cpio(bytes("data"))), "Compression error: chunk size must be greater than 0");
    ASSERT_TRUE(zero.writer.finish());
    EXPECT_EQ(zero.bytes(), bytes("pbzx\0\0\0\0\1\0\0\0"s));
    EXPECT_EQ(zero.writer.total_written(), 12u);

    // Each write is cut into chunks of its own, compressed with a CRC-64 check; levels above 9 are 9.
    MemoryWriter w(4, 12);
    for (auto part : {"0123456789", "abc", "def", ""}) ASSERT_TRUE(w.writer.write_cpio(bytes(part)));
    ASSERT_TRUE(w.writer.write_header() && w.writer.finish());  // the header is written once
    std::vector<RawChunk> expected;
    for (auto part : {"0123", "4567", "89", "abc", "def"}) expected.push_back(xz_chunk(bytes(part), 9));
    EXPECT_EQ(w.bytes(), pbzx_stream(expected));
    EXPECT_EQ(w.writer.total_written(), w.bytes().size());
    EXPECT_EQ(w.bytes()[12 + 16 + 7], 0x04);

    // Equal sizes mean a stored chunk to readers: a slice whose stream ties with it is stored as is.
    auto tie = testing_util::random_bytes(1000, 7);
    tie.resize(1092, 0);
    ASSERT_EQ(xz(tie, 6).size(), tie.size());
    MemoryWriter s(1 << 20);
    ASSERT_TRUE(s.writer.write_cpio(tie) && s.writer.write_cpio(bytes("tail")));
    EXPECT_EQ(s.bytes(), pbzx_stream({{1092, 1092, tie}, xz_chunk(bytes("tail"), 6)}));
    core::MemorySource source(s.bytes());
    tie.insert(tie.end(), {'t', 'a', 'i', 'l'});
    EXPECT_EQ(pbzx::Archive::from_reader(source)->data(), tie);
}

// Slices are compressed in parallel; the bytes are those of compressing them one after another,
// and xz reads the chunks as one complete stream after another.
TEST(PbzxWriterTest, FileWriterChunksAreXzStreams) {
    testing_util::ScratchDir dir;
    auto path = (dir / "out.pbzx").string();
    auto plain = payload_like(300000, 9);
    {
        auto w = PbzxWriter::create(path, 7000, 2);
        ASSERT_TRUE(w && w->write_cpio(plain) && w->finish());
    }
    std::vector<RawChunk> chunks;
    std::vector<uint8_t> joined;
    for (size_t at = 0; at < plain.size(); at += 7000) {
        chunks.push_back(xz_chunk({plain.begin() + at, plain.begin() + std::min(plain.size(), at + 7000)}, 2));
        joined.insert(joined.end(), chunks.back().data.begin(), chunks.back().data.end());
    }
    EXPECT_EQ(testing_util::read_bytes(path), pbzx_stream(chunks));

    // Unfinished and without data, a file stays empty.
    { ASSERT_TRUE(PbzxWriter::create((dir / "empty").string())); }
    EXPECT_TRUE(testing_util::read_bytes(dir / "empty").empty());
    EXPECT_EQ(error_of(PbzxWriter::create((dir / "missing" / "x.pbzx").string())), "No such file or directory (os error 2)");

    KIV_REQUIRE_TOOL("xz");
    testing_util::write_bytes(dir / "chunks.xz", joined);
    auto r = testing_util::run("xz -dc " + testing_util::shell_quote((dir / "chunks.xz").string()));
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(bytes(r.output), plain);
}

}  // namespace
