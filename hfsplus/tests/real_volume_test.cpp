// Volumes written by macOS and by xorriso, checked against 7-Zip and against the files they were made from.
#include <set>

#include <gtest/gtest.h>

#include "core/endian.hpp"
#include "internals.hpp"
#include "test_support.hpp"
#include "testing/testing.hpp"
#include "unicode.hpp"

namespace {

namespace fs = std::filesystem;
using hfs_test::Bytes;
using hfs_test::read;
using hfsplus::EntryKind;
using testing_util::run;
using testing_util::shell_quote;

std::string as_text(const Bytes& b) { return {b.begin(), b.end()}; }

// A raw volume, a gzipped one, or the HFS+ partition of a disk image (through 7-Zip).
class RealImage : public testing::TestWithParam<std::pair<const char*, size_t>> {};

TEST_P(RealImage, EveryEntryAgreesWithSevenZip) {
    const fs::path path = KIV_REQUIRE_FIXTURE(GetParam().first);
    KIV_REQUIRE_TOOL("7zz");
    testing_util::ScratchDir dir;
    fs::path raw = path;
    const Bytes head = testing_util::read_bytes(path);
    const bool bare = head.size() > 1026 && head[1024] == 'H' && (head[1025] == '+' || head[1025] == 'X');
    if (!bare) {
        raw = dir / "volume.hfs";
        const std::string quoted = shell_quote(path.string());
        const std::string from =
            path.extension() == ".gz" ? "gunzip -c " + quoted : "7zz e -so -tdmg " + quoted + " '*.hfs'";
        ASSERT_EQ(run(from + " 2>/dev/null > " + shell_quote(raw.string())).status, 0);
    }
    auto vol = hfs_test::open_memory(testing_util::read_bytes(raw));
    hfs_test::expect_matches_seven_zip(vol, raw, GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RealImage,
                         testing::Values(std::pair{"hfsplus.raw", 7}, std::pair{"hfsplus_zlib.dmg", 4},
                                         std::pair{"real/sparkle/SparkleTestCodeSignApp.dmg", 150},
                                         std::pair{"real/homebrew/container.dmg", 3},
                                         std::pair{"real/plaso/spotlight.10.13.dmg", 59},
                                         std::pair{"real/go-hfsplus/hfsplus.dmg.gz", 5},
                                         // Compressed files, hard links, a "/" inside a name.
                                         std::pair{"real/libdmg-hfsplus/ImgTest.dmg", 40},
                                         std::pair{"real/keramics/hfsplus_zlib.dmg", 12},
                                         std::pair{"real/hfsplus-rs/hfsp-small.img", 20}),
                         [](const auto& info) {
                             std::string n = fs::path(info.param.first).parent_path().filename().string() +
                                             fs::path(info.param.first).filename().string();
                             std::erase_if(n, [](char c) { return !isalnum((unsigned char)c); });
                             return n;
                         });

TEST(RealVolume, MacOsVolumeDetails) {
    auto vol = hfs_test::open_file(KIV_REQUIRE_FIXTURE("hfsplus.raw"));
    // The private folder's four NUL units sort after everything else.
    auto root = vol.list_directory("/").value();
    ASSERT_GE(root.size(), 2u);
    EXPECT_EQ(root.back().name, std::string("\0\0\0\0HFS+ Private Data", 21));
    EXPECT_EQ(root[root.size() - 2].name, "passwords.txt");
    EXPECT_EQ(vol.stat("/" + root.back().name).value().kind, EntryKind::Directory);
    hfs_test::CatalogOf c(testing_util::read_bytes(KIV_REQUIRE_FIXTURE("hfsplus.raw")));
    EXPECT_EQ(hfsplus::catalog::resolve_path(c.source, c.header, c.tree, "///").value().name, "hfsplus_test");
    EXPECT_EQ(as_text(read(vol, "/a_link")), "a_directory/another_file");  // a symbolic link reads as its target
    auto rsrc = vol.stat("/a_directory/a_resourcefork").value();
    EXPECT_EQ(std::tuple(rsrc.size, rsrc.resource_fork_size, rsrc.data_fork_extents), std::tuple(0u, 17u, 0u));
    EXPECT_EQ(vol.stat("/A_DIRECTORY/A_File").value().id, vol.stat("/a_directory/a_file").value().id);
}

// Writes `src` as an HFS+ hybrid ISO and returns the path of its Apple_HFS partition.
fs::path make_volume(const fs::path& src, const testing_util::ScratchDir& dir) {
    const auto iso = dir / "x.iso", volume = dir / "volume.hfs";
    const std::string command = "LC_ALL=C.UTF-8 xorriso -as mkisofs -hfsplus -o " + shell_quote(iso.string()) + " " +
                                shell_quote(src.string()) + " > /dev/null 2>&1";
    EXPECT_EQ(run(command).status, 0);
    // Apple partition map: 512-byte entries from block 1, "PM", start block at 8, type at 48.
    const Bytes image = testing_util::read_bytes(iso);
    for (size_t at = 512; at + 512 <= image.size() && image[at] == 'P' && image[at + 1] == 'M'; at += 512) {
        if (std::string_view(reinterpret_cast<const char*>(&image[at + 48]), 10) != std::string_view("Apple_HFS", 10))
            continue;
        const size_t start = size_t(core::load_be32(&image[at + 8])) * 512;
        testing_util::write_bytes(volume, Bytes(image.begin() + std::min(start, image.size()), image.end()));
        return volume;
    }
    ADD_FAILURE() << "no Apple_HFS partition in the ISO";
    return volume;
}

// Names with a spelling in the other case, in every script macOS folds.
const std::pair<const char*, const char*> kScripts[] = {
    {"Æther", "æTHER"}, {"Ðorn", "ðORN"}, {"Øre", "øRE"}, {"Þing", "þING"}, {"Đak", "đAK"}, {"Ħal", "ħAL"},
    {"Ĳs", "ĳS"}, {"Łaba", "łABA"}, {"Œuvre", "œUVRE"}, {"ŋa", "ŊA"}, {"Ɛpsilon", "ɛPSILON"}, {"ǅx", "ǆX"},
    {"ǆa", "ǄA"}, {"Ǆb", "ǅB"}, {"ΑΒΓ", "αβγ"}, {"αβδ", "ΑΒΔ"}, {"Ωmega", "ωMEGA"}, {"Σισυφος", "σΙΣΥΦΟς"},
    {"Жук", "жУК"}, {"жаба", "ЖАБА"}, {"Єва", "єВА"}, {"Љубав", "љУБАВ"}, {"Ѳита", "ѳИТА"}, {"Աբգ", "աԲԳ"},
    {"Ⴀბ", "აბ"}, {"Ⅻ-twelve", "ⅻ-TWELVE"}, {"Ⅳa", "ⅳA"}, {"Ａb", "ａB"}, {"ｚz", "ＺZ"}, {"Zebra", "zEBRA"},
    {"_under", "_UNDER"}, {"apple", "APPLE"},
};

std::string ascii_upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 32);
    return s;
}

