// Randomly damaged and hostile containers never crash or hang the library,
// nor make it write or allocate far more than their own size; sparse files
// declaring sizes far beyond their 80 KB containers are refused in memory
// and written to a file as holes.
#include <sys/stat.h>

#include <random>

#include "support.hpp"

namespace {

using namespace apfs_test;

// Reads a buffer the test keeps changing, without copying it per run.
struct ViewSource : core::ByteSource {
    const Bytes& data;
    uint64_t pos = 0;
    explicit ViewSource(const Bytes& d) : data(d) {}
    core::IoResult<size_t> read(std::span<uint8_t> buf) override {
        if (pos >= data.size()) return 0;
        const size_t n = std::min<uint64_t>(buf.size(), data.size() - pos);
        std::copy_n(data.begin() + ptrdiff_t(pos), n, buf.begin());
        pos += n;
        return n;
    }
    core::IoResult<uint64_t> seek(uint64_t to) override { return pos = to; }
    uint64_t position() const override { return pos; }
    core::IoResult<uint64_t> size() override { return data.size(); }
};

// Exercises every operation; errors are fine, crashes and hangs are not.
void exercise(const Bytes& image) {
    auto volume = apfs::ApfsVolume::open(std::make_unique<ViewSource>(image));
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

// A copy of `data` with a few random bytes changed, a random truncation, or both.
Bytes damage(const Bytes& data, std::mt19937_64& rng) {
    Bytes out = data;
    const unsigned mode = rng() % 3;
    if (mode != 1)
        for (size_t i = 0, flips = 1 + rng() % 16; i < flips; ++i) out[rng() % out.size()] = uint8_t(rng());
    if (mode != 0) out.resize(rng() % out.size());
    return out;
}

// The blocks a reader of the current checkpoint touches before file data.
std::vector<uint64_t> live_blocks(const Bytes& image) {
    core::MemorySource src(image);
    auto nx = apfs::superblock::read_nxsb(src);
    auto omap_root = apfs::omap::read_omap_tree_root(src, nx->omap_oid, 4096);
    auto apsb_block = apfs::omap::omap_lookup(src, *omap_root, 4096, nx->fs_oids[0], nx->header.xid);
    auto apsb = apfs::ApfsSuperblock::parse(*apfs::object::read_block(src, *apsb_block, 4096));
    const auto tree = apfs::superblock::open_first_volume(src).value().catalog;
    return {0, nx->omap_oid, *omap_root, *apsb_block, apsb->omap_oid, tree.omap_root, tree.root_block};
}

// Flips bytes in the live blocks, mostly near their start where headers, tables
// of contents and keys live, sometimes resealing the checksum so that the damage
// gets past it; then flips and truncations anywhere, and random blocks.
TEST(DamageTest, DamagedFixtureAndBuiltContainer) {
    ContainerBuilder b(4096, 3);
    for (int d = 0; d < 2; ++d) {
        auto dir = b.add_dir(ContainerBuilder::kRoot, "d" + std::to_string(d));
        for (int f = 0; f < 4; ++f) b.add_file(dir, "f" + std::to_string(f), Bytes(size_t(3000 * f), uint8_t(f)));
        b.add_symlink(dir, "l", "f1");
    }
    Bytes built = b.build();
    const auto& layout = b.layout();
    std::vector<uint64_t> targets = live_blocks(built);
    targets.insert(targets.end(), layout.catalog_nodes.begin(), layout.catalog_nodes.end());
    targets.insert(targets.end(), layout.volume_omap_nodes.begin(), layout.volume_omap_nodes.end());
    Bytes raw = testing_util::read_bytes(KIV_REQUIRE_FIXTURE("apfs.raw"));
    std::mt19937_64 rng(0xA9F5);
    for (auto [image, blocks, rounds] : {std::tuple(&raw, live_blocks(raw), 2000), std::tuple(&built, targets, 800)}) {
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
        for (int i = 0; i < 200; ++i) exercise(damage(*image, rng));
    }
    for (int i = 0; i < 200; ++i) exercise(testing_util::random_bytes(4096 * (1 + rng() % 8), rng()));
}

TEST(DamageTest, HostileSparseFiles) {
    // 4 GiB of hole, then 100 bytes from block 5; 1 PiB with one extent of
    // 4 KiB half-way, which a file system either holds sparse or refuses.
    const std::tuple<const char*, const char*, uint64_t> files[] = {
        {"hostile/oom-read_file-sparse-4GiB.apfs", "sparse_4g", 4294967295u},
        {"hostile/timeout-read_file_to-sparse-1PiB.apfs", "huge_sparse", uint64_t(1) << 50}};
    testing_util::ScratchDir dir;
    const auto out = (dir / "out").string();
    for (const auto& [fixture, name, size] : files) {
        const auto path = KIV_REQUIRE_FIXTURE(fixture);
        auto volume = open_file(path);
        EXPECT_EQ(volume.read_file(name).error().kind(), apfs::ApfsError::Kind::Unsupported) << name;
        auto file = core::File::create(out);
        core::FileSink sink(*file);
        auto written = volume.read_file_to(name, sink);
        if (!written && written.error().message() == "I/O error: File too large (os error 27)") continue;
        struct stat st {};
        ASSERT_EQ(::stat(out.c_str(), &st), 0);
        EXPECT_EQ(std::tuple(written.value_or(0), uint64_t(st.st_size), st.st_blocks * 512 <= 65536),
                  std::tuple(size, size, true))
            << name << ": " << outcome(written);
        if (size > 4294967295u) continue;  // the tail of the 4 GiB file
        Bytes tail(100);
        ASSERT_TRUE(core::File::open_read(out)->pread_some(tail, size - 100));
        const Bytes image = testing_util::read_bytes(path);
        EXPECT_EQ(tail, Bytes(image.begin() + 5 * 4096, image.begin() + 5 * 4096 + 100));
    }
}

}  // namespace
