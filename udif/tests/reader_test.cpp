#include <gtest/gtest.h>

#include <plist/plist.h>

#include <cstring>
#include <random>

#include "core/endian.hpp"
#include "image_util.hpp"
#include "testing/testing.hpp"

using namespace udif_test;
using udif::BlockType;
using udif::KivError;
using Kind = KivError::Kind;

namespace {

udif::Result<std::vector<udif::PartitionEntry>> parse(const std::string& text) {
    return udif::reader::parse_plist(core::as_bytes(text));
}

std::string plist_error(const std::string& text) {
    auto r = parse(text);
    return r ? "parsed" : r.error().message();
}

const udif::MishHeader kMap = block_map(4, {run(BlockType::ZeroFill, 0, 4), run(BlockType::Terminator, 4, 0)});

}  // namespace

TEST(PropertyList, IdsAttributesAndNames) {
    auto id_of = [](const std::string& value) {
        auto r = parse(plist_xml(blkx_entry("<key>ID</key>" + value, kMap)));
        return r ? (*r)[0].id : 12345;
    };
    EXPECT_EQ(id_of("<string>-1</string>"), -1);
    EXPECT_EQ(id_of("<string>+7</string>"), 7);
    EXPECT_EQ(id_of("<string>-2147483648</string>"), INT32_MIN);
    EXPECT_EQ(id_of("<string>4294967296</string>"), 0);
    EXPECT_EQ(id_of("<string>2147483648</string>"), 0);
    EXPECT_EQ(id_of("<string> 3</string>"), 0);
    EXPECT_EQ(id_of("<string>three</string>"), 0);
    EXPECT_EQ(id_of("<integer>3</integer>"), 0);

    auto attributes_of = [](const std::string& value) {
        auto r = parse(plist_xml(blkx_entry("<key>Attributes</key>" + value, kMap)));
        return r ? (*r)[0].attributes : 12345u;
    };
    EXPECT_EQ(attributes_of("<string>0x0050</string>"), 0x50u);
    EXPECT_EQ(attributes_of("<string>0x+ff</string>"), 0xFFu);
    EXPECT_EQ(attributes_of("<string>80</string>"), 80u);
    EXPECT_EQ(attributes_of("<string>+80</string>"), 80u);
    EXPECT_EQ(attributes_of("<string>0X50</string>"), 0u);
    EXPECT_EQ(attributes_of("<string>0x</string>"), 0u);
    EXPECT_EQ(attributes_of("<string>-5</string>"), 0u);
    EXPECT_EQ(attributes_of("<string>0x100000000</string>"), 0u);
    EXPECT_EQ(attributes_of("<integer>80</integer>"), 0u);

    auto name_of = [](const std::string& keys) {
        auto r = parse(plist_xml(blkx_entry(keys, kMap)));
        return r ? (*r)[0].name : "<error>";
    };
    EXPECT_EQ(name_of(""), "");
    EXPECT_EQ(name_of("<key>Name</key><string>a &amp; b &lt;c&gt;</string>"), "a & b <c>");
    // Localised images leave "Name" empty and carry the name in "CFName".
    EXPECT_EQ(name_of("<key>Name</key><string></string><key>CFName</key><string>disk image（Apple_APFS: 4）</string>"),
              "disk image（Apple_APFS: 4）");
    EXPECT_EQ(name_of("<key>CFName</key><string>only CFName</string>"), "only CFName");
    EXPECT_EQ(name_of("<key>Name</key><string>n</string><key>CFName</key><string>c</string>"), "n");
    EXPECT_EQ(name_of("<key>Name</key><integer>1</integer><key>CFName</key><integer>2</integer>"), "");
}

