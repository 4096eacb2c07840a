// Images made by Apple's tools, compared with 7-Zip; choosing partitions.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "image_util.hpp"
#include "testing/testing.hpp"

using namespace udif_test;
using udif::PartitionType;

TEST(RealImages, HdiutilZlibImage) {
    auto path = KIV_REQUIRE_FIXTURE("hfsplus_zlib.dmg");
    auto archive = udif::DmgArchive::open(path);  // verifies both checksums
    ASSERT_TRUE(archive) << archive.error().message();
    const std::tuple<const char*, int32_t, PartitionType> expected[] = {
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
        EXPECT_EQ(std::tie(parts[i].name, parts[i].id, parts[i].partition_type, archive->reader().partitions()[i].attributes),
                  std::tuple_cat(expected[i], std::tuple(0x50u)));
    }
    auto stats = archive->stats();
    auto counts = archive->compression_info();
    EXPECT_EQ(std::tie(stats.sector_count, stats.version, stats.data_fork_length, stats.total_uncompressed, stats.total_compressed,
                       counts.zlib_blocks, counts.zero_fill_blocks),
              std::tuple(3817u, 4u, 11984u, 3817u * 512, 6498u, 8u, 2u));
    // Names match whole.  The main partition (nearly all zeros) reaches
    // files like memory, decoded in parallel (zero blocks left as holes) and
    // run by run (zero-filled runs left as holes, zlib runs written); a
    // failed extraction creates no file.
    EXPECT_EQ(error_text(archive->extract_partition_by_name("Apple_HFS")), "file not found: Apple_HFS");
    testing_util::ScratchDir dir;
    auto positioned = core::File::create((dir / "positioned").string());
    ASSERT_TRUE(positioned && archive->extract_partition_to(*archive->hfs_partition_id(), *positioned));
    ASSERT_TRUE(archive->extract_main_partition_to_file(dir / "parallel"));
    for (auto [name, allocated] : {std::pair{"parallel", 256u << 10}, {"positioned", 1280u << 10}}) {
        EXPECT_EQ(testing_util::read_bytes(dir / name), *archive->extract_partition_by_name("disk image (Apple_HFS : 4)"));
        struct stat st;
        ASSERT_EQ(::stat((dir / name).c_str(), &st), 0);
        EXPECT_LT(uint64_t(st.st_blocks) * 512, allocated) << name;
    }
    EXPECT_FALSE(archive->extract_partition_to_file(99, dir / "never") || std::filesystem::exists(dir / "never"));

    // The master checksum hdiutil stored is the one computed from the block maps.
    auto bytes = testing_util::read_bytes(path);
    bytes[bytes.size() - 512 + 363] ^= 1;  // the stored value's last byte
    EXPECT_EQ(error_text(open_bytes(bytes)), "checksum mismatch: expected 0x13be34b9, got 0x13be34b8");
    EXPECT_EQ(error_text(open_bytes(bytes, false)), "ok");
}

// Images made by hdiutil with each codec decode to the bytes 7-Zip gives.
TEST(RealImages, DecodeLikeSevenZip) {
    for (auto [file, main_type] : {std::pair{"hfsplus_zlib.dmg", PartitionType::Hfs},
                                   {"real/sparkle/SparkleTestCodeSignApp.dmg", PartitionType::Hfs},
                                   {"real/sparkle/SparkleTestCodeSign_apfs_lzma_aux_files.dmg", PartitionType::Apfs},
                                   {"real/homebrew/container.dmg", PartitionType::Hfs},
                                   {"real/homebrew/container-apfs.dmg", PartitionType::Apfs},
                                   {"real/plaso/spotlight.10.13.dmg", PartitionType::Hfs}}) {
        SCOPED_TRACE(file);
        auto path = testing_util::fixture(file);
        if (!std::filesystem::exists(path)) continue;
        auto archive = udif::DmgArchive::open(path);
        ASSERT_TRUE(archive) << archive.error().message();
        auto parts = archive->partitions();
        auto main = archive->main_partition_id();
        ASSERT_TRUE(main);
        size_t index = 0;
        while (index < parts.size() && parts[index].id != *main) ++index;
        ASSERT_LT(index, parts.size());
        EXPECT_EQ(parts[index].partition_type, main_type);
        auto decoded = archive->extract_main_partition();
        ASSERT_TRUE(decoded) << decoded.error().message();
        core::VecSink sink;
        ASSERT_TRUE(archive->extract_partition_to(*main, sink));
        EXPECT_EQ(sink.data(), *decoded);
        if (testing_util::have_tool("7zz")) {
            EXPECT_EQ(seven_zip_partition(path, index), *decoded);
        }
        for (const auto& p : parts) EXPECT_TRUE(archive->extract_partition(p.id)) << p.name;
    }
}

