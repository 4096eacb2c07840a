#include <cerrno>
#include <random>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "core/endian.hpp"
#include "core/io.hpp"
#include "testing/testing.hpp"

using namespace core;

// The buffered file reader hands out the same bytes as memory, whatever mix
// of small, large and seeking reads is used.
TEST(FileSource, AgreesWithMemoryUnderMixedReads) {
    testing_util::ScratchDir dir;
    auto data = testing_util::random_bytes(100'000, 7);
    testing_util::write_bytes(dir / "f", data);
    auto file = FileSource::open((dir / "f").string());
    ASSERT_TRUE(file);
    MemorySource mem(data);
    std::mt19937_64 rng(1);
    for (int i = 0; i < 500; ++i) {
        uint64_t pos = rng() % (data.size() + 10);
        if (rng() % 4 == 0) {
            ASSERT_TRUE(file->seek(pos) && mem.seek(pos));
        }
        std::vector<uint8_t> a(rng() % 3 == 0 ? rng() % 20000 : rng() % 64), b(a.size());
        auto ra = file->read_exact(a);
        ASSERT_EQ(bool(ra), bool(mem.read_exact(b)));
        if (ra) {
            ASSERT_EQ(a, b);
        } else {
            ASSERT_TRUE(ra.error().is_unexpected_eof() && file->seek(0) && mem.seek(0));
        }
        ASSERT_EQ(file->position(), mem.position());
    }
}

// Sizes beyond the data are refused before anything is read or allocated.
TEST(ByteSource, ReadsBeyondTheDataAreRefused) {
    auto eof = [](const auto& r) { return !r && r.error().message() == "failed to fill whole buffer"; };
    MemorySource mem(std::vector<uint8_t>(10, 1));
    EXPECT_TRUE(eof(mem.read_vec(uint64_t(1) << 60)));
    ASSERT_TRUE(mem.seek(2));
    EXPECT_TRUE(eof(mem.read_vec(9)));
    const uint8_t b[] = {1, 2, 3, 4, 5, 6};
    SpanReader r(b);
    EXPECT_TRUE(r.be32() && eof(r.be32()) && r.position() == 4);
}

// Writes of every size arrive in order. Skipped zeros are holes: they read
// back as zeros, a hole at the end still sets the size, and a size no file
// system holds is an error.
TEST(BufferedFileWriter, WritesInOrderAndSkipsZerosAsHoles) {
    testing_util::ScratchDir dir;
    auto data = testing_util::random_bytes(50'000, 3);
    auto w = BufferedFileWriter::create((dir / "out").string());
    ASSERT_TRUE(w);
    std::mt19937_64 rng(5);
    for (size_t pos = 0, n; pos < data.size(); pos += n) {
        n = std::min<size_t>(data.size() - pos, rng() % 3 == 0 ? rng() % 20000 : rng() % 100);
        ASSERT_TRUE(w->write_all({data.data() + pos, n}));
    }
    ASSERT_TRUE(w->write_zeros(3) && w->skip_zeros(1 << 20) && w->write_all(std::vector<uint8_t>{7}));
    ASSERT_TRUE(w->skip_zeros(4096ull << 20) && w->flush());
    data.resize(data.size() + 3 + (1 << 20), 0);
    data.push_back(7);
    struct stat st;
    ASSERT_EQ(::fstat(w->file().fd(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), data.size() + (4096ull << 20));
    EXPECT_LT(uint64_t(st.st_blocks) * 512, 1u << 20);
    std::vector<uint8_t> back(data.size());
    auto file = File::open_read((dir / "out").string());
    ASSERT_TRUE(file && file->pread_some(back, 0).value_or(0) == back.size());
    EXPECT_EQ(back, data);
    auto huge = w->skip_zeros(uint64_t(1) << 62);
    EXPECT_TRUE(!huge && huge.error().os_code() == EFBIG);
}
