// Volume operations and file data over containers built at test time.
#include <map>

#include "decmpfs_writer.hpp"
#include "support.hpp"

namespace {

using namespace apfs_test;
using apfs::EntryKind;
using B = ContainerBuilder;

using testing_util::random_bytes;
Bytes slice(const Bytes& b, size_t from, size_t n) { return {b.begin() + ptrdiff_t(from), b.begin() + ptrdiff_t(from + n)}; }

TEST(VolumeTest, ExtentsHolesAndOverlaps) {
    const Bytes disk = random_bytes(5 * 4096, 1);  // five blocks of distinct bytes
    core::MemorySource src(disk);
    auto read = [&](std::vector<apfs::FileExtentRecord> extents, uint64_t size) {
        core::VecSink sink;
        auto n = apfs::extents::read_file_data(src, 4096, extents, size, sink);
        return n ? sink.take() : bytes_of(n.error().message());
    };
    // Past the last extent the stream is a hole.
    EXPECT_EQ(read({{0, 8192, 1, 0}}, 10000), concat({slice(disk, 4096, 8192), Bytes(1808)}));
    // Holes: a gap before an extent, and an extent at physical block 0.
    EXPECT_EQ(read({{4096, 4096, 2, 0}}, 8192), concat({Bytes(4096), slice(disk, 8192, 4096)}));
    EXPECT_EQ(read({{0, 4096, 0, 0}, {4096, 100, 3, 0}}, 4196), concat({Bytes(4096), slice(disk, 12288, 100)}));
    // Overlapping extents: the second continues 4096 bytes into itself.
    EXPECT_EQ(read({{4096, 8192, 3, 0}, {0, 8192, 1, 0}}, 12288), concat({slice(disk, 4096, 8192), slice(disk, 16384, 4096)}));
    // Zero-length extents are skipped, the flag byte is ignored, extents are cut at the size.
    EXPECT_EQ(read({{0, 0, 3, 0}, {0, 0xAB00000000001000ull, 1, 0}}, 100), slice(disk, 4096, 100));
    EXPECT_EQ(read({{0, 4096, 1ull << 60, 0}}, 4096), bytes_of("corrupted data: extent physical block "
                                                              "1152921504606846976 overflows the device address space"));
}

// Text that compresses, then random bytes that do not.
Bytes compressible(size_t n) {
    std::string text;
    for (size_t i = 0; text.size() < n / 2; ++i) text += "line " + std::to_string(i) + " of a compressed file\n";
    return concat({bytes_of(text.substr(0, n / 2)), random_bytes(n - n / 2, n)});
}

// Enough files that the catalog and the volume object map need index nodes,
// a file of four extents, and compressed files whose attribute
// (types 3 and 7) or resource fork (type 4) is held in its record or, when
// large, in a data stream of its own.  7-Zip reads 4 KiB blocks only; the
// same files in 16 KiB blocks read the same.
TEST(VolumeTest, BuiltContainerAgreesWith7Zip) {
    const std::tuple<std::string, uint32_t, size_t> compressed[] = {
        {"c/attribute", 3, 3000}, {"c/attribute_stream", 7, 60000}, {"c/empty", 3, 0}, {"c/fork", 4, 200000}};
    auto build = [&](uint32_t block_size) {
        B b(block_size, 4);
        const auto top = b.add_dir(B::kRoot, "top");
        for (int d = 0; d < 6; ++d) {
            auto dir = b.add_dir(top, "dir" + std::to_string(d));
            for (int f = 0; f < 25; ++f)
                b.add_file(dir, "file" + std::to_string(f), random_bytes(size_t(f * 300 + d), uint64_t(f + d)));
        }
        b.add_file(B::kRoot, "multi", random_bytes(3 * 16384 + 500, 9), 16384);
        const uint64_t c = b.add_dir(B::kRoot, "c");
        for (const auto& [path, type, size] : compressed) {
            // Blocks of random bytes stay stored, as macOS keeps them (and 7-Zip reads them).
            auto encoded = codec_testing::encode_decmpfs(type, compressible(size), {2, 3});
            b.add_compressed(c, path.substr(2), size, encoded.attribute, encoded.resource_fork);
        }
        return b.build();
    };
    const Bytes image = build(4096);
    auto volume = open_volume(image), large = open_volume(build(16384));
    const auto walk = volume.walk().value();
    for (const auto& e : walk) EXPECT_EQ(large.read_file(e.path), volume.read_file(e.path)) << e.path;

    KIV_REQUIRE_TOOL("7zz");
    testing_util::ScratchDir dir;
    testing_util::write_bytes(dir / "sample.apfs", image);
    expect_same_as_7zip(volume, dir / "sample.apfs");
}

// Paths, listings and links beside damaged records: directory records without
// inode or with a short value, a directory cycle, compressed files that cannot
// be read (sizes come from the header).
TEST(VolumeTest, PathsListingsLinksAndDamagedRecords) {
    B b;
    const uint64_t docs = b.add_dir(B::kRoot, "docs"), readme = b.add_file(docs, "readme.txt", bytes_of("read me"));
    b.add_file(B::kRoot, "Upper", bytes_of("U"));
    b.add_symlink(B::kRoot, "nuls", std::string("docs/readme.txt\0", 16));  // stored with two NULs
    b.add_drec(B::kRoot, "ghost", 5000, 8);                                   // no inode
    b.add_record(B::drec_key(B::kRoot, "short"), Bytes(10));
    b.add_drec(b.add_dir(docs, "sub"), "up", docs, 4);  // a directory record leading back to /docs
    // The header's size wins over the inode's.
    b.add_compressed(B::kRoot, "type13", 99, concat({codec_testing::decmpfs_header(13, 5), bytes_of("hello")}));
    const auto small_fork = codec_testing::encode_decmpfs(4, compressible(2000));  // held in its record
    b.add_compressed(docs, "small_fork", 2000, small_fork.attribute, small_fork.resource_fork);
    b.add_compressed(B::kRoot, "bomb", uint64_t(1) << 40, codec_testing::decmpfs_header(4, uint64_t(1) << 40),
                     codec_testing::encode_decmpfs(4, compressible(150000)).resource_fork);
    b.add_compressed(B::kRoot, "no_fork", 150000, codec_testing::decmpfs_header(4, 150000));
    const Bytes image = b.build();
    auto volume = open_volume(image);

    for (const char* root : {"", "/", "///"}) EXPECT_EQ(volume.resolve_path(root)->first, 2u) << root;
    const auto st = volume.stat("//docs//readme.txt/").value();
    EXPECT_EQ(std::tuple(st.id, st.size, st.kind, st.mode, st.uid, st.gid),
              std::tuple(readme, 7u, EntryKind::File, 0100644, 501u, 20u));
    // Both NULs of a target are dropped everywhere.
    EXPECT_EQ(volume.stat("nuls")->size, 15u);
    EXPECT_EQ(*volume.read_file("nuls"), bytes_of("docs/readme.txt"));
    EXPECT_TRUE(volume.read_file("docs")->empty());

    // Listings skip records they cannot decode and keep those without inode.
    using Listing = std::map<std::string, std::pair<uint64_t, EntryKind>>;
    Listing by_name;
    const auto listing = volume.list_directory("//").value();
    for (auto& e : listing) by_name[e.name] = {e.size, e.kind};
    const auto file = EntryKind::File;
    EXPECT_EQ(by_name, (Listing{
                           {"Upper", {1, file}}, {"bomb", {1ull << 40, file}}, {"docs", {0, EntryKind::Directory}},
                           {"ghost", {0, file}}, {"no_fork", {150000, file}}, {"nuls", {15, EntryKind::Symlink}},
                           {"type13", {5, file}}}));

    // The first volume id that is not 0 is opened.
    Bytes slots = image;
    store(&slots[180], 2u, uint64_t(0), uint64_t(1026));
    B::seal(slots.data(), 4096);
    EXPECT_EQ(open_volume(slots).stat("docs")->id, docs);
    store(&slots[192], uint64_t(0));
    B::seal(slots.data(), 4096);
    B deep;
    for (uint64_t i = 0, dir = B::kRoot; i < apfs::ApfsVolume::kMaxWalkDepth + 1; ++i) dir = deep.add_dir(dir, "d");
    expect_cases({
        {"through a file", outcome(volume.stat("docs/readme.txt/x")), "not a directory: docs/readme.txt"},
        {"missing", outcome(volume.stat("/docs/missing/x")), "file not found: missing"},
        {"other case", outcome(volume.stat("upper")), "file not found: upper"},
        {"no inode", outcome(volume.stat("ghost")), "file not found: inode OID 5000"},
        {"short value", outcome(volume.stat("short")), "corrupted data: drec value too short: 10 bytes"},
        {"list a file", outcome(volume.list_directory("docs/readme.txt/")), "not a directory: docs/readme.txt/"},
        {"no volume", outcome(apfs::ApfsVolume::open(memory(slots))), "no volume found in container"},
    });
    // Refusals by kind: a directory cycle, directories nested too deep, an
    // unknown compression type, a size beyond what the container holds
    // (refused before anything is written), a missing resource fork.
    using K = apfs::ApfsError::Kind;
    auto kind = [](const auto& r) { return r ? std::optional<K>() : r.error().kind(); };
    core::VecSink none;
    EXPECT_EQ(std::vector({kind(volume.walk()), kind(open_volume(deep.build()).walk()),
                           kind(volume.read_file_to("type13", none)), kind(volume.read_file_to("bomb", none)),
                           kind(volume.read_file("no_fork"))}),
              (std::vector<std::optional<K>>{K::CorruptedData, K::CorruptedData, K::Unsupported, K::CorruptedData,
                                             K::CorruptedData}));
    EXPECT_TRUE(none.data().empty());
    EXPECT_EQ(*volume.read_file("docs/readme.txt"), bytes_of("read me"));  // still usable
    EXPECT_EQ(*volume.read_file("docs/small_fork"), compressible(2000));
}

// The volume object map holds each catalog node, and each file's extents,
// of a snapshot's tree (transaction 3), of the live tree (the checkpoint's,
// 7) and of a transaction after the checkpoint (9), under the same ids; in
// small nodes, so the versions of one id spread over two leaves.  The live
// tree is read, and agrees with the volume superblock's counts.
TEST(VolumeTest, LiveTreeBesideSnapshotAndLaterTransaction) {
    B b(4096, 3);
    const uint64_t docs = b.add_dir(B::kRoot, "docs"), a = b.add_file(docs, "a", bytes_of("snapshot"));
    b.add_file(B::kRoot, "b", random_bytes(5000, 1));
    b.add_symlink(B::kRoot, "link", "docs/a");
    b.commit(3);
    b.set_data(a, bytes_of("after the checkpoint"));
    b.commit(B::kXid + 2);
    const Bytes live = random_bytes(9000, 2);
    b.set_data(a, live, 4096);
    for (const char* name : {"c", "d", "e"}) b.add_file(docs, name, bytes_of(name));
    auto volume = open_volume(b.build());

    const auto walk = volume.walk().value();
    std::map<EntryKind, uint64_t> kinds;
    for (const auto& e : walk) {
        ++kinds[e.entry.kind];
        EXPECT_TRUE(volume.stat(e.path)) << e.path;
    }
    EXPECT_EQ(kinds, (std::map<EntryKind, uint64_t>{{EntryKind::File, volume.file_count()},
                                                    {EntryKind::Directory, volume.directory_count()},
                                                    {EntryKind::Symlink, volume.symlink_count()}}));
    EXPECT_EQ(std::tuple(walk.size(), *volume.read_file("docs/a"), volume.stat("docs/e")->size),
              std::tuple(7u, live, 1u));
}

// Encrypted volumes are refused when opened: by the flag of the catalog
// root's mapping, or by a volume without the unencrypted flag in a container
// that encrypts in software; a catalog node below the root marked encrypted
// fails the queries that reach it.  Either mark alone opens.
TEST(VolumeTest, EncryptedVolumesAreRefused) {
    auto open_with = [](uint32_t root_flags, uint32_t child_flags, bool unencrypted, uint64_t container_flags) {
        B b(4096, 2);
        for (const char* name : {"f", "g", "h"}) b.add_file(B::kRoot, name, bytes_of(name));
        b.root_flags = root_flags, b.child_flags = child_flags;
        b.unencrypted_flag = unencrypted, b.container_flags = container_flags;
        return apfs::ApfsVolume::open(memory(b.build()));
    };
    const std::string refused = "unsupported: encrypted volume";
    auto children = open_with(0, 4, true, 0);
    expect_cases({
        {"encrypted root", outcome(open_with(4, 4, true, 0)), refused},
        {"software-encrypted container", outcome(open_with(0, 0, false, 4)), refused},
        {"encrypted child", outcome(children.value().stat("g")), refused},
        {"clear volume in an encrypting container", outcome(open_with(0, 0, true, 4)), "ok"},
        {"no unencrypted flag alone", outcome(open_with(0, 0, false, 0)), "ok"},
    });
}

// A catalog node below the root that cannot be read fails every query that
// reaches it; none reads as a missing name.
TEST(VolumeTest, UnreadableCatalogNodeIsAnError) {
    B b(4096, 2);
    for (const char* name : {"f", "g", "h"}) b.add_file(B::kRoot, name, bytes_of(name));
    Bytes image = b.build();
    const auto& nodes = b.layout().catalog_nodes;
    ASSERT_GT(nodes.size(), 2u);
    for (size_t i = 0; i + 1 < nodes.size(); ++i) store(&image[nodes[i] * 4096 + 40], uint16_t(0xFFFF));  // table beyond the block
    auto volume = open_volume(image);
    expect_cases({
        {"stat", outcome(volume.stat("g")), kShortRead},
        {"exists", outcome(volume.exists("nothing")), kShortRead},
        {"list", outcome(volume.list_directory("/")), kShortRead},
        {"walk", outcome(volume.walk()), kShortRead},
    });
}

TEST(VolumeTest, MkapfsLabelComesBackAsVolumeName) {
    KIV_REQUIRE_TOOL("mkapfs");
    testing_util::ScratchDir dir;
    const auto image = testing_util::shell_quote((dir / "made.apfs").string());
    run_ok("truncate -s 512M " + image + " && mkapfs -L 'Kiv Label' " + image + " >/dev/null 2>&1");
    auto volume = open_file(dir / "made.apfs");
    EXPECT_EQ(volume.volume_name(), "Kiv Label");
    EXPECT_TRUE(volume.walk()->empty());
}

}  // namespace
