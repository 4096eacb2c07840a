#include <gtest/gtest.h>

#include <zlib.h>

#include "image_util.hpp"
#include "testing/testing.hpp"

using namespace udif_test;
using udif::BlockType;
using udif::CompressionMethod;

namespace {

struct Written {
    std::vector<uint8_t> bytes;
    udif::DmgReader reader;
};

Written build(udif::DmgBuilder builder) {
    testing_util::ScratchDir dir;
    auto built = builder.build(dir / "out.dmg");
    EXPECT_TRUE(built) << built.error().message();
    auto bytes = testing_util::read_bytes(dir / "out.dmg");
    auto r = open_bytes(bytes);
    EXPECT_TRUE(r) << r.error().message();
    return {std::move(bytes), std::move(*r)};
}

std::vector<uint8_t> padded(std::vector<uint8_t> v) {
    v.resize((v.size() + 511) / 512 * 512, 0);
    return v;
}

std::string xml_of(const Written& w) {
    const auto& t = w.reader.trailer();
    return std::string(w.bytes.begin() + long(t.xml_offset), w.bytes.begin() + long(t.xml_offset + t.xml_length));
}

}  // namespace

TEST(Writer, SmallPartitionWithZlib) {
    udif::DmgBuilder b;
    b.chunk_size = 4096;
    auto data = testing_util::random_bytes(1000, 1);
    b.add_partition("p", data);
    auto w = build(b);
    const auto& map = w.reader.partitions().at(0).block_map;
    EXPECT_EQ(map.sector_count, 2u);
    ASSERT_EQ(map.runs.size(), 2u);
    EXPECT_EQ(map.runs[0].type, BlockType::Zlib);
    EXPECT_EQ(map.runs[0].sector_count, 2u);
    EXPECT_EQ(map.runs[1].type, BlockType::Terminator);
    EXPECT_EQ(map.runs[1].sector_number, 2u);
    std::vector<uint8_t> inflated(2000);
    uLongf n = inflated.size();
    ASSERT_EQ(uncompress(inflated.data(), &n, w.bytes.data(), uLong(map.runs[0].compressed_length)), Z_OK);
    inflated.resize(n);
    EXPECT_EQ(inflated, padded(data));
    EXPECT_EQ(*w.reader.decompress_partition_parallel(0), padded(data));
    EXPECT_EQ(w.reader.partitions()[0].attributes, 0x50u);
    EXPECT_EQ(map.checksum_type, 2u);
    EXPECT_EQ(udif::checksum::stored_value(map.checksum), udif::checksum::crc32(padded(data)));
}

TEST(Writer, ZeroChunksStoreNothing) {
    udif::DmgBuilder b;
    b.add_partition("z", std::vector<uint8_t>(8192, 0));
    auto one_chunk = build(b);
    const auto& runs = one_chunk.reader.partitions()[0].block_map.runs;
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].type, BlockType::ZeroFill);
    EXPECT_EQ(runs[0].sector_count, 16u);
    EXPECT_EQ(runs[1].sector_number, 16u);
    EXPECT_EQ(one_chunk.reader.trailer().data_fork_length, 0u);

    // A chunk size below 4096 is raised to 4096 by the builder.
    b.chunk_size = 1000;
    auto small_chunks = build(b);
    ASSERT_EQ(small_chunks.reader.partitions()[0].block_map.runs.size(), 3u);
    EXPECT_EQ(small_chunks.reader.partitions()[0].block_map.runs[1].sector_count, 8u);
}

TEST(Writer, LayoutOfSeveralPartitions) {
    udif::DmgBuilder b;
    b.add_partition("a", std::vector<uint8_t>(1024, 1)).add_partition("b", std::vector<uint8_t>(512, 2));
    b.add_partition("empty", {});
    auto w = build(b);
    const auto& p = w.reader.partitions();
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0].block_map.first_sector, 0u);
    EXPECT_EQ(p[1].block_map.first_sector, 2u);
    EXPECT_EQ(p[1].id, 1);
    EXPECT_EQ(p[2].block_map.sector_count, 0u);
    ASSERT_EQ(p[2].block_map.runs.size(), 1u);
    EXPECT_EQ(p[2].block_map.runs[0].type, BlockType::Terminator);
    EXPECT_EQ(w.reader.trailer().sector_count, 3u);
    EXPECT_EQ(w.reader.trailer().version, 4u);
    EXPECT_TRUE(w.reader.trailer().has_master_checksum());
    EXPECT_TRUE(w.reader.trailer().has_data_checksum());

    auto none = build(udif::DmgBuilder{});
    EXPECT_TRUE(none.reader.partitions().empty());
    EXPECT_EQ(none.reader.trailer().sector_count, 0u);
    EXPECT_EQ(none.reader.trailer().xml_offset, 0u);
    EXPECT_NE(xml_of(none).find("\t\t<array>\n\t\t</array>\n"), std::string::npos);
}

