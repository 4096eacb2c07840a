// Opening hand-made images and decoding their partitions from every kind of source.
#include <gtest/gtest.h>

#include <lzma.h>

#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "core/endian.hpp"
#include "core/tempfile.hpp"
#include "image_util.hpp"
#include "testing/testing.hpp"

using namespace udif_test;
using Bytes = std::vector<uint8_t>;

namespace {

// A source that is neither in memory nor a file, so the sequential reading paths are taken.
class StreamSource final : public core::ByteSource {
public:
    explicit StreamSource(std::vector<uint8_t> data) : inner_(std::move(data)) {}
    core::IoResult<size_t> read(std::span<uint8_t> buf) override { return inner_.read(buf); }
    core::IoResult<uint64_t> seek(uint64_t pos) override { return inner_.seek(pos); }
    uint64_t position() const override { return inner_.position(); }
    core::IoResult<uint64_t> size() override { return inner_.size(); }

private:
    core::MemorySource inner_;
};

// The bytes opened from memory, from a sequential source and from an unnamed file.
using Open = udif::Result<udif::DmgReader> (*)(const Bytes&, bool);
const Open kSources[] = {
    [](const Bytes& bytes, bool verify) { return open_bytes(bytes, verify); },
    [](const Bytes& bytes, bool verify) { return udif::DmgReader::with_options(std::make_unique<StreamSource>(bytes), verify); },
    [](const Bytes& bytes, bool verify) -> udif::Result<udif::DmgReader> {
        auto file = core::anonymous_tempfile();
        if (!file) return udif::fail(file.error());
        if (auto r = file->write_all(bytes); !r) return udif::fail(r.error());
        return udif::DmgReader::with_options(std::make_unique<core::FileSource>(std::move(*file)), verify);
    },
};

// `in` as a run of `type` stores it: the writer's stream (of `in` padded to
// whole sectors) for zlib, bzip2 and LZFSE, liblzma's for xz.
Bytes coded(BlockType type, const Bytes& in) {
    if (type == BlockType::Xz) {
        Bytes out(in.size() + 4096);
        size_t n = 0;
        lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, in.data(), in.size(), out.data(), &n, out.size());
        out.resize(n);
        return out;
    }
    auto sink = std::make_unique<core::VecSink>();
    const Bytes& stored = sink->data();
    udif::DmgWriter writer(std::move(sink));
    for (auto method : {udif::CompressionMethod::Zlib, udif::CompressionMethod::Bzip2, udif::CompressionMethod::Lzfse})
        if (udif::block_type_of(method) == type) writer.set_compression(method);
    EXPECT_TRUE(writer.add_partition("p", in));
    return stored;
}

std::string str(const Bytes& v, size_t n = SIZE_MAX) { return std::string(v.begin(), v.begin() + long(std::min(n, v.size()))); }
std::string zeros(size_t n) { return std::string(n, '\0'); }

// `want` ending in '*' is a prefix.
void expect_text(const std::string& got, const std::string& want) {
    bool prefix = want.ends_with('*');
    EXPECT_TRUE(prefix ? got.starts_with(want.substr(0, want.size() - 1)) : got == want) << "got " << got.substr(0, 120);
}

}  // namespace

