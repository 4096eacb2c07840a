#include <gtest/gtest.h>

#include <plist/plist.h>

#include "image_util.hpp"
#include "testing/testing.hpp"

using udif::KivError;
using udif::PartitionType;
using Kind = KivError::Kind;

namespace {

// The bytes 7-Zip extracts for the partition at `index` (its "index.*" item).
std::vector<uint8_t> seven_zip_partition(const std::filesystem::path& image, size_t index) {
    testing_util::ScratchDir dir;
    auto r = testing_util::run("7zz e -y -tdmg -o" + testing_util::shell_quote(dir.path()) + " " +
                               testing_util::shell_quote(image) + " '" + std::to_string(index) + ".*' 2>&1");
    EXPECT_EQ(r.status, 0) << r.output;
    std::vector<uint8_t> out;
    for (const auto& f : std::filesystem::directory_iterator(dir.path())) out = testing_util::read_bytes(f.path());
    return out;
}

size_t index_of(const std::vector<udif::PartitionInfo>& parts, int32_t id) {
    for (size_t i = 0; i < parts.size(); ++i)
        if (parts[i].id == id) return i;
    return SIZE_MAX;
}

}  // namespace

TEST(RealImages, HdiutilZlibImage) {
    auto path = KIV_REQUIRE_FIXTURE("hfsplus_zlib.dmg");
    auto archive = udif::DmgArchive::open(path);
    ASSERT_TRUE(archive) << archive.error().message();

    struct Expected {
        const char* name;
        int32_t id;
        PartitionType type;
    };
    const Expected expected[] = {
        {"Protective Master Boot Record (MBR : 0)", -1, PartitionType::Other},
        {"GPT Header (Primary GPT Header : 1)", 0, PartitionType::Other},
        {"GPT Partition Data (Primary GPT Table : 2)", 1, PartitionType::Other},
        {" (Apple_Free : 3)", 2, PartitionType::Other},
        {"disk image (Apple_HFS : 4)", 3, PartitionType::Hfs},
        {"GPT Partition Data (Backup GPT Table : 5)", 4, PartitionType::Other},
        {"GPT Header (Backup GPT Header : 6)", 5, PartitionType::Other},
    };
    auto parts = archive->partitions();
    ASSERT_EQ(parts.size(), 7u);
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(parts[i].name, expected[i].name);
        EXPECT_EQ(parts[i].id, expected[i].id);
        EXPECT_EQ(parts[i].partition_type, expected[i].type);
        EXPECT_EQ(archive->reader().partitions()[i].attributes, 0x50u);
    }
    EXPECT_EQ(parts[4].sector_count, 3744u);
    EXPECT_EQ(parts[4].size, 3744u * 512);

    auto stats = archive->stats();
    EXPECT_EQ(stats.sector_count, 3817u);
    EXPECT_EQ(stats.version, 4u);
    EXPECT_EQ(stats.data_fork_length, 11984u);
    EXPECT_EQ(stats.partition_count, 7u);
    auto counts = archive->compression_info();
    EXPECT_GT(counts.zlib_blocks, 0u);
    EXPECT_EQ(counts.adc_blocks, 0u);

    EXPECT_EQ(*archive->hfs_partition_id(), 3);
    EXPECT_EQ(*archive->main_partition_id(), 3);
    auto hfs = archive->extract_partition(3);
    ASSERT_TRUE(hfs);
    ASSERT_EQ(hfs->size(), 3744u * 512);
    EXPECT_EQ((*hfs)[1024], 'H');  // the volume header's "H+" signature
    EXPECT_EQ(*archive->extract_partition_by_name("disk image (Apple_HFS : 4)"), *hfs);
    EXPECT_EQ(archive->extract_partition_by_name("Apple_HFS").error().message(), "file not found: Apple_HFS");
    EXPECT_EQ(*archive->extract_main_partition(), *hfs);
    core::VecSink sink;
    ASSERT_TRUE(archive->extract_partition_to(3, sink));
    EXPECT_EQ(sink.data(), *hfs);

    testing_util::ScratchDir dir;
    ASSERT_TRUE(archive->extract_main_partition_to_file(dir / "main.hfs"));
    EXPECT_EQ(testing_util::read_bytes(dir / "main.hfs"), *hfs);
    EXPECT_FALSE(archive->extract_partition_to_file(99, dir / "never"));
    EXPECT_FALSE(std::filesystem::exists(dir / "never"));

    if (testing_util::have_tool("7zz")) {
        EXPECT_EQ(seven_zip_partition(path, 4), *hfs);
    }
}