TEST(Xorriso, FiveThousandFilesInEveryScriptReadBackExactly) {
    KIV_REQUIRE_TOOL("xorriso");
    testing_util::ScratchDir dir;
    const auto src = dir / "src";
    fs::create_directories(src / "scripts");
    for (const auto& [stored, other] : kScripts) testing_util::write_text(src / "scripts" / stored, stored);
    // Accents are written decomposed, the form HFS+ stores.
    const std::string special[] = {"cafe\u0301", "A\u0308rger", "na\u0131\u0308ve", "ΑΒΓ", "Жук",
                                   "日本語.txt", "ǅx", "Ωmega", "𝄞 clef", "MiXeD CaSe"};
    for (int d = 0; d < 20; ++d) {
        for (int s = 0; s < 5; ++s) {
            const fs::path folder = src / ((d % 2 ? "dir" : "Dir") + std::to_string(100 + d)) /
                                    (std::string(1, char((s % 2 ? 'a' : 'A') + s)) + "_sub");
            fs::create_directories(folder);
            for (int f = 0; f < 50; ++f) {
                const std::string name =
                    (f % 3 ? "file" : "File") + std::to_string(f) + (f % 10 ? "" : special[(f / 10 + d) % 10]);
                std::string body;
                for (int r = 0; r < (f * 7 + d) % 13; ++r) body += name + " line\n";
                if (f == 17) body.assign(4097 + d, char('a' + d));  // crosses a block boundary
                testing_util::write_text(folder / name, body);
            }
        }
    }
    for (const auto& name : special) testing_util::write_text(src / name, name);
    const Bytes big = testing_util::random_bytes((5u << 20) + 123, 2);
    testing_util::write_bytes(src / "Big.bin", big);
    fs::create_symlink("Big.bin", src / "link_rel");
    fs::create_symlink("/Dir100/A_sub/File0cafe\u0301", src / "link_abs");
    fs::create_symlink("../../Big.bin", src / "dir101" / "b_sub" / "up_link");
    const fs::path volume_path = make_volume(src, dir);
    auto vol = hfs_test::open_file(volume_path);
    EXPECT_GE(hfs_test::CatalogOf(testing_util::read_bytes(volume_path)).tree.tree_depth, 2)
        << "the catalog should have index nodes";

    std::set<std::string> on_disk, walked;
    for (const auto& e : fs::recursive_directory_iterator(src))
        on_disk.insert("/" + e.path().lexically_relative(src).string());
    const auto walk = vol.walk().value();
    for (size_t n = 0; n < walk.size(); ++n) {
        const auto& [path, entry] = walk[n];
        SCOPED_TRACE(path);
        walked.insert(path);
        const fs::path theirs = src / path.substr(1);
        const auto type = fs::symlink_status(theirs).type();
        if (entry.kind == EntryKind::Directory) {
            EXPECT_EQ(type, fs::file_type::directory);
            // Listings are in the order of our case folding.
            auto list = vol.list_directory(path).value();
            using hfsplus::unicode::string_to_utf16;
            for (size_t i = 1; i < list.size(); ++i)
                EXPECT_TRUE(hfsplus::unicode::compare_case_insensitive(string_to_utf16(list[i - 1].name),
                                                                       string_to_utf16(list[i].name)) < 0)
                    << list[i].name;
        } else if (entry.kind == EntryKind::Symlink) {
            ASSERT_EQ(type, fs::file_type::symlink);
            EXPECT_EQ(as_text(read(vol, path)), fs::read_symlink(theirs).string());
            EXPECT_EQ(vol.stat(path).value().size, fs::read_symlink(theirs).string().size());
        } else {
            EXPECT_EQ(type, fs::file_type::regular);
            ASSERT_TRUE(read(vol, path) == testing_util::read_bytes(theirs));
        }
        if (n % 7 == 0) {
            EXPECT_EQ(vol.stat(ascii_upper(path)).value().id, entry.id);  // any case resolves
        }
    }
    EXPECT_EQ(walked, on_disk);
    for (const auto& [stored, other] : kScripts) {
        for (std::string folder : {"/scripts/", "/SCRIPTS/"}) {
            SCOPED_TRACE(folder + other);
            EXPECT_EQ(vol.stat(folder + stored).value().id, vol.stat(folder + other).value().id);
            EXPECT_EQ(as_text(read(vol, folder + other)), stored);
        }
    }
    EXPECT_EQ(hfs_test::error_text(vol.stat("/scripts/ΑΒΓΔ")), "file not found: scripts/ΑΒΓΔ");  // only looks alike

    // Streaming straight into a file.
    auto out = core::File::create((dir / "out.bin").string()).value();
    core::FileSink sink(out);
    EXPECT_EQ(vol.read_file_to("/BIG.bin", sink).value(), big.size());
    out.close();
    EXPECT_TRUE(testing_util::read_bytes(dir / "out.bin") == big);
}

}  // namespace
