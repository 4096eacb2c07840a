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
std::u16string u16(std::string_view s) { return {s.begin(), s.end()}; }

// An HFSX catalog of 512-byte nodes: several leaves under index nodes.
VolumeBuilder hfsx_sample() {
    VolumeBuilder sample(true, 512);
    sample.add_folder(sample.add_folder(2, u"a"), u"b");
    sample.add_folder(2, u"c");
    sample.add_file(2, u"file.txt", text("hello"));
    sample.add_file(2, u"Applications", text("apps"));
    sample.add_file(2, u"A", text("upper"));  // beside the folder "a"
    for (auto name : {u"\u00E4rger", u"\u01C5", u"_under"}) sample.add_file(2, name, {});
    return sample;
}

// An HFSX catalog of 512-byte nodes (several leaves under index nodes): names
// compare unit by unit, in the walk's order and in lookups.  A damaged volume
// fails with the place it went wrong, loops included.
TEST(Volume, HfsxTreeAndDamagedVolumes) {
    VolumeBuilder sample = hfsx_sample();
    const uint32_t a_b = 17;  // the first two folders added
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
         "corrupted data: file 21 declares 1099511627776 bytes, more than the volume's 122880"},
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

// Catalog failures that need no damage, limits on damaged catalogs, and
// damaged records met by a search or a listing, which fail rather than
// report a miss or a shorter listing.
TEST(Catalog, FailuresAndBounds) {
    VolumeBuilder sample = hfsx_sample();
    const Bytes image = sample.build();
    auto vol = open_memory(image);
    VolumeBuilder b;
    const uint32_t a = b.add_folder(2, u"a");
    b.add_record(a, u"again", hfs_test::folder_record(a));  // a folder listed inside itself
    // Compressed files that cannot be decoded, and a hard link to nothing.
    b.add_compressed(2, u"type 13", {codec_testing::decmpfs_header(13, 5), {}});
    b.add_compressed(2, u"no magic", {Bytes(16), {}});
    b.add_hard_links(text("x"), {{2, u"linked"}});
    b.add_file_record(2, u"dangling", {}, {}, 0x02, 999, true);
    // A link to iNode23, itself a link (to iNode20) in the private folder (19).
    b.add_file_record(19, u"iNode23", {}, {}, 0x02, 20, true);
    b.add_file_record(2, u"chained", {}, {}, 0x02, 23, true);
    auto odd = open_memory(b.build());

    // The sample with one change to its catalog (at its start, its root node, its first leaf).
    auto patched = [&](auto change) {
        Bytes img = image;
        uint8_t* c = img.data() + sample.catalog_offset;
        change(c, c + sample.catalog_root * 512, c + 512);
        return img;
    };
    // A record's name length set beyond the record: record `i` of a node.
    auto unreadable = [](uint8_t* node, size_t i) { core::store_be16(node + core::load_be16(node + 510 - 2 * i) + 6, 0xFFFF); };
    auto index_loop = patched([&](uint8_t*, uint8_t* root, uint8_t*) {  // the root's first child is the root
        const uint16_t first = core::load_be16(root + 510);
        core::store_be32(root + first + 2 + core::load_be16(root + first), sample.catalog_root);
    });
    auto empty = open_memory(patched([](uint8_t* c, uint8_t*, uint8_t*) { core::store_be32(c + 16, 0); }));
    auto bad_index = open_memory(patched([&](uint8_t*, uint8_t* root, uint8_t*) { unreadable(root, 1); }));
    // The first leaf holds the root folder, its thread, then "A".
    auto bad_leaf = open_memory(patched([&](uint8_t*, uint8_t*, uint8_t* leaf) { unreadable(leaf, 2); }));
    auto node_size = [&](uint16_t size) {
        return error_text(hfsplus::HfsVolume::open(std::make_unique<core::MemorySource>(
            patched([&](uint8_t* c, uint8_t*, uint8_t*) { core::store_be16(c + 32, size); }))));
    };
    std::string sizes;
    const auto listing = odd.list_directory("/").value();
    for (const auto& e : listing)
        if (e.kind == hfsplus::EntryKind::File) sizes += e.name + " " + std::to_string(e.size) + ", ";
    const std::string descent = "invalid B-tree: descent deeper than 64 levels (cycle in index nodes)",
                      node_error = " is not a power of two from 512 to 32768";
    const std::string bad_root = "invalid B-tree: unreadable key in record 1 of node " +
                                 std::to_string(sample.catalog_root);

    const std::tuple<const char*, std::string, std::string> rows[] = {
        {"missing file", error_text(vol.stat("/a/missing")), "file not found: a/missing"},
        {"below a file", error_text(vol.stat("/file.txt/x")), "not a directory: file.txt"},
        {"reading a folder", error_text(vol.read_file("/a/b")), "not a directory: /a/b"},
        {"resolution stays finite", error_text(odd.stat("/a/again/again/again")), "ok"},
        {"index loop: walk", error_text(open_memory(index_loop).walk()), descent},
        {"empty tree: a name", error_text(empty.stat("/a")), "file not found: a"},
        {"empty tree: a walk", error_text(empty.walk()), "ok"},
        {"node size 1000", node_size(1000), "invalid B-tree: node size 1000" + node_error},
        {"node size 256", node_size(256), "invalid B-tree: node size 256" + node_error},
        {"damaged index record", error_text(bad_index.stat("/file.txt")), bad_root},
        {"damaged leaf record: lookup", error_text(bad_leaf.stat("/A")),
         "invalid B-tree: unreadable key in record 2 of node 1"},
        {"damaged leaf record: listing", error_text(bad_leaf.list_directory("/")),
         "invalid B-tree: catalog key name extends beyond data: name_end=131078, data_len=258"},
        {"compressed: unknown type", error_text(odd.read_file("/type 13")),
         "unsupported: file \"/type 13\": compression type 13 is not supported"},
        {"compressed: no magic", error_text(odd.stat("/no magic")),
         "corrupted data: compressed file \"/no magic\": decmpfs attribute lacks the magic \"fpmc\""},
        {"hard link to nothing", error_text(odd.read_file("/dangling")),
         "corrupted data: hard link \"/dangling\" points to iNode999, which the private data folder does not hold"},
        {"hard link to a link", error_text(odd.read_file("/chained")),
         "corrupted data: hard link \"/chained\" points to iNode23, which the private data folder does not hold"},
        {"listing sizes of the damaged", sizes, "chained 0, dangling 0, linked 1, no magic 0, type 13 5, "},
    };
    for (const auto& [what, got, expected] : rows) EXPECT_EQ(got, expected) << what;
}

