#include <fstream>
#include <optional>

#include <gtest/gtest.h>

#include "helpers.hpp"
#include "testing/testing.hpp"

using namespace std::string_literals;
namespace {

using namespace pbzx_test;
using pbzx::Archive;

// The payload decoded from memory; the file reader must give the same data or the same error.
pbzx::Result<std::vector<uint8_t>> decode(const std::vector<uint8_t>& stream) {
    testing_util::ScratchDir dir;
    testing_util::write_bytes(dir / "p.pbzx", stream);
    auto from_file = Archive::open((dir / "p.pbzx").string());
    core::MemorySource source(stream);
    auto archive = Archive::from_reader(source);
    EXPECT_EQ(error_of(from_file), error_of(archive));
    if (!archive) return std::unexpected(archive.error());
    EXPECT_TRUE(from_file && from_file->data() == archive->data());
    return archive->take_data().to_vector();
}

TEST(PbzxReaderTest, MalformedStreams) {
    const std::string eof = "I/O error: failed to fill whole buffer", corrupt = "Decompression error: Failed to decompress chunk at offset ";
    std::vector<std::pair<std::vector<uint8_t>, std::string>> rows = {
        {{}, eof},
        {bytes("nope"), eof},
        {bytes("pbzx\0\0\0\0\0\0\0"s), eof},
        {std::vector<uint8_t>(16, 0), "Invalid PBZX magic: expected 'pbzx', got [0, 0, 0, 0]"},
        {pbzx_stream({{0, 0, {}}, xz_chunk(bytes("never read"))}), "Invalid chunk at offset 12: zero-length chunk header followed by more data"},
    };
    // 8 to 15 bytes after the last chunk are a chunk header cut short (fewer are a normal end).
    for (size_t stray = 8; stray < 16; ++stray) {
        rows.emplace_back(pbzx_stream({xz_chunk(bytes("abc"))}), eof);
        rows.back().first.resize(rows.back().first.size() + stray, 0x01);
    }
    // Declared data beyond the end is never reserved up front.
    for (uint64_t declared : {uint64_t(100), uint64_t(1) << 40, uint64_t(1) << 50, UINT64_MAX})
        rows.emplace_back(pbzx_stream({{5, declared, bytes("short")}}), eof);
    auto end = pbzx_stream({xz_chunk(bytes("abc")), {0, 0, {}}});
    end.push_back(0);
    rows.emplace_back(end, "Invalid chunk at offset " + std::to_string(end.size() - 17) + ": zero-length chunk header followed by more data");
    auto ten = xz(bytes("0123456789"));
    for (uint64_t declared : {uint64_t(11), uint64_t(3), uint64_t(1) << 60})
        rows.emplace_back(pbzx_stream({{declared, ten.size(), ten}}), "Invalid chunk at offset 28: Decompressed size mismatch: expected " +
                                                                          std::to_string(declared) + ", got 10");
    auto bad = xz(bytes("some text that will be corrupted")), cut = xz(bytes("truncated stream"));
    bad[bad.size() / 2] ^= 0xFF;
    cut.erase(cut.end() - 5, cut.end());
    rows.emplace_back(pbzx_stream({{32, bad.size(), bad}}), corrupt + "28: compressed data is corrupt");
    rows.emplace_back(pbzx_stream({{16, cut.size(), cut}}), corrupt + "28: unexpected end of input");
    // Chunks 1 and 4 are corrupt: the first in stream order decides, however the pool ran them.
    std::vector<RawChunk> six;
    for (int i = 0; i < 6; ++i) six.push_back(xz_chunk(payload_like(3000 + i, i)));
    for (int i : {1, 4}) six[i].data[six[i].data.size() / 2] ^= 0x55;
    rows.emplace_back(pbzx_stream(six), corrupt + std::to_string(12 + 16 + six[0].compressed + 16) + ": compressed data is corrupt");
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(error_of(decode(rows[i].first)), rows[i].second) << "row " << i;
    EXPECT_EQ(error_of(Archive::open("/nonexistent/payload.pbzx")), "I/O error: No such file or directory (os error 2)");
}

TEST(PbzxReaderTest, ChunksDecodeInStreamOrder) {
    std::vector<RawChunk> chunks;
    std::vector<uint8_t> expected;
    for (int i = 0; i < 40; ++i) {
        auto plain = payload_like(1 + i * 997, i);
        if (i == 7) plain = xz(plain);  // equal sizes mean stored as is, even for data that looks like .xz
        expected.insert(expected.end(), plain.begin(), plain.end());
        chunks.push_back(i % 7 == 0 ? RawChunk{plain.size(), plain.size(), plain} : xz_chunk(plain));
    }
    EXPECT_EQ(decode(pbzx_stream({})), std::vector<uint8_t>{});
    // The stream ends at its end, at an end header, or with 1 to 7 stray bytes.  Flags are not interpreted.
    for (size_t stray = 0; stray < 9; ++stray) {
        auto stream = pbzx_stream(chunks, stray * 0x0100000000000001);
        stream.resize(stream.size() + (stray == 8 ? 16 : stray), stray == 8 ? 0 : 0xAB);
        EXPECT_EQ(decode(stream), expected) << stray;
    }
    // A chunk far more compressed than the first reservation guessed grows it; over-long output is
    // counted exactly for the message.
    std::vector<uint8_t> zeros(24u << 20, 0);
    auto packed = xz(zeros);
    ASSERT_LT(packed.size() * 16, zeros.size());
    zeros.insert(zeros.end(), {'t', 'a', 'i', 'l'});
    EXPECT_TRUE(decode(pbzx_stream({{24u << 20, packed.size(), packed}, xz_chunk(bytes("tail"))})) == zeros);
    EXPECT_EQ(error_of(decode(pbzx_stream({{1000, packed.size(), packed}}))),
              "Invalid chunk at offset 28: Decompressed size mismatch: expected 1000, got " + std::to_string(24u << 20));
}

// The peak resident memory of this process since the last reset, in bytes; nothing where the
// system does not tell or cannot reset it.
std::optional<uint64_t> peak_since(bool reset) {
    if (reset && !(std::ofstream("/proc/self/clear_refs") << "5" << std::flush)) return std::nullopt;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:")) return std::stoull(line.substr(6)) * 1024;
    return std::nullopt;
}

// Declared sizes take memory only as data decode into them: a 1 MiB stream of 20,000 bogus
// 32-byte chunks that each declare all their length could ever decode to (256 KiB).
TEST(PbzxReaderTest, DeclaredSizesTakeNoMemoryAheadOfData) {
    testing_util::ScratchDir dir;
    testing_util::write_bytes(dir / "p.pbzx", pbzx_stream(std::vector(20000, RawChunk{32 * 8192, 32, std::vector<uint8_t>(32, 0x5A)})));
    auto before = peak_since(true);
    if (!before) GTEST_SKIP() << "peak memory cannot be measured here";
    EXPECT_EQ(error_of(Archive::open((dir / "p.pbzx").string())),
              "Decompression error: Failed to decompress chunk at offset 28: file format not recognized");
    EXPECT_LT(*peak_since(false), *before + (64u << 20));
}

}  // namespace
