// Volume operations and file data over containers built at test time.
#include <sys/stat.h>

#include <map>
#include <set>

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
    BrokenSink broken;
    EXPECT_EQ(outcome(apfs::extents::read_file_data(src, 4096, {{0, 4096, 1, 0}}, 4096, broken)), kNoSpace);

    // On a file, holes stay holes; a size no file can have is a clean error.
    testing_util::ScratchDir dir;
    auto to_file = [&](std::vector<apfs::FileExtentRecord> extents, uint64_t size) {
        auto file = core::File::create((dir / "out").string());
        core::FileSink sink(*file);
        return outcome(apfs::extents::read_file_data(src, 4096, extents, size, sink));
    };
    const uint64_t tib = uint64_t(1) << 40;
    EXPECT_EQ(to_file({{0, 4096, 0, 0}, {tib - 4096, 4096, 1, 0}}, tib), "ok");
    EXPECT_EQ(size_on_disk(dir / "out").first, tib);
    EXPECT_LE(size_on_disk(dir / "out").second, 65536u);
    EXPECT_EQ(to_file({{uint64_t(1) << 63, 4096, 1, 0}}, (uint64_t(1) << 63) + 4096),
              "I/O error: File too large (os error 27)");
}

TEST(VolumeTest, BuiltContainerAgreesWith7Zip) {
    KIV_REQUIRE_TOOL("7zz");
    // Enough files that the catalog and the volume object map need index
    // nodes, a file of three extents and a symlink.
    B b(4096, 4);
    const auto top = b.add_dir(B::kRoot, "top");
    for (int d = 0; d < 6; ++d) {
        auto dir = b.add_dir(top, "dir" + std::to_string(d));
        for (int f = 0; f < 25; ++f)
            b.add_file(dir, "file" + std::to_string(f), random_bytes(size_t(f * 300 + d), uint64_t(f + d)));
    }
    b.add_file(B::kRoot, "empty", Bytes{});
    const Bytes multi = random_bytes(3 * 4096 + 500, 9);
    b.add_file(B::kRoot, "multi", multi.size(), {{0, slice(multi, 0, 4096)}, {4096, slice(multi, 4096, 4096)},
                                                 {8192, slice(multi, 8192, multi.size() - 8192)}});
    b.add_symlink(top, "to_dir0", "dir0");
    testing_util::ScratchDir dir;
    testing_util::write_bytes(dir / "sample.apfs", b.build());
    ASSERT_GT(b.layout().catalog_nodes.size(), 20u);
    ASSERT_GT(b.layout().volume_omap_nodes.size(), 5u);

    auto volume = open_file(dir / "sample.apfs");
    expect_same_as_7zip(volume, dir / "sample.apfs");
    EXPECT_EQ(*volume.read_file("multi"), multi);
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
    const Bytes image = b.build();
    auto volume = open_volume(image);
    EXPECT_EQ(volume.block_size(), 16384u);
    EXPECT_EQ(*volume.read_file("d/sparse"), concat({Bytes(32768), data, Bytes(80000 - 32768 - 40000)}));
    EXPECT_EQ(*volume.read_file("d/short"), concat({Bytes(32768), data, Bytes(100000 - 32768 - 40000)}));
    EXPECT_EQ(*volume.read_file("d/holes"), concat({Bytes(16384), slice(data, 0, 20000 - 16384)}));
    testing_util::ScratchDir dir;
    auto file = core::File::create((dir / "huge").string());
    core::FileSink sink(*file);
    EXPECT_EQ(*volume.read_file_to("huge", sink), uint64_t(1) << 33);
    EXPECT_EQ(size_on_disk(dir / "huge"), std::pair(uint64_t(1) << 33, uint64_t(0)));
    expect_cases({
        // In memory, a file cannot be larger than the container: the rest is holes.
        {"larger than the container", outcome(volume.read_file("huge")),
         "unsupported: file too large to read into memory: 8589934592 bytes, more than " +
             std::to_string(image.size()) + " (read it into a file)"},
    });
}

// Text that compresses, then random bytes that do not.
Bytes compressible(size_t n) {
    std::string text;
    for (size_t i = 0; text.size() < n / 2; ++i) text += "line " + std::to_string(i) + " of a compressed file\n";
    text.resize(n / 2);
    return concat({bytes_of(text), random_bytes(n - n / 2, n)});
}

