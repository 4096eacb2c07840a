// Damaged and truncated volumes give clean errors: no crash, no hang.
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "testing/testing.hpp"

namespace {

using hfs_test::Bytes;

// The first `limit` bytes of a borrowed buffer, read the way a file is (no memory() fast path).
class BorrowedSource final : public core::ByteSource {
public:
    BorrowedSource(const Bytes& data, size_t limit) : data_(data), limit_(std::min(limit, data.size())) {}
    core::IoResult<size_t> read(std::span<uint8_t> buf) override {
        if (pos_ >= limit_) return 0;
        const size_t n = std::min<uint64_t>(buf.size(), limit_ - pos_);
        std::memcpy(buf.data(), data_.data() + pos_, n);
        pos_ += n;
        return n;
    }
    core::IoResult<uint64_t> seek(uint64_t pos) override { return pos_ = pos; }
    uint64_t position() const override { return pos_; }
    core::IoResult<uint64_t> size() override { return limit_; }

private:
    const Bytes& data_;
    size_t limit_;
    uint64_t pos_ = 0;
};

// Runs every operation; any result will do as long as it comes back.  Returns the successes.
size_t exercise(std::unique_ptr<core::ByteSource> source, const std::vector<std::string>& probes) {
    auto vol = hfsplus::HfsVolume::open(std::move(source));
    if (!vol) return 0;
    size_t ok = 0;
    if (auto walk = vol->walk()) {
        for (const auto& w : *walk) {
            ok += bool(vol->stat(w.path));
            ok += w.entry.kind == hfsplus::EntryKind::Directory ? bool(vol->list_directory(w.path))
                                                                : bool(vol->read_file(w.path));
        }
    }
    for (const auto& p : probes) {
        core::VecSink sink;
        ok += bool(vol->stat(p)) + bool(vol->list_directory(p)) + bool(vol->read_file_to(p, sink));
    }
    return ok;
}

TEST(Damage, MacOsVolumesWithFlippedMetadataAndTruncation) {
    // hfsplus.raw; ImgTest.dmg adds the attributes tree, compressed files and hard links.
    const std::tuple<const char*, int, size_t> volumes[] = {{"hfsplus.raw", 3000, 100}, {"real/libdmg-hfsplus/ImgTest.dmg", 1000, 30}};
    for (const auto& [fixture, rounds, min_survivors] : volumes) {
        SCOPED_TRACE(fixture);
        Bytes image = testing_util::read_bytes(KIV_REQUIRE_FIXTURE(fixture));
        std::vector<std::string> probes = {"/"};
        auto intact = hfs_test::open_memory(image);
        const auto walk = intact.walk().value();
        for (const auto& w : walk) probes.push_back(w.path);
        // The header, and the first extent of the extents, catalog and attributes trees.
        std::vector<std::pair<size_t, size_t>> regions = {{1024, 512}};
        const auto& h = intact.header();
        for (const auto* fork : {&h.extents_file, &h.catalog_file, &h.attributes_file})
            if (fork->extents[0].block_count)
                regions.emplace_back(size_t(fork->extents[0].start_block) * h.block_size,
                                     size_t(fork->extents[0].block_count) * h.block_size);
        std::mt19937_64 rng(20260101);
        size_t survived = 0;
        for (int round = 0; round < rounds; ++round) {
            std::vector<std::pair<size_t, uint8_t>> saved;
            for (size_t i = 0, flips = 1 + rng() % 12; i < flips; ++i) {
                const auto [start, len] = regions[rng() % regions.size()];
                const size_t at = start + rng() % len;
                saved.emplace_back(at, image[at]);
                image[at] = uint8_t(rng());
            }
            const size_t limit = rng() % 4 == 0 ? rng() % image.size() : image.size();
            survived += exercise(std::make_unique<BorrowedSource>(image, limit), probes) > 0;
            for (auto it = saved.rbegin(); it != saved.rend(); ++it) image[it->first] = it->second;
        }
        EXPECT_GT(survived, min_survivors);  // many damaged copies still open and read
    }
}

TEST(Damage, HandMadeVolumeWithRandomDamage) {
    hfs_test::VolumeBuilder b(false, 512, 512);
    const uint32_t dir = b.add_folder(2, u"dir");
    for (int i = 0; i < 30; ++i)
        b.add_file(dir, u"f" + std::u16string(1, char16_t(u'a' + i)), testing_util::random_bytes(i * 300, i));
    b.add_file(2, u"frag", testing_util::random_bytes(40 * 512, 77), 20);
    b.add_symlink(2, u"ln", "dir/fa");
    const Bytes image = b.build();
    const std::vector<std::string> probes = {"/", "/dir", "/frag", "/dir/fb", "/ln"};
    EXPECT_GT(exercise(std::make_unique<core::MemorySource>(image), probes), 60u);

    std::mt19937_64 rng(7);
    for (int round = 0; round < 1500; ++round) {
        Bytes damaged = testing_util::damage(image, rng);
        // Aim half of the rounds at the header and the trees at the end, where flips matter.
        for (int i = 0; round % 2 && i < 4 && damaged.size() > b.catalog_offset; ++i) {
            const size_t metadata = damaged.size() - b.catalog_offset;
            damaged[i % 2 ? 1024 + rng() % 512 : b.catalog_offset + rng() % metadata] = uint8_t(rng());
        }
        exercise(std::make_unique<core::MemorySource>(std::move(damaged)), probes);
    }
}

TEST(Damage, RandomBytesAreNotAVolume) {
    for (uint64_t seed = 0; seed < 200; ++seed) {
        Bytes noise = testing_util::random_bytes(8192, seed);
        const uint8_t header[] = {0x48, uint8_t(seed % 2 ? 0x2B : 0x58), 0, 4};
        std::copy(std::begin(header), std::end(header), noise.begin() + 1024);
        exercise(std::make_unique<core::MemorySource>(std::move(noise)), {"/", "/x"});
    }
}

}  // namespace
