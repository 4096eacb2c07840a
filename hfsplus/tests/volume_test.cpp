// Volumes written by the test writer, for the structures no tool writes:
// HFSX, compression, hard links, overflow chains, loops, bad records.
#include <gtest/gtest.h>

#include "core/endian.hpp"
#include "extents.hpp"
#include "test_support.hpp"
#include "testing/testing.hpp"

namespace {

using hfs_test::Bytes;
using hfs_test::error_text;
using hfs_test::open_memory;
using hfs_test::VolumeBuilder;
using testing_util::random_bytes;

Bytes text(std::string_view s) { return {s.begin(), s.end()}; }

// An HFSX catalog of 512-byte nodes (several leaves under index nodes): names
// compare unit by unit, in the walk's order and in lookups.  A damaged volume
// fails with the place it went wrong, loops included.
TEST(Volume, HfsxTreeAndDamagedVolumes) {
    VolumeBuilder sample(true, 512);
    const uint32_t a_b = sample.add_folder(sample.add_folder(2, u"a"), u"b");
    sample.add_folder(2, u"c");
    sample.add_file(2, u"file.txt", text("hello"));
    sample.add_file(2, u"Applications", text("apps"));
    sample.add_file(2, u"A", text("upper"));  // beside the folder "a"
    for (auto name : {u"\u00E4rger", u"\u01C5", u"_under"}) sample.add_file(2, name, {});
    const Bytes image = sample.build();
    auto vol = open_memory(image);
    std::vector<std::string> paths;
    const auto walk = vol.walk().value();
    for (const auto& w : walk) paths.push_back(w.path);
    // Pre-order, "A" before "Applications" before "_" (0x5F) before "a".
    EXPECT_EQ(paths, (std::vector<std::string>{"/A", "/Applications", "/_under", "/a", "/a/b", "/c", "/file.txt",
                                               "/\u00E4rger", "/\u01C5"}));
    EXPECT_EQ(vol.stat("/file.txt").value().mode, 0100644);
    EXPECT_EQ(vol.stat("/a//b/").value().id, a_b);
    EXPECT_EQ(vol.read_file("/A").value(), text("upper"));
    for (const char* other : {"/APPLICATIONS", "/\u00C4RGER", "/\u01C6"})
        EXPECT_EQ(error_text(vol.stat(other)), std::string("file not found: ") + (other + 1));

    VolumeBuilder b;
    const uint32_t a = b.add_folder(2, u"a"), bad = b.add_folder(2, u"bad");
    b.add_record(a, u"again", hfs_test::folder_record(a));              // a folder listed inside itself
    b.add_record(bad, u"thread", hfs_test::thread_record(3, 1, u"x"));  // a thread record under a name
    b.add_record(bad, u"bare", {});
    b.add_record(bad, u"junk", {0, 9, 0, 0});
    b.add_compressed(2, u"type 13", {codec_testing::decmpfs_header(13, 5), {}});
    // Extent chains that end early: no data-fork record after the inline
    // extents, only a resource-fork one that must not be taken for it, or a
    // record whose first extent is empty; and an extent past the image's end.
    const Bytes cut = random_bytes(8 * 4096, 8);
    const uint32_t cut_id = b.add_file(2, u"cut \"short\"", cut, 8, 12 * 4096);
    b.extent_records[{cut_id, hfsplus::kResourceForkType, 8}] = {{{1, 1}}};
    const uint32_t empty_id = b.add_file(2, u"empty record", random_bytes(4096, 9), 1, 3 * 4096);
    b.extent_records[{empty_id, hfsplus::kDataForkType, 1}] = {};
    b.add_file(2, u"huge", random_bytes(4096, 10), 1, 1ull << 40);  // refused before anything is read
    b.add_file_record(2, u"past the end", {.logical_size = 4096, .total_blocks = 1, .extents = {{{1u << 20, 1}}}}, {});
    auto odd = open_memory(b.build());

    // The sample with one change to its catalog (at its start, its root node, its last leaf).
    auto patched = [&](auto change) {
        Bytes img = image;
        uint8_t* c = img.data() + sample.catalog_offset;
        change(c, c + sample.catalog_root * 512, c + sample.last_leaf * 512);
        return open_memory(std::move(img));
    };
    auto leaf_loop = patched([&](uint8_t*, uint8_t*, uint8_t* last) { core::store_be32(last, sample.last_leaf); });
    auto index_loop = patched([&](uint8_t*, uint8_t* root, uint8_t*) {  // the root's first child is the root
        const uint16_t first = core::load_be16(root + 510);
        core::store_be32(root + first + 2 + core::load_be16(root + first), sample.catalog_root);
    });
    auto map_root = patched([](uint8_t*, uint8_t* root, uint8_t*) { root[8] = 2; });
    auto empty = patched([](uint8_t* c, uint8_t*, uint8_t*) { core::store_be32(c + 16, 0); });  // root node 0
    const std::string thread = "corrupted data: unexpected thread record", early = "; its extent chain ends early";

    const std::tuple<const char*, std::string, std::string> rows[] = {
        {"missing folder", error_text(vol.stat("/missing/x")), "file not found: missing"},
        {"\"..\" is a name", error_text(vol.stat("/a/../c")), "file not found: a/.."},
        {"stat of a thread", error_text(odd.stat("/bad/thread")), thread},
        {"listing a thread", error_text(odd.list_directory("/bad/thread")), thread},
        {"reading a thread", error_text(odd.read_file("/bad/thread")), thread},
        {"below a thread", error_text(odd.stat("/bad/thread/x")), thread + " in path resolution"},
        {"key without data", error_text(odd.stat("/bad/bare")), "invalid B-tree: record data missing after key"},
        {"unknown type", error_text(odd.list_directory("/bad")), "invalid B-tree: unknown catalog record type: 0x0009"},
        {"folder in itself", error_text(odd.walk()),
         "corrupted data: folder id 16 at /a/again was already walked (catalog loop)"},
        {"compression type 13", error_text(odd.read_file("/type 13")),
         "unsupported: file \"/type 13\": compression type 13 is not supported"},
        {"chain ends early", error_text(odd.read_file("/cut \"short\"")),
         "corrupted data: file \"/cut \\\"short\\\"\" declares 49152 bytes but only 32768 could be read" + early},
        {"empty overflow record", error_text(odd.read_file("/empty record")),
         "corrupted data: file \"/empty record\" declares 12288 bytes but only 4096 could be read" + early},
        {"size beyond the image", error_text(odd.read_file("/huge")),
         "corrupted data: file 21 declares 1099511627776 bytes, more than the volume's 114688"},
        {"extent past the end", error_text(odd.read_file("/past the end")), "I/O error: failed to fill whole buffer"},
        // The last leaf holds the thread of the last file added.
        {"leaf chain loop", error_text(leaf_loop.list_directory("/_under")),
         "invalid B-tree: leaf chain longer than the 16 nodes of the tree (cycle in leaf links)"},
        {"index loop", error_text(index_loop.stat("/")),
         "invalid B-tree: descent deeper than 64 levels (cycle in index nodes)"},
        {"map node as root", error_text(map_root.stat("/a")), "invalid B-tree: unexpected node kind 2 during search"},
        {"map node in a walk", error_text(map_root.walk()),
         "invalid B-tree: unexpected node kind 2 during leaf search"},
        {"empty tree: the root", error_text(empty.stat("/")), "file not found: root folder"},
    };
    for (const auto& [what, got, expected] : rows) EXPECT_EQ(got, expected) << what;
    core::VecSink sink;
    EXPECT_EQ(odd.read_file_to("/cut \"short\"", sink).value(), 8u * 4096);  // streaming keeps what there is
    EXPECT_TRUE(sink.data() == cut);
}

// Compressed files, their data in the attribute or in a resource fork that
// continues in overflow records, hard links, and a data fork in twenty
// extents.  (Each compression type's decoding is the codec's own concern.)
TEST(Content, CompressedFilesAndHardLinksAgreeWithSevenZip) {
    KIV_REQUIRE_TOOL("7zz");
    Bytes data = random_bytes(300000, 4);
    for (auto& c : data) c = uint8_t('a' + c % 16);  // compresses to about half
    VolumeBuilder b;
    b.add_compressed(2, u"inline", codec_testing::encode_decmpfs(3, std::span(data).first(3000)));
    b.add_compressed(2, u"resource fork", codec_testing::encode_decmpfs(4, data), 12);
    b.add_hard_links(text("shared"), {{2, u"link one"}, {b.add_folder(2, u"dir"), u"link two"}});
    b.add_file(2, u"fragmented", random_bytes(20 * 4096 - 100, 5), 20);  // overflow records at 8 and 16 blocks
    const Bytes image = b.build();
    testing_util::ScratchDir scratch;
    testing_util::write_bytes(scratch / "v.hfs", image);
    auto vol = open_memory(image);
    hfs_test::expect_matches_seven_zip(vol, scratch / "v.hfs", 5);
}

}  // namespace