// A catalog and an attributes file grown past their eight inline extents
// continue in overflow records keyed by file ids 4 and 8 (two records each),
// as on a volume written to over time.
TEST(Trees, CatalogAndAttributesBeyondEightExtents) {
    VolumeBuilder b;
    b.catalog_fragments = b.attributes_fragments = 100;  // one block, one node each
    const uint32_t dir = b.add_folder(2, u"folder");
    for (int i = 0; i < 60; ++i) b.add_file(dir, u16("file " + std::to_string(i) + std::string(200, '.')), text("data"));
    std::vector<Bytes> packed;  // one attribute per node
    for (int i = 0; i < 20; ++i) {
        packed.push_back(random_bytes(3000, 100 + i));
        b.add_compressed(2, u16("packed " + std::to_string(i)), codec_testing::encode_decmpfs(3, packed.back()));
    }
    const Bytes image = b.build();
    auto vol = open_memory(image);
    EXPECT_GE(vol.header().catalog_file.total_blocks, 17u);
    EXPECT_GE(vol.header().attributes_file.total_blocks, 17u);
    EXPECT_EQ(vol.walk().value().size(), 81u);
    EXPECT_EQ(vol.list_directory("/folder").value().size(), 60u);
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(hfs_test::read(vol, "/packed " + std::to_string(i)) == packed[i]) << i;
    if (testing_util::have_tool("7zz")) {
        testing_util::ScratchDir scratch;
        testing_util::write_bytes(scratch / "v.hfs", image);
        hfs_test::expect_matches_seven_zip(vol, scratch / "v.hfs", 80);
    }

    // A damaged extents tree fails the opening of a volume whose catalog needs it.
    Bytes damaged = image;
    damaged[b.extents_offset + 4096 + 8] = 2;  // the extents tree's root, its only leaf, as a map node
    EXPECT_EQ(error_text(hfsplus::HfsVolume::open(std::make_unique<core::MemorySource>(damaged))),
              "invalid B-tree: unexpected node kind 2 during search");
}

// The root folder resolves whatever its name holds; a "/" in it, as in any
// name, shows as ":".
TEST(Catalog, VolumeNamedWithASlash) {
    VolumeBuilder b;
    b.volume_name = u"Backup 1/2";
    b.add_file(2, u"a/b", text("x"));
    auto vol = open_memory(b.build());
    EXPECT_EQ(vol.stat("/").value().id, 2u);
    EXPECT_TRUE(vol.exists("").value());
    EXPECT_EQ(vol.list_directory("/").value().at(0).name, "a:b");
    EXPECT_EQ(vol.walk().value().at(0).path, "/a:b");
    EXPECT_EQ(hfs_test::read(vol, "/a:b"), text("x"));
}