TEST(VolumeTest, CompressedFilesAgreeWith7Zip) {
    struct Row {
        const char* name;
        uint32_t type;
        size_t size;
        std::set<size_t> stored;  // blocks kept behind the stored marker, as macOS keeps those that do not shrink
        bool by_7zip;             // 7-Zip reads zlib and LZVN from APFS, not LZFSE nor stored types
    };
    // Inline types hold their data in the attribute (in a data stream when it
    // is large); the others in the resource fork (embedded when small).
    const Row rows[] = {
        {"zlib", 3, 3000, {}, true},           {"zlib_stored", 3, 200, {0}, true},
        {"lzvn", 7, 3000, {}, true},           {"zlib_fork", 4, 200000, {2, 3}, true},
        {"lzvn_fork", 8, 200000, {0, 2, 3}, true}, {"empty", 3, 0, {}, true},
        {"lzfse", 11, 3000, {}, false},        {"lzfse_stream", 11, 60000, {}, false},
        {"lzfse_fork", 12, 200000, {}, false}, {"small_fork", 12, 2000, {}, false},
        {"stored_fork", 10, 70000, {}, false}, {"stored", 9, 100, {}, false},
        {"plain", 1, 100, {}, false},
    };
    auto image_of = [&](bool only_7zip) {
        B b;
        const uint64_t dir = b.add_dir(B::kRoot, "c");
        for (const Row& row : rows) {
            if (only_7zip && !row.by_7zip) continue;
            auto encoded = codec_testing::encode_decmpfs(row.type, compressible(row.size), row.stored);
            b.add_compressed(dir, row.name, row.size, encoded.attribute, encoded.resource_fork);
        }
        return b.build();
    };
    auto volume = open_volume(image_of(false));
    for (const Row& row : rows) {
        const std::string path = std::string("c/") + row.name;
        EXPECT_EQ(*volume.read_file(path), compressible(row.size)) << path;
        EXPECT_EQ(volume.stat(path)->size, row.size) << path;
    }
    KIV_REQUIRE_TOOL("7zz");
    testing_util::ScratchDir scratch;
    testing_util::write_bytes(scratch / "compressed.apfs", image_of(true));
    auto by_7zip = open_file(scratch / "compressed.apfs");
    expect_same_as_7zip(by_7zip, scratch / "compressed.apfs");
}

// The codec's own tests hold its decoding errors; here, that the path reaches
// them, that sizes come from the header, and that a declared size beyond the
// container is refused before anything is written.
TEST(VolumeTest, DamagedCompressedFiles) {
    B b;
    b.add_compressed(B::kRoot, "type13", 5, concat({codec_testing::decmpfs_header(13, 5), bytes_of("hello")}));
    b.add_compressed(B::kRoot, "bomb", uint64_t(1) << 40, codec_testing::decmpfs_header(4, uint64_t(1) << 40),
                     codec_testing::encode_decmpfs(4, compressible(150000)).resource_fork);
    b.add_compressed(B::kRoot, "no_magic", 5, Bytes(20));
    b.add_compressed(B::kRoot, "no_fork", 150000, codec_testing::decmpfs_header(4, 150000));
    const Bytes image = b.build();
    auto volume = open_volume(image);
    std::map<std::string, uint64_t> sizes;
    const auto walk = volume.walk();
    for (auto& e : *walk) sizes[e.path] = e.entry.size;
    EXPECT_EQ(sizes, (std::map<std::string, uint64_t>{{"/type13", 5}, {"/bomb", uint64_t(1) << 40}, {"/no_magic", 5},
                                                      {"/no_fork", 150000}}));
    core::VecSink sink;
    expect_cases({
        {"unknown type, to a sink", outcome(volume.read_file_to("type13", sink)),
         "unsupported: file \"type13\": compression type 13 is not supported"},
        {"more than the container holds", outcome(volume.read_file_to("bomb", sink)),
         "corrupted data: file \"bomb\" declares 1099511627776 uncompressed bytes, more than a container of " +
             std::to_string(image.size()) + " bytes holds compressed"},
        {"no resource fork", outcome(volume.read_file("no_fork")),
         "corrupted data: file \"no_fork\": resource fork of 0 bytes holds no resource header"},
        {"no magic", outcome(volume.read_file("no_magic")),
         "corrupted data: file \"no_magic\": decmpfs attribute lacks the magic \"fpmc\""},
    });
    EXPECT_TRUE(sink.data().empty());
}