// Each row opens an image from every kind of source, with and without
// checksum verification.
TEST(Opening, ChecksumsAndFailures) {
    const Bytes fork = testing_util::random_bytes(2048, 1);
    const uint32_t fork_crc = udif::checksum::crc32(fork);
    const std::string xml = udif::resource_fork_xml({{.name = "p",
                                                      .runs = {run(BlockType::Raw, 0, 4, 0, 2048), run(BlockType::Terminator, 4, 0)},
                                                      .sector_count = 4,
                                                      .checksum = udif::checksum::create_checksum_array(0xA1B2C3D4)}});
    uint8_t first_word[4];
    core::store_be32(first_word, 0xA1B2C3D4);
    const uint32_t master = udif::checksum::crc32(first_word);
    auto with = [&](uint32_t data_type, uint32_t data_value, uint32_t master_value) {
        return image(fork, xml, [=](udif::KolyHeader& t) {
            t.data_checksum_type = data_type;
            t.master_checksum_type = 2;
            t.data_checksum = udif::checksum::create_checksum_array(data_value);
            t.master_checksum = udif::checksum::create_checksum_array(master_value);
            if (data_type == 0) t.data_fork_length = uint64_t(1) << 60;  // never read
        });
    };
    using udif::KivError;
    const std::string short_read = "I/O error: failed to fill whole buffer", no_koly = KivError::invalid_magic().message();
    const std::tuple<std::string, Bytes, std::string, std::string> rows[] = {
        {"good", with(2, fork_crc, master), "ok", "ok"},
        {"data", with(2, fork_crc ^ 1, master), KivError::checksum_mismatch(fork_crc ^ 1, fork_crc).message(), "ok"},
        {"master", with(2, fork_crc, master + 1), KivError::checksum_mismatch(master + 1, master).message(), "ok"},
        // Type 0, or a zero value, means "no checksum".
        {"unchecked", with(0, 1, 0), "ok", "ok"},
        {"short", Bytes(511, 0), short_read, short_read},
        {"no trailer", Bytes(4096, 0), no_koly, no_koly},
        {"list past end", image({}, xml, [](udif::KolyHeader& t) { t.xml_length = uint64_t(1) << 50; }), short_read, short_read},
        {"fork past end", image({}, xml, [](udif::KolyHeader& t) {
             t.data_checksum_type = 2;
             t.data_checksum = udif::checksum::create_checksum_array(5);
             t.data_fork_offset = 100;
             t.data_fork_length = uint64_t(1) << 40;
         }), short_read, "ok"},
    };
    for (const auto& [what, bytes, verified, unverified] : rows) {
        SCOPED_TRACE(what);
        for (Open open : kSources) {
            EXPECT_EQ(error_text(open(bytes, true)), verified);
            EXPECT_EQ(error_text(open(bytes, false)), unverified);
        }
    }
    EXPECT_EQ(error_text(udif::DmgReader::open_with_options("/nonexistent/x.dmg", true)),
              "I/O error: No such file or directory (os error 2)");
}

