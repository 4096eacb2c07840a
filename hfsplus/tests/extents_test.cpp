// File data through inline extents and the extents overflow tree.
#include <gtest/gtest.h>

#include "core/endian.hpp"
#include "test_support.hpp"
#include "testing/testing.hpp"

namespace {

using hfs_test::FileOptions;
using hfs_test::VolumeBuilder;
using hfsplus::HfsPlusError;
using Kind = HfsPlusError::Kind;
using Bytes = std::vector<uint8_t>;

// Opens the image once over memory and once over a buffered file.
template <class F>
void over_both_sources(const Bytes& image, F&& check) {
    {
        SCOPED_TRACE("memory");
        auto vol = hfs_test::open_memory(image);
        check(vol);
    }
    {
        SCOPED_TRACE("file");
        testing_util::ScratchDir dir;
        testing_util::write_bytes(dir / "v.hfs", image);
        auto vol = hfs_test::open_file(dir / "v.hfs");
        check(vol);
    }
}

TEST(Extents, OverflowRecordsCarryTheRestOfAFragmentedFile) {
    VolumeBuilder b;
    auto data = testing_util::random_bytes(20 * 4096 - 100, 5);
    FileOptions twenty;
    twenty.fragments = 20;  // 8 inline, then records keyed at 8 and 16 blocks
    uint32_t id = b.add_file(2, u"fragmented", data, twenty);
    // A resource-fork record with the same id and start block must not be pulled in.
    hfsplus::ExtentRecord junk{};
    junk[0] = {1, 1};
    b.add_extent_record({id, hfsplus::kResourceForkType, 8, junk});
    b.add_extent_record({id, hfsplus::kResourceForkType, 16, junk});
    auto small = testing_util::random_bytes(5000, 6);
    b.add_file(2, u"two blocks", small);
    b.add_file(2, u"nine", testing_util::random_bytes(9 * 4096, 7), FileOptions::fragmented(9));
    auto image = b.build();

    over_both_sources(image, [&](hfsplus::HfsVolume& vol) {
        auto got = vol.read_file("/fragmented");
        ASSERT_TRUE(got) << got.error();
        EXPECT_TRUE(*got == data);
        auto st = vol.stat("/fragmented");
        ASSERT_TRUE(st);
        EXPECT_EQ(st->data_fork_extents, 8u);
        auto two = vol.read_file("/two blocks");
        ASSERT_TRUE(two);
        EXPECT_TRUE(*two == small);
        EXPECT_EQ(vol.read_file("/nine")->size(), 9u * 4096);

        auto first = hfsplus::extents::lookup_overflow_extents(vol.source(), vol.extents_tree(), id, 8);
        ASSERT_TRUE(first);
        ASSERT_EQ(first->size(), 8u);
        EXPECT_NE((*first)[0], junk[0]);
        auto none = hfsplus::extents::lookup_overflow_extents(vol.source(), vol.extents_tree(), id, 9);
        ASSERT_TRUE(none);
        EXPECT_TRUE(none->empty());
    });
}

TEST(Extents, ChainThatEndsEarly) {
    VolumeBuilder b;
    auto data = testing_util::random_bytes(12 * 4096, 8);
    FileOptions cut;
    cut.fragments = 12;
    cut.overflow_records_written = 0;
    uint32_t id = b.add_file(2, u"cut \"short\"", data, cut);
    // Only a resource-fork record where the data fork's would be.
    hfsplus::ExtentRecord other{};
    other[0] = {1, 4};
    b.add_extent_record({id, hfsplus::kResourceForkType, 8, other});
    // An overflow record whose first extent is empty ends the chain too.
    FileOptions longer;
    longer.declared_size = 3 * 4096;
    uint32_t id2 = b.add_file(2, u"empty record", testing_util::random_bytes(4096, 9), longer);
    b.add_extent_record({id2, 0, 1, {}});
    auto image = b.build();

    over_both_sources(image, [&](hfsplus::HfsVolume& vol) {
        auto r = vol.read_file("/cut \"short\"");
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message(),
                  "corrupted data: file \"/cut \\\"short\\\"\" declares 49152 bytes but only 32768 could be read; "
                  "its extent chain ends early");
        core::VecSink sink;
        auto n = vol.read_file_to("/cut \"short\"", sink);
        ASSERT_TRUE(n) << n.error();
        EXPECT_EQ(*n, 8u * 4096);
        EXPECT_TRUE(std::equal(sink.data().begin(), sink.data().end(), data.begin()));

        auto e = vol.read_file("/empty record");
        ASSERT_FALSE(e);
        EXPECT_EQ(e.error().kind(), Kind::CorruptedData);
        core::VecSink sink2;
        EXPECT_EQ(*vol.read_file_to("/empty record", sink2), 4096u);
    });
}

// read_fork_data straight over a source, without a catalog.
struct Direct {
    hfsplus::VolumeHeader volume;
    hfsplus::BTreeHeader no_overflow;  // root 0
    Direct(uint32_t block_size) { volume.block_size = block_size; }