TEST(VolumeTest, PathsListingsAndLinks) {
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
    const Bytes image = b.build();
    auto volume = open_volume(image);
    CatalogOf catalog_of(image);
    auto& [src, tree] = catalog_of;

    for (const char* root : {"", "/", "///"}) EXPECT_EQ(volume.resolve_path(root)->first, 2u) << root;
    auto st = volume.stat("//docs//readme.txt/");
    ASSERT_TRUE(st);
    EXPECT_EQ(std::tuple(st->id, st->size, st->kind, st->mode, st->uid, st->gid),
              std::tuple(readme, 7u, EntryKind::File, 0100644, 501u, 20u));
    EXPECT_EQ(volume.stat("docs")->nlink, 1u);  // the child count
    EXPECT_FALSE(*catalog::lookup_xattr(src, tree, readme, "nothing"));
    // Both NULs of a target are dropped everywhere; a symlink without its
    // attribute reads like any inode without extents.
    EXPECT_EQ(volume.stat("nuls")->size, 15u);
    EXPECT_EQ(*volume.read_file("nuls"), bytes_of("docs/readme.txt"));
    core::VecSink sink;
    EXPECT_EQ(*volume.read_file_to("nuls", sink), 15u);
    EXPECT_EQ(sink.data(), bytes_of("docs/readme.txt"));
    EXPECT_FALSE(*volume.symlink_target(bare));
    EXPECT_EQ(volume.stat("bare")->size, 0u);
    EXPECT_TRUE(volume.read_file("bare")->empty());
    EXPECT_TRUE(volume.read_file("docs")->empty());

    // Listings skip records they cannot decode and keep those without inode.
    auto listing = volume.list_directory("//");
    ASSERT_TRUE(listing);
    std::map<std::string, apfs::DirEntry> by_name;
    for (auto& e : *listing) by_name[e.name] = e;
    EXPECT_EQ(by_name.size(), 6u);  // not "short" nor "badname"
    EXPECT_EQ(std::tuple(by_name["ghost"].size, by_name["ghost"].mod_time), std::tuple(0u, 0u));
    EXPECT_EQ(by_name["gone_dir"].kind, EntryKind::Directory);
    EXPECT_EQ(by_name["nuls"].size, 15u);
    EXPECT_NE(by_name["Upper"].mod_time, 0u);

    BrokenSink broken;
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
        {"broken sink", outcome(volume.read_file_to("docs/readme.txt", broken)), kNoSpace},
        {"broken sink, link", outcome(volume.read_file_to("nuls", broken)), kNoSpace},
    });
    EXPECT_EQ(*volume.read_file("docs/readme.txt"), bytes_of("read me"));  // still usable
}

TEST(VolumeTest, WalkCyclesAndDepth) {
    B b;
    const uint64_t a = b.add_dir(B::kRoot, "a");
    b.add_drec(b.add_dir(a, "b"), "up", a, 4);  // a directory record leading back to /a

    B deep;
    uint64_t dir = B::kRoot;
    for (size_t i = 0; i < apfs::ApfsVolume::kMaxWalkDepth + 1; ++i) dir = deep.add_dir(dir, "d");
    std::string path;
    for (size_t i = 0; i < apfs::ApfsVolume::kMaxWalkDepth; ++i) path += "/d";
    expect_cases({
        {"cycle", outcome(open_volume(b.build()).walk()),
         "corrupted data: directory cycle: inode " + std::to_string(a) + " reached again at /a/b/up"},
        {"depth", outcome(open_volume(deep.build()).walk()),
         "corrupted data: directories nested deeper than 1024 levels at " + path},
    });
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
    // Block 0 wins over the same checkpoint in the checkpoint area, and its
    // first volume id that is not 0 is used.
    Bytes slots = image;
    core::store_le64(&slots[184], 0);
    B::seal(slots.data(), 4096);
    EXPECT_EQ(outcome(apfs::ApfsVolume::open(memory(slots))), "no volume found in container");
    core::store_le64(&slots[192], 1026);
    B::seal(slots.data(), 4096);
    EXPECT_EQ(*open_volume(slots).read_file("f"), bytes_of("x"));

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
