// Volumes written by macOS and by xorriso, checked against 7-Zip and against the files they were made from.
#include <gtest/gtest.h>

#include "core/endian.hpp"
#include "test_support.hpp"
#include "testing/testing.hpp"

namespace {

namespace fs = std::filesystem;
using hfs_test::Bytes;
using testing_util::shell_quote;

// Raw volumes, a gzipped one, and the HFS+ partitions of disk images (through 7-Zip).
TEST(RealVolume, EveryEntryAgreesWithSevenZip) {
    KIV_REQUIRE_TOOL("7zz");
    const std::pair<const char*, size_t> volumes[] = {
        {"hfsplus.raw", 7}, {"hfsplus_zlib.dmg", 4}, {"real/sparkle/SparkleTestCodeSignApp.dmg", 150},
        {"real/homebrew/container.dmg", 3}, {"real/plaso/spotlight.10.13.dmg", 59},
        {"real/go-hfsplus/hfsplus.dmg.gz", 5}, {"real/libdmg-hfsplus/ImgTest.dmg", 40},
        {"real/keramics/hfsplus_zlib.dmg", 12}, {"real/hfsplus-rs/hfsp-small.img", 20}};
    for (const auto& [name, min_files] : volumes) {
        SCOPED_TRACE(name);
        const fs::path path = KIV_REQUIRE_FIXTURE(name);
        testing_util::ScratchDir dir;
        fs::path raw = path;
        const Bytes head = testing_util::read_bytes(path);
        if (!(head.size() > 1026 && head[1024] == 'H' && (head[1025] == '+' || head[1025] == 'X'))) {
            raw = dir / "volume.hfs";
            const std::string quoted = shell_quote(path.string());
            const std::string from =
                path.extension() == ".gz" ? "gunzip -c " + quoted : "7zz e -so -tdmg " + quoted + " '*.hfs'";
            ASSERT_EQ(testing_util::run(from + " 2>/dev/null > " + shell_quote(raw.string())).status, 0);
        }
        auto vol = hfs_test::open_memory(testing_util::read_bytes(raw));
        hfs_test::expect_matches_seven_zip(vol, raw, min_files);
        if (name == std::string("real/libdmg-hfsplus/ImgTest.dmg"))  // stat gives the uncompressed size
            EXPECT_EQ(vol.stat("/testfile_compressed.txt").value().size, 256545u);
    }
}

// What 7-Zip does not show: the private folder's four NUL units sort after
// everything else, a resource fork's size, the root reached by "///", and
// names found in another case.
TEST(RealVolume, MacOsVolumeDetails) {
    auto vol = hfs_test::open_file(KIV_REQUIRE_FIXTURE("hfsplus.raw"));
    auto root = vol.list_directory("/").value();
    ASSERT_GE(root.size(), 2u);
    EXPECT_EQ(root.back().name, std::string("\0\0\0\0HFS+ Private Data", 21));
    EXPECT_EQ(root[root.size() - 2].name, "passwords.txt");
    EXPECT_EQ(vol.stat("///").value().id, 2u);
    const Bytes link = hfs_test::read(vol, "/a_link");  // a symbolic link reads as its target
    EXPECT_EQ(std::string(link.begin(), link.end()), "a_directory/another_file");
    auto rsrc = vol.stat("/a_directory/a_resourcefork").value();
    EXPECT_EQ(std::tuple(rsrc.size, rsrc.resource_fork_size, rsrc.data_fork_extents), std::tuple(0u, 17u, 0u));
    EXPECT_EQ(vol.stat("/A_DIRECTORY/A_File").value().id, vol.stat("/a_directory/a_file").value().id);
}

// Names with a spelling in the other case, in every script macOS folds.
const std::pair<const char*, const char*> kScripts[] = {
    {"Æther", "æTHER"}, {"Ðorn", "ðORN"}, {"Øre", "øRE"}, {"Þing", "þING"}, {"Đak", "đAK"}, {"Ħal", "ħAL"},
    {"Ĳs", "ĳS"}, {"Łaba", "łABA"}, {"Œuvre", "œUVRE"}, {"ŋa", "ŊA"}, {"Ɛpsilon", "ɛPSILON"}, {"ǅx", "ǆX"},
    {"ǆa", "ǄA"}, {"Ǆb", "ǅB"}, {"ΑΒΓ", "αβγ"}, {"αβδ", "ΑΒΔ"}, {"Ωmega", "ωMEGA"}, {"Σισυφος", "σΙΣΥΦΟς"},
    {"Жук", "жУК"}, {"жаба", "ЖАБА"}, {"Єва", "єВА"}, {"Љубав", "љУБАВ"}, {"Ѳита", "ѳИТА"}, {"Աբգ", "աԲԳ"},
    {"Ⴀბ", "აბ"}, {"Ⅻ-twelve", "ⅻ-TWELVE"}, {"Ⅳa", "ⅳA"}, {"Ａb", "ａB"}, {"ｚz", "ＺZ"}, {"Zebra", "zEBRA"},
    {"_under", "_UNDER"}, {"apple", "APPLE"}, {"cafe\u0301", "CAF\u00C9"}, {"𝄞 clef", "𝄞 CLEF"},
    {"forward:slash", "FORWARD:SLASH"},  // stored with a "/"
};

// xorriso writes a tree of many files in every script, links and a large file;
// each reads back exactly and resolves in the other case.
TEST(Xorriso, ThousandsOfFilesInEveryScriptReadBackExactly) {
    KIV_REQUIRE_TOOL("xorriso");
    testing_util::ScratchDir dir;
    const auto src = dir / "src";
    fs::create_directories(src / "scripts");
    for (const auto& [stored, other] : kScripts) testing_util::write_text(src / "scripts" / stored, stored);
    for (int d = 0; d < 20; ++d) {
        const fs::path folder = src / ((d % 2 ? "dir" : "Dir") + std::to_string(100 + d));
        fs::create_directories(folder);
        for (int f = 0; f < 100; ++f)  // file 17 crosses a block boundary
            testing_util::write_text(folder / ((f % 3 ? "file" : "File") + std::to_string(f)),
                                     f == 17 ? std::string(4097 + d, char('a' + d)) : std::string(f * d % 300, 'x'));
    }
    const Bytes big = testing_util::random_bytes((5u << 20) + 123, 2);
    testing_util::write_bytes(src / "Big.bin", big);
    fs::create_symlink("Big.bin", src / "link_rel");
    fs::create_symlink("/Dir100/File0", src / "link_abs");
    const auto iso = dir / "x.iso";
    ASSERT_EQ(testing_util::run("LC_ALL=C.UTF-8 xorriso -as mkisofs -hfsplus -o " + shell_quote(iso.string()) + " " +
                                shell_quote(src.string()) + " > /dev/null 2>&1").status, 0);
    // Apple partition map: 512-byte entries from block 1, "PM", start block at 8, type at 48.
    Bytes image = testing_util::read_bytes(iso);
    size_t at = 512;
    while (at + 512 <= image.size() && image[at] == 'P' && std::string_view((char*)&image[at + 48]) != "Apple_HFS")
        at += 512;
    ASSERT_LE(at + 512, image.size());
    image.erase(image.begin(), image.begin() + std::min(size_t(core::load_be32(&image[at + 8])) * 512, image.size()));
    const auto volume = dir / "volume.hfs";
    testing_util::write_bytes(volume, image);
    auto vol = hfs_test::open_file(volume);

    // Every entry stat's through the catalog's index, so xorriso's order of
    // names must agree with our case folding.
    hfs_test::expect_matches_tree(vol, src, 2000);
    for (const auto& [stored, other] : kScripts)
        EXPECT_EQ(vol.stat("/SCRIPTS/" + std::string(other)).value().id,
                  vol.stat("/scripts/" + std::string(stored)).value().id);
    EXPECT_EQ(hfs_test::error_text(vol.stat("/scripts/ΑΒΓΔ")), "file not found: scripts/ΑΒΓΔ");  // only looks alike

    // Streaming straight into a file.
    auto out = core::File::create((dir / "out.bin").string()).value();
    core::FileSink sink(out);
    EXPECT_EQ(vol.read_file_to("/BIG.bin", sink).value(), big.size());
    out.close();
    EXPECT_TRUE(testing_util::read_bytes(dir / "out.bin") == big);
}

}  // namespace
