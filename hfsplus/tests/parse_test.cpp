// The volume header, B-tree nodes, catalog records and names, one structure at a time.
#include <gtest/gtest.h>

#include "btree.hpp"
#include "catalog.hpp"
#include "core/endian.hpp"
#include "extents.hpp"
#include "test_support.hpp"
#include "unicode.hpp"
#include "volume.hpp"

namespace {

using hfs_test::Bytes;
using hfs_test::error_text;
using hfs_test::make_node;

constexpr uint16_t kNode = 512;
const std::string kShort = "I/O error: failed to fill whole buffer";
// A catalog key (parent 2, the name "hi") whose length field is odd (7).
const Bytes kKey = {0, 7, 0, 0, 0, 2, 0, 2, 0, 'h', 0, 'i', 0xEE, 0, 1};

// Parses a header of `size` bytes in all that starts with `signature` and `version`.
hfsplus::Result<hfsplus::VolumeHeader> parse_header(size_t size, uint16_t signature, uint16_t version) {
    Bytes img(std::max<size_t>(size, 1028));
    core::store_be16(img.data() + 1024, signature);
    core::store_be16(img.data() + 1026, version);
    img.resize(size);
    core::MemorySource src(std::move(img));
    return hfsplus::volume::read_header(src);
}

// A record keyed by a u32 (key length 4), then `payload`.
Bytes keyed(uint32_t value, Bytes payload = {}) {
    Bytes r(6 + payload.size());
    core::store_be16(r.data(), 4);
    core::store_be32(r.data() + 2, value);
    std::copy(payload.begin(), payload.end(), r.begin() + 6);
    return r;
}

// A tree of 512-byte nodes laid out from byte 0 (block size = node size), root node 1.
hfsplus::BTreeHeader tree_over(size_t nodes) {
    hfsplus::BTreeHeader h;
    h.block_size = h.node_size = kNode;
    h.root_node = 1;
    h.fork.extents[0] = {0, uint32_t(nodes)};
    h.extents = {h.fork.extents[0]};
    return h;
}

core::MemorySource tree_image(const std::vector<Bytes>& nodes) {
    Bytes image;
    for (const auto& n : nodes) image.insert(image.end(), n.begin(), n.end());
    return core::MemorySource(std::move(image));
}

std::string search(const std::vector<Bytes>& nodes, uint32_t want) {
    auto src = tree_image(nodes);
    return error_text(hfsplus::btree::search_btree(src, tree_over(nodes.size()), [want](std::span<const uint8_t> r) {
        return r.size() < 6 ? std::nullopt : std::optional(core::load_be32(r.data() + 2) <=> want);
    }));
}

hfsplus::Result<hfsplus::BTreeNode> read_node(Bytes node, uint16_t node_size = kNode) {
    auto tree = tree_over(1);
    tree.node_size = node_size;
    core::MemorySource src(std::move(node));
    return hfsplus::btree::read_node(src, tree, 0);
}

Bytes with_be16(Bytes b, size_t at, uint16_t v) {
    core::store_be16(b.data() + at, v);
    return b;
}

TEST(Parse, MalformedStructuresFailWithTheirMessage) {
    using namespace hfsplus::catalog;
    const Bytes header = make_node(1, 0, {}, kNode);
    const Bytes two = make_node(-1, 1, {keyed(1), keyed(2)}, kNode);
    const Bytes folder = hfs_test::folder_record(7);
    const Bytes file_thread = hfs_test::thread_record(4, 9, u"név");
    size_t pos = 21;
    core::MemorySource leaf_as_header(make_node(-1, 1, {}, kNode)), fork_source(Bytes(79));
    Bytes extent_record = {0, 10, 0, 0, 0, 0, 0, 7, 0, 0, 0, 8};  // (file 7, data fork, block 8) ...
    extent_record.resize(12 + 40);                                // ... and five of its eight extents
    auto extents_tree = tree_image({header, make_node(-1, 1, {extent_record}, kNode)});

    const std::tuple<const char*, std::string, std::string> rows[] = {
        {"too short for a signature", error_text(parse_header(1025, 0x482B, 4)), kShort},
        {"plain HFS", error_text(parse_header(1536, 0x4244, 4)),
         "invalid HFS+ signature: 0x4244 (expected 0x482B or 0x4858)"},
        {"fork record cut short", error_text(hfsplus::volume::read_fork_data(fork_source)), kShort},
        {"fork record past the slice", error_text(parse_fork_data(Bytes(100), pos)), kShort},
        {"no signature", error_text(parse_header(1026, 0, 0)),
         "invalid HFS+ signature: 0x0000 (expected 0x482B or 0x4858)"},
        {"version 6", error_text(parse_header(1536, 0x482B, 6)), "unsupported version: 6"},
        {"header cut short", error_text(parse_header(1535, 0x482B, 4)), kShort},

        {"leaf as header node", error_text(hfsplus::btree::read_btree_header(leaf_as_header, tree_over(1).fork, kNode)),
         "invalid B-tree: expected header node, got kind 255"},
        {"255 records fill the offset table", error_text(read_node(with_be16(Bytes(kNode), 10, 255))), "ok"},
        {"node smaller than its descriptor", error_text(read_node(Bytes(kNode), 10)), kShort},
        {"256 records", error_text(read_node(with_be16(Bytes(kNode), 10, 256))),
         "corrupted data: offset table out of bounds"},
        {"record index", error_text(read_node(two)->record_data(2)), "invalid B-tree: record index 2 >= num_records 2"},
        {"record ends before it starts", error_text(read_node(with_be16(two, kNode - 2, 30))->record_data(0)),
         "invalid B-tree: invalid record offsets: start=30, end=20, len=512"},
        {"record ends past the node", error_text(read_node(with_be16(two, kNode - 6, 600))->record_data(1)),
         "invalid B-tree: invalid record offsets: start=20, end=600, len=512"},
        {"child beyond the fork", search({header, make_node(0, 2, {keyed(1, {0, 0, 0, 9})}, kNode)}, 1),
         "invalid B-tree: fork offset 4608 exceeds extent capacity"},
        {"index record without child", search({header, make_node(0, 2, {keyed(1, {0, 0})}, kNode)}, 1),
         "invalid B-tree: index record too short for child pointer: key_len=4, record_len=8"},
        {"index record without key", error_text(hfsplus::btree::extract_index_child(Bytes{0})),
         "invalid B-tree: index record too short"},
        {"index key unreadable", search({header, make_node(0, 2, {Bytes{0}}, kNode)}, 1),
         "invalid B-tree: unreadable key in record 0 of node 1"},

        {"extent record cut", error_text(hfsplus::extents::lookup_overflow_extents(extents_tree, tree_over(2), 7, 8)),
         "invalid B-tree: extent record too short"},
        {"catalog key too short", error_text(parse_catalog_key(std::span(kKey).first(7))),
         "invalid B-tree: catalog key too short"},
        {"catalog name cut", error_text(parse_catalog_key(std::span(kKey).first(11))),
         "invalid B-tree: catalog key name extends beyond data: name_end=12, data_len=11"},
        {"record without type", error_text(parse_catalog_record(Bytes{0})), "invalid B-tree: catalog record too short"},
        {"folder record cut", error_text(parse_catalog_record(std::span(folder).first(83))), kShort},
        {"thread name cut", error_text(parse_catalog_record(std::span(file_thread).first(file_thread.size() - 1))),
         kShort},
    };
    for (const auto& [what, got, expected] : rows) EXPECT_EQ(got, expected) << what;
}

TEST(Parse, HeaderAndKeyDecisions) {
    // The signature alone decides HFSX; the version may be 4 or 5 for either.
    EXPECT_TRUE(parse_header(1536, 0x4858, 4).value().is_hfsx);
    EXPECT_FALSE(parse_header(1536, 0x482B, 5).value().is_hfsx);
    // A key of odd length is padded before the record data.
    EXPECT_EQ(hfsplus::catalog::parse_catalog_key(kKey).value().data_offset, 10u);

    // Offsets through the extents, in 64 bits; beyond them, or with block size 0, none.
    hfsplus::ExtentRecord ext = {{{10, 2}, {100, 1}}};
    using hfsplus::btree::compute_fork_offset;
    EXPECT_EQ(*compute_fork_offset(ext, 4096, 4096 + 17), 11u * 4096 + 17);
    EXPECT_EQ(*compute_fork_offset(ext, 4096, 2 * 4096 + 5), 100u * 4096 + 5);
    EXPECT_EQ(error_text(compute_fork_offset(ext, 4096, 3 * 4096)),
              "invalid B-tree: fork offset 12288 exceeds extent capacity");
    ext[2] = {0xFFFFFFFF, 0xFFFFFFFF};
    EXPECT_EQ(*compute_fork_offset(ext, 0x10000, 3 * 0x10000 + 5), 0xFFFFFFFFull * 0x10000 + 5);
    EXPECT_FALSE(compute_fork_offset(ext, 0, 0));
}

TEST(Parse, NamesConvertAndOrderLikeMacOs) {
    using namespace hfsplus::unicode;
    auto u = [](std::u16string_view s) { return std::vector<uint16_t>(s.begin(), s.end()); };
    // Broken input becomes U+FFFD.
    EXPECT_EQ(utf16_to_string(std::vector<uint16_t>{'A', 0xD800, 'B', 0xDC00}), "A\uFFFDB\uFFFD");
    EXPECT_EQ(string_to_utf16("\xFF" "a\xE2\x82"), u(u"\uFFFDa\uFFFD\uFFFD"));

    const std::tuple<std::u16string_view, std::u16string_view, int> folded[] = {
        {u"abc", u"ABCD", -1}, {u"Ʒ", u"ʒ", 0},
        {std::u16string_view(u"\0", 1), u"\uFFFE", 1},  // U+0000 sorts after every other unit
        // Ignorable format characters.
        {u"a\u200Db", u"ab", 0}, {u"\uFEFFx\u202Ay\u206F", u"XY", 0}, {u"", u"\u200C", 0},
        {u"Ѓ", u"ѓ", -1},  // decomposes on disk, so it does not fold
        // Precomposed capitals from callers still fold.
        {u"\u00C4", u"\u00E4", 0}, {u"\u0178", u"\u00FF", 0}, {u"\u0130", u"i", 0},
        {u"\u0180", u"\u0243", -1},  // no case pair in the table
        {u"𝐀", u"𝐚", -1},            // surrogates compare unfolded
    };
    for (const auto& [a, b, order] : folded) {
        SCOPED_TRACE(utf16_to_string(u(a)) + " vs " + utf16_to_string(u(b)));
        auto o = compare_case_insensitive(u(a), u(b));
        EXPECT_EQ(o < 0 ? -1 : o > 0, order);
    }
    // HFSX compares plain units: NUL is not special, a prefix comes first.
    EXPECT_TRUE(compare_binary(u(u"\uFFFF"), u(std::u16string_view(u"\0", 1))) > 0);
    EXPECT_TRUE(compare_binary(u(u"abc"), u(u"abcd")) < 0);
}

}  // namespace
