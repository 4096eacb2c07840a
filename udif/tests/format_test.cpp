// Checksum helpers, block maps and the resource-fork property list.
#include <gtest/gtest.h>

#include "core/endian.hpp"
#include "image_util.hpp"
#include "testing/testing.hpp"

using namespace udif_test;

namespace {

std::string plist_error(const std::string& text) { return error_text(udif::reader::parse_plist(core::as_bytes(text))); }

std::string repeat(const std::string& s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

// A binary list of the given objects, object 0 at the top; offsets 4 and
// references 2 bytes wide.
std::vector<uint8_t> bplist(const std::vector<std::vector<uint8_t>>& objects) {
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
    return out;
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

// Ids and attributes are strings parsed strictly; names fall back to CFName.
TEST(PropertyList, IdsAttributesAndNames) {
    struct Row {
        std::string keys;
        int32_t id = 0;
        uint32_t attributes = 0;
        std::string name = "";
    };
    const Row rows[] = {
        {"<key>ID</key><string>-1</string>", -1},
        {"<key>ID</key><string>+7</string>", 7},
        {"<key>ID</key><string>-2147483648</string>", INT32_MIN},
        {"<key>ID</key><string>2147483648</string>"},
        {"<key>ID</key><string> 3</string>"},
        {"<key>ID</key><integer>3</integer>"},
        {"<key>Attributes</key><string>0x0050</string>", 0, 0x50},
        {"<key>Attributes</key><string>0x+ff</string>", 0, 0xFF},
        {"<key>Attributes</key><string>80</string>", 0, 80},
        {"<key>Attributes</key><string>0X50</string>"},
        {"<key>Attributes</key><string>0x</string>"},
        {"<key>Attributes</key><string>-5</string>"},
        {"<key>Attributes</key><string>0x100000000</string>"},
        {"<key>Name</key><string>a &amp; b &lt;c&gt;</string>", 0, 0, "a & b <c>"},
        // Localised images leave "Name" empty and carry the name in "CFName".
        {"<key>Name</key><string></string><key>CFName</key><string>disk image（Apple_APFS: 4）</string>", 0, 0,
         "disk image（Apple_APFS: 4）"},
        {"<key>Name</key><string>n</string><key>CFName</key><string>c</string>", 0, 0, "n"},
        {"<key>Name</key><integer>1</integer><key>CFName</key><integer>2</integer>"},
    };
    for (const auto& row : rows) {
        auto r = udif::reader::parse_plist(core::as_bytes(with_keys(row.keys)));
        ASSERT_TRUE(r) << r.error().message();
        EXPECT_EQ(std::tie((*r)[0].id, (*r)[0].attributes, (*r)[0].name), std::tie(row.id, row.attributes, row.name)) << row.keys;
    }
}

TEST(PropertyList, MalformedListsAreRefused) {
    const std::pair<std::string, std::string> rows[] = {
        {"<plist><array/></plist>", "expected dictionary"},
        {"<plist><dict/></plist>", "missing resource-fork"},
        {"<plist><dict><key>resource-fork</key><string/></dict></plist>", "missing resource-fork"},
        {"<plist><dict><key>resource-fork</key><dict/></dict></plist>", "missing blkx array"},
        {with_items("<string>x</string>"), "blkx entry not a dictionary"},
        {with_items("<dict><key>Name</key><string>x</string></dict>"), "missing Data in blkx entry"},
        {with_items("<dict><key>Data</key><string>x</string></dict>"), "missing Data in blkx entry"},
        {"<plist><dict><key>unclosed", "plist parse error: malformed XML property list"},
        {"bplist00garbage", "plist parse error: malformed binary property list"},
        // The old-style text form.
        {"", "plist parse error: unexpected end of data at offset 0"},
        {"(1) x", "plist parse error: unexpected data after the root object at offset 4"},
        {"{ a 1; }", "plist parse error: expected '=' at offset 4"},
        {"{ a = 1 }", "plist parse error: expected ';' at offset 8"},
        {"{ a = (1, 2; }", "plist parse error: expected ',' or ')' at offset 11"},
        {"( ; )", "plist parse error: unexpected character at offset 2"},
        {"(<abc", "plist parse error: unterminated data at offset 5"},
        {"(<zz>)", "plist parse error: invalid character in data at offset 3"},
        {"{ a = <abc>; }", "plist parse error: odd number of hex digits in data at offset 11"},
        {"( \"open", "plist parse error: unterminated string at offset 7"},
        {"(\"a\\", "plist parse error: unterminated string at offset 4"},
        {"(\"\\u\")", "plist parse error: invalid unicode escape at offset 4"},
        // Nesting is bounded, not followed to the bottom of the stack, in
        // every form; closing tags that a reader may skip (in comments, CDATA,
        // declarations or quotes) do not count as closing.
        {std::string(100000, '('), "plist parse error: nesting too deep at offset 513"},
        {repeat("<array>", 100000), "plist parse error: nesting too deep at offset 3584"},
        {repeat("<array><!-- </array> -->", 600), "plist parse error: nesting too deep at offset 12288"},
        {repeat("<array><string><![CDATA[</array>]]></string>", 600), "plist parse error: nesting too deep at offset 22491"},
        {"<!DOCTYPE p [ <!ENTITY e \"]>\"> ]>" + repeat("<array a='>'></array>", 1) + repeat("<array a='</array>'>", 600),
         "plist parse error: nesting too deep at offset 10294"},
    };
    for (const auto& [text, message] : rows) {
        SCOPED_TRACE(text.substr(0, 80));
        EXPECT_EQ(plist_error(text), "invalid plist: " + message);
    }
    EXPECT_EQ(plist_error(with_items("<dict><key>Data</key><data>AAAA</data></dict>")),
              "invalid block map: mish data too short");
    // Deep but within the bound, and many elements that close themselves.
    auto around = [](const std::string& inner) {
        return "<plist><dict><key>x</key>" + inner + "<key>resource-fork</key><dict><key>blkx</key><array/></dict></dict></plist>";
    };
    EXPECT_EQ(plist_error(around(repeat("<array>", 500) + repeat("</array>", 500))), "ok");
    EXPECT_EQ(plist_error(around("<array>" + repeat("<true/><array/>", 1000) + "</array>")), "ok");

    // Binary lists: a reference chain deeper than the bound, a cycle, and
    // shared arrays whose tree (what libplist builds) would hold 2^40 nodes.
    std::vector<std::vector<uint8_t>> chain, shared;
    for (uint16_t i = 0; i < 600; ++i) chain.push_back(bplist_array({uint16_t(i + 1)}));
    for (uint16_t i = 0; i < 40; ++i) shared.push_back(bplist_array({uint16_t(i + 1), uint16_t(i + 1)}));
    chain.push_back(bplist_array({}));
    shared.push_back(bplist_array({}));
    const std::pair<std::vector<uint8_t>, std::string> binary[] = {
        {bplist(chain), "plist parse error: nesting too deep at offset 1544"},
        {bplist({bplist_array({0})}), "plist parse error: nesting too deep at offset 8"},
        {bplist(shared), "plist parse error: too many object references"},
        {bplist({bplist_array({1, 1}), bplist_array({})}), "expected dictionary"},
    };
    for (const auto& [bytes, message] : binary) EXPECT_EQ(error_text(udif::reader::parse_plist(bytes)), "invalid plist: " + message);
}

// The binary form (Python's plistlib converting the writer's XML) and the
// old-style text form read like the XML.
TEST(PropertyList, BinaryAndAsciiFormsReadLikeXml) {
    auto hex = [](const std::vector<uint8_t>& bytes) {
        std::string out;
        for (uint8_t b : bytes) {
            out += "0123456789abcdef"[b >> 4];
            out += "0123456789abcdef"[b & 15];
            if (out.size() % 9 == 8) out += ' ';  // spaces inside the data are allowed
        }
        return out;
    };
    auto summary = [&](std::span<const uint8_t> bytes) {
        auto parsed = udif::reader::parse_plist(bytes);
        std::string out = error_text(parsed);
        for (const auto& e : parsed.value_or(std::vector<udif::PartitionEntry>{}))
            out += "; " + e.name + " " + std::to_string(e.id) + " " + hex(e.block_map.to_bytes());
        return out;
    };
    const std::string map = hex(udif::MishHeader{}.to_bytes()), want = "ok; volume (Apple_HFS : 3) 3 " + map + "; free -1 " + map;
    const std::string xml = udif::resource_fork_xml({{.name = "volume (Apple_HFS : 3)", .runs = {}, .id = 3}, {.name = "free", .runs = {}, .id = -1}});
    EXPECT_EQ(summary(core::as_bytes(xml)), want);
    const std::string ascii = "// old-style\n{ \"resource-fork\" = { blkx = (\n  { Name = \"volume (Apple_HFS : 3)\"; ID = 3; Data = <" +
                              map + ">; },\n  { Name = free; /* note */ ID = \"-1\"; Data = <" + map + ">; },\n); }; }\n";
    EXPECT_EQ(summary(core::as_bytes(ascii)), want);
    KIV_REQUIRE_TOOL("python3");
    testing_util::ScratchDir dir;
    testing_util::write_text(dir / "list.plist", xml);
    auto binary = testing_util::run("python3 -c 'import plistlib, sys; sys.stdout.buffer.write(plistlib.dumps("
                                    "plistlib.load(open(sys.argv[1], \"rb\")), fmt=plistlib.FMT_BINARY))' " +
                                    testing_util::shell_quote(dir / "list.plist"));
    ASSERT_TRUE(binary.output.starts_with("bplist00"));
    EXPECT_EQ(summary(core::as_bytes(binary.output)), want);
}
