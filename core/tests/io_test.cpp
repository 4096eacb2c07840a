#include <cerrno>
#include <climits>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "core/endian.hpp"
#include "core/io.hpp"
#include "core/tempfile.hpp"
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

// Sizes beyond the data are refused before anything is read or allocated, from
// memory and from a file alike, also where the position is already past the end.
TEST(ByteSource, ReadsBeyondTheDataAreRefused) {
    auto eof = [](const auto& r) { return !r && r.error().message() == "failed to fill whole buffer"; };
    testing_util::ScratchDir dir;
    const std::vector<uint8_t> ten(10, 1);
    testing_util::write_bytes(dir / "f", ten);
    MemorySource mem(ten);
    auto file = FileSource::open((dir / "f").string());
    ASSERT_TRUE(file);
    for (ByteSource* src : {static_cast<ByteSource*>(&mem), static_cast<ByteSource*>(&*file)}) {
        SCOPED_TRACE(src == &mem ? "memory" : "file");
        EXPECT_TRUE(eof(src->read_vec(uint64_t(1) << 60)));
        ASSERT_TRUE(src->seek(2));
        EXPECT_TRUE(eof(src->read_vec(9)));
        EXPECT_EQ(src->read_vec(8).value_or(std::vector<uint8_t>{}), std::vector<uint8_t>(8, 1));
        ASSERT_TRUE(src->seek(20));
        EXPECT_TRUE(eof(src->read_vec(1)));
        EXPECT_TRUE(eof(src->read_vec(uint64_t(1) << 40)));
        EXPECT_TRUE(src->read_vec(0).value_or(std::vector<uint8_t>{9}).empty());
        EXPECT_FALSE(src->seek_from_end(-11));
        EXPECT_EQ(src->seek_from_end(-3).value_or(0), 7u);
    }
    const uint8_t b[] = {1, 2, 3, 4, 5, 6};
    SpanReader r(b);
    EXPECT_EQ(r.be16().value_or(0), 0x0102);
    EXPECT_EQ(r.le32().value_or(0), 0x06050403u);
    EXPECT_TRUE(eof(r.be32()));
    EXPECT_EQ(r.position(), 6u);
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

// A replacement takes the path's place only when committed: until then, and
// when dropped, the old file stays as it was and nothing else is left.  A
// link is followed to the file it names; a folder is refused at once.
TEST(ReplacementFile, TakesThePlaceOnlyWhenCommitted) {
    testing_util::ScratchDir dir;
    const std::vector<uint8_t> old_bytes{'o', 'l', 'd'}, new_bytes{'n', 'e', 'w', '!'};
    testing_util::write_bytes(dir / "f", old_bytes);
    ASSERT_EQ(::chmod((dir / "f").c_str(), 0640), 0);
    ASSERT_EQ(::symlink("f", (dir / "link").c_str()), 0);
    auto entries = [&] {
        std::set<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.insert(e.path().filename());
        return names;
    };
    {
        auto dropped = ReplacementFile::create((dir / "f").string());
        ASSERT_TRUE(dropped && dropped->file().write_all(new_bytes));
        EXPECT_EQ(testing_util::read_bytes(dir / "f"), old_bytes);
    }
    EXPECT_EQ(entries(), (std::set<std::string>{"f", "link"}));
    auto kept = ReplacementFile::create((dir / "link").string());
    ASSERT_TRUE(kept && kept->file().write_all(new_bytes) && kept->commit());
    EXPECT_EQ(testing_util::read_bytes(dir / "f"), new_bytes);
    struct stat st;
    ASSERT_EQ(::lstat((dir / "link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat((dir / "f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(entries(), (std::set<std::string>{"f", "link"}));
    for (const std::string& refused : {dir.path().string(), std::string()}) {
        auto made = ReplacementFile::create(refused);
        EXPECT_TRUE(!made && made.error().os_code() == (refused.empty() ? ENOENT : EISDIR)) << refused;
    }
    EXPECT_EQ(entries(), (std::set<std::string>{"f", "link"}));
}

static std::set<std::string> names_in(const std::filesystem::path& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename());
    return names;
}

// A target whose name is near the limit still gets a hidden name within it:
// the target's part is shortened, at a character boundary.
TEST(ReplacementFile, HiddenNameStaysWithinTheLimit) {
    testing_util::ScratchDir dir;
    std::string name = "x";
    while (name.size() < 248) name += "\xc3\xa9";  // é
    name += "x";
    ASSERT_EQ(name.size(), 250u);
    auto made = ReplacementFile::create((dir / name).string());
    ASSERT_TRUE(made) << made.error().message();
    const std::string hidden = *names_in(dir.path()).begin();
    const size_t kept = hidden.size() - std::string(".part-123456789012").size() - 1;
    EXPECT_LE(hidden.size(), size_t(NAME_MAX));
    EXPECT_EQ(hidden.substr(0, kept + 7), "." + name.substr(0, kept) + ".part-");
    EXPECT_NE(name[kept] & 0xc0, 0x80) << "cut inside a character";
    ASSERT_TRUE(made->file().write_all(std::vector<uint8_t>{'n'}) && made->commit());
    EXPECT_EQ(names_in(dir.path()), std::set<std::string>{name});
    EXPECT_EQ(testing_util::read_bytes(dir / name), std::vector<uint8_t>{'n'});
}

// A link whose file is missing is followed as opening it would: the file it
// names is created (a relative name is taken from the link's own folder) and
// the links stay.  A loop, or a missing folder, fails as opening would.
TEST(ReplacementFile, FollowsDanglingLinks) {
    testing_util::ScratchDir dir;
    std::filesystem::create_directory(dir / "sub");
    ASSERT_EQ(::symlink("made", (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink("sub/hop", (dir / "chain").c_str()), 0);
    ASSERT_EQ(::symlink("end", (dir / "sub/hop").c_str()), 0);
    ASSERT_EQ(::symlink("loop2", (dir / "loop1").c_str()), 0);
    ASSERT_EQ(::symlink("loop1", (dir / "loop2").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere/x", (dir / "lost").c_str()), 0);
    for (const auto& [from, to] : {std::pair{"link", "made"}, std::pair{"chain", "sub/end"}}) {
        const std::vector<uint8_t> bytes(from, from + std::strlen(from));
        auto made = ReplacementFile::create((dir / from).string());
        ASSERT_TRUE(made && made->file().write_all(bytes) && made->commit()) << from;
        EXPECT_EQ(testing_util::read_bytes(dir / to), bytes) << from;
    }
    for (const auto& [from, code] : {std::pair{"loop1", ELOOP}, std::pair{"lost", ENOENT}}) {
        auto made = ReplacementFile::create((dir / from).string());
        EXPECT_TRUE(!made && made.error().os_code() == code) << from;
    }
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"chain", "link", "lost", "loop1", "loop2", "made", "sub"}));
    EXPECT_EQ(names_in(dir / "sub"), (std::set<std::string>{"end", "hop"}));
    for (const char* link : {"link", "chain", "sub/hop"}) EXPECT_TRUE(std::filesystem::is_symlink(dir / link)) << link;
}
