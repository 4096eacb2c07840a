#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/endian.hpp"
#include "core/io.hpp"
#include "core/tempfile.hpp"
#include "testing/testing.hpp"

using namespace core;
using testing_util::ScratchDir;

TEST(IoError, Texts) {
    EXPECT_EQ(IoError::unexpected_eof().message(), "failed to fill whole buffer");
    EXPECT_EQ(IoError::from_errno(ENOENT).message(), "No such file or directory (os error 2)");
    auto missing = File::open_read("/nonexistent/kiv");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().os_code(), ENOENT);
}

// The buffered file reader must hand out the same bytes as memory, whatever
// mix of small, large and seeking reads is used.
TEST(FileSource, AgreesWithMemoryUnderMixedReads) {
    ScratchDir dir;
    auto data = testing_util::random_bytes(100'000, 7);
    testing_util::write_bytes(dir / "f", data);
    auto file = FileSource::open((dir / "f").string());
    ASSERT_TRUE(file);
    MemorySource mem(data);
    std::mt19937_64 rng(1);
    for (int i = 0; i < 500; ++i) {
        if (rng() % 4 == 0) {
            uint64_t pos = rng() % (data.size() + 10);
            ASSERT_TRUE(file->seek(pos));
            ASSERT_TRUE(mem.seek(pos));
        }
        size_t len = rng() % 3 == 0 ? rng() % 20000 : rng() % 64;
        std::vector<uint8_t> a(len), b(len);
        auto ra = file->read_exact(a);
        auto rb = mem.read_exact(b);
        ASSERT_EQ(bool(ra), bool(rb));
        if (ra) {
            ASSERT_EQ(a, b);
        } else {
            EXPECT_TRUE(ra.error().is_unexpected_eof());
            ASSERT_TRUE(file->seek(0));
            ASSERT_TRUE(mem.seek(0));
        }
        ASSERT_EQ(file->position(), mem.position());
    }
}

TEST(ByteSource, ReadVecRefusesMoreThanTheSourceHolds) {
    MemorySource mem(std::vector<uint8_t>(10, 1));
    auto huge = mem.read_vec(uint64_t(1) << 60);
    ASSERT_FALSE(huge);
    EXPECT_TRUE(huge.error().is_unexpected_eof());
    ASSERT_TRUE(mem.seek(2));
    // Refused from what is left, before anything is read.
    EXPECT_TRUE(mem.read_vec(9).error().is_unexpected_eof());
    EXPECT_EQ(mem.position(), 2u);
    auto some = mem.read_vec(8);
    ASSERT_TRUE(some);
    EXPECT_EQ(some->size(), 8u);
    EXPECT_FALSE(mem.seek_from_end(-11));
    EXPECT_EQ(*mem.seek_from_end(-3), 7u);
}

TEST(BufferedFileWriter, WritesEverythingInOrder) {
    ScratchDir dir;
    auto data = testing_util::random_bytes(50'000, 3);
    {
        auto w = BufferedFileWriter::create((dir / "out").string());
        ASSERT_TRUE(w);
        size_t pos = 0;
        std::mt19937_64 rng(5);
        while (pos < data.size()) {
            size_t n = std::min<size_t>(data.size() - pos, rng() % 3 == 0 ? rng() % 20000 : rng() % 100);
            ASSERT_TRUE(w->write_all({data.data() + pos, n}));
            pos += n;
        }
        ASSERT_TRUE(w->write_zeros(3));
        ASSERT_TRUE(w->flush());
    }
    data.insert(data.end(), 3, 0);
    EXPECT_EQ(testing_util::read_bytes(dir / "out"), data);
}

// Skipped zeros are holes on files: the bytes read back as zeros, a hole at
// the end still sets the size, and a size no file system holds is an error.
TEST(BufferedFileWriter, SkippedZerosAreHoles) {
    ScratchDir dir;
    auto w = BufferedFileWriter::create((dir / "out").string());
    ASSERT_TRUE(w);
    ASSERT_TRUE(w->write_all(std::vector<uint8_t>{1, 2}));
    ASSERT_TRUE(w->skip_zeros(1 << 20));
    ASSERT_TRUE(w->write_all(std::vector<uint8_t>{3}));
    ASSERT_TRUE(w->skip_zeros(4096ull << 20));
    ASSERT_TRUE(w->flush());
    struct stat st;
    ASSERT_EQ(::fstat(w->file().fd(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), 2 + (1 << 20) + 1 + (4096ull << 20));
    EXPECT_LT(uint64_t(st.st_blocks) * 512, 1u << 20);
    auto back = File::open_read((dir / "out").string());
    ASSERT_TRUE(back);
    std::vector<uint8_t> head(4);
    ASSERT_TRUE(back->pread_some(head, (1 << 20) - 1));
    EXPECT_EQ(head, (std::vector<uint8_t>{0, 0, 0, 3}));
    auto huge = w->skip_zeros(uint64_t(1) << 62);
    ASSERT_FALSE(huge);
    EXPECT_EQ(huge.error().os_code(), EFBIG);
}

TEST(Endian, ReadersAndBounds) {
    const uint8_t b[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(load_be32(b), 0x01020304u);
    EXPECT_EQ(load_le32(b), 0x04030201u);
    EXPECT_EQ(load_be64(b), 0x0102030405060708ull);
    EXPECT_EQ(load_le64(b), 0x0807060504030201ull);
    SpanReader r(b);
    EXPECT_EQ(*r.be16(), 0x0102);
    EXPECT_EQ(*r.le32(), 0x06050403u);
    auto over = r.be32();
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error().message(), "failed to fill whole buffer");
    EXPECT_EQ(r.position(), 6u);
    uint8_t out[8];
    store_be64(out, 0x1122334455667788ull);
    EXPECT_EQ(load_be64(out), 0x1122334455667788ull);
    store_le64(out, 0x1122334455667788ull);
    EXPECT_EQ(load_le64(out), 0x1122334455667788ull);
}

TEST(TempFile, IsUnlinkedAndInTmpdir) {
    ScratchDir dir;
    setenv("TMPDIR", dir.path().c_str(), 1);
    auto f = anonymous_tempfile();
    unsetenv("TMPDIR");
    ASSERT_TRUE(f);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    const uint8_t text[] = "hello";
    ASSERT_TRUE(f->write_all(text));
    ASSERT_TRUE(f->seek(0));
    FileSource src(std::move(*f));
    std::vector<uint8_t> back(6);
    ASSERT_TRUE(src.read_exact(back));
    EXPECT_EQ(std::string(back.begin(), back.end() - 1), "hello");
}