// Each row decodes one partition from every kind of source: in parallel, into caller memory, into a file and into a
// sink, always to the same bytes or the same failure (a sink that fails has been given nothing).
TEST(Decode, RunsCodecsAndFailures) {
    struct Case {
        std::string what;
        uint64_t sectors;
        std::vector<udif::BlockRun> runs;
        Bytes fork;
        std::string parallel;
        uint64_t image_sectors = 0;  // the trailer's sector count; 0 states none
        bool into_sink = true;       // false: memory runs out, a sink takes the zeros
    };
    std::vector<Case> cases;
    const Bytes k = testing_util::random_bytes(1000, 3), garbage(64, 0x55);
    // Compressed runs: fewer bytes than declared is an error, more are cut.
    const Bytes small(1024, 'a'), big(5000, 'b');
    for (auto [type, name, corrupt] : {std::tuple{BlockType::Zlib, "zlib", "incorrect header check"},
                                       {BlockType::Bzip2, "bzip2", "bzip2: bz2 header missing"},
                                       {BlockType::Xz, "xz", "File format not recognized"}}) {
        const Bytes coded_small = coded(type, small), coded_big = coded(type, big);
        std::string decoded = "error: decompression error: " + std::string(name) + " decoded ";
        cases.push_back({name, 8, {run(type, 0, 8, 0, coded_small.size())}, coded_small, decoded + "1024 bytes, expected 4096"});
        cases.push_back({name, 8, {run(type, 0, 8, 0, coded_big.size())}, coded_big, std::string(4096, 'b')});
        cases.push_back({name, 8, {run(type, 0, 8, 0, coded_big.size() / 2)}, coded_big, decoded + "*"});
        cases.push_back({name, 8, {run(type, 0, 8, 0, 64)}, garbage, "error: I/O error: " + std::string(corrupt)});
    }
    const Bytes lz_short = coded(BlockType::Lzfse, Bytes(3584, 'c')), lz_long = coded(BlockType::Lzfse, Bytes(20000, 'c'));
    Bytes ab(512, 'A');
    ab.resize(1024, 'B');
    const std::string A(512, 'A'), B(512, 'B'), decode = "error: decompression error: ",
                      past_end = "error: invalid block map: block run reaches past the end of the partition",
                      past_image = "error: invalid block map: block run reaches past the end of the image",
                      short_read = "error: I/O error: failed to fill whole buffer";
    auto one_run = [](BlockType type, uint64_t length) { return std::vector{run(type, 0, 8, 0, length)}; };
    cases.insert(cases.end(), {
        // LZFSE must match exactly.
        {"lzfse short", 8, one_run(BlockType::Lzfse, lz_short.size()), lz_short, decode + "lzfse decoded 3584 bytes, expected 4096"},
        {"lzfse long", 8, one_run(BlockType::Lzfse, lz_long.size()), lz_long, decode + "LZFSE: BufferTooSmall"},
        // Raw: a longer stored part is cut, a shorter one completed with zeros.
        {"raw longer", 1, {run(BlockType::Raw, 0, 1, 0, 1000)}, k, str(k, 512)},
        {"raw shorter", 1, {run(BlockType::Raw, 0, 1, 0, 100)}, k, str(k, 100) + zeros(412)},
        {"ignore", 2, {run(BlockType::Ignore, 0, 1, 0, 1000)}, k, str(k, 512) + zeros(512)},
        // Listed out of order: runs go to their sectors.
        {"swapped", 3, {run(BlockType::Raw, 2, 1, 512, 512), run(BlockType::Raw, 0, 1, 0, 512)}, ab, A + zeros(512) + B},
        {"reversed", 3, {run(BlockType::Terminator, 3, 0), run(BlockType::Raw, 1, 1, 512, 512), run(BlockType::ZeroFill, 0, 1)},
         ab, zeros(512) + B + zeros(512)},
        // Markers and zero fills write nothing, wherever they are listed and whatever they span.
        {"late comment", 2, {run(BlockType::Raw, 1, 1, 0, 512), run(BlockType::Comment, 0, 0)}, ab, zeros(512) + A},
        {"far comment first", 2, {run(BlockType::Comment, 40, 0), run(BlockType::Raw, 0, 1, 0, 512)}, ab, A + zeros(512), 64},
        {"far comment last", 2, {run(BlockType::Raw, 0, 1, 0, 512), run(BlockType::Comment, 40, 0)}, ab, A + zeros(512), 64},
        {"zero fill over data", 2, {run(BlockType::ZeroFill, 0, 2), run(BlockType::Raw, 1, 1, 0, 512)}, ab, zeros(512) + A},
        {"zero fill past end", 2, {run(BlockType::Raw, 0, 1, 0, 512), run(BlockType::ZeroFill, 1, 8)}, ab, A + zeros(512), 64},
        // An overlapping run follows its predecessor, within the partition.
        {"overlap", 2, {run(BlockType::Raw, 0, 1, 0, 512), run(BlockType::Raw, 0, 1, 512, 512)}, ab, A + B},
        {"pushed out", 1, {run(BlockType::Raw, 0, 1, 0, 512), run(BlockType::Raw, 0, 1, 512, 512)}, ab, past_end},
        {"listed twice", 2, {run(BlockType::Raw, 0, 2, 0, 1024), run(BlockType::Raw, 0, 2, 0, 1024)}, ab, past_end},
        {"past the partition", 2, {run(BlockType::Raw, 0, 1, 0, 512), run(BlockType::Raw, 2, 1, 512, 512)}, ab, past_end, 64},
        // Of two failing runs, the one earlier in the output decides.
        {"two failing", 16, {run(BlockType::Bzip2, 8, 8, 0, 64), run(BlockType::Zlib, 0, 8, 0, 64)}, garbage,
         "error: I/O error: incorrect header check"},
        // ADC is refused before anything is decoded.
        {"adc", 16, {run(BlockType::Zlib, 0, 8, 0, 64), run(BlockType::Adc, 8, 8, 0, 64)}, garbage,
         "error: unsupported: ADC compression"},
        {"adc first", 16, {run(BlockType::Adc, 8, 8, 0, 64)}, garbage, "error: unsupported: ADC compression"},
        // Stored bytes beyond the file read short.
        {"wraps", 1, {run(BlockType::Raw, 0, 1, UINT64_MAX - 10, 512)}, ab, short_read},
        {"empty", 3, {}, {}, zeros(1536)},
        // A terminator beyond the end is ignored.
        {"far terminator", 2, {run(BlockType::Terminator, 5, 0)}, {}, zeros(1024)},
        // Partitions and runs end within the image's sector count, or, where
        // the trailer states none, within 4096 times the file (at least
        // 256 MiB): checked before anything is allocated or written.
        {"run past image", 2, {run(BlockType::ZeroFill, 4, 4)}, {}, past_image, 6},
        {"huge run", 8, {run(BlockType::Zlib, 0, uint64_t(1) << 50, 0, 8)}, Bytes(8, 0), past_image},
        // Sizes no machine can hold fail cleanly instead of allocating.
        {"declared huge", uint64_t(1) << 52, {}, {}, "error: I/O error: *", uint64_t(1) << 52, false},
        {"overflow", UINT64_MAX / 256, {}, {},
         "error: invalid block map: partition sector count 72057594037927935 is too large"},
        {"wrapping run", 8, {run(BlockType::Zlib, UINT64_MAX / 512, 1, 0, 8)}, Bytes(8, 0), past_end, UINT64_MAX},
    });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto bytes = image(c.fork, udif::resource_fork_xml({{.name = "p", .runs = c.runs, .sector_count = c.sectors}}),
                           [&](udif::KolyHeader& t) { t.sector_count = c.image_sectors; });
        for (Open open : kSources) {
            auto r = open(bytes, true);
            ASSERT_TRUE(r) << r.error().message();
            auto whole = r->decompress_partition_parallel(0);
            expect_text(whole ? str(*whole) : "error: " + whole.error().message(), c.parallel);
            if (whole) {  // caller memory: every byte is written, whatever it held
                Bytes memory(whole->size(), 0xCD);
                EXPECT_TRUE(r->decompress_partition_into(0, memory));
                EXPECT_EQ(memory, *whole);
            }
            auto file = core::anonymous_tempfile();
            ASSERT_TRUE(file);
            auto m = r->decompress_partition_positional(0, *file);
            expect_text(m ? str(testing_util::read_bytes("/proc/self/fd/" + std::to_string(file->fd()))) : "error: " + m.error().message(), c.parallel);
            if (m) {
                EXPECT_EQ(::lseek(file->fd(), 0, SEEK_CUR), off_t(*m));  // left after the last byte
            }
            if (!c.into_sink) continue;
            core::VecSink sink;
            auto n = r->decompress_partition_to(0, sink);
            expect_text(n ? str(sink.data()) : "error: " + n.error().message(), c.parallel);
            EXPECT_EQ(n.value_or(0), sink.data().size());
        }
    }
}