// The attributes tree is read when first needed: with its header damaged the
// volume opens and reads, and only compressed files fail, naming the tree.
TEST(Trees, DamagedAttributesTreeFailsOnlyWhatNeedsIt) {
    VolumeBuilder b;
    b.add_file(2, u"plain", text("plain"));
    b.add_compressed(2, u"packed", codec_testing::encode_decmpfs(1, text("packed")));
    const Bytes image = b.build();
    Bytes bad_kind = image, past_end = image;
    bad_kind[b.attributes_offset + 8] = 0xFF;                    // the header node as a leaf
    core::store_be32(past_end.data() + 1024 + 352 + 16, 1u << 30);  // the first attributes extent
    for (const Bytes* img : {&bad_kind, &past_end}) {
        auto vol = open_memory(*img);
        EXPECT_EQ(hfs_test::read(vol, "/plain"), text("plain"));
        EXPECT_EQ(vol.list_directory("/").value().size(), 2u);  // the compressed file with its stored size
        const std::string expected = img == &bad_kind
                                         ? "invalid B-tree: attributes tree: expected header node, got kind 255"
                                         : "I/O error: attributes tree: failed to fill whole buffer";
        EXPECT_EQ(error_text(vol.stat("/packed")), expected);
        EXPECT_EQ(error_text(vol.read_file("/packed")), expected);  // tried again, failing again
    }
    auto sound = open_memory(image);
    EXPECT_EQ(hfs_test::read(sound, "/packed"), text("packed"));
}

// Overflow records read from a file: a data fork in twenty extents, beside
// resource-fork records with the same keys that must not be taken for its own;
// a failing lookup fails the read rather than ending it short.
TEST(Extents, OverflowRecordsFromAFileAndAFailingLookup) {
    VolumeBuilder b;
    const Bytes data = random_bytes(20 * 4096 - 100, 5);
    const uint32_t id = b.add_file(2, u"fragmented", data, 20);
    for (uint32_t start : {8, 16}) b.extent_records[{id, hfsplus::kResourceForkType, start}] = {{{1, 1}}};
    b.add_compressed(2, u"packed", codec_testing::encode_decmpfs(4, random_bytes(60000, 6)), 12);
    const uint32_t huge_id = b.add_file(2, u"huge", random_bytes(4096, 10), 1, 1ull << 40);
    Bytes image = b.build();
    testing_util::ScratchDir dir;
    testing_util::write_bytes(dir / "v.hfs", image);
    auto vol = hfs_test::open_file(dir / "v.hfs");
    EXPECT_TRUE(hfs_test::read(vol, "/fragmented") == data);
    EXPECT_EQ(vol.stat("/fragmented").value().data_fork_extents, 8u);
    core::VecSink none;
    EXPECT_EQ(error_text(vol.read_file_to("/huge", none)),
              "corrupted data: file " + std::to_string(huge_id) +
                  " declares 1099511627776 bytes, more than the volume's " + std::to_string(image.size()));
    EXPECT_TRUE(none.data().empty());

    image[b.extents_offset + 4096 + 8] = 2;  // the extents tree's root as a map node
    auto damaged = open_memory(image);
    const std::string failed = "invalid B-tree: unexpected node kind 2 during search";
    core::VecSink sink;
    EXPECT_EQ(error_text(damaged.read_file_to("/fragmented", sink)), failed);
    EXPECT_EQ(error_text(damaged.read_file("/packed")), failed);
}

TEST(Extents, BlockCopyEdges) {
    const Bytes image = random_bytes(10 * 4096 + 1000, 3);
    hfsplus::VolumeHeader volume;
    volume.block_size = 4096;
    core::MemorySource src(image);
    auto copy = [&](uint64_t size, hfsplus::ExtentDescriptor extent, core::VecSink& out) {
        hfsplus::ForkData fork;
        fork.logical_size = size;
        fork.extents[0] = extent;
        return error_text(hfsplus::extents::read_fork_data(src, volume, {}, fork, 99, out));
    };
    // A last partial block at the very end of the image is enough ...
    core::VecSink tail, past, out;
    EXPECT_EQ(copy(5096, {9, 2}, tail), "ok");
    EXPECT_TRUE(tail.data() == Bytes(image.begin() + 9 * 4096, image.end()));
    // ... but an extent running past the end fails, after the whole blocks before the end.
    EXPECT_EQ(copy(3 * 4096, {8, 3}, past), "I/O error: failed to fill whole buffer");
    EXPECT_TRUE(past.data() == Bytes(image.begin() + 8 * 4096, image.begin() + 10 * 4096));
    volume.block_size = 0x80000000u;
    EXPECT_EQ(copy(10, {0, 1}, out), "corrupted data: unsupported allocation block size 2147483648");
}

}  // namespace
