// Volumes written at test time by an independent HFS+ writer (xorriso).
#include <algorithm>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "testing/testing.hpp"

namespace {

namespace fs = std::filesystem;
using hfsplus::EntryKind;
using testing_util::run;
using testing_util::shell_quote;

// Writes `src` as an HFS+ hybrid ISO and returns the path of the bare volume.
fs::path make_volume(const fs::path& src, const testing_util::ScratchDir& dir) {
    auto iso = dir / "x.iso";
    auto r = run("LC_ALL=C.UTF-8 xorriso -as mkisofs -hfsplus -o " + shell_quote(iso.string()) + " " +
                 shell_quote(src.string()) + " > /dev/null 2>&1");
    EXPECT_EQ(r.status, 0) << "xorriso failed";
    auto part = hfs_test::apple_hfs_partition(testing_util::read_bytes(iso));
    EXPECT_TRUE(part) << "no Apple_HFS partition in the ISO";
    auto volume = dir / "volume.hfs";
    if (part) testing_util::write_bytes(volume, *part);
    fs::remove(iso);
    return volume;
}

void write_file(const fs::path& path, const std::string& text) { testing_util::write_text(path, text); }

// Each name with a spelling in the other case.
struct Spelling {
    const char* stored;
    const char* other_case;
};

const Spelling kScripts[] = {
    // Latin letters that have no decomposition.
    {"Æther", "æTHER"}, {"Ðorn", "ðORN"}, {"Øre", "øRE"}, {"Þing", "þING"}, {"Đak", "đAK"},
    {"Ħal", "ħAL"}, {"Ĳs", "ĳS"}, {"Łaba", "łABA"}, {"Œuvre", "œUVRE"}, {"ŋa", "ŊA"},
    {"Ɛpsilon", "ɛPSILON"}, {"ǅx", "ǆX"}, {"ǆa", "ǄA"}, {"Ǆb", "ǅB"},
    // Greek.
    {"ΑΒΓ", "αβγ"}, {"αβδ", "ΑΒΔ"}, {"Ωmega", "ωMEGA"}, {"Σισυφος", "σΙΣΥΦΟς"},
    // Cyrillic.
    {"Жук", "жУК"}, {"жаба", "ЖАБА"}, {"Єва", "єВА"}, {"Љубав", "љУБАВ"}, {"Ѳита", "ѳИТА"},
    // Armenian and Georgian.
    {"Աբգ", "աԲԳ"}, {"Ⴀბ", "აბ"},
    // Roman numerals and fullwidth Latin.
    {"Ⅻ-twelve", "ⅻ-TWELVE"}, {"Ⅳa", "ⅳA"}, {"Ａb", "ａB"}, {"ｚz", "ＺZ"},
    // Plain ASCII around them.
    {"Zebra", "zEBRA"}, {"_under", "_UNDER"}, {"apple", "APPLE"},
};

TEST(Xorriso, NamesOfEveryScriptStatAndResolveInAnyCase) {
    KIV_REQUIRE_TOOL("xorriso");
    testing_util::ScratchDir dir;
    auto src = dir / "src";
    fs::create_directories(src / "folder");
    for (const auto& s : kScripts) {
        write_file(src / s.stored, s.stored);
        write_file(src / "folder" / s.stored, std::string(s.stored) + "!");
    }
    auto vol = hfs_test::open_file(make_volume(src, dir));

    auto walk = vol.walk();
    ASSERT_TRUE(walk) << walk.error();
    EXPECT_EQ(walk->size(), 2 * std::size(kScripts) + 1);
    for (const auto& w : *walk) {
        auto st = vol.stat(w.path);
        ASSERT_TRUE(st) << w.path << ": " << st.error();
        EXPECT_EQ(st->id, w.entry.id) << w.path;
    }
    for (const auto& s : kScripts) {
        for (std::string prefix : {"/", "/folder/", "/FOLDER/"}) {
            auto a = vol.stat(prefix + s.stored);
            auto b = vol.stat(prefix + s.other_case);
            ASSERT_TRUE(a) << prefix << s.stored << ": " << a.error();
            ASSERT_TRUE(b) << prefix << s.other_case << ": " << b.error();
            EXPECT_EQ(a->id, b->id);
            auto data = vol.read_file(prefix + s.other_case);
            ASSERT_TRUE(data);
            EXPECT_EQ(std::string(data->begin(), data->end()), std::string(s.stored) + (prefix == "/" ? "" : "!"));
        }
    }
    // A name that only resembles another one is not found.
    auto miss = vol.stat("/ΑΒΓΔ");
    ASSERT_FALSE(miss);
    EXPECT_EQ(miss.error().kind(), hfsplus::HfsPlusError::Kind::FileNotFound);
}

// A tree of more than 5,000 files in nested folders.
struct BigTree {
    std::map<std::string, std::string> links;  // volume path -> target
    size_t files = 0;
};

BigTree write_big_tree(const fs::path& src) {
    BigTree t;
    // Accents are written decomposed, the form HFS+ stores.
    const std::vector<std::string> special = {"cafe\u0301", "A\u0308rger", "na\u0131\u0308ve", "ΑΒΓ", "Жук",
                                              "日本語.txt", "ǅx", "Ωmega", "𝄞 clef", "MiXeD CaSe"};
    for (int d = 0; d < 20; ++d) {
        std::string dname = (d % 2 ? "dir" : "Dir") + std::to_string(100 + d);
        for (int s = 0; s < 5; ++s) {
            std::string sname = std::string(1, char((s % 2 ? 'a' : 'A') + s)) + "_sub";
            fs::path folder = src / dname / sname;
            fs::create_directories(folder);
            for (int f = 0; f < 50; ++f) {
                std::string fname = (f % 3 ? "file" : "File") + std::to_string(f) + (f % 10 == 0 ? special[(f / 10 + d) % special.size()] : "");
                std::string body;
                int reps = (f * 7 + d) % 13;
                for (int r = 0; r < reps; ++r) body += dname + "/" + sname + "/" + fname + " line\n";
                if (f == 17) body.assign(4097 + d, char('a' + d));  // crosses a block boundary
                write_file(folder / fname, body);
                ++t.files;
            }
        }
    }
    for (const auto& name : special) write_file(src / name, name + "\n"), ++t.files;
    write_file(src / "Empty", ""), ++t.files;
    write_file(src / "empty too", ""), ++t.files;
    auto big1 = testing_util::random_bytes(3u << 20, 1);
    auto big2 = testing_util::random_bytes((5u << 20) + 123, 2);
    testing_util::write_bytes(src / "Big1.bin", big1), ++t.files;
    testing_util::write_bytes(src / "big2.bin", big2), ++t.files;
    fs::create_symlink("Big1.bin", src / "link_rel");
    fs::create_symlink("/Dir100/A_sub/File0cafe\u0301", src / "link_abs");
    fs::create_symlink("../../Empty", src / "dir101" / "b_sub" / "up_link");
    t.links = {{"/link_rel", "Big1.bin"}, {"/link_abs", "/Dir100/A_sub/File0cafe\u0301"}, {"/dir101/b_sub/up_link", "../../Empty"}};
    return t;
}

std::string ascii_upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 32);
    return s;
}

