// Randomly damaged and hostile containers never crash or hang the library,
// nor make it write or allocate far more than their own size.
#include <sys/stat.h>

#include <numeric>
#include <random>

#include "support.hpp"

namespace {

using namespace apfs_test;

// Exercises every operation; errors are fine, crashes and hangs are not.
void exercise(const Bytes& image) {
    auto volume = apfs::ApfsVolume::open(memory(image));
    if (!volume) {
        EXPECT_FALSE(volume.error().message().empty());
        return;
    }
    (void)volume->list_directory("/");
    auto walk = volume->walk();
    for (const auto& e : walk.value_or(std::vector<apfs::WalkEntry>{})) {
        auto st = volume->stat(e.path);
        // Files declaring huge sizes would only fill memory with holes.
        if (st && st->size <= (1u << 24)) (void)volume->read_file(e.path);
    }
}

// The blocks a reader of the current checkpoint touches before file data,
// the catalog root last.
std::vector<uint64_t> live_blocks(const Bytes& image) {
    core::MemorySource src(image);
    auto nx = apfs::superblock::read_nxsb(src);
    auto omap_root = apfs::omap::read_omap_tree_root(src, nx->omap_oid, 4096);
    auto apsb_block = apfs::omap::omap_lookup(src, *omap_root, 4096, nx->fs_oids[0]);
    auto apsb = apfs::ApfsSuperblock::parse(*apfs::object::read_block(src, *apsb_block, 4096));
    const auto tree = apfs::superblock::open_first_volume(src)->catalog;
    return {0, nx->omap_oid, *omap_root, *apsb_block, apsb->omap_oid, tree.omap_root, tree.root_block};
}

// Flips bytes in the live blocks, mostly near their start where headers, tables
// of contents and keys live, sometimes resealing the checksum so that the damage
// gets past it; then flips and truncations anywhere.
TEST(DamageTest, DamagedFixtureAndBuiltContainer) {
    ContainerBuilder b(4096, 3);
    for (int d = 0; d < 2; ++d) {
        auto dir = b.add_dir(ContainerBuilder::kRoot, "d" + std::to_string(d));
        for (int f = 0; f < 4; ++f) b.add_file(dir, "f" + std::to_string(f), Bytes(size_t(3000 * f), uint8_t(f)));
        b.add_symlink(dir, "l", "f1");
    }
    Bytes built = b.build();
    std::vector<uint64_t> every(built.size() / 4096);  // mostly index and leaf nodes
    std::iota(every.begin(), every.end(), 0);
    Bytes raw = testing_util::read_bytes(KIV_REQUIRE_FIXTURE("apfs.raw"));
    raw.resize(110 * 4096);  // every block the volume reads, and less to copy per round
    std::mt19937_64 rng(0xA9F5);
    for (auto [image, blocks, rounds] : {std::tuple(&raw, live_blocks(raw), 2000), std::tuple(&built, every, 800)}) {
        for (int round = 0; round < rounds; ++round) {
            const size_t at = size_t(blocks[rng() % blocks.size()]) * 4096;
            Bytes& bytes = *image;
            const Bytes saved(bytes.begin() + ptrdiff_t(at), bytes.begin() + ptrdiff_t(at + 4096));
            for (int i = 0, flips = 1 + int(rng() % 6); i < flips; ++i)
                bytes[at + rng() % (rng() % 2 ? 512 : 4096)] = uint8_t(rng());
            if (rng() % 4 == 0) ContainerBuilder::seal(&bytes[at], 4096);
            exercise(bytes);
            std::copy(saved.begin(), saved.end(), bytes.begin() + ptrdiff_t(at));
        }
        for (int i = 0; i < 200; ++i) exercise(testing_util::damage(*image, rng));
    }
}

// The first volume id that is not 0 is used; opening reads no catalog node,
// so a catalog root whose table lies beyond the block fails the first query.
TEST(DamageTest, VolumeSlotsAndCatalogRoot) {
    ContainerBuilder b;
    b.add_file(ContainerBuilder::kRoot, "f", bytes_of("x"));
    Bytes image = b.build();
    const uint64_t catalog_root = live_blocks(image).back();
    store(&image[180], 2u, uint64_t(0), uint64_t(0));  // two volume slots, both empty
    ContainerBuilder::seal(image.data(), 4096);
    EXPECT_EQ(outcome(apfs::ApfsVolume::open(memory(image))), "no volume found in container");
    store(&image[192], uint64_t(1026));
    store(&image[catalog_root * 4096 + 40], uint16_t(0xFFFF));
    ContainerBuilder::seal(image.data(), 4096);
    auto damaged = open_volume(image);
    expect_cases({
        {"no source", outcome(apfs::ApfsVolume::open(nullptr)), "I/O error: no byte source"},
        {"walk", outcome(damaged.walk()), kShortRead},
        {"stat", outcome(damaged.stat("f")), kShortRead},
    });
}

// Sparse files declaring sizes far beyond their 80 KB containers.
TEST(DamageTest, HostileSparseFiles) {
    auto petabyte = open_file(KIV_REQUIRE_FIXTURE("hostile/timeout-read_file_to-sparse-1PiB.apfs"));
    const auto nearly4g_path = KIV_REQUIRE_FIXTURE("hostile/oom-read_file-sparse-4GiB.apfs");
    auto nearly4g = open_file(nearly4g_path);
    testing_util::ScratchDir dir;
    auto to_file = [&](apfs::ApfsVolume& volume, const char* path) {
        auto file = core::File::create((dir / "out").string());
        core::FileSink sink(*file);
        auto n = volume.read_file_to(path, sink);
        return n ? std::to_string(*n) : n.error().message();
    };
    // 1 PiB, one extent of 4 KiB half-way, holes around it: a file system
    // either refuses that size or holds it sparse.
    const std::string petabyte_out = to_file(petabyte, "huge_sparse");
    if (petabyte_out != "I/O error: File too large (os error 27)") {
        EXPECT_EQ(petabyte_out, "1125899906842624");
        struct stat st {};
        ASSERT_EQ(::stat((dir / "out").c_str(), &st), 0);
        EXPECT_LE(uint64_t(st.st_blocks) * 512, 65536u);
    }
    expect_cases({
        {"4 GiB in memory", outcome(nearly4g.read_file("sparse_4g")),
         "unsupported: file too large to read into memory: 4294967295 bytes, more than 81920 (read it into a file)"},
        // 4 GiB of hole, then 100 bytes: a sparse file of 4 GiB on disk.
        {"4 GiB to a file", to_file(nearly4g, "sparse_4g"), "4294967295"},
    });
    struct stat st {};
    ASSERT_EQ(::stat((dir / "out").c_str(), &st), 0);
    EXPECT_EQ(std::tuple(uint64_t(st.st_size), st.st_blocks * 512 <= 65536), std::tuple(4294967295u, true));
    Bytes tail(100);  // the extent's first 100 bytes, from block 5
    ASSERT_TRUE(core::File::open_read((dir / "out").string())->pread_some(tail, 4294967195u));
    const Bytes image = testing_util::read_bytes(nearly4g_path);
    EXPECT_EQ(tail, Bytes(image.begin() + 5 * 4096, image.begin() + 5 * 4096 + 100));
}

}  // namespace