TEST(PropertyList, ShapeErrors) {
    EXPECT_EQ(plist_error("<plist><array/></plist>"), "invalid plist: expected dictionary");
    EXPECT_EQ(plist_error("<plist><dict/></plist>"), "invalid plist: missing resource-fork");
    EXPECT_EQ(plist_error("<plist><dict><key>resource-fork</key><string/></dict></plist>"),
              "invalid plist: missing resource-fork");
    EXPECT_EQ(plist_error("<plist><dict><key>resource-fork</key><dict/></dict></plist>"),
              "invalid plist: missing blkx array");
    EXPECT_EQ(plist_error(plist_xml("<string>x</string>")), "invalid plist: blkx entry not a dictionary");
    EXPECT_EQ(plist_error(plist_xml("<dict><key>Name</key><string>x</string></dict>")),
              "invalid plist: missing Data in blkx entry");
    EXPECT_EQ(plist_error(plist_xml("<dict><key>Data</key><string>x</string></dict>")),
              "invalid plist: missing Data in blkx entry");
    EXPECT_EQ(plist_error(plist_xml("<dict><key>Data</key><data>AAAA</data></dict>")),
              "invalid block map: mish data too short");
    EXPECT_EQ(plist_error("<plist><dict><key>unclosed"), "invalid plist: plist parse error: malformed XML property list");
    EXPECT_EQ(plist_error("bplist00garbage"), "invalid plist: plist parse error: malformed binary property list");
    auto empty = parse(plist_xml(""));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

TEST(PropertyList, BinaryAndAsciiFormsReadLikeXml) {
    std::string xml = plist_xml(named_entry("disk image (Apple_HFS : 3)", 3, kMap) + named_entry("free", -1, kMap));
    auto from_xml = parse(xml);
    ASSERT_TRUE(from_xml);

    plist_t root = nullptr;
    plist_from_xml(xml.data(), uint32_t(xml.size()), &root);
    ASSERT_NE(root, nullptr);
    char* bin = nullptr;
    uint32_t bin_len = 0;
    plist_to_bin(root, &bin, &bin_len);
    plist_free(root);
    auto from_bin = udif::reader::parse_plist({reinterpret_cast<uint8_t*>(bin), bin_len});
    free(bin);
    ASSERT_TRUE(from_bin);

    std::string hex;
    for (uint8_t b : kMap.to_bytes()) {
        static const char d[] = "0123456789abcdef";
        hex += d[b >> 4];
        hex += d[b & 15];
        if (hex.size() % 9 == 8) hex += ' ';
    }
    std::string ascii = "// old-style\n{ \"resource-fork\" = { blkx = (\n"
                        "  { Name = \"disk image (Apple_HFS : 3)\"; ID = 3; Data = <" + hex + ">; },\n"
                        "  { Name = free; /* note */ ID = \"-1\"; Data = <" + hex + ">; },\n); }; }\n";
    auto from_ascii = parse(ascii);
    ASSERT_TRUE(from_ascii) << from_ascii.error().message();

    for (const auto* parsed : {&*from_bin, &*from_ascii}) {
        ASSERT_EQ(parsed->size(), 2u);
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ((*parsed)[i].name, (*from_xml)[i].name);
            EXPECT_EQ((*parsed)[i].id, (*from_xml)[i].id);
            EXPECT_EQ((*parsed)[i].block_map.to_bytes(), (*from_xml)[i].block_map.to_bytes());
        }
    }

    EXPECT_EQ(plist_error("{ a = (1, 2; }"), "invalid plist: plist parse error: expected ',' or ')' at offset 11");
    EXPECT_EQ(plist_error("{ a = <abc>; }"), "invalid plist: plist parse error: odd number of hex digits in data at offset 11");
    EXPECT_EQ(plist_error("( \"open"), "invalid plist: plist parse error: unterminated string at offset 7");
    // Nesting is bounded, not followed to the bottom of the stack.
    EXPECT_NE(plist_error(std::string(100000, '(')).find("nesting too deep"), std::string::npos);
}

