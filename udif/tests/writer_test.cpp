// Writing images, read back by this library and by 7-Zip.
#include <gtest/gtest.h>

#include <tuple>

#include "core/endian.hpp"
#include "image_util.hpp"
#include "testing/testing.hpp"

using namespace udif_test;
using udif::CompressionMethod;
using testing_util::shell_quote;

namespace {

// Builds the image and opens it with checksum verification.
udif::DmgReader build(const udif::DmgBuilder& builder) {
    testing_util::ScratchDir dir;
    auto built = builder.build(dir / "out.dmg");
    EXPECT_TRUE(built) << built.error().message();
    auto r = open_bytes(testing_util::read_bytes(dir / "out.dmg"));
    EXPECT_TRUE(r) << r.error().message();
    return std::move(*r);
}

std::vector<uint8_t> padded(std::vector<uint8_t> v) {
    v.resize((v.size() + 511) / 512 * 512, 0);
    return v;
}

// Each run's type, first sector and sector count.
using Shape = std::vector<std::tuple<BlockType, uint64_t, uint64_t>>;
Shape shape(const udif::MishHeader& map) {
    Shape out;
    for (const auto& r : map.runs) out.emplace_back(r.type, r.sector_number, r.sector_count);
    return out;
}

}  // namespace

TEST(Writer, LayoutChecksumsAndStats) {
    udif::DmgBuilder b;
    b.chunk_size = 1000;  // the builder raises it to 4096
    auto small = testing_util::random_bytes(1000, 1), mixed = testing_util::random_bytes(4096, 2);
    mixed.resize(12288, 0);
    b.add_partition("small", small).add_partition("mixed", mixed).add_partition("empty", {});
    auto w = build(b);
    const auto& p = w.partitions();
    ASSERT_EQ(p.size(), 3u);
    using Z = BlockType;
    EXPECT_EQ(shape(p[0].block_map), (Shape{{Z::Zlib, 0, 2}, {Z::Terminator, 2, 0}}));
    // Zero chunks store nothing.
    EXPECT_EQ(shape(p[1].block_map), (Shape{{Z::Zlib, 0, 8}, {Z::ZeroFill, 8, 8}, {Z::ZeroFill, 16, 8}, {Z::Terminator, 24, 0}}));
    EXPECT_EQ(p[1].block_map.runs[1].compressed_length, 0u);
    EXPECT_EQ(shape(p[2].block_map), (Shape{{Z::Terminator, 0, 0}}));
    EXPECT_EQ(std::tie(p[1].block_map.first_sector, p[2].block_map.first_sector, p[2].id), std::tuple(2u, 26u, 2));
    EXPECT_EQ(udif::checksum::stored_value(p[0].block_map.checksum), udif::checksum::crc32(padded(small)));
    EXPECT_EQ(udif::checksum::stored_value(p[1].block_map.checksum), udif::checksum::crc32(mixed));
    EXPECT_EQ(w.trailer().sector_count, 26u);
    EXPECT_TRUE(w.trailer().has_master_checksum() && w.trailer().has_data_checksum());
}

TEST(Writer, PropertyListText) {
    const std::string name = "Tom & Jerry <disk> (Apple_HFS : 0)";
    const std::string xml = udif::resource_fork_xml({{.name = name, .runs = {run(BlockType::Terminator, 0, 0)}}});
    // Escaped names read back unchanged.
    EXPECT_EQ(udif::reader::parse_plist(core::as_bytes(xml)).value().at(0).name, name);
    EXPECT_TRUE(xml.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC "
                                "\"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"));
    EXPECT_NE(xml.find("\t\t\t\t<key>Attributes</key>\n\t\t\t\t<string>0x0050</string>\n"), std::string::npos);
    // A 244-byte map (the terminator only): five lines of 64 base64 characters and one of 8.
    size_t start = xml.find("<data>\n") + 7, end = xml.find("\t\t\t\t</data>");
    std::vector<size_t> lengths;
    for (size_t at = start; at < end; at = xml.find('\n', at) + 1) lengths.push_back(xml.find('\n', at) - at - 4);
    EXPECT_EQ(lengths, (std::vector<size_t>{64, 64, 64, 64, 64, 8}));

    EXPECT_EQ(error_text(udif::DmgWriter::create("/nonexistent/dir/x.dmg")), "I/O error: No such file or directory (os error 2)");
    auto none = build(udif::DmgBuilder{});
    EXPECT_TRUE(none.partitions().empty());
    EXPECT_NE(udif::resource_fork_xml({}).find("\t\t<array>\n\t\t</array>\n"), std::string::npos);
}

