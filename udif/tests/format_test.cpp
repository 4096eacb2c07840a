// Block maps and the resource-fork property list in its three forms.
#include <gtest/gtest.h>

#include "core/endian.hpp"
#include "image_util.hpp"
#include "testing/testing.hpp"

using namespace udif_test;

namespace {

// A parse as text: its error, or "ok" and each entry's id, attributes,
// sector count and name.
std::string describe(std::string_view text) {
    // On the heap and of the exact size, so that the sanitizer sees a read
    // on either side of the list.
    const std::vector<uint8_t> bytes(text.begin(), text.end());
    auto parsed = udif::reader::parse_plist(bytes);
    std::string out = error_text(parsed);
    for (const auto& e : parsed.value_or(std::vector<udif::PartitionEntry>{}))
        out += "; " + std::to_string(e.id) + " " + std::to_string(e.attributes) + " " + std::to_string(e.block_map.sector_count) +
               " " + e.name;
    return out;
}

std::string repeat(const std::string& s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

// A binary list of the given objects, object 0 at the top; offsets 4 and
// references 2 bytes wide.
std::string bplist(const std::vector<std::vector<uint8_t>>& objects) {
    std::vector<uint8_t> out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<uint32_t> offsets;
    for (const auto& o : objects) {
        offsets.push_back(uint32_t(out.size()));
        out.insert(out.end(), o.begin(), o.end());
    }
    uint64_t table = out.size();
    for (uint32_t at : offsets) core::append_be32(out, at);
    out.insert(out.end(), {0, 0, 0, 0, 0, 0, 4, 2});
    core::append_be64(out, objects.size());
    core::append_be64(out, 0);
    core::append_be64(out, table);
    return std::string(out.begin(), out.end());
}
std::vector<uint8_t> bplist_array(const std::vector<uint16_t>& refs) {
    std::vector<uint8_t> out = {uint8_t(0xA0 | refs.size())};
    for (uint16_t r : refs) core::append_be16(out, r);
    return out;
}

// The writer's property list for one partition with `items` in place of
// its "blkx" array's element, or of that element's keys other than Data.
const std::string kOne = udif::resource_fork_xml({{}});
std::string with_items(const std::string& items) {
    size_t from = kOne.find("<dict>", kOne.find("<array>")), to = kOne.find("</array>");
    return kOne.substr(0, from) + items + kOne.substr(to);
}
std::string with_keys(const std::string& keys) {
    size_t data = kOne.find("<key>Data</key>"), end = kOne.find("</data>") + 7;
    return with_items("<dict>" + keys + kOne.substr(data, end - data) + "</dict>");
}

}  // namespace

TEST(BlockMap, MalformedMapsAreRefused) {
    udif::MishHeader m;
    m.runs = {run(BlockType::Zlib, 0, 1), run(BlockType::Terminator, 1, 0)};
    auto two_runs = m.to_bytes();
    auto with = [](std::vector<uint8_t> bytes, size_t at, uint32_t value) {
        core::store_be32(&bytes[at], value);
        return bytes;
    };
    const std::pair<std::vector<uint8_t>, std::string> rows[] = {
        // Run counts the bytes cannot hold: a short read, not an allocation.
        {with(two_runs, 200, 3), "I/O error: failed to fill whole buffer"},
        {with(two_runs, 200, 0xFFFFFFFF), "I/O error: failed to fill whole buffer"},
        {std::vector<uint8_t>(203, 0), "invalid block map: mish data too short"},
        {std::vector<uint8_t>(204, 0), "invalid block map: invalid mish magic: [0, 0, 0, 0]"},
        {with(two_runs, 204, 3), "unsupported compression type: 0x3"},
        {with(two_runs, 244, 0x80000009), "unsupported compression type: 0x80000009"},
    };
    for (const auto& [bytes, text] : rows) EXPECT_EQ(error_text(udif::MishHeader::from_bytes(bytes)), text);
    EXPECT_EQ(error_text(udif::BlockRun::from_bytes(std::vector<uint8_t>(39, 0))), "invalid block map: block run too short");
}

// Entries: ids and attributes are strings parsed strictly, names fall back
// to CFName.  Lists of the wrong shape or form are refused, and nesting is
// bounded, not followed to the bottom of the stack, in every form.
TEST(PropertyList, EntriesAndMalformedLists) {
    const std::string bad = "invalid plist: ", parse = bad + "plist parse error: ", deep = parse + "nesting too deep at offset ";
    auto around = [](const std::string& inner) {
        return "<plist><dict><key>x</key>" + inner + "<key>resource-fork</key><dict><key>blkx</key><array/></dict></dict></plist>";
    };
    // Binary lists: a cycle, and shared arrays whose tree (what libplist
    // builds) would hold 2^40 nodes.  (Plain deep lists of both forms are
    // among the hostile images.)
    std::vector<std::vector<uint8_t>> shared;
    for (uint16_t i = 0; i < 40; ++i) shared.push_back(bplist_array({uint16_t(i + 1), uint16_t(i + 1)}));
    shared.push_back(bplist_array({}));
    // "ok", then each entry's id, attributes, sector count and name.
    const std::pair<std::string, std::string> rows[] = {
        {with_keys("<key>ID</key><string>-1</string>"), "ok; -1 0 0 "},
        {with_keys("<key>ID</key><string>+7</string>"), "ok; 7 0 0 "},
        {with_keys("<key>ID</key><string>-2147483648</string>"), "ok; -2147483648 0 0 "},
        {with_keys("<key>ID</key><string>2147483648</string>"), "ok; 0 0 0 "},
        {with_keys("<key>ID</key><string> 3</string>"), "ok; 0 0 0 "},
        {with_keys("<key>ID</key><integer>3</integer>"), "ok; 0 0 0 "},
        {with_keys("<key>Attributes</key><string>0x+ff</string>"), "ok; 0 255 0 "},
        {with_keys("<key>Attributes</key><string>0X50</string>"), "ok; 0 0 0 "},
        {with_keys("<key>Attributes</key><string>0x</string>"), "ok; 0 0 0 "},
        {with_keys("<key>Attributes</key><string>-5</string>"), "ok; 0 0 0 "},
        {with_keys("<key>Attributes</key><string>0x100000000</string>"), "ok; 0 0 0 "},
        // Localised images leave "Name" empty and carry the name in "CFName".
        {with_keys("<key>Name</key><string></string><key>CFName</key><string>disk image（Apple_APFS: 4）</string>"),
         "ok; 0 0 0 disk image（Apple_APFS: 4）"},
        {with_keys("<key>Name</key><string>n</string><key>CFName</key><string>c</string>"), "ok; 0 0 0 n"},
        {"<plist><array/></plist>", bad + "expected dictionary"},
        {"<plist><dict/></plist>", bad + "missing resource-fork"},
        {"<plist><dict><key>resource-fork</key><string/></dict></plist>", bad + "missing resource-fork"},
        {"<plist><dict><key>resource-fork</key><dict/></dict></plist>", bad + "missing blkx array"},
        {with_items("<string>x</string>"), bad + "blkx entry not a dictionary"},
        {with_items("<dict><key>Name</key><string>x</string></dict>"), bad + "missing Data in blkx entry"},
        {with_items("<dict><key>Data</key><string>x</string></dict>"), bad + "missing Data in blkx entry"},
        {with_items("<dict><key>Data</key><data>AAAA</data></dict>"), "invalid block map: mish data too short"},
        {"<plist><dict><key>unclosed", parse + "malformed XML property list"},
        {"bplist00garbage", parse + "malformed binary property list"},
        // The old-style text form.
        {"", parse + "unexpected end of data at offset 0"},
        {"(1) x", parse + "unexpected data after the root object at offset 4"},
        {"{ a 1; }", parse + "expected '=' at offset 4"},
        {"{ a = 1 }", parse + "expected ';' at offset 8"},
        {"{ a = (1, 2; }", parse + "expected ',' or ')' at offset 11"},
        {"( ; )", parse + "unexpected character at offset 2"},
        {"(<abc", parse + "unterminated data at offset 5"},
        {"(<zz>)", parse + "invalid character in data at offset 3"},
        {"{ a = <abc>; }", parse + "odd number of hex digits in data at offset 11"},
        {"( \"open", parse + "unterminated string at offset 7"},
        {"(\"a\\", parse + "unterminated string at offset 4"},
        {"(\"\\u\")", parse + "invalid unicode escape at offset 4"},
        // Closing tags that a reader may skip (in comments, CDATA,
        // declarations or quotes) do not count as closing.
        {std::string(100000, '('), deep + "513"},
        {repeat("<array><!-- </array> -->", 600), deep + "12288"},
        {repeat("<array><string><![CDATA[</array>]]></string>", 600), deep + "22491"},
        {"<!DOCTYPE p [ <!ENTITY e \"]>\"> ]>" + repeat("<array a='>'></array>", 1) + repeat("<array a='</array>'>", 600),
         deep + "10294"},
        // Deep but within the bound, and many elements that close themselves.
        {around(repeat("<array>", 500) + repeat("</array>", 500)), "ok"},
        {around("<array>" + repeat("<true/><array/>", 1000) + "</array>"), "ok"},
        {bplist({bplist_array({0})}), deep + "8"},
        {bplist(shared), parse + "too many object references"},
        {bplist({bplist_array({1, 1}), bplist_array({})}), bad + "expected dictionary"},
    };
    for (const auto& [text, want] : rows) EXPECT_EQ(describe(text), want) << text.substr(0, 80);
}

// The binary form (Python's plistlib converting the writer's XML) and the
// old-style text form read like the XML.
TEST(PropertyList, BinaryAndAsciiFormsReadLikeXml) {
    udif::MishHeader map;
    map.sector_count = 4;
    std::string hex;
    for (uint8_t b : map.to_bytes()) {
        hex += "0123456789abcdef"[b >> 4];
        hex += "0123456789abcdef"[b & 15];
        if (hex.size() % 9 == 8) hex += ' ';  // spaces inside the data are allowed
    }
    const std::string xml = udif::resource_fork_xml(
        {{.name = "volume (Apple_HFS : 3)", .runs = {}, .sector_count = 4, .id = 3}, {.name = "free", .runs = {}, .sector_count = 4, .id = -1}});
    const std::string want = "ok; 3 80 4 volume (Apple_HFS : 3); -1 80 4 free";
    EXPECT_EQ(describe(xml), want);
    EXPECT_EQ(describe("// old-style\n{ \"resource-fork\" = { blkx = (\n  { Name = \"volume (Apple_HFS : 3)\"; ID = 3; Attributes = 0x0050; Data = <" +
                       hex + ">; },\n  { Name = free; /* note */ ID = \"-1\"; Attributes = \"80\"; Data = <" + hex + ">; },\n); }; }\n"),
              want);
    KIV_REQUIRE_TOOL("python3");
    testing_util::ScratchDir dir;
    testing_util::write_text(dir / "list.plist", xml);
    auto binary = testing_util::run("python3 -c 'import plistlib, sys; sys.stdout.buffer.write(plistlib.dumps("
                                    "plistlib.load(open(sys.argv[1], \"rb\")), fmt=plistlib.FMT_BINARY))' " +
                                    testing_util::shell_quote(dir / "list.plist"));
    ASSERT_TRUE(binary.output.starts_with("bplist00"));
    EXPECT_EQ(describe(binary.output), want);
}
