// Volume operations and file data over containers built at test time.
#include <sys/stat.h>

#include <map>

#include "core/endian.hpp"
#include "decmpfs_writer.hpp"
#include "support.hpp"

namespace {

using namespace apfs_test;
using apfs::EntryKind;
using B = ContainerBuilder;
namespace catalog = apfs::catalog;

using testing_util::random_bytes;
Bytes slice(const Bytes& b, size_t from, size_t n) { return {b.begin() + ptrdiff_t(from), b.begin() + ptrdiff_t(from + n)}; }

constexpr const char* kNoSpace = "I/O error: No space left on device (os error 28)";
struct BrokenSink : core::ByteSink {  // refuses every write
    core::IoResult<void> write_all(std::span<const uint8_t>) override {
        return core::io_fail(core::IoError::from_errno(28));
    }
};

// The size and the allocated bytes of a file.
std::pair<uint64_t, uint64_t> size_on_disk(const std::filesystem::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return {uint64_t(st.st_size), uint64_t(st.st_blocks) * 512};
}

TEST(VolumeTest, ExtentsHolesAndOverlaps) {
    const Bytes disk = random_bytes(5 * 4096, 1);  // five blocks of distinct bytes
    core::MemorySource src(disk);
    auto read = [&](std::vector<apfs::FileExtentRecord> extents, uint64_t size, uint32_t block_size = 4096) {
        core::VecSink sink;
        auto n = apfs::extents::read_file_data(src, block_size, extents, size, sink);
        if (!n) return bytes_of(n.error().message());
        EXPECT_EQ(*n, sink.data().size());
        return sink.take();
    };
    // Past the last extent the stream is a hole.
    EXPECT_EQ(read({{0, 8192, 1, 0}}, 10000), concat({slice(disk, 4096, 8192), Bytes(1808)}));
    EXPECT_EQ(read({}, 4096), Bytes(4096));
    // Holes: a gap before an extent, and an extent at physical block 0.
    EXPECT_EQ(read({{4096, 4096, 2, 0}}, 8192), concat({Bytes(4096), slice(disk, 8192, 4096)}));
    EXPECT_EQ(read({{0, 4096, 0, 0}, {4096, 100, 3, 0}}, 4196), concat({Bytes(4096), slice(disk, 12288, 100)}));
    // Overlapping extents: the second continues 4096 bytes into itself.
    EXPECT_EQ(read({{4096, 8192, 3, 0}, {0, 8192, 1, 0}}, 12288), concat({slice(disk, 4096, 8192), slice(disk, 16384, 4096)}));
    // Zero-length extents are skipped, the flag byte is ignored, extents are cut at the size.
    EXPECT_EQ(read({{0, 0, 3, 0}, {0, 0xAB00000000001000ull, 1, 0}}, 100), slice(disk, 4096, 100));
    EXPECT_EQ(read({{0, 4096, 2, 0}, {0, 4096, 1, 0}}, 4096), slice(disk, 8192, 4096));  // equal addresses: catalog order
    EXPECT_TRUE(read({{0, 4096, 1, 0}}, 0).empty());
    EXPECT_EQ(read({{0, 4096, 1ull << 60, 0}}, 4096), bytes_of("corrupted data: extent physical block "
                                                              "1152921504606846976 overflows the device address space"));
    EXPECT_EQ(read({{0, 8192, 4, 0}}, 8192), bytes_of(kShortRead));
    EXPECT_EQ(read({{0, 4096, 1, 0}}, 4096, 0),
              bytes_of("corrupted data: block size 0 is not a power of two from 4096 to 65536"));
    BrokenSink broken;  // a failed write of data, and of a hole
    EXPECT_EQ(outcome(apfs::extents::read_file_data(src, 4096, {{0, 4096, 1, 0}}, 4096, broken)), kNoSpace);
    EXPECT_EQ(outcome(apfs::extents::read_file_data(src, 4096, {}, 4096, broken)), kNoSpace);
}

TEST(VolumeTest, SparseFilesAndLargeBlocks) {
    // 7-Zip refuses files with gaps between extents: this relies on the
    // builder checked above.
    B b(16384);
    const Bytes data = random_bytes(40000, 5);
    const uint64_t d = b.add_dir(B::kRoot, "d");
    b.add_file(d, "sparse", 80000, {{32768, data}});  // the extent's last block ends at 81920
    b.add_file(d, "short", 100000, {{32768, data}});
    b.add_file(d, "holes", 20000, {{0, {}, 16384}, {16384, data}});
    b.add_file(B::kRoot, "huge", uint64_t(1) << 33, {{0, {}, uint64_t(1) << 33}});
    b.add_file(B::kRoot, "too_far", (uint64_t(1) << 63) + 4096, {{uint64_t(1) << 63, slice(data, 0, 4096)}});
    const Bytes image = b.build();
    auto volume = open_volume(image);
    EXPECT_EQ(volume.block_size(), 16384u);
    EXPECT_EQ(*volume.read_file("d/sparse"), concat({Bytes(32768), data, Bytes(80000 - 32768 - 40000)}));
    EXPECT_EQ(*volume.read_file("d/short"), concat({Bytes(32768), data, Bytes(100000 - 32768 - 40000)}));
    EXPECT_EQ(*volume.read_file("d/holes"), concat({Bytes(16384), slice(data, 0, 20000 - 16384)}));
    // On a file, holes stay holes; a size no file can have is a clean error.
    testing_util::ScratchDir dir;
    auto to_file = [&](const char* path) {
        auto file = core::File::create((dir / "out").string());
        core::FileSink sink(*file);
        return outcome(volume.read_file_to(path, sink));
    };
    EXPECT_EQ(to_file("huge"), "ok");
    EXPECT_EQ(size_on_disk(dir / "out"), std::pair(uint64_t(1) << 33, uint64_t(0)));
    expect_cases({
        // In memory, a file cannot be larger than the container: the rest is holes.
        {"larger than the container", outcome(volume.read_file("huge")),
         "unsupported: file too large to read into memory: 8589934592 bytes, more than " +
             std::to_string(image.size()) + " (read it into a file)"},
        {"too large for a file", to_file("too_far"), "I/O error: File too large (os error 27)"},
    });
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
        b.add_file(B::kRoot, "empty", Bytes{});
        b.add_symlink(top, "to_dir0", "dir0");
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
    ASSERT_GT(volume.walk()->size(), 150u);
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
    const uint64_t bare = b.add_symlink(B::kRoot, "bare", "");                // no target attribute
    b.add_drec(B::kRoot, "ghost", 5000, 8);                                   // no inode
    b.add_drec(B::kRoot, "gone_dir", 5001, 4);                                // no inode either
    b.add_record(B::drec_key(B::kRoot, "short"), Bytes(10));
    auto bad_name = B::drec_key(B::kRoot, "badname");
    bad_name[8] = 0xFF, bad_name[9] |= 3;  // the name runs past the key
    b.add_record(bad_name, B::drec_value(docs, 4));
    b.add_drec(b.add_dir(docs, "sub"), "up", docs, 4);  // a directory record leading back to /docs
    // The header's size wins over the inode's.
    b.add_compressed(B::kRoot, "type13", 99, concat({codec_testing::decmpfs_header(13, 5), bytes_of("hello")}));
    const auto small_fork = codec_testing::encode_decmpfs(4, compressible(2000));  // held in its record
    b.add_compressed(docs, "small_fork", 2000, small_fork.attribute, small_fork.resource_fork);
    b.add_compressed(B::kRoot, "bomb", uint64_t(1) << 40, codec_testing::decmpfs_header(4, uint64_t(1) << 40),
                     codec_testing::encode_decmpfs(4, compressible(150000)).resource_fork);
    b.add_compressed(B::kRoot, "no_magic", 5, Bytes(20));
    b.add_compressed(B::kRoot, "no_fork", 150000, codec_testing::decmpfs_header(4, 150000));
    const Bytes image = b.build();
    auto volume = open_volume(image);
    core::MemorySource src(image);
    const auto tree = apfs::superblock::open_first_volume(src).value().catalog;

    for (const char* root : {"", "/", "///"}) EXPECT_EQ(volume.resolve_path(root)->first, 2u) << root;
    auto st = volume.stat("//docs//readme.txt/");
    ASSERT_TRUE(st);
    EXPECT_EQ(std::tuple(st->id, st->size, st->kind, st->mode, st->uid, st->gid),
              std::tuple(readme, 7u, EntryKind::File, 0100644, 501u, 20u));
    EXPECT_EQ(volume.stat("docs")->nlink, 3u);  // the child count
    EXPECT_FALSE(*catalog::lookup_xattr(src, tree, readme, "nothing"));
    // Both NULs of a target are dropped everywhere; a symlink without its
    // attribute reads like any inode without extents.
    EXPECT_EQ(volume.stat("nuls")->size, 15u);
    EXPECT_EQ(*volume.read_file("nuls"), bytes_of("docs/readme.txt"));
    core::VecSink sink, none;
    EXPECT_EQ(*volume.read_file_to("nuls", sink), 15u);
    EXPECT_EQ(sink.data(), bytes_of("docs/readme.txt"));
    EXPECT_FALSE(*volume.symlink_target(bare));
    EXPECT_EQ(volume.stat("bare")->size, 0u);
    EXPECT_TRUE(volume.read_file("bare")->empty());
    EXPECT_TRUE(volume.read_file("docs")->empty());

    // Listings skip records they cannot decode and keep those without inode.
    auto listing = volume.list_directory("//");
    ASSERT_TRUE(listing);
    std::map<std::string, std::pair<uint64_t, EntryKind>> by_name;
    for (auto& e : *listing) by_name[e.name] = {e.size, e.kind};
    using P = std::pair<uint64_t, EntryKind>;
    const auto file = EntryKind::File;
    EXPECT_EQ(by_name, (std::map<std::string, P>{
                           {"Upper", {1, file}}, {"bare", {0, EntryKind::Symlink}}, {"bomb", {1ull << 40, file}},
                           {"docs", {0, EntryKind::Directory}}, {"ghost", {0, file}},
                           {"gone_dir", {0, EntryKind::Directory}}, {"no_fork", {150000, file}},
                           {"no_magic", {5, file}}, {"nuls", {15, EntryKind::Symlink}}, {"type13", {5, file}}}));
    EXPECT_NE(listing->front().mod_time, 0u);

    // The first volume id that is not 0 is opened.
    Bytes slots = image;
    store(&slots[180], 2u, uint64_t(0), uint64_t(1026));
    B::seal(slots.data(), 4096);
    EXPECT_EQ(open_volume(slots).stat("docs")->id, docs);
    store(&slots[192], uint64_t(0));
    B::seal(slots.data(), 4096);
    BrokenSink broken;
    std::string deep_path;
    B deep;
    for (uint64_t i = 0, dir = B::kRoot; i < apfs::ApfsVolume::kMaxWalkDepth + 1; ++i) dir = deep.add_dir(dir, "d");
    for (size_t i = 0; i < apfs::ApfsVolume::kMaxWalkDepth; ++i) deep_path += "/d";
    expect_cases({
        {"through a file", outcome(volume.stat("docs/readme.txt/x")), "not a directory: docs/readme.txt"},
        {"missing", outcome(volume.stat("/docs/missing/x")), "file not found: missing"},
        {"other case", outcome(volume.stat("upper")), "file not found: upper"},
        {"no inode", outcome(volume.stat("ghost")), "file not found: inode OID 5000"},
        {"short value", outcome(volume.stat("short")), "corrupted data: drec value too short: 10 bytes"},
        {"bad name", outcome(volume.stat("badname")), "file not found: badname"},
        {"lookup", outcome(catalog::lookup_inode(src, tree, 4999)), "file not found: inode OID 4999"},
        {"list a file", outcome(volume.list_directory("docs/readme.txt/")), "not a directory: docs/readme.txt/"},
        {"list nothing", outcome(volume.list_directory("nowhere")), "file not found: nowhere"},
        {"no volume", outcome(apfs::ApfsVolume::open(memory(slots))), "no volume found in container"},
        {"broken sink, link", outcome(volume.read_file_to("nuls", broken)), kNoSpace},
        {"cycle", outcome(volume.walk()),
         "corrupted data: directory cycle: inode " + std::to_string(docs) + " reached again at /docs/sub/up"},
        {"depth", outcome(open_volume(deep.build()).walk()),
         "corrupted data: directories nested deeper than 1024 levels at " + deep_path},
        {"unknown type, to a sink", outcome(volume.read_file_to("type13", none)),
         "unsupported: file \"type13\": compression type 13 is not supported"},
        {"more than the container holds", outcome(volume.read_file_to("bomb", none)),
         "corrupted data: file \"bomb\" declares 1099511627776 uncompressed bytes, more than a container of " +
             std::to_string(image.size()) + " bytes holds compressed"},
        {"no resource fork", outcome(volume.read_file("no_fork")),
         "corrupted data: file \"no_fork\": resource fork of 0 bytes holds no resource header"},
        {"no magic", outcome(volume.read_file("no_magic")),
         "corrupted data: file \"no_magic\": decmpfs attribute lacks the magic \"fpmc\""},
    });
    EXPECT_TRUE(none.data().empty());
    EXPECT_EQ(*volume.read_file("docs/readme.txt"), bytes_of("read me"));  // still usable
    EXPECT_EQ(*volume.read_file("docs/small_fork"), compressible(2000));
}

TEST(VolumeTest, DamagedContainers) {
    B b;
    b.add_file(B::kRoot, "f", bytes_of("x"));
    const Bytes image = b.build();
    const auto& layout = b.layout();
    auto with = [&](uint64_t blk, size_t at, uint32_t value) {
        Bytes copy = image;
        core::store_le32(&copy[blk * 4096 + at], value);
        return apfs::ApfsVolume::open(memory(copy));
    };
    // A catalog root whose table lies beyond the block: opening reads no
    // catalog node, the first query fails.
    auto damaged = with(layout.catalog_root, 40, 0xFFFF);
    ASSERT_TRUE(damaged);
    expect_cases({
        {"no source", outcome(apfs::ApfsVolume::open(nullptr)), "I/O error: no byte source"},
        {"block 0 checksum", outcome(with(0, 2000, 1)), "invalid checksum"},
        // Volume superblocks are not checksummed, but their magic is checked.
        {"volume magic", outcome(with(layout.volume_superblock, 32, 0x11223344)), "invalid magic: 0x11223344"},
        {"no such volume", outcome(with(layout.container_omap_root, 56 + 4, 999)),
         "corrupted data: OMAP lookup failed: OID 1026 not found"},
        {"walk", outcome(damaged->walk()), kShortRead},
        {"stat", outcome(damaged->stat("f")), kShortRead},
    });
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
    EXPECT_EQ(std::tuple(walk.size(), volume.read_file("docs/a").value(), volume.stat("docs/e").value().size),
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
    EXPECT_TRUE(volume.list_directory("/")->empty());
    EXPECT_EQ(volume.stat("/")->kind, EntryKind::Directory);
    EXPECT_TRUE(volume.walk()->empty());
}

}  // namespace