// A name the property list cannot carry is refused before anything is
// written (no file, no bytes in the sink); every other name reads back byte
// for byte, and in 7-Zip too where it shows the XML text unchanged ("7z").
TEST(Writer, PartitionNamesReadBackOrAreRefused) {
    const std::string bad = "invalid plist: partition name ", xml = " is not a character XML 1.0 allows";
    const std::tuple<std::string, std::string, bool> rows[] = {
        {std::string("nul\0x", 5), bad + "\"nul\\0x\": U+0000 at byte 3" + xml, false},
        {"a\x01", bad + "\"a\\u{1}\": U+0001 at byte 1" + xml, false},
        {"\x1F", bad + "\"\\u{1f}\": U+001F at byte 0" + xml, false},
        {"x\xEF\xBF\xBE", bad + "\"x\xEF\xBF\xBE\": U+FFFE at byte 1" + xml, false},
        {"\xEF\xBF\xBF", bad + "\"\xEF\xBF\xBF\": U+FFFF at byte 0" + xml, false},
        {"a\xFF" "b", bad + "\"a\xEF\xBF\xBD" "b\": not UTF-8: invalid utf-8 sequence of 1 bytes from index 1", false},
        {"\xC0\x80", bad + "\"\xEF\xBF\xBD\xEF\xBF\xBD\": not UTF-8: invalid utf-8 sequence of 1 bytes from index 0", false},
        {"\xED\xA0\x80", bad + "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\": not UTF-8: invalid utf-8 sequence of 1 bytes from index 0", false},
        {"ab\xE2\x82", bad + "\"ab\xEF\xBF\xBD\": not UTF-8: incomplete utf-8 byte sequence from index 2", false},
        {"tab\tend", "ok", true},
        {"line\nfeed", "ok", false},
        {"carriage\rreturn\r\n", "ok", false},
        {"Tom & Jerry <x> ]]>", "ok", false},
        {" spaces ", "ok", false},
        {"", "ok", false},
        {"del\x7F \xC2\x85 \xEF\xBF\xBD \xF4\x8F\xBF\xBF", "ok", true},
    };
    const bool seven_zip = testing_util::have_tool("7zz"), python = testing_util::have_tool("python3");
    testing_util::ScratchDir dir;
    const auto path = dir / "named.dmg";
    for (const auto& [name, want, shown] : rows) {
        SCOPED_TRACE(testing::PrintToString(name));
        std::filesystem::remove(path);
        udif::DmgBuilder builder;
        EXPECT_EQ(error_text(builder.add_partition(name, {1}).build(path)), want);
        EXPECT_EQ(std::filesystem::exists(path), want == "ok");
        auto sink = std::make_unique<core::VecSink>();
        const auto& written = sink->data();
        udif::DmgWriter writer(std::move(sink));
        EXPECT_EQ(error_text(writer.add_partition(name, std::vector<uint8_t>{1})), want);
        EXPECT_EQ(std::tuple(written.empty(), writer.partitions().empty()), std::tuple(want != "ok", want != "ok"));
        if (want != "ok") continue;
        auto r = udif::DmgReader::open_with_options(path, true);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->partitions().at(0).name, name);
        // A conforming XML reader (Python's, over expat) gets the same name.
        if (python) {
            auto listed = testing_util::run("python3 -c 'import plistlib, sys; d = open(sys.argv[1], \"rb\").read(); "
                                            "n = plistlib.loads(d[d.index(b\"<?xml\"):-512])[\"resource-fork\"][\"blkx\"][0][\"Name\"]; "
                                            "sys.stdout.buffer.write(n.encode())' " + shell_quote(path));
            EXPECT_EQ(listed.output, name);
        }
        if (!shown || !seven_zip) continue;
        auto listed = testing_util::run("7zz l -slt -tdmg " + shell_quote(path));
        EXPECT_NE(listed.output.find("\nPath = 0." + name + "\n"), std::string::npos) << listed.output;
    }
}