TEST(Writer, SkippedChecksums) {
    udif::DmgBuilder b;
    b.skip_checksums = true;
    b.add_partition("p", testing_util::random_bytes(3000, 2));
    auto w = build(b);
    const auto& t = w.reader.trailer();
    EXPECT_EQ(t.data_checksum_type, 0u);
    EXPECT_EQ(t.master_checksum_type, 0u);
    EXPECT_EQ(t.data_checksum, udif::ChecksumField{});
    const auto& map = w.reader.partitions()[0].block_map;
    EXPECT_EQ(map.checksum_type, 0u);  // 7-Zip would check a CRC-32 type
    EXPECT_EQ(map.checksum_size, 32u);
    EXPECT_EQ(map.checksum, udif::ChecksumField{});
    EXPECT_TRUE(open_bytes(w.bytes, true));
}

TEST(Writer, PropertyListText) {
    udif::DmgBuilder b;
    b.chunk_size = 1 << 20;
    b.add_partition("Tom & Jerry <disk> (Apple_HFS : 0)", {});
    auto w = build(b);
    // Escaped names read back unchanged.
    EXPECT_EQ(w.reader.partitions()[0].name, "Tom & Jerry <disk> (Apple_HFS : 0)");
    std::string xml = xml_of(w);
    EXPECT_TRUE(xml.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC "
                                "\"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"));
    EXPECT_NE(xml.find("\t\t\t\t<key>Attributes</key>\n\t\t\t\t<string>0x0050</string>\n"), std::string::npos);
    EXPECT_NE(xml.find("<string>Tom &amp; Jerry &lt;disk&gt; (Apple_HFS : 0)</string>"), std::string::npos);
    EXPECT_NE(xml.find("\t\t\t\t<key>ID</key>\n\t\t\t\t<string>0</string>\n"), std::string::npos);
    // A 244-byte map (the terminator only): five lines of 64 base64 characters and one of 8.
    size_t start = xml.find("<data>\n") + 7, end = xml.find("\t\t\t\t</data>");
    std::string lines = xml.substr(start, end - start);
    std::vector<size_t> lengths;
    for (size_t at = 0; at < lines.size();) {
        size_t nl = lines.find('\n', at);
        lengths.push_back(nl - at - 4);
        at = nl + 1;
    }
    EXPECT_EQ(lengths, (std::vector<size_t>{64, 64, 64, 64, 64, 8}));
    EXPECT_TRUE(xml.ends_with("\t\t</array>\n\t</dict>\n</dict>\n</plist>\n"));
}

TEST(Writer, EveryMethodDecodesBack) {
    auto data = testing_util::random_bytes(70000, 4);
    data.resize(200000, 0);                       // zero chunks
    for (size_t i = 150000; i < 170000; ++i) data[i] = uint8_t(i % 7);  // compressible
    data.resize(data.size() + 333, 9);            // a tail of partial sector
    for (auto method : {CompressionMethod::Raw, CompressionMethod::Zlib, CompressionMethod::Bzip2, CompressionMethod::Lzfse}) {
        for (uint32_t level : {0u, 9u, 12u}) {
            SCOPED_TRACE(int(method) * 100 + int(level));
            udif::DmgBuilder b;
            b.compression = method;
            b.level = level;  // bzip2 at 0 encodes as 1; 12 becomes 9
            b.chunk_size = 16384;
            b.add_partition("disk image (Apple_HFS : 1)", data);
            auto w = build(b);
            EXPECT_EQ(*w.reader.decompress_partition_parallel(0), padded(data));
            core::VecSink sink;
            ASSERT_TRUE(w.reader.decompress_partition_to(0, sink));
            EXPECT_EQ(sink.data(), padded(data));
            auto type = w.reader.partitions()[0].block_map.runs[0].type;
            EXPECT_EQ(type, udif::block_type_of(method));
        }
    }
}

