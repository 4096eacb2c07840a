// Randomly damaged containers never crash or hang the library.
#include <gtest/gtest.h>

#include <random>

#include "apfs/apfs.hpp"
#include "container_builder.hpp"
#include "core/endian.hpp"
#include "support.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

// Reads a buffer the test keeps changing, without copying it per run.
class ViewSource final : public core::ByteSource {
public:
    explicit ViewSource(const Bytes& data) : data_(data) {}
    core::IoResult<size_t> read(std::span<uint8_t> buf) override {
        if (pos_ >= data_.size()) return 0;
        size_t n = std::min<uint64_t>(buf.size(), data_.size() - pos_);
        std::copy_n(data_.begin() + ptrdiff_t(pos_), n, buf.begin());
        pos_ += n;
        return n;
    }
    core::IoResult<uint64_t> seek(uint64_t pos) override { return pos_ = pos; }
    uint64_t position() const override { return pos_; }
    core::IoResult<uint64_t> size() override { return data_.size(); }

private:
    const Bytes& data_;
    uint64_t pos_ = 0;
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
    if (!walk) return;
    for (const auto& e : *walk) {
        auto st = volume->stat(e.path);
        // Files declaring huge sizes would only fill memory with holes.
        if (st && st->size <= (1u << 24)) (void)volume->read_file(e.path);
    }
}

// Flips bytes in blocks that hold metadata (not zeros, not file data).
void run_damaged(Bytes image, const std::vector<size_t>& targets, int rounds, uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (int round = 0; round < rounds; ++round) {
        Bytes saved;
        const size_t blk = targets[rng() % targets.size()];
        const size_t at = blk * 4096;
        saved.assign(image.begin() + ptrdiff_t(at), image.begin() + ptrdiff_t(at + 4096));
        const int flips = 1 + int(rng() % 8);
        for (int i = 0; i < flips; ++i) image[at + rng() % 4096] = uint8_t(rng());
        if (rng() % 4 == 0) apfs_test::ContainerBuilder::seal(&image[at], 4096);  // damage past the checksum
        exercise(image);
        std::copy(saved.begin(), saved.end(), image.begin() + ptrdiff_t(at));
    }
}

std::vector<size_t> metadata_blocks(const Bytes& image) {
    std::vector<size_t> blocks;
    for (size_t b = 0; b < image.size() / 4096; ++b) {
        const uint8_t* p = &image[b * 4096];
        uint32_t type = core::load_le32(p + 24) & 0xFFFF;
        if (type >= 1 && type <= 0x20 && core::load_le64(p) != 0) blocks.push_back(b);
    }
    return blocks;
}

TEST(DamageTest, DamagedFixture) {
    auto raw = testing_util::read_bytes(KIV_REQUIRE_FIXTURE("apfs.raw"));
    auto targets = metadata_blocks(raw);
    ASSERT_GT(targets.size(), 10u);
    run_damaged(raw, targets, 2000, 0xA9F5);
}

TEST(DamageTest, DamagedBuiltContainerWithIndexNodes) {
    apfs_test::ContainerBuilder b({4096, 3, "fuzz"});
    for (int d = 0; d < 2; ++d) {
        auto dir = b.add_dir(apfs_test::ContainerBuilder::kRoot, "d" + std::to_string(d));
        for (int f = 0; f < 4; ++f) b.add_file(dir, "f" + std::to_string(f), Bytes(size_t(3000 * f), uint8_t(f)));
        b.add_symlink(dir, "l", "f1");
    }
    auto image = b.build();
    ASSERT_GT(b.layout().volume_omap_nodes.size(), 3u);
    run_damaged(image, metadata_blocks(image), 500, 0x5EED);
}

TEST(DamageTest, TruncatedAndRandomContainers) {
    auto raw = testing_util::read_bytes(KIV_REQUIRE_FIXTURE("apfs.raw"));
    std::mt19937_64 rng(77);
    for (int i = 0; i < 200; ++i) {
        Bytes cut(raw.begin(), raw.begin() + ptrdiff_t(rng() % raw.size()));
        exercise(cut);
    }
    for (int i = 0; i < 200; ++i) {
        auto garbage = testing_util::random_bytes(4096 * (1 + rng() % 8), rng());
        exercise(garbage);
    }
    // The generic damage helper over a small built container.
    apfs_test::ContainerBuilder b;
    b.add_file(apfs_test::ContainerBuilder::kRoot, "f", Bytes(5000, 1));
    auto image = b.build();
    for (int i = 0; i < 300; ++i) exercise(testing_util::damage(image, rng));
}

}  // namespace