    hfsplus::Result<uint64_t> copy(core::ByteSource& src, const hfsplus::ForkData& fork, core::ByteSink& out) {
        return hfsplus::extents::read_fork_data(src, volume, no_overflow, fork, 99, out);
    }
};

TEST(Extents, BlockCopyEdges) {
    const Bytes image = testing_util::random_bytes(10 * 4096 + 1000, 3);
    testing_util::ScratchDir dir;
    testing_util::write_bytes(dir / "img", image);
    auto sources = [&]() {
        std::vector<std::unique_ptr<core::ByteSource>> v;
        v.push_back(std::make_unique<core::MemorySource>(image));
        v.push_back(std::make_unique<core::FileSource>(std::move(*core::FileSource::open((dir / "img").string()))));
        return v;
    };
    Direct d(4096);
    for (auto& src : sources()) {
        // Size 0 reads nothing, whatever the extents say.
        hfsplus::ForkData empty;
        empty.extents[0] = {0xFFFFFFFF, 0xFFFFFFFF};
        core::VecSink out;
        EXPECT_EQ(*d.copy(*src, empty, out), 0u);
        EXPECT_TRUE(out.data().empty());

        // 5000 bytes from two blocks: 4096 and 904.
        hfsplus::ForkData two;
        two.logical_size = 5000;
        two.extents[0] = {3, 2};
        core::VecSink out2;
        EXPECT_EQ(*d.copy(*src, two, out2), 5000u);
        EXPECT_TRUE(std::equal(out2.data().begin(), out2.data().end(), image.begin() + 3 * 4096));

        // A last partial block at the very end of the image is enough.
        hfsplus::ForkData tail;
        tail.logical_size = 4096 + 1000;
        tail.extents[0] = {9, 2};
        core::VecSink out3;
        EXPECT_EQ(*d.copy(*src, tail, out3), 5096u);

        // An extent running past the end fails, keeping the whole blocks before it.
        hfsplus::ForkData past;
        past.logical_size = 3 * 4096;
        past.extents[0] = {8, 3};
        core::VecSink out4;
        EXPECT_EQ(d.copy(*src, past, out4).error().message(), "I/O error: failed to fill whole buffer");
        EXPECT_EQ(out4.data().size(), 2u * 4096);

        // Inline extents shorter than the size: a short count, no error.
        hfsplus::ForkData shorter;
        shorter.logical_size = 3 * 4096;
        shorter.extents[0] = {1, 1};
        shorter.extents[1] = {5, 1};
        core::VecSink out5;
        EXPECT_EQ(*d.copy(*src, shorter, out5), 2u * 4096);
        EXPECT_TRUE(std::equal(out5.data().begin() + 4096, out5.data().end(), image.begin() + 5 * 4096));

        // A size the image cannot hold is refused before anything is read.
        hfsplus::ForkData huge;
        huge.logical_size = uint64_t(1) << 40;
        huge.extents[0] = {0, 0xFFFFFFFF};
        core::VecSink out6;
        EXPECT_EQ(d.copy(*src, huge, out6).error().kind(), Kind::CorruptedData);
        EXPECT_TRUE(out6.data().empty());
    }
    // Absurd block sizes are refused.
    Direct absurd(0x80000000u);
    hfsplus::ForkData one;
    one.logical_size = 10;
    one.extents[0] = {0, 1};
    core::MemorySource src(image);
    core::VecSink out;
    EXPECT_EQ(absurd.copy(src, one, out).error().message(), "corrupted data: unsupported allocation block size 2147483648");
}

TEST(Extents, KeyOrderAndShortRecords) {
    using hfsplus::extents::compare_extent_key;
    Bytes key = {0, 10, 0x00, 0, 0, 0, 0, 7, 0, 0, 0, 8};
    EXPECT_EQ(compare_extent_key(key, 7, 0, 8), std::strong_ordering::equal);
    EXPECT_EQ(compare_extent_key(key, 7, 0xFF, 8), std::strong_ordering::less);
    EXPECT_EQ(compare_extent_key(key, 7, 0, 0), std::strong_ordering::greater);
    EXPECT_EQ(compare_extent_key(key, 6, 0xFF, 100), std::strong_ordering::greater);
    EXPECT_EQ(compare_extent_key(std::span(key).first(11), 0, 0, 0), std::strong_ordering::less);

    // A matching record without its eight extents.
    Bytes rec = key;
    rec.resize(12 + 40);
    hfsplus::BTreeHeader tree;
    tree.block_size = 512;
    tree.node_size = 512;
    tree.root_node = 1;
    tree.fork.extents[0] = {0, 2};
    Bytes image = hfs_test::make_node(1, 0, {}, 512);
    auto leaf = hfs_test::make_node(-1, 1, {rec}, 512);
    image.insert(image.end(), leaf.begin(), leaf.end());
    core::MemorySource src(image);
    EXPECT_EQ(hfsplus::extents::lookup_overflow_extents(src, tree, 7, 8).error().message(),
              "invalid B-tree: extent record too short");
}

}  // namespace