// Every method and level decodes back here and in 7-Zip, which also checks
// the master checksum at the trailer's real offset; without -tdmg 7-Zip looks
// through the image into the HFS+ volume inside.
TEST(Writer, EveryMethodDecodesBackHereAndInSevenZip) {
    auto data = testing_util::random_bytes(300000, 5);
    data.resize(700000, 0);                                             // zero chunks
    for (size_t i = 500000; i < 520000; ++i) data[i] = uint8_t(i % 7);  // compressible
    data.resize(700333, 'x');                                           // a tail of partial sector
    const bool seven_zip = testing_util::have_tool("7zz");
    const auto volume = testing_util::fixture("hfsplus.raw");
    testing_util::ScratchDir dir;
    auto seven_zip_test = [&](const std::string& args) {
        auto test = testing_util::run("7zz t " + args + " " + shell_quote(dir / "out.dmg") + " 2>&1");
        EXPECT_EQ(test.status, 0) << test.output;
        EXPECT_NE(test.output.find("Everything is Ok"), std::string::npos) << test.output;
        EXPECT_EQ(test.output.find("Warning"), std::string::npos) << test.output;
    };
    for (auto method : {CompressionMethod::Raw, CompressionMethod::Zlib, CompressionMethod::Bzip2, CompressionMethod::Lzfse}) {
        for (uint32_t level : {0u, 12u}) {  // bzip2 at 0 encodes as 1; 12 becomes 9
            SCOPED_TRACE(int(method) * 100 + int(level));
            udif::DmgBuilder b;
            // A chunk size of no whole sectors is rounded up to them, so that
            // no zeros land inside the partition.
            std::tie(b.chunk_size, b.level, b.compression) = std::tuple(65000u, level, method);
            b.add_partition("disk image (Apple_HFS : 0)", data);
            ASSERT_TRUE(b.build(dir / "out.dmg"));
            auto r = udif::DmgReader::open_with_options(dir / "out.dmg", true);
            ASSERT_TRUE(r);
            EXPECT_EQ(r->partitions()[0].block_map.runs[0].type, udif::block_type_of(method));
            EXPECT_EQ(*r->decompress_partition_parallel(0), padded(data));
            if (!seven_zip) continue;
            seven_zip_test("-tdmg");
            EXPECT_EQ(seven_zip_partition(dir / "out.dmg", 0), padded(data));
        }
        if (!seven_zip || !std::filesystem::exists(volume)) continue;
        udif::DmgBuilder b;
        b.compression = method;
        ASSERT_TRUE(b.add_partition("disk image (Apple_HFS : 0)", testing_util::read_bytes(volume)).build(dir / "out.dmg"));
        auto file = testing_util::run("7zz e -so " + shell_quote(dir / "out.dmg") + " hfsplus_test/passwords.txt 2>/dev/null");
        EXPECT_EQ(file.status, 0);
        EXPECT_EQ(file.output.size(), 116u);
        seven_zip_test("");
    }
    if (!seven_zip) GTEST_SKIP() << "7zz not available";
    // Without checksums, and with an empty partition, 7-Zip has nothing to complain about.
    udif::DmgBuilder b;
    b.skip_checksums = true;
    ASSERT_TRUE(b.add_partition("empty", {}).add_partition("disk image (Apple_HFS : 1)", data).build(dir / "out.dmg"));
    seven_zip_test("-tdmg");
}