TEST(RealImages, MasterChecksumIsVerified) {
    auto path = KIV_REQUIRE_FIXTURE("hfsplus_zlib.dmg");
    auto bytes = testing_util::read_bytes(path);
    auto trailer = udif::KolyHeader::parse(std::span<const uint8_t, 512>(bytes.end() - 512, bytes.end()));
    ASSERT_TRUE(trailer);
    EXPECT_EQ(udif::checksum::stored_value(trailer->master_checksum), 0x13BE34B8u);

    // Flip one byte of the first block map's checksum and write the list back.
    plist_t root = nullptr;
    plist_from_xml(reinterpret_cast<const char*>(bytes.data() + trailer->xml_offset), uint32_t(trailer->xml_length), &root);
    ASSERT_NE(root, nullptr);
    plist_t entry = plist_array_get_item(plist_dict_get_item(plist_dict_get_item(root, "resource-fork"), "blkx"), 0);
    plist_t data = plist_dict_get_item(entry, "Data");
    uint64_t len = 0;
    const char* p = plist_get_data_ptr(data, &len);
    std::vector<char> map(p, p + len);
    map[73] ^= 0x40;
    plist_set_data_val(data, map.data(), len);
    char* xml = nullptr;
    uint32_t xml_len = 0;
    plist_to_xml(root, &xml, &xml_len);
    plist_free(root);

    std::vector<uint8_t> fork(bytes.begin(), bytes.begin() + long(trailer->data_fork_length));
    auto damaged = udif_test::image(fork, std::string(xml, xml_len), [&](udif::KolyHeader& t) {
        t = *trailer;
        t.xml_length = xml_len;
    });
    free(xml);
    auto r = udif_test::open_bytes(damaged);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Kind::ChecksumMismatch);
    EXPECT_EQ(r.error().expected(), 0x13BE34B8u);
    EXPECT_TRUE(udif_test::open_bytes(damaged, false));
}

// Images made by hdiutil with each codec decode to the bytes 7-Zip gives.
TEST(RealImages, DecodeLikeSevenZip) {
    struct Case {
        const char* path;
        PartitionType main_type;
        bool data_checksum;
    };
    for (auto c : {Case{"real/sparkle/SparkleTestCodeSignApp.dmg", PartitionType::Hfs, true},
                   Case{"real/sparkle/SparkleTestCodeSign_apfs_lzma_aux_files.dmg", PartitionType::Apfs, false},
                   Case{"real/homebrew/container.dmg", PartitionType::Hfs, false},
                   Case{"real/homebrew/container-apfs.dmg", PartitionType::Apfs, false},
                   Case{"real/plaso/spotlight.10.13.dmg", PartitionType::Hfs, true}}) {
        SCOPED_TRACE(c.path);
        auto path = testing_util::fixture(c.path);
        if (!std::filesystem::exists(path)) continue;
        auto archive = udif::DmgArchive::open(path);
        ASSERT_TRUE(archive) << archive.error().message();
        if (c.data_checksum) {
            EXPECT_TRUE(archive->reader().trailer().has_data_checksum());
        }
        auto parts = archive->partitions();
        auto main = archive->main_partition_id();
        ASSERT_TRUE(main);
        size_t index = index_of(parts, *main);
        EXPECT_EQ(parts[index].partition_type, c.main_type);
        auto decoded = archive->extract_main_partition();
        ASSERT_TRUE(decoded) << decoded.error().message();
        core::VecSink sink;
        ASSERT_TRUE(archive->extract_partition_to(*main, sink));
        EXPECT_EQ(sink.data(), *decoded);
        if (testing_util::have_tool("7zz")) {
            EXPECT_EQ(seven_zip_partition(path, index), *decoded);
        }
        // Every other partition decodes too.
        for (const auto& p : parts) EXPECT_TRUE(archive->extract_partition(p.id)) << p.name;
    }
}