// More runs than one window holds, listed last first, with gaps: every way gives each run at its own sectors, the
// sink taking the windows one after another.
TEST(Decode, RunsSpanningSeveralWindows) {
    constexpr size_t kRun = 1u << 20, kRuns = 80;  // one run per chunk of the writer
    Bytes fork, expected(kRun * kRuns, 0);
    std::vector<udif::BlockRun> runs;
    for (size_t i = 0; i < kRuns; ++i) {
        if (i % 9 == 4) continue;
        std::memset(expected.data() + i * kRun, int(i + 1), kRun);
        const Bytes stored = coded(BlockType::Zlib, Bytes(expected.begin() + i * kRun, expected.begin() + (i + 1) * kRun));
        runs.insert(runs.begin(), run(BlockType::Zlib, i * kRun / 512, kRun / 512, fork.size(), stored.size()));
        fork.insert(fork.end(), stored.begin(), stored.end());
    }
    auto r = open_bytes(image(fork, udif::resource_fork_xml({{.name = "p", .runs = runs, .sector_count = expected.size() / 512}})));
    ASSERT_TRUE(r);
    EXPECT_TRUE(*r->decompress_partition_parallel(0) == expected);
    core::VecSink sink;
    EXPECT_EQ(r->decompress_partition_to(0, sink).value_or(0), expected.size());
    EXPECT_TRUE(sink.data() == expected);
    auto file = core::anonymous_tempfile();
    ASSERT_TRUE(file && r->decompress_partition_positional(0, *file));
    EXPECT_TRUE(testing_util::read_bytes("/proc/self/fd/" + std::to_string(file->fd())) == expected);
}

// Zero runs and zero blocks reach files as holes, streamed, positioned and in parallel.
TEST(Decode, ZerosBecomeHolesInFiles) {
    testing_util::ScratchDir dir;
    Bytes data(8u << 20, 0);
    std::memcpy(data.data() + (5u << 20), "middle", 6);
    udif::DmgBuilder b;
    b.chunk_size = 256u << 10;
    b.add_partition("disk image (Apple_HFS : 1)", data);
    ASSERT_TRUE(b.build(dir / "zeros.dmg"));
    auto archive = udif::DmgArchive::open(dir / "zeros.dmg");
    auto streamed = core::BufferedFileWriter::create((dir / "streamed").string());
    ASSERT_TRUE(archive && streamed);
    ASSERT_TRUE(archive->extract_partition_to(0, *streamed) && streamed->flush());
    auto positioned = core::File::create((dir / "positioned").string());
    ASSERT_TRUE(positioned);
    ASSERT_TRUE(archive->extract_partition_to(0, *positioned));
    ASSERT_TRUE(archive->extract_partition_to_file(0, dir / "parallel"));
    for (const char* name : {"streamed", "positioned", "parallel"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(testing_util::read_bytes(dir / name), data);
        struct stat st;
        ASSERT_EQ(::stat((dir / name).c_str(), &st), 0);
        EXPECT_LT(uint64_t(st.st_blocks) * 512, 1u << 20);
    }
}

// One run decoded on its own: ADC is refused here too, not zero-filled.
TEST(Decode, AdcBlockIsRefused) {
    const Bytes stored(64, 0x55);
    Bytes out(512);
    EXPECT_EQ(error_text(udif::reader::decompress_block({stored, 0, 512, BlockType::Adc}, out)), "unsupported: ADC compression");
}