TEST(Opening, ChecksumsAreVerifiedWhenPresent) {
    std::vector<uint8_t> fork = testing_util::random_bytes(2048, 1);
    uint32_t fork_crc = udif::checksum::crc32(fork);
    auto map = block_map(4, {run(BlockType::Raw, 0, 4, 0, 2048), run(BlockType::Terminator, 4, 0)}, 0xA1B2C3D4);
    std::string xml = plist_xml(named_entry("p", 0, map));
    uint8_t first_word[4];
    core::store_be32(first_word, 0xA1B2C3D4);
    uint32_t master = udif::checksum::crc32(first_word);

    auto checked = [&](udif::KolyHeader& t) {
        t.data_checksum_type = 2;
        t.data_checksum = udif::checksum::create_checksum_array(fork_crc);
        t.master_checksum_type = 2;
        t.master_checksum = udif::checksum::create_checksum_array(master);
    };
    auto good = image(fork, xml, checked);
    ASSERT_TRUE(open_bytes(good));
    ASSERT_TRUE(open_streamed(good));

    auto flipped = good;
    flipped[100] ^= 1;
    for (auto* open : {&open_bytes, &open_streamed}) {
        auto r = (*open)(flipped, true);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind(), Kind::ChecksumMismatch);
        EXPECT_EQ(r.error().expected(), fork_crc);
        fork[100] ^= 1;
        EXPECT_EQ(r.error().got(), udif::checksum::crc32(fork));
        fork[100] ^= 1;
        EXPECT_TRUE((*open)(flipped, false));
    }

    auto wrong_master = image(fork, xml, [&](udif::KolyHeader& t) {
        checked(t);
        t.master_checksum = udif::checksum::create_checksum_array(master + 1);
    });
    auto m = open_bytes(wrong_master);
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().message(), udif::KivError::checksum_mismatch(master + 1, master).message());

    // Type 0, or a zero value, means "no checksum": the data fork is not even read.
    auto unchecked = image(fork, xml, [&](udif::KolyHeader& t) {
        t.data_checksum_type = 0;
        t.data_checksum = udif::checksum::create_checksum_array(1);
        t.data_fork_length = uint64_t(1) << 60;
        t.master_checksum_type = 2;
    });
    EXPECT_TRUE(open_bytes(unchecked));
}

TEST(Opening, FailuresAreReportedCleanly) {
    auto map = block_map(1, {});
    std::string xml = plist_xml(named_entry("p", 0, map));
    auto past_end = image({}, xml, [](udif::KolyHeader& t) { t.xml_length = uint64_t(1) << 50; });
    EXPECT_EQ(open_bytes(past_end).error().message(), "I/O error: failed to fill whole buffer");
    EXPECT_EQ(open_streamed(past_end).error().message(), "I/O error: failed to fill whole buffer");

    auto data_past_end = image({}, xml, [](udif::KolyHeader& t) {
        t.data_checksum_type = 2;
        t.data_checksum = udif::checksum::create_checksum_array(5);
        t.data_fork_offset = 100;
        t.data_fork_length = uint64_t(1) << 40;
    });
    EXPECT_EQ(open_streamed(data_past_end).error().message(), "I/O error: failed to fill whole buffer");

    auto missing = udif::DmgReader::open_with_options("/nonexistent/x.dmg", true);
    EXPECT_EQ(missing.error().message(), "I/O error: No such file or directory (os error 2)");

    EXPECT_EQ(open_bytes(std::vector<uint8_t>(4096, 0)).error().kind(), Kind::InvalidMagic);
}

TEST(Opening, TrailersWithTheEarlierFieldPlacementStillOpen) {
    // Such images carry the master checksum at 296 and the sector count at
    // 436; where hdiutil puts them they hold zeros: no master check, no sectors.
    auto map = block_map(1, {});
    auto bytes = image({}, plist_xml(named_entry("p", 0, map)));
    uint8_t* t = bytes.data() + bytes.size() - 512;
    std::memset(t + 232, 0, 280);
    core::store_be32(t + 296, 2);
    core::store_be32(t + 300, 32);
    core::store_be32(t + 304, 0xDEADBEEF);  // would not match
    core::store_be32(t + 432, 1);
    core::store_be64(t + 436, 1);
    auto r = open_bytes(bytes);
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_FALSE(r->trailer().has_master_checksum());
    EXPECT_EQ(r->trailer().sector_count, 0u);
}

// Damaged property lists in every form fail or parse, never crash.
TEST(PropertyList, DamagedListsNeverCrash) {
    std::string xml = plist_xml(named_entry("disk image (Apple_HFS : 3)", 3, kMap) + named_entry("free", -1, kMap));
    plist_t root = nullptr;
    plist_from_xml(xml.data(), uint32_t(xml.size()), &root);
    char* bin = nullptr;
    uint32_t bin_len = 0;
    plist_to_bin(root, &bin, &bin_len);
    plist_free(root);
    std::vector<uint8_t> binary(bin, bin + bin_len);
    free(bin);
    std::string ascii = "{ \"resource-fork\" = { blkx = ( { Name = x; ID = 3; Data = <" + std::string(408, 'a') +
                        ">; }, ); }; }";
    std::mt19937_64 rng(7);
    for (const auto& seed : {std::vector<uint8_t>(xml.begin(), xml.end()), binary,
                             std::vector<uint8_t>(ascii.begin(), ascii.end())}) {
        for (int i = 0; i < 1500; ++i) (void)udif::reader::parse_plist(testing_util::damage(seed, rng));
    }
}
