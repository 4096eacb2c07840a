// Damaged and truncated volumes give clean errors: no crash, no hang.
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "testing/testing.hpp"

namespace {

using hfs_test::Bytes;

// The first `limit` bytes of a borrowed buffer, read the way a file is (no memory() fast path).
struct BorrowedSource final : core::ByteSource {
    const Bytes& data;
    size_t limit;
    uint64_t pos = 0;
    BorrowedSource(const Bytes& d, size_t l) : data(d), limit(std::min(l, d.size())) {}
    core::IoResult<size_t> read(std::span<uint8_t> buf) override {
        const size_t n = pos >= limit ? 0 : std::min<uint64_t>(buf.size(), limit - pos);
        std::memcpy(buf.data(), data.data() + pos, n);
        return pos += n, n;
    }
    core::IoResult<uint64_t> seek(uint64_t to) override { return pos = to; }
    uint64_t position() const override { return pos; }
    core::IoResult<uint64_t> size() override { return limit; }
};

// Runs every operation on the walked paths and `probes`; returns the successes.
size_t exercise(const Bytes& image, size_t limit, const std::vector<std::string>& probes) {
    auto vol = hfsplus::HfsVolume::open(std::make_unique<BorrowedSource>(image, limit));
    if (!vol) return 0;
    size_t ok = 0;
    std::vector<std::string> paths = probes;
    for (const auto& w : vol->walk().value_or(std::vector<hfsplus::WalkEntry>())) paths.push_back(w.path);
    for (const auto& p : paths) {
        core::VecSink sink;
        ok += bool(vol->stat(p)) + bool(vol->list_directory(p)) + bool(vol->read_file_to(p, sink));
    }
    return ok;
}

// Flips bytes in the header and the first extent of each tree, sometimes truncating too.
TEST(Damage, VolumesWithFlippedMetadataAndTruncation) {
    hfs_test::VolumeBuilder b(false, 512);
    const uint32_t dir = b.add_folder(2, u"dir");
    for (int i = 0; i < 30; ++i) b.add_file(dir, u"f" + std::u16string(1, char16_t(u'a' + i)), Bytes(i * 300, 'x'));
    b.add_file(2, u"frag", testing_util::random_bytes(40 * 512, 77), 20);
    b.catalog_fragments = 12;  // the catalog continues in overflow records
    // hfsplus.raw; ImgTest.dmg adds the attributes tree, compressed files and hard links.
    const std::tuple<const char*, int, size_t> volumes[] = {
        {"", 1500, 200}, {"hfsplus.raw", 3000, 100}, {"real/libdmg-hfsplus/ImgTest.dmg", 1000, 30}};
    for (const auto& [fixture, rounds, min_survivors] : volumes) {
        SCOPED_TRACE(fixture);
        Bytes image = *fixture ? testing_util::read_bytes(KIV_REQUIRE_FIXTURE(fixture)) : b.build();
        auto intact = hfs_test::open_memory(image);
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
            survived += exercise(image, rng() % 4 == 0 ? rng() % image.size() : image.size(), {"/", "/dir"}) > 0;
            for (auto it = saved.rbegin(); it != saved.rend(); ++it) image[it->first] = it->second;
        }
        EXPECT_GT(survived, min_survivors);  // many damaged copies still open and read
    }
}

}  // namespace
