#include <fstream>
#include <optional>
#include <random>

#include <gtest/gtest.h>

#include "helpers.hpp"
#include "testing/testing.hpp"

using namespace std::string_literals;
namespace {

using namespace pbzx_test;
using pbzx::Archive;

pbzx::Result<std::vector<uint8_t>> decode(std::vector<uint8_t> stream) {
    core::MemorySource source(std::move(stream));
    auto archive = Archive::from_reader(source);
    if (!archive) return std::unexpected(archive.error());
    return archive->take_data().to_vector();
}

TEST(PbzxReaderTest, MalformedStreams) {
    const std::string eof = "I/O error: failed to fill whole buffer";
    std::vector<std::tuple<std::string, std::vector<uint8_t>, std::string>> rows = {
        {"empty", {}, eof},
        {"short magic", bytes("nope"), eof},
        {"short flags", bytes("pbzx\0\0\0\0\0\0\0"s), eof},
        {"wrong magic", std::vector<uint8_t>(16, 0), "Invalid PBZX magic: expected 'pbzx', got [0, 0, 0, 0]"},
        {"end header first", pbzx_stream({{0, 0, {}}, xz_chunk(bytes("never read"))}),
         "Invalid chunk at offset 12: zero-length chunk header followed by more data"},
    };
    // 8 to 15 bytes after the last chunk are a chunk header cut short (fewer are a normal end).
    for (size_t stray = 8; stray < 16; ++stray) {
        auto s = pbzx_stream({xz_chunk(bytes("abc"))});
        s.resize(s.size() + stray, 0x01);
        rows.emplace_back("stray " + std::to_string(stray), s, eof);
    }
    // Declared data beyond the end is never reserved up front.
    for (uint64_t declared : {uint64_t(100), uint64_t(1) << 40, uint64_t(1) << 50, UINT64_MAX})
        rows.emplace_back("declared " + std::to_string(declared), pbzx_stream({{5, declared, bytes("short")}}), eof);
    auto end = pbzx_stream({xz_chunk(bytes("abc")), {0, 0, {}}});
    end.push_back(0);
    rows.emplace_back("data after end header", end, "Invalid chunk at offset " + std::to_string(end.size() - 17) +
                                                          ": zero-length chunk header followed by more data");

    auto ten = xz(bytes("0123456789"));
    for (uint64_t declared : {uint64_t(11), uint64_t(3), uint64_t(1) << 60})
        rows.emplace_back("declared size " + std::to_string(declared), pbzx_stream({{declared, ten.size(), ten}}),
                          "Invalid chunk at offset 28: Decompressed size mismatch: expected " +
                              std::to_string(declared) + ", got 10");
    auto bad = xz(bytes("some text that will be corrupted"));
    bad[bad.size() / 2] ^= 0xFF;
    rows.emplace_back("corrupt xz", pbzx_stream({{32, bad.size(), bad}}),
                      "Decompression error: Failed to decompress chunk at offset 28: compressed data is corrupt");
    auto cut = xz(bytes("truncated stream"));
    cut.resize(cut.size() - 5);
    rows.emplace_back("truncated xz", pbzx_stream({{16, cut.size(), cut}}),
                      "Decompression error: Failed to decompress chunk at offset 28: unexpected end of input");

    // Chunks 1 and 4 are corrupt: the first in stream order decides, however the pool ran them.
    std::vector<RawChunk> six;
    for (int i = 0; i < 6; ++i) six.push_back(xz_chunk(payload_like(3000 + i, i)));
    for (int i : {1, 4}) six[i].data[six[i].data.size() / 2] ^= 0x55;
    rows.emplace_back("first failing chunk", pbzx_stream(six),
                      "Decompression error: Failed to decompress chunk at offset " +
                          std::to_string(12 + 16 + six[0].compressed + 16) + ": compressed data is corrupt");

    testing_util::ScratchDir dir;
    for (const auto& [name, stream, expected] : rows) {
        SCOPED_TRACE(name);
        EXPECT_EQ(error_of(decode(stream)), expected);
        // The same through a file source.
        testing_util::write_bytes(dir / "p.pbzx", stream);
        EXPECT_EQ(error_of(Archive::open((dir / "p.pbzx").string())), expected);
    }
    EXPECT_EQ(error_of(Archive::open("/nonexistent/payload.pbzx")), "I/O error: No such file or directory (os error 2)");
}

TEST(PbzxReaderTest, ChunksDecodeInStreamOrder) {
    std::vector<RawChunk> chunks;
    std::vector<uint8_t> expected;
    for (int i = 0; i < 40; ++i) {
        auto plain = payload_like(1 + i * 997, i);
        // Equal sizes mean stored as is, even for data that looks like .xz.
        if (i == 7) plain = xz(plain);
        expected.insert(expected.end(), plain.begin(), plain.end());
        chunks.push_back(i % 7 == 0 ? RawChunk{plain.size(), plain.size(), plain} : xz_chunk(plain));
    }
    EXPECT_EQ(decode(pbzx_stream({})), std::vector<uint8_t>{});
    // The stream ends at its end, at an end header, or with 1 to 7 stray bytes.  Flags are not interpreted.
    // From a file, the data are read by the tasks that decode them.
    testing_util::ScratchDir dir;
    for (size_t stray = 0; stray < 9; ++stray) {
        SCOPED_TRACE(stray);
        auto stream = pbzx_stream(chunks, stray * 0x0100000000000001);
        stream.resize(stream.size() + (stray == 8 ? 16 : stray), stray == 8 ? 0 : 0xAB);
        EXPECT_EQ(decode(stream), expected);
        testing_util::write_bytes(dir / "p.pbzx", stream);
        EXPECT_EQ(Archive::open((dir / "p.pbzx").string())->data(), expected);
    }
}

TEST(PbzxReaderTest, HighlyCompressibleChunkGrowsPastTheInitialReservation) {
    std::vector<uint8_t> zeros(24u << 20, 0);
    auto data = xz(zeros);
    ASSERT_LT(data.size() * 16, zeros.size());
    auto r = decode(pbzx_stream({{zeros.size(), data.size(), data}, xz_chunk(bytes("tail"))}));
    ASSERT_TRUE(r);
    ASSERT_EQ(r->size(), zeros.size() + 4);
    EXPECT_EQ(text(std::vector<uint8_t>(r->end() - 4, r->end())), "tail");
    // Over-long output is counted exactly for the message.
    EXPECT_EQ(error_of(decode(pbzx_stream({{1000, data.size(), data}}))),
              "Invalid chunk at offset 28: Decompressed size mismatch: expected 1000, got " + std::to_string(zeros.size()));
}

// The peak resident memory of this process since the last reset, in bytes; nothing where the
// system does not tell or cannot reset it.
std::optional<uint64_t> peak_since(bool reset) {
    if (reset) {
        std::ofstream clear("/proc/self/clear_refs");
        if (!(clear << "5" << std::flush)) return std::nullopt;
    }
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:")) return std::stoull(line.substr(6)) * 1024;
    return std::nullopt;
}

// Declared sizes take memory only as data decode into them: a 1 MiB stream of 20,000 bogus
// 32-byte chunks that each declare all their length could ever decode to (256 KiB).
TEST(PbzxReaderTest, DeclaredSizesTakeNoMemoryAheadOfData) {
    std::vector<RawChunk> chunks(20000, RawChunk{32 * 8192, 32, std::vector<uint8_t>(32, 0x5A)});
    testing_util::ScratchDir dir;
    testing_util::write_bytes(dir / "p.pbzx", pbzx_stream(chunks));
    auto before = peak_since(true);
    if (!before) GTEST_SKIP() << "peak memory cannot be measured here";
    EXPECT_EQ(error_of(Archive::open((dir / "p.pbzx").string())),
              "Decompression error: Failed to decompress chunk at offset 28: file format not recognized");
    EXPECT_LT(*peak_since(false), *before + (64u << 20));
}

TEST(PbzxReaderTest, PkgbuildPayload) {
    auto path = KIV_REQUIRE_FIXTURE("real/libarchive/PR2857_pkgbuild_latest_Payload.pbzx");
    auto reader = pbzx::PbzxReader::open(path.string());
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->flags(), 0x0000000001000000u);
    auto chunks = reader->read_chunks();
    ASSERT_TRUE(chunks && chunks->size() == 1u);
    const auto& c = (*chunks)[0];
    EXPECT_EQ(std::tie(c.uncompressed_size, c.compressed_size, c.offset), std::make_tuple(1024u, 264u, 28u));