TEST(RealImages, EncryptedImageFailsClearly) {
    auto path = KIV_REQUIRE_FIXTURE("real/sparkle/SparkleTestCodeSignApp.enc.dmg");
    auto r = udif::DmgArchive::open(path);
    ASSERT_FALSE(r);
    // Encrypted images carry no trailer in the clear.
    EXPECT_EQ(r.error().kind(), Kind::InvalidMagic);
    EXPECT_EQ(r.error().message(), "invalid DMG magic: expected 'koly' trailer");
}

TEST(Archive, PartitionChoice) {
    using namespace udif_test;
    auto map = [](uint64_t sectors) { return block_map(sectors, {}); };
    auto archive_of = [&](std::vector<std::pair<std::string, uint64_t>> parts) {
        std::string items;
        int id = 0;
        for (auto& [name, sectors] : parts) items += named_entry(name, id++, map(sectors));
        auto r = open_bytes(image({}, plist_xml(items)));
        EXPECT_TRUE(r);
        return udif::DmgArchive(std::move(*r));
    };
    EXPECT_EQ(*archive_of({{"Apple_HFS", 100}, {"Apple_HFSX", 100}}).hfs_partition_id(), 1);
    EXPECT_EQ(*archive_of({{"Apple_HFS", 200}, {"Apple_HFSX", 100}}).hfs_partition_id(), 0);
    auto gpt = archive_of({{"free", 10}, {"map", 63}});
    EXPECT_EQ(gpt.hfs_partition_id().error().message(), "file not found: no HFS+/HFSX partition found");
    EXPECT_EQ(*gpt.main_partition_id(), 1);
    EXPECT_EQ(*archive_of({{"Apple_APFS", 1000}, {"free", 5000}}).main_partition_id(), 0);
    auto types = archive_of({{"x (Apple_HFSX : 1)", 1}, {"apple_hfs", 1}, {"y Apple_APFS", 1}}).partitions();
    EXPECT_EQ(types[0].partition_type, PartitionType::Hfsx);
    EXPECT_EQ(types[1].partition_type, PartitionType::Other);
    EXPECT_EQ(types[2].partition_type, PartitionType::Apfs);
    EXPECT_EQ(udif::partition_type_name(PartitionType::Hfsx), "Hfsx");

    auto none = archive_of({});
    EXPECT_TRUE(none.partitions().empty());
    EXPECT_EQ(none.main_partition_id().error().message(), "file not found: no partitions found");
    EXPECT_EQ(none.stats().total_uncompressed, 0u);
    EXPECT_EQ(none.stats().version, 4u);
}

TEST(Archive, StatsAndCountsOfAWrittenImage) {
    udif::DmgBuilder b;
    b.chunk_size = 4096;
    auto data = testing_util::random_bytes(4096, 1);
    data.resize(12288, 0);
    b.add_partition("p", data).add_partition("q", testing_util::random_bytes(100, 2));
    testing_util::ScratchDir dir;
    ASSERT_TRUE(b.build(dir / "s.dmg"));
    auto a = udif::DmgArchive::open(dir / "s.dmg");
    ASSERT_TRUE(a);
    auto c = a->compression_info();
    EXPECT_EQ(c.zlib_blocks, 2u);
    EXPECT_EQ(c.zero_fill_blocks, 2u);
    EXPECT_EQ(c.raw_blocks + c.bzip2_blocks + c.lzfse_blocks + c.xz_blocks + c.adc_blocks, 0u);
    auto s = a->stats();
    EXPECT_EQ(s.total_uncompressed, 12288u + 512);
    EXPECT_EQ(s.total_compressed, s.data_fork_length);
    EXPECT_EQ(s.sector_count, 25u);
}
