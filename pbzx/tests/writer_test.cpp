#include <gtest/gtest.h>

#include "helpers.hpp"
#include "testing/testing.hpp"

using namespace std::string_literals;
namespace {

using namespace pbzx_test;
using pbzx::CpioBuilder;
using pbzx::PbzxWriter;

struct ParsedChunk {
    uint64_t uncompressed;
    std::vector<uint8_t> data;
};

// Splits a written stream into its chunks (the stream must be well formed).
std::vector<ParsedChunk> chunks_of(const std::vector<uint8_t>& stream) {
    std::vector<ParsedChunk> out;
    core::SpanReader r(stream);
    (void)r.skip(12);
    while (r.remaining() >= 16) {
        uint64_t u = *r.be64(), c = *r.be64();
        auto data = *r.bytes(c);
        out.push_back({u, {data.begin(), data.end()}});
    }
    EXPECT_EQ(r.remaining(), 0u);
    return out;
}

// A writer over memory, and the bytes it wrote.
struct MemoryWriter {
    explicit MemoryWriter(uint64_t chunk = pbzx::kDefaultChunkSize, uint32_t level = 6)
        : writer(std::make_unique<core::VecSink>(), chunk, level) {}
    std::vector<uint8_t>& bytes() { return static_cast<core::VecSink&>(writer.sink()).data(); }
    PbzxWriter writer;
};

TEST(PbzxWriterTest, TenBytesWithDefaults) {
    MemoryWriter w;
    ASSERT_TRUE(w.writer.write_cpio(bytes("0123456789")));
    ASSERT_TRUE(w.writer.finish());
    auto& out = w.bytes();
    const uint8_t header[] = {'p', 'b', 'z', 'x', 0, 0, 0, 0, 1, 0, 0, 0};
    ASSERT_GE(out.size(), 28u);
    EXPECT_TRUE(std::equal(std::begin(header), std::end(header), out.begin()));
    auto chunks = chunks_of(out);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].uncompressed, 10u);
    EXPECT_EQ(std::string(chunks[0].data.begin(), chunks[0].data.begin() + 6), "\xFD" "7zXZ\0"s);
    EXPECT_EQ(w.writer.total_written(), out.size());
    // CRC-64 check: the stream flags' second byte is 0x04.
    EXPECT_EQ(chunks[0].data[7], 0x04);
}

TEST(PbzxWriterTest, ChunkingFollowsEachCall) {
    MemoryWriter w(4);
    ASSERT_TRUE(w.writer.write_cpio(bytes("0123456789")));
    ASSERT_TRUE(w.writer.write_cpio(bytes("abc")));
    ASSERT_TRUE(w.writer.write_cpio(bytes("def")));
    ASSERT_TRUE(w.writer.write_cpio({}));
    std::vector<uint64_t> sizes;
    for (auto& c : chunks_of(w.bytes())) sizes.push_back(c.uncompressed);
    EXPECT_EQ(sizes, (std::vector<uint64_t>{4, 4, 2, 3, 3}));

    core::MemorySource source(w.bytes());
    auto archive = pbzx::Archive::from_reader(source);
    ASSERT_TRUE(archive);
    EXPECT_EQ(text(archive->data()), "0123456789abcdef");
}

TEST(PbzxWriterTest, HeaderAndTotals) {
    MemoryWriter empty(1);
    EXPECT_EQ(empty.writer.total_written(), 0u);
    ASSERT_TRUE(empty.writer.finish());
    EXPECT_EQ(empty.bytes(), pbzx_header());
    EXPECT_EQ(empty.writer.total_written(), 12u);

    MemoryWriter header_only(99);
    ASSERT_TRUE(header_only.writer.write_cpio({}));
    EXPECT_EQ(header_only.writer.total_written(), 12u);
    ASSERT_TRUE(header_only.writer.write_header());
    EXPECT_EQ(header_only.bytes(), pbzx_header());
}

TEST(PbzxWriterTest, LevelIsClampedToNine) {
    MemoryWriter w(1 << 20, 12);
    EXPECT_EQ(w.writer.level(), 9u);
    auto plain = payload_like(5000, 3);
    ASSERT_TRUE(w.writer.write_cpio(plain));
    EXPECT_EQ(chunks_of(w.bytes())[0].data, xz(plain, 9));
}

TEST(PbzxWriterTest, ZeroChunkSizeIsRefusedAndTheWriterStaysUsable) {
    MemoryWriter w(0);
    auto r = w.writer.write_cpio(bytes("data"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), pbzx::PbzxError::Kind::Compression);
    EXPECT_TRUE(w.bytes().empty());
    ASSERT_TRUE(w.writer.finish());
    EXPECT_EQ(w.bytes(), pbzx_header());
}