    auto archive = Archive::open(path.string());
    ASSERT_TRUE(archive) << archive.error().message();
    auto entries = archive->list();
    ASSERT_TRUE(entries) << entries.error().message();
    EXPECT_EQ(entries->size(), 5u);

    KIV_REQUIRE_TOOL("cpio");
    testing_util::ScratchDir dir;
    testing_util::write_bytes(dir / "payload.cpio", archive->data().to_vector());
    auto listed = testing_util::run("cpio -it --quiet < " + testing_util::shell_quote((dir / "payload.cpio").string()));
    std::string ours;
    for (const auto& e : *entries) ours += e.path + "\n";
    EXPECT_EQ(listed.output, ours);
}

TEST(PbzxReaderTest, DamagedStreamsFailCleanly) {
    std::vector<RawChunk> chunks;
    for (int i = 0; i < 4; ++i) chunks.push_back(xz_chunk(payload_like(700 + 300 * i, i)));
    chunks.push_back({6, 6, bytes("stored")});
    auto stream = pbzx_stream(chunks);
    std::mt19937_64 rng(5);
    int failures = 0;
    for (int round = 0; round < 3000; ++round) {
        auto r = decode(testing_util::damage(stream, rng));
        failures += !r;
        EXPECT_TRUE(r || !r.error().message().empty());
    }
    EXPECT_GT(failures, 1000);
}

}  // namespace