TEST(Xorriso, FiveThousandFilesReadBackExactly) {
    KIV_REQUIRE_TOOL("xorriso");
    testing_util::ScratchDir dir;
    auto src = dir / "src";
    fs::create_directories(src);
    BigTree tree = write_big_tree(src);
    auto volume_path = make_volume(src, dir);

    for (bool in_memory : {false, true}) {
        SCOPED_TRACE(in_memory ? "memory" : "file");
        auto vol = in_memory ? hfs_test::open_memory(testing_util::read_bytes(volume_path)) : hfs_test::open_file(volume_path);
        EXPECT_GE(vol.catalog_tree().tree_depth, 2) << "the catalog should have index nodes";

        auto walk = vol.walk();
        ASSERT_TRUE(walk) << walk.error();
        size_t files = 0, links = 0, folders = 0;
        for (const auto& w : *walk) {
            fs::path on_disk = src / w.path.substr(1);
            switch (w.entry.kind) {
                case EntryKind::Directory:
                    ++folders;
                    EXPECT_TRUE(fs::is_directory(on_disk)) << w.path;
                    break;
                case EntryKind::Symlink: {
                    ++links;
                    ASSERT_TRUE(tree.links.count(w.path)) << w.path;
                    auto target = vol.read_file(w.path);
                    ASSERT_TRUE(target);
                    EXPECT_EQ(std::string(target->begin(), target->end()), tree.links[w.path]);
                    auto st = vol.stat(w.path);
                    ASSERT_TRUE(st);
                    EXPECT_EQ(st->kind, EntryKind::File);
                    EXPECT_EQ(st->size, tree.links[w.path].size());
                    break;
                }
                case EntryKind::File: {
                    ++files;
                    auto data = vol.read_file(w.path);
                    ASSERT_TRUE(data) << w.path << ": " << data.error();
                    ASSERT_TRUE(*data == testing_util::read_bytes(on_disk)) << w.path;
                    EXPECT_EQ(w.entry.size, data->size());
                    break;
                }
            }
        }
        EXPECT_EQ(files, tree.files);
        EXPECT_EQ(links, tree.links.size());
        EXPECT_EQ(folders, 20u * 6);

        // Listings follow catalog order, and every name resolves in upper case too.
        for (const auto& w : *walk) {
            if (w.entry.kind != EntryKind::Directory) continue;
            auto list = vol.list_directory(w.path);
            ASSERT_TRUE(list);
            for (size_t i = 1; i < list->size(); ++i) {
                auto a = hfsplus::unicode::string_to_utf16((*list)[i - 1].name);
                auto b = hfsplus::unicode::string_to_utf16((*list)[i].name);
                EXPECT_TRUE(hfsplus::unicode::compare_case_insensitive(a, b) < 0) << (*list)[i].name;
            }
        }
        if (!in_memory) {
            for (size_t i = 0; i < walk->size(); i += 7) {
                const auto& w = (*walk)[i];
                auto st = vol.stat(ascii_upper(w.path));
                ASSERT_TRUE(st) << ascii_upper(w.path) << ": " << st.error();
                EXPECT_EQ(st->id, w.entry.id);
            }
        }
    }
}

TEST(Xorriso, ReadFileToStreamsIntoAFile) {
    KIV_REQUIRE_TOOL("xorriso");
    testing_util::ScratchDir dir;
    auto src = dir / "src";
    fs::create_directories(src);
    auto big = testing_util::random_bytes((2u << 20) + 5, 9);
    testing_util::write_bytes(src / "big.bin", big);
    auto vol = hfs_test::open_file(make_volume(src, dir));
    auto out_path = dir / "out.bin";
    auto out = core::File::create(out_path.string());
    ASSERT_TRUE(out);
    auto n = vol.read_file_to("/BIG.bin", *out);
    ASSERT_TRUE(n) << n.error();
    EXPECT_EQ(*n, big.size());
    out->close();
    EXPECT_TRUE(testing_util::read_bytes(out_path) == big);
}

}  // namespace