TEST(Writer, ChunkSizesThatAreNotWholeSectors) {
    // Writing directly (no builder floor): chunks are rounded up to whole
    // sectors so no zeros land inside the partition.
    testing_util::ScratchDir dir;
    auto data = testing_util::random_bytes(5000, 8);
    auto w = udif::DmgWriter::create(dir / "odd.dmg");
    ASSERT_TRUE(w);
    w->set_chunk_size(1000);
    ASSERT_TRUE(w->add_partition("p", data));
    EXPECT_EQ(w->partitions()[0].runs[0].sector_count, 2u);
    ASSERT_TRUE(std::move(*w).finish());
    auto r = udif::DmgReader::open_with_options(dir / "odd.dmg", true);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r->decompress_partition_parallel(0), padded(data));

    EXPECT_EQ(udif::DmgWriter::create("/nonexistent/dir/x.dmg").error().message(),
              "I/O error: No such file or directory (os error 2)");
}

// Other tools must accept what we write: 7-Zip verifies the master
// checksum at the trailer's real offset and extracts the same bytes.
TEST(Writer, SevenZipReadsOurImages) {
    KIV_REQUIRE_TOOL("7zz");
    auto data = testing_util::random_bytes(300000, 5);
    data.resize(700000, 0);
    data.resize(700100, 'x');
    testing_util::ScratchDir dir;
    for (auto [method, name] : {std::pair{CompressionMethod::Raw, "raw"}, {CompressionMethod::Zlib, "zlib"},
                                {CompressionMethod::Bzip2, "bzip2"}, {CompressionMethod::Lzfse, "lzfse"}}) {
        SCOPED_TRACE(name);
        udif::DmgBuilder b;
        b.compression = method;
        b.chunk_size = 65536;
        b.add_partition("disk image (Apple_HFS : 0)", data);
        auto path = dir / (std::string(name) + ".dmg");
        ASSERT_TRUE(b.build(path));
        auto test = testing_util::run("7zz t -tdmg " + testing_util::shell_quote(path) + " 2>&1");
        EXPECT_EQ(test.status, 0) << test.output;
        EXPECT_NE(test.output.find("Everything is Ok"), std::string::npos) << test.output;
        EXPECT_EQ(test.output.find("Warning"), std::string::npos) << test.output;
        auto out = dir / name;
        auto x = testing_util::run("7zz e -y -tdmg -o" + testing_util::shell_quote(out) + " " +
                                   testing_util::shell_quote(path) + " '0.*' 2>&1");
        ASSERT_EQ(x.status, 0) << x.output;
        std::vector<uint8_t> extracted;
        for (const auto& f : std::filesystem::directory_iterator(out)) extracted = testing_util::read_bytes(f.path());
        EXPECT_EQ(extracted, padded(data));
    }
    // Without checksums, and with an empty partition, 7-Zip has nothing to complain about.
    udif::DmgBuilder b;
    b.skip_checksums = true;
    b.add_partition("empty", {}).add_partition("disk image (Apple_HFS : 1)", data);
    ASSERT_TRUE(b.build(dir / "plain.dmg"));
    auto test = testing_util::run("7zz t -tdmg " + testing_util::shell_quote(dir / "plain.dmg") + " 2>&1");
    EXPECT_NE(test.output.find("Everything is Ok"), std::string::npos) << test.output;
}

// Without -tdmg 7-Zip looks through our image into the HFS+ volume inside.
TEST(Writer, SevenZipOpensTheVolumeInside) {
    auto volume = KIV_REQUIRE_FIXTURE("hfsplus.raw");
    KIV_REQUIRE_TOOL("7zz");
    testing_util::ScratchDir dir;
    for (auto method : {CompressionMethod::Raw, CompressionMethod::Zlib, CompressionMethod::Bzip2, CompressionMethod::Lzfse}) {
        SCOPED_TRACE(int(method));
        udif::DmgBuilder b;
        b.compression = method;
        b.add_partition("disk image (Apple_HFS : 0)", testing_util::read_bytes(volume));
        auto path = testing_util::shell_quote(dir / "volume.dmg");
        ASSERT_TRUE(b.build(dir / "volume.dmg"));
        auto file = testing_util::run("7zz e -so " + path + " hfsplus_test/passwords.txt 2>/dev/null");
        EXPECT_EQ(file.status, 0);
        EXPECT_EQ(file.output.size(), 116u);
        auto test = testing_util::run("7zz t " + path + " 2>&1");
        EXPECT_NE(test.output.find("Everything is Ok"), std::string::npos) << test.output;
    }
}
