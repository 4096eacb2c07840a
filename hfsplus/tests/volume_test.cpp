// Whole volumes written by the test writer: catalog order, paths, file data,
// and the structures no tool writes (HFSX, compression, hard links, overflow
// chains, loops, bad records).
#include <algorithm>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "core/endian.hpp"
#include "extents.hpp"
#include "internals.hpp"
#include "test_support.hpp"
#include "testing/testing.hpp"

namespace {

using hfs_test::Bytes;
using hfs_test::error_text;
using hfs_test::open_memory;
using hfs_test::read;
using hfs_test::VolumeBuilder;
using hfsplus::EntryKind;
using testing_util::random_bytes;

Bytes text(std::string_view s) { return {s.begin(), s.end()}; }

// A catalog of 512-byte nodes: several leaves under two index levels.
struct Sample {
    VolumeBuilder builder;
    uint32_t b = 0, file = 0;
    Bytes image;

    explicit Sample(bool hfsx = false) : builder(hfsx, 4096, 512) {
        b = builder.add_folder(builder.add_folder(2, u"a"), u"b");
        builder.add_folder(2, u"c");
        file = builder.add_file(2, u"file.txt", text("hello"));
        builder.add_symlink(2, u"link", "a/b");
        builder.add_file(2, u"Applications", text("apps"));
        const uint32_t many = builder.add_folder(2, u"many");
        for (int i = 0; i < 60; ++i)
            builder.add_file(many, u"entry" + std::u16string{char16_t(u'A' + i % 26), char16_t(u'0' + i / 26)}, {});
        for (auto name : {u"\u00E4rger", u"\u01C5", u"_under"}) builder.add_file(2, name, {});
        if (hfsx) builder.add_file(2, u"A", text("upper"));  // beside the folder "a": HFSX only
        image = builder.build();
    }
};

TEST(Catalog, WalkListAndStatAMultiLevelTree) {
    for (bool hfsx : {false, true}) {
        Sample s(hfsx);
        auto vol = open_memory(s.image);
        EXPECT_GE(hfs_test::CatalogOf(s.image).tree.tree_depth, 3);
        EXPECT_EQ(vol.header().is_hfsx, hfsx);
        std::vector<std::string> paths;
        const auto walk = vol.walk().value();
        for (const auto& w : walk)
            if (!w.path.starts_with("/many/")) paths.push_back(w.path);
        // Pre-order in catalog order: "_" (0x5F) sorts before "A", which folds to "a" (0x61); HFSX compares units.
        const std::vector<std::string> plain = {"/_under", "/a", "/a/b", "/Applications", "/c", "/file.txt", "/link",
                                                "/many", "/\u00E4rger", "/\u01C5"},
                                       exact = {"/A", "/Applications", "/_under", "/a", "/a/b", "/c", "/file.txt",
                                                "/link", "/many", "/\u00E4rger", "/\u01C5"};
        EXPECT_EQ(paths, hfsx ? exact : plain);
        EXPECT_EQ(vol.list_directory("/many").value().size(), 60u);    // spread over several leaves
        EXPECT_TRUE(vol.list_directory("/file.txt").value().empty());  // nothing has a file as parent
        auto file = vol.stat("/file.txt").value();
        EXPECT_EQ(std::tie(file.id, file.uid, file.gid, file.mode, file.data_fork_extents, file.create_time,
                           file.modify_time),
                  std::tuple(s.file, 501u, 20u, 0100644, 1u, 0xC0000000u + s.file * 10, 0xC0000001u + s.file * 10));
        EXPECT_EQ(vol.stat("/a//b/").value().id, s.b);
        // A precomposed capital finds its letter, unless names are exact.
        for (const char* other : {"/APPLICATIONS", "/\u00C4RGER", "/\u01C6"})
            EXPECT_EQ(error_text(vol.stat(other)), hfsx ? std::string("file not found: ") + (other + 1) : "ok");
        if (hfsx) {
            EXPECT_EQ(read(vol, "/A"), text("upper"));
        }
    }
}

// Every compression type in both layouts, hard links and the names macOS
// presents differently from how it stores them.  7-Zip decodes types 3, 4,
// 7, 8 and 9 (not 1, 10, LZFSE): those are checked against it too.
TEST(Content, CompressedFilesHardLinksAndNamesAgreeWithSevenZip) {
    const std::tuple<uint32_t, size_t, std::set<size_t>, unsigned> rows[] = {
        {1, 100, {}, 1},  {3, 3000, {}, 1},      {3, 300, {0}, 1}, {7, 3000, {}, 1},    {7, 300, {0}, 1},
        {9, 100, {}, 1},  {11, 3000, {}, 1},     {4, 200000, {1}, 3}, {8, 300000, {2}, 12}, {10, 150000, {}, 2},
        {12, 200000, {}, 1}};
    std::map<std::string, Bytes> files;
    auto build = [&](bool seven_zip_only) {
        VolumeBuilder b;
        for (const auto& [type, size, stored, fragments] : rows) {
            if (seven_zip_only && (type == 1 || type >= 10)) continue;
            const std::string name = "type " + std::to_string(type) + " of " + std::to_string(size);
            // Runs of text and of noise: some blocks compress, some do not.
            Bytes data;
            for (size_t i = 0; data.size() < size; ++i) {
                const std::string line = "line " + std::to_string(i) + "\n";
                const Bytes piece = (i / 4000) % 2 ? random_bytes(line.size(), type + i) : text(line);
                data.insert(data.end(), piece.begin(), piece.end());
            }
            data.resize(size);
            b.add_compressed(2, std::u16string(name.begin(), name.end()),
                             codec_testing::encode_decmpfs(type, data, stored), fragments);
            files["/" + name] = std::move(data);
        }
        const uint32_t dir = b.add_folder(2, u"dir");
        b.add_hard_links(text("shared"), {{2, u"link one"}, {dir, u"link two"}});
        b.add_file(2, u"forward/slash", text("slash"));
        b.add_file(dir, u"cafe\u0301", text("decomposed"));
        return b.build();
    };
    auto vol = open_memory(build(false));
    for (const auto& [path, data] : files) {
        EXPECT_TRUE(read(vol, path) == data) << path;
        EXPECT_EQ(vol.stat(path).value().size, data.size()) << path;
    }
    EXPECT_EQ(read(vol, "/dir/link two"), text("shared"));
    EXPECT_EQ(vol.stat("/link one").value().size, 6u);
    EXPECT_EQ(read(vol, "/forward:slash"), text("slash"));       // as listings show it
    EXPECT_EQ(read(vol, "/dir/caf\u00E9"), text("decomposed"));  // typed composed
    const auto walk = vol.walk().value();
    for (const char* path : {"/dir/cafe\u0301", "/forward:slash", "/link one", "/type 12 of 200000"})
        EXPECT_TRUE(std::any_of(walk.begin(), walk.end(), [&](const auto& w) { return w.path == path; })) << path;

    KIV_REQUIRE_TOOL("7zz");
    const Bytes image = build(true);
    testing_util::ScratchDir scratch;
    testing_util::write_bytes(scratch / "v.hfs", image);
    auto theirs = open_memory(image);
    hfs_test::expect_matches_seven_zip(theirs, scratch / "v.hfs", 11);
}

TEST(Catalog, FailuresAndBounds) {
    Sample s;
    auto vol = open_memory(s.image);
    VolumeBuilder b;
    const uint32_t a = b.add_folder(2, u"a"), bad = b.add_folder(2, u"bad");
    b.add_record(a, u"again", hfs_test::folder_record(a));              // a folder listed inside itself
    b.add_record(bad, u"thread", hfs_test::thread_record(3, 1, u"x"));  // a thread record under a name
    b.add_record(bad, u"bare", {});
    b.add_record(bad, u"junk", {0, 9, 0, 0});
    // Compressed files that cannot be decoded, and a hard link to nothing.
    b.add_compressed(2, u"type 13", {codec_testing::decmpfs_header(13, 5), {}});
    b.add_compressed(2, u"no magic", {Bytes(16), {}});
    b.add_hard_links(text("x"), {{2, u"linked"}});
    b.add_file_record(2, u"dangling", {}, {}, 0100644, 0x02, 999, true);
    auto odd = open_memory(b.build());

    // The sample with one change to its catalog (at its start, its root node, its last leaf).
    auto patched = [&](auto change) {
        Bytes img = s.image;
        uint8_t* c = img.data() + s.builder.catalog_offset;
        change(c, c + s.builder.catalog_root * 512, c + s.builder.last_leaf * 512);
        return img;
    };
    auto leaf_loop = patched([&](uint8_t*, uint8_t*, uint8_t* last) { core::store_be32(last, s.builder.last_leaf); });
    auto index_loop = patched([&](uint8_t*, uint8_t* root, uint8_t*) {  // the root's first child is the root
        const uint16_t first = core::load_be16(root + 510);
        core::store_be32(root + first + 2 + core::load_be16(root + first), s.builder.catalog_root);
    });
    auto map_root = patched([](uint8_t*, uint8_t* root, uint8_t*) { root[8] = 2; });
    auto empty = patched([](uint8_t* c, uint8_t*, uint8_t*) { core::store_be32(c + 16, 0); });  // root node 0
    auto list = [](const Bytes& image, uint32_t id) {
        hfs_test::CatalogOf c(image);
        return error_text(hfsplus::catalog::list_directory(c.source, c.header, c.tree, id));
    };
    auto node_size = [&](uint16_t size) {
        return error_text(hfsplus::HfsVolume::open(std::make_unique<core::MemorySource>(
            patched([&](uint8_t* c, uint8_t*, uint8_t*) { core::store_be16(c + 32, size); }))));
    };
    std::string sizes;
    const auto listing = odd.list_directory("/").value();
    for (const auto& e : listing)
        if (e.kind == EntryKind::File) sizes += e.name + " " + std::to_string(e.size) + ", ";
    const std::string thread = "corrupted data: unexpected thread record",
                      descent = "invalid B-tree: descent deeper than 64 levels (cycle in index nodes)",
                      node_error = " is not a power of two from 512 to 32768";

    const std::tuple<const char*, std::string, std::string> rows[] = {
        {"missing folder", error_text(vol.stat("/missing/x")), "file not found: missing"},
        {"missing file", error_text(vol.stat("/a/missing")), "file not found: a/missing"},
        {"\"..\" is a name", error_text(vol.stat("/a/../c")), "file not found: a/.."},
        {"below a file", error_text(vol.stat("/file.txt/x")), "not a directory: file.txt"},
        {"reading a folder", error_text(vol.read_file("/a/b")), "not a directory: /a/b"},
        {"stat of a thread", error_text(odd.stat("/bad/thread")), thread},
        {"listing a thread", error_text(odd.list_directory("/bad/thread")), thread},
        {"reading a thread", error_text(odd.read_file("/bad/thread")), thread},
        {"below a thread", error_text(odd.stat("/bad/thread/x")), thread + " in path resolution"},
        {"key without data", error_text(odd.stat("/bad/bare")), "invalid B-tree: record data missing after key"},
        {"unknown type", error_text(odd.list_directory("/bad")), "invalid B-tree: unknown catalog record type: 0x0009"},
        {"folder in itself", error_text(odd.walk()),
         "corrupted data: folder id 16 at /a/again was already walked (catalog loop)"},
        {"resolution stays finite", error_text(odd.stat("/a/again/again/again")), "ok"},
        {"leaf chain loop", list(leaf_loop, 0xFFFFFF00),
         "invalid B-tree: leaf chain longer than the 80 nodes of the tree (cycle in leaf links)"},
        {"index loop: search", error_text(open_memory(index_loop).stat("/_under")), descent},
        {"index loop: listing", list(index_loop, 2), descent},
        {"map node in a listing", list(map_root, 2), "invalid B-tree: unexpected node kind 2 during leaf search"},
        {"empty tree: a name", error_text(open_memory(empty).stat("/a")), "file not found: a"},
        {"empty tree: the root", error_text(open_memory(empty).stat("/")), "file not found: root folder"},
        {"empty tree: a listing", list(empty, 2), "ok"},
        {"node size 1000", node_size(1000), "invalid B-tree: node size 1000" + node_error},
        {"node size 256", node_size(256), "invalid B-tree: node size 256" + node_error},
        {"compressed: unknown type", error_text(odd.read_file("/type 13")),
         "unsupported: file \"/type 13\": compression type 13 is not supported"},
        {"compressed: no magic", error_text(odd.stat("/no magic")),
         "corrupted data: compressed file \"/no magic\": decmpfs attribute lacks the magic \"fpmc\""},
        {"hard link", error_text(odd.read_file("/linked")), "ok"},
        {"hard link to nothing", error_text(odd.read_file("/dangling")),
         "corrupted data: hard link \"/dangling\" points to iNode999, which the private data folder does not hold"},
        {"listing sizes of the damaged", sizes, "dangling 0, linked 1, no magic 0, type 13 5, "},
    };
    for (const auto& [what, got, expected] : rows) EXPECT_EQ(got, expected) << what;
}

TEST(Extents, OverflowRecordsAndChainsThatEndEarly) {
    VolumeBuilder b;
    const Bytes data = random_bytes(20 * 4096 - 100, 5), nine = random_bytes(9 * 4096, 7);
    const Bytes cut = random_bytes(8 * 4096, 8);
    // Eight inline extents, then data-fork records keyed at 8 and 16 blocks;
    // resource-fork records with the same keys must not be taken for them.
    const uint32_t id = b.add_file(2, u"fragmented", data, 20);
    hfsplus::ExtentRecord junk{};
    junk[0] = {1, 1};
    for (uint32_t start : {8, 16}) b.extent_records[{id, hfsplus::kResourceForkType, start}] = junk;
    b.add_file(2, u"nine", nine, 9);
    // No data-fork record after the inline extents, only a resource-fork one ...
    const uint32_t cut_id = b.add_file(2, u"cut \"short\"", cut, 8, 12 * 4096);
    b.extent_records[{cut_id, hfsplus::kResourceForkType, 8}] = junk;
    // ... or a record whose first extent is empty.
    const uint32_t empty_id = b.add_file(2, u"empty record", random_bytes(4096, 9), 1, 3 * 4096);
    b.extent_records[{empty_id, hfsplus::kDataForkType, 1}] = {};
    // A size the volume cannot hold is refused before anything is read.
    const uint32_t huge_id = b.add_file(2, u"huge", random_bytes(4096, 10), 1, 1ull << 40);
    const Bytes image = b.build();
    testing_util::ScratchDir dir;
    testing_util::write_bytes(dir / "v.hfs", image);

    for (bool in_memory : {true, false}) {
        SCOPED_TRACE(in_memory ? "memory" : "file");
        auto vol = in_memory ? open_memory(image) : hfs_test::open_file(dir / "v.hfs");
        EXPECT_TRUE(read(vol, "/fragmented") == data);
        EXPECT_EQ(vol.stat("/fragmented").value().data_fork_extents, 8u);
        EXPECT_TRUE(read(vol, "/nine") == nine);
        EXPECT_EQ(error_text(vol.read_file("/cut \"short\"")),
                  "corrupted data: file \"/cut \\\"short\\\"\" declares 49152 bytes but only 32768 could be read; "
                  "its extent chain ends early");
        core::VecSink sink, none;
        EXPECT_EQ(vol.read_file_to("/cut \"short\"", sink).value(), 8u * 4096);  // streaming keeps what there is
        EXPECT_TRUE(sink.data() == cut);
        EXPECT_EQ(error_text(vol.read_file("/empty record")),
                  "corrupted data: file \"/empty record\" declares 12288 bytes but only 4096 could be read; "
                  "its extent chain ends early");
        EXPECT_EQ(error_text(vol.read_file_to("/huge", none)),
                  "corrupted data: file " + std::to_string(huge_id) +
                      " declares 1099511627776 bytes, more than the volume's " + std::to_string(image.size()));
        EXPECT_TRUE(none.data().empty());
    }
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