// Crafted images that once read past a buffer, overflowed the stack, or
// made extraction write or allocate without end: every way of decoding
// ends cleanly, and a refused partition writes nothing.
TEST(RealImages, HostileImagesFailCleanly) {
    const std::string too_big = "invalid block map: partition of ";
    const std::tuple<const char*, std::string, std::string> rows[] = {
        {"heap-overflow-lzfse-fse_in_checked_flush64.dmg", "ok", "decompression error: lzfse decoded 0 bytes, expected 4096"},
        {"ubsan-lzfse-pointer-overflow.dmg", "ok", "ok"},
        {"stack-overflow-libplist-xml-depth177k.dmg", "invalid plist: plist parse error: nesting too deep at offset 3598", ""},
        {"stack-overflow-libplist-bplist-depth89k.dmg", "invalid plist: plist parse error: nesting too deep at offset 2056", ""},
        {"timeout-stream-zero-fill-512PiB.dmg", "ok", too_big + "1125899906842624 sectors exceeds the image's 524288 sectors"},
        {"oom-in-memory-partition-16GiB.dmg", "ok", too_big + "33554432 sectors exceeds the image's 524288 sectors"},
        // Encrypted images carry no trailer in the clear.
        {"../real/sparkle/SparkleTestCodeSignApp.enc.dmg", "invalid DMG magic: expected 'koly' trailer", ""},
    };
    for (const auto& [file, opened, decoded] : rows) {
        SCOPED_TRACE(file);
        auto path = testing_util::fixture(std::string("hostile/") + file);
        if (!std::filesystem::exists(path)) continue;
        auto r = udif::DmgReader::open_with_options(path, true);
        ASSERT_EQ(error_text(r), opened);
        if (!r) continue;
        for (const auto& p : r->partitions()) {
            auto whole = r->decompress_partition_parallel(p.id);
            EXPECT_EQ(error_text(whole), decoded);
            // Refused before the Python layer allocates its buffer too.
            if (decoded.starts_with(too_big)) {
                EXPECT_EQ(error_text(r->partition_size(p.id)), decoded);
            }
            core::VecSink sink;
            EXPECT_EQ(error_text(r->decompress_partition_to(p.id, sink)), decoded);
            EXPECT_EQ(sink.data(), whole.value_or(std::vector<uint8_t>{}));
        }
    }
}

TEST(Archive, PartitionChoice) {
    auto archive_of = [&](std::vector<std::pair<std::string, uint64_t>> parts) {
        std::vector<udif::PartitionData> list;
        for (auto& [name, sectors] : parts) list.push_back({.name = name, .runs = {}, .sector_count = sectors, .id = int32_t(list.size())});
        auto r = open_bytes(image({}, udif::resource_fork_xml(list)));
        EXPECT_TRUE(r);
        return udif::DmgArchive(std::move(*r));
    };
    EXPECT_EQ(*archive_of({{"Apple_HFS", 100}, {"Apple_HFSX", 100}}).hfs_partition_id(), 1);
    EXPECT_EQ(*archive_of({{"Apple_HFS", 200}, {"Apple_HFSX", 100}}).hfs_partition_id(), 0);
    auto gpt = archive_of({{"free", 10}, {"map", 63}});
    EXPECT_EQ(error_text(gpt.hfs_partition_id()), "file not found: no HFS+/HFSX partition found");
    EXPECT_EQ(*gpt.main_partition_id(), 1);
    EXPECT_EQ(error_text(gpt.extract_partition(7)), "file not found: partition 7");
    std::vector<uint8_t> wrong(100);
    EXPECT_EQ(error_text(gpt.extract_partition_into(0, wrong)), "I/O error: output buffer holds 100 bytes, the partition 5120");
    EXPECT_EQ(*archive_of({{"Apple_APFS", 1000}, {"free", 5000}}).main_partition_id(), 0);
    auto types = archive_of({{"x (Apple_HFSX : 1)", 1}, {"apple_hfs", 1}, {"y Apple_APFS", 1}}).partitions();
    EXPECT_EQ(std::tie(types[0].partition_type, types[1].partition_type, types[2].partition_type),
              std::tuple(PartitionType::Hfsx, PartitionType::Other, PartitionType::Apfs));
    auto none = archive_of({});
    EXPECT_EQ(error_text(none.main_partition_id()), "file not found: no partitions found");
}