TEST(PbzxWriterTest, ParallelOutputEqualsOneChunkAtATime) {
    auto plain = payload_like(300000, 9);
    MemoryWriter w(7000, 2);
    ASSERT_TRUE(w.writer.write_cpio(plain));
    auto chunks = chunks_of(w.bytes());
    ASSERT_EQ(chunks.size(), (plain.size() + 6999) / 7000);
    for (size_t i = 0; i < chunks.size(); ++i) {
        std::vector<uint8_t> slice(plain.begin() + i * 7000, plain.begin() + std::min(plain.size(), (i + 1) * 7000));
        EXPECT_EQ(chunks[i].uncompressed, slice.size());
        EXPECT_EQ(chunks[i].data, xz(slice, 2)) << i;
    }
    core::MemorySource source(w.bytes());
    auto archive = pbzx::Archive::from_reader(source);
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->data(), plain);
}

TEST(PbzxWriterTest, FileWriterAndEveryChunkDecodesWithXz) {
    KIV_REQUIRE_TOOL("xz");
    testing_util::ScratchDir dir;
    auto path = (dir / "out.pbzx").string();
    auto plain = payload_like(200000, 4);
    {
        auto w = PbzxWriter::create(path, 65536, 6);
        ASSERT_TRUE(w);
        ASSERT_TRUE(w->write_cpio(plain));
        ASSERT_TRUE(w->finish());
    }
    auto stream = testing_util::read_bytes(path);
    auto chunks = chunks_of(stream);
    ASSERT_EQ(chunks.size(), 4u);
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < chunks.size(); ++i) {
        auto file = dir / ("c" + std::to_string(i) + ".xz");
        testing_util::write_bytes(file, chunks[i].data);
        auto r = testing_util::run("xz -dc " + testing_util::shell_quote(file.string()));
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.output.size(), chunks[i].uncompressed);
        joined.insert(joined.end(), r.output.begin(), r.output.end());
    }
    EXPECT_EQ(joined, plain);
    auto archive = pbzx::Archive::open(path);
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->data(), plain);

    auto bad = PbzxWriter::create((dir / "missing" / "x.pbzx").string());
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message(), "No such file or directory (os error 2)");
}

TEST(PbzxWriterTest, UnfinishedWriterWithoutDataLeavesAnEmptyFile) {
    testing_util::ScratchDir dir;
    auto path = (dir / "empty.pbzx").string();
    { auto w = PbzxWriter::create(path); ASSERT_TRUE(w); }
    EXPECT_TRUE(testing_util::read_bytes(path).empty());
}

// ---- CpioBuilder ----------------------------------------------------------

TEST(CpioBuilderTest, EmptyArchiveIsOneTrailer) {
    CpioBuilder b;
    auto out = b.finish();
    ASSERT_EQ(out.size(), 124u);
    std::string expected = "070701"
                           "00000001" "00000000" "00000000" "00000000" "00000001" "00000000" "00000000"
                           "00000000" "00000000" "00000000" "00000000" "0000000B" "00000000"
                           "TRAILER!!!";
    expected += std::string(4, '\0');
    EXPECT_EQ(text(out), expected);
}

TEST(CpioBuilderTest, MemberLayout) {
    CpioBuilder b;
    ASSERT_TRUE(b.add_file("a", bytes("hello"), 0644));
    std::string s = text(b.data());
    ASSERT_EQ(s.size(), 120u);
    EXPECT_EQ(s.substr(14, 8), "000081A4");
    EXPECT_EQ(s.substr(54, 8), "00000005");
    EXPECT_EQ(s.substr(94, 8), "00000002");
    EXPECT_EQ(s.substr(110, 10), "a\0hello\0\0\0"s);

    ASSERT_TRUE(b.add_directory("./usr/bin", 0170755));
    s = text(b.data());
    EXPECT_EQ(s.size(), 240u);  // 110 + 10 padded to 120
    EXPECT_EQ(s.substr(120 + 6, 8), "00000002");
    EXPECT_EQ(s.substr(120 + 14, 8), "000041ED");

    ASSERT_TRUE(b.add_symlink("l", "target", 0777));
    auto out = b.finish();
    EXPECT_EQ(text(out).substr(240 + 14, 8), "0000A1FF");
    // The trailer takes the next inode number.
    EXPECT_EQ(text(out).substr(360 + 6, 8), "00000004");
}

TEST(CpioBuilderTest, ReadsBackWithTheReader) {
    CpioBuilder b;
    ASSERT_TRUE(b.add_directory("./usr", 0755));
    ASSERT_TRUE(b.add_file("./usr/tool", bytes("#!/bin/sh\n"), 0100755));
    ASSERT_TRUE(b.add_symlink("./usr/link", "tool", 0777));
    ASSERT_TRUE(b.add_file("plain name", {}, 0600));
    auto archive = pbzx::Archive::from_cpio(b.finish());
    auto entries = archive.list();
    ASSERT_TRUE(entries);
    std::vector<pbzx::FileEntry> expected = {
        {"./usr", 0, 0, 040755, 0, 0, true, false, std::nullopt},
        {"./usr/tool", 10, 0, 0100755, 0, 0, false, false, std::nullopt},
        {"./usr/link", 4, 0, 0120777, 0, 0, false, true, "tool"},
        {"plain name", 0, 0, 0100600, 0, 0, false, false, std::nullopt},
    };
    EXPECT_EQ(*entries, expected);
    EXPECT_EQ(text(*archive.extract_file("./usr/tool")), "#!/bin/sh\n");
}

}  // namespace
