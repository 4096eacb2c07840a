#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "helpers.hpp"
#include "paths.hpp"
#include "testing/testing.hpp"

using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

using namespace pbzx_test;
using pbzx::Archive;
using pbzx::ExtractStats;

// A newc member with the given fields written as they are.
std::string newc_member(std::string name, std::string data, uint32_t mode = 0100644, std::string filesize = "",
                        uint32_t ino = 7, uint32_t nlink = 1) {
    char fields[13 * 8 + 1];
    std::snprintf(fields, sizeof fields, "%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X", ino, mode, 501u, 20u,
                  nlink, 1234u, unsigned(data.size()), 0u, 0u, 0u, 0u, unsigned(name.size() + 1), 0u);
    std::string out = "070701"s + fields;
    if (!filesize.empty()) out.replace(54, 8, filesize);
    out += name + '\0';
    out.resize((out.size() + 3) / 4 * 4, '\0');
    out += data;
    out.resize((out.size() + 3) / 4 * 4, '\0');
    return out;
}

const std::string trailer = newc_member("TRAILER!!!", "");

// An odc member; `mode` is the 6-character field as written.
std::string odc_member(const std::string& name, const std::string& data, const std::string& mode) {
    char head[80];
    std::snprintf(head, sizeof head, "070707%06o%06o%s%06o%06o%06o%06o%011o%06o%011o", 0401u, 12u, mode.c_str(), 501u,
                  20u, 1u, 0u, 1700000000u, unsigned(name.size() + 1), unsigned(data.size()));
    return std::string(head) + name + '\0' + data;
}

Archive archive_of(const std::string& cpio) { return Archive::from_cpio(bytes(cpio)); }

std::string read_text(const fs::path& p) { return text(testing_util::read_bytes(p)); }

std::vector<std::string> names_in(const fs::path& dir) {
    std::vector<std::string> out;
    for (auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    return out;
}

// Binary cpio, empty or foreign data have no text magic: nothing to list or extract.  A symbolic
// link named "TRAILER!!!" ends the archive before its 128 KiB target is read.
TEST(CpioFixtureTest, ArchivesThatListAsEmpty) {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> inputs = {
        {"empty", {}}, {"short", bytes("07070")}, {"text", bytes("hello world, not cpio")}};
    for (auto name : {"syslog.bin.cpio", "real/libarchive/test_gcpio_compat_ref.bin",
                      "real/commons-compress/archives__FreeBSD_bin.cpio",
                      "real/libarchive/test_read_format_cpio_symlink_trailer.cpio"}) {
        if (auto path = testing_util::fixture(name); fs::exists(path)) inputs.emplace_back(name, testing_util::read_bytes(path));
    }
    for (const auto& [name, data] : inputs) {
        SCOPED_TRACE(name);
        auto archive = Archive::from_cpio(data);
        EXPECT_EQ(archive.list(), std::vector<pbzx::FileEntry>{});
        EXPECT_EQ(error_of(archive.extract_file("syslog")), "File not found: syslog");
        testing_util::ScratchDir dir;
        EXPECT_EQ(archive.extract_all((dir / "out").string()), ExtractStats{});
        EXPECT_TRUE(fs::is_directory(dir / "out") && fs::is_empty(dir / "out"));
    }
}

// Every real text-format archive lists the names bsdtar lists and extracts the sizes it declares; its
// largest file holds what bsdtar reads, with the mode it declares.
TEST(CpioFixtureTest, RealArchivesAgreeWithBsdtar) {
    KIV_REQUIRE_TOOL("bsdtar");
    KIV_REQUIRE_FIXTURE("syslog.newc.cpio");
    const char* files[] = {"syslog.newc.cpio", "syslog.crc.cpio", "syslog.odc.cpio",
                           "real/libarchive/test_gcpio_compat_ref.newc", "real/libarchive/test_gcpio_compat_ref.crc",
                           "real/libarchive/test_read_format_cpio_filename_utf8_jp.cpio",
                           "real/commons-compress/COMPRESS-459.cpio", "real/commons-compress/archives__FreeBSD_crc.cpio",
                           "real/commons-compress/archives__FreeBSD_newc.cpio",
                           "real/commons-compress/archives__SunOS_-c.cpio", "real/commons-compress/archives__SunOS_crc.cpio",
                           "real/commons-compress/archives__SunOS_odc.cpio", "real/commons-compress/bla.cpio",
                           "real/commons-compress/longpath__minotaur.cpio", "real/commons-compress/redline.cpio"};
    for (const char* rel : files) {
        auto path = testing_util::fixture(rel);
        if (!fs::exists(path)) continue;
        SCOPED_TRACE(rel);
        auto archive = Archive::from_cpio(testing_util::read_bytes(path));
        auto entries = archive.list();
        ASSERT_TRUE(entries) << entries.error().message();
        std::string ours;
        ExtractStats regular;
        for (const auto& e : *entries) {
            ours += e.path + "\n";
            if ((e.mode & 0170000) == 0100000) regular.bytes += e.size, ++regular.files;
        }
        auto quoted = testing_util::shell_quote(path.string());
        EXPECT_EQ(ours, testing_util::run("bsdtar -tf " + quoted + " 2>/dev/null").output);
        testing_util::ScratchDir scratch;
        auto stats = archive.extract_all((scratch / "out").string());
        ASSERT_TRUE(stats) << stats.error().message();
        EXPECT_EQ(std::pair(stats->files, stats->bytes), std::pair(regular.files, regular.bytes));
        if (std::string(rel).starts_with("syslog")) {
            const auto& e = entries->front();
            EXPECT_EQ(std::tie(e.size, e.mode, e.uid, e.gid), std::make_tuple(1247u, 0100664u, 1000u, 1000u));
        }
        // Every file holds what bsdtar extracts, hard links included (GNU cpio's newc stores a link
        // set's data once, with its last name).
        fs::create_directories(scratch / "ref");
        testing_util::run("bsdtar -xf " + quoted + " -C " + testing_util::shell_quote((scratch / "ref").string()) + " 2>/dev/null");
        for (const auto& e : *entries) {
            if ((e.mode & 0170000) != 0100000) continue;
            SCOPED_TRACE(e.path);
            auto name = *pbzx::cpio::sanitize_path(pbzx::cpio::normalize_cpio_path(e.path));
            auto theirs = read_text(scratch / "ref" / name);
            EXPECT_EQ(e.size, theirs.size());
            EXPECT_EQ(text(*archive.extract_file(e.path)), theirs);
            EXPECT_EQ(read_text(scratch / "out" / name), theirs);
            EXPECT_EQ(fs::hard_link_count(scratch / "out" / name), fs::hard_link_count(scratch / "ref" / name));
            EXPECT_EQ(uint32_t(fs::status(scratch / "out" / name).permissions()), e.mode & 07777);
        }
    }
}

TEST(CpioReaderTest, MalformedMembers) {
    const std::string eof = "I/O error: failed to fill whole buffer";
    const std::string full = newc_member("name", "0123456789") + trailer;
    const std::string tree = newc_member("./usr", "", 040755) + newc_member("./usr/bin/tool", "binary") + trailer;
    // {case, archive, file to extract ("" lists), message}
    std::vector<std::tuple<std::string, std::string, std::string, std::string>> rows = {
        {"huge declared size", newc_member("x", "", 0100644, "FFFFFFFF"), "x", eof},
        {"bad hex", newc_member("x", "", 0100644, "0000001G"), "",
         "Invalid CPIO archive: Invalid hex value '0000001G': invalid digit found in string"},
        {"non-UTF-8 header", newc_member("x", "", 0100644, "0000\xC3" "001"), "",
         "Invalid CPIO archive: Invalid UTF-8 in header: invalid utf-8 sequence of 1 bytes from index 4"},
        {"bad magic", newc_member("ok", "") + "0707XX" + std::string(200, '0'), "",
         "Invalid CPIO archive: Invalid CPIO magic at offset 116: \"0707XX\""},
        {"escaped magic", newc_member("ok", "") + "07\xFF\n\"\\" + std::string(200, '0'), "",
         "Invalid CPIO archive: Invalid CPIO magic at offset 116: \"07\xEF\xBF\xBD\\n\\\"\\\\\""},
        {"non-UTF-8 name", newc_member("bad\xFFname", ""), "",
         "Invalid CPIO archive: Invalid filename: invalid utf-8 sequence of 1 bytes from index 3"},
        {"non-UTF-8 link", newc_member("link", "\xE2\x82", 0120777), "",
         "Invalid CPIO archive: Invalid symlink target: incomplete utf-8 byte sequence from index 0"},
        {"odc bad octal", odc_member("x", "", "0007a9"), "",
         "Invalid CPIO archive: Invalid octal value '0007a9': invalid digit found in string"},
        {"odc blank field", odc_member("x", "", "      "), "",
         "Invalid CPIO archive: Invalid octal value '      ': cannot parse integer from empty string"},
        {"name not matched exactly", tree, "usr/bin/tool", "File not found: usr/bin/tool"},
        {"directory", tree, "./usr", "Invalid path: './usr' is a directory"},
        {"after the trailer", newc_member("a", "1") + trailer + newc_member("after", "2"), "after",
         "File not found: after"},
    };
    // A real odc archive whose mtime field holds underscores.
    if (auto bad = testing_util::fixture("real/commons-compress/org__apache__commons__compress__cpio__bad_long_value.cpio");
        fs::exists(bad)) {
        rows.emplace_back("real odc", text(testing_util::read_bytes(bad)), "",
                          "Invalid CPIO archive: Invalid octal value '_____2': invalid digit found in string");
    }
    for (size_t cut : {20, 110, 113, 118, 125}) rows.emplace_back("cut at " + std::to_string(cut), full.substr(0, cut), "", eof);
    for (const auto& [name, cpio, file, expected] : rows) {
        SCOPED_TRACE(name);
        auto archive = archive_of(cpio);
        EXPECT_EQ(file.empty() ? error_of(archive.list()) : error_of(archive.extract_file(file)), expected);
    }
}

TEST(CpioReaderTest, MemberParsing) {
    // Without a trailer, the data's end ends the archive.  '+' and lower case are valid hex.
    auto archive = archive_of(newc_member("./l", "tool", 0120777) + newc_member("b", "abc", 0100644, "+0000003") +
                              newc_member("c", "0123456789", 0100644, "0000000a"));
    auto entries = archive.list();
    ASSERT_TRUE(entries) << entries.error().message();
    ASSERT_EQ(entries->size(), 3u);
    EXPECT_EQ((*entries)[1].size, 3u);
    EXPECT_EQ(text(*archive.extract_file("c")), "0123456789");
    EXPECT_EQ(text(*archive.extract_file("./l")), "tool");  // a link's data is its target

    // odc: a mode field padded with a space, and the device split into major and minor.
    auto odc = archive_of(odc_member("tool", "abc", " 00755") + odc_member("TRAILER!!!", "", "000000"));
    entries = odc.list();
    ASSERT_TRUE(entries) << entries.error().message();
    ASSERT_EQ(entries->size(), 1u);
    EXPECT_EQ(std::tie((*entries)[0].mode, (*entries)[0].mtime), std::make_tuple(0755u, 1700000000u));
    auto header = pbzx::CpioReader(odc.data()).read_header();
    ASSERT_TRUE(header && *header);
    EXPECT_EQ(std::tie((*header)->devmajor, (*header)->devminor, (*header)->ino), std::make_tuple(1u, 1u, 12u));
}

class CpioExtractTest : public ::testing::Test {
protected:
    testing_util::ScratchDir scratch;
    std::string dest = (scratch / "dest").string();
};

TEST_F(CpioExtractTest, BasePathSelectsAndStrips) {
    auto archive = archive_of(newc_member(".", "", 040755) + newc_member("./usr", "", 040755) +
                              newc_member("./usr/bin", "", 040755) + newc_member("./usr/bin/a", "A", 0100755) +
                              newc_member("./usr/bin2/b", "B") + newc_member("./usr/bin/sub/c", "CC") +
                              newc_member("/usr/bin/a..b/..c", "D") + trailer);
    EXPECT_EQ(archive.extract_path("usr/bin/", dest), (ExtractStats{3, 1, 0, 4}));
    EXPECT_EQ(read_text(scratch / "dest/a"), "A");
    EXPECT_EQ(read_text(scratch / "dest/sub/c"), "CC");
    EXPECT_EQ(read_text(scratch / "dest/a..b/..c"), "D");  // dots inside names are no traversal
    EXPECT_EQ(names_in(scratch / "dest").size(), 3u);

    // "/" and "" take everything, the "." entry counted as a directory.
    for (std::string base : {"/", ""}) {
        testing_util::ScratchDir other;
        EXPECT_EQ(archive.extract_path(base, (other / "d").string()), (ExtractStats{4, 3, 0, 5}));
        EXPECT_EQ(read_text(other / "d/usr/bin2/b"), "B");
    }
}

TEST_F(CpioExtractTest, PermissionBitsKindsAndFailures) {
    auto archive = archive_of(newc_member("./setuid", "x", 0104755) + newc_member("./ro", "r", 0100444) +
                              newc_member("./links/l", "../../../etc/passwd", 0120777) +
                              newc_member("./fifo", "", 0010644) + trailer);
    EXPECT_EQ(archive.extract_all(dest), (ExtractStats{2, 0, 1, 2}));
    EXPECT_EQ(fs::status(scratch / "dest/setuid").permissions(), fs::perms(04755));
    EXPECT_EQ(fs::status(scratch / "dest/ro").permissions(), fs::perms(0444));
    EXPECT_TRUE(fs::is_directory(scratch / "dest/links"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(scratch / "dest/links/l")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(scratch / "dest/fifo")));

    // File system failures are I/O errors.
    testing_util::write_text(scratch / "file", "x");
    EXPECT_EQ(error_of(archive_of(newc_member("a", "1") + trailer).extract_all((scratch / "file/sub").string())),
              "I/O error: Not a directory (os error 20)");
    EXPECT_EQ(error_of(archive_of(newc_member("f", "1") + newc_member("f", "", 040755) + trailer).extract_all(dest)),
              "I/O error: File exists (os error 17)");
}

TEST_F(CpioExtractTest, NeverWritesOutsideTheDestination) {
    auto traversal = archive_of(newc_member("./ok", "1") + newc_member("./usr/../../escape", "x") + trailer);
    EXPECT_EQ(error_of(traversal.extract_all(dest)), "Invalid path: Path traversal detected: usr/../../escape");
    EXPECT_TRUE(fs::exists(scratch / "dest/ok"));  // what came before stays

    // Absolute names land below the destination.
    ASSERT_TRUE(archive_of(newc_member("/abs/file", "a") + newc_member("//twice", "t") + trailer).extract_all(dest));
    EXPECT_EQ(read_text(scratch / "dest/abs/file"), "a");
    EXPECT_EQ(read_text(scratch / "dest/twice"), "t");

    // A link member is never created, so a file "through" it is a plain file in a plain folder.
    auto through = archive_of(newc_member("./out", scratch.path().string(), 0120777) +
                              newc_member("./out/pwned", "p") + trailer);
    EXPECT_EQ(through.extract_all(dest), (ExtractStats{1, 0, 1, 1}));
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(scratch / "dest/out")));

    // A symbolic link already in the destination is not followed.
    fs::create_symlink(scratch / "victim", scratch / "dest/planted");
    EXPECT_FALSE(archive_of(newc_member("./planted", "p") + trailer).extract_all(dest));

    // A NUL inside a name cannot shorten the path the system sees.
    EXPECT_EQ(error_of(archive_of(newc_member("..\0/x"s, "n") + trailer).extract_all(dest)),
              "I/O error: file name contained an unexpected NUL byte");

    EXPECT_EQ(names_in(scratch.path()), std::vector<std::string>{"dest"});
}

// A name of the link set with inode number `ino`, as GNU cpio writes them: data with one name, size 0 with the others.
std::string linked(const std::string& name, const std::string& data, uint32_t ino) {
    return newc_member(name, data, 0100640, "", ino, 3);
}

TEST_F(CpioExtractTest, LinkSetsShareTheirData) {
    // A size-0 name takes the data of the next name of its set that has data, else of the last one before.
    auto archive = archive_of(linked("./a", "", 5) + linked("./sub/b", "", 5) + linked("./c", "shared", 5) +
                              linked("./d", "", 5) + linked("./e", "other", 5) + linked("./f", "second", 9) +
                              linked("./sub/g", "", 9) + linked("./none", "", 11) + newc_member("./dir", "", 040755, "", 5, 3) +
                              newc_member("./plain", "", 0100644, "", 5, 1) + trailer);
    const std::pair<const char*, const char*> names[] = {{"./a", "shared"}, {"./sub/b", "shared"}, {"./c", "shared"},
                                                         {"./d", "other"},   {"./e", "other"},      {"./f", "second"},
                                                         {"./sub/g", "second"}, {"./none", ""},    {"./plain", ""}};
    auto entries = *archive.list();
    ASSERT_EQ(entries.size(), std::size(names) + 1);
    for (size_t i = 0; i < std::size(names); ++i) {
        auto [name, data] = names[i];
        SCOPED_TRACE(name);
        EXPECT_EQ(entries[i < 8 ? i : i + 1].size, std::string_view(data).size());
        EXPECT_EQ(text(*archive.extract_file(name)), data);
    }
    EXPECT_EQ(archive.extract_all(dest), (ExtractStats{9, 1, 0, 6 * 3 + 5 * 2 + 6 * 2}));
    for (auto [name, data] : names) EXPECT_EQ(read_text(scratch / "dest" / name), data) << name;
    for (auto [name, links] : {std::pair("a", 3), {"sub/b", 3}, {"d", 2}, {"sub/g", 2}, {"none", 1}, {"plain", 1}})
        EXPECT_EQ(fs::hard_link_count(scratch / "dest" / name), uintmax_t(links)) << name;
    EXPECT_EQ(fs::status(scratch / "dest/a").permissions(), fs::perms(0640));

    // Extracting again replaces the files without writing one name through another; a subtree
    // finds its data outside.
    ASSERT_TRUE(archive_of(newc_member("./a", "mine") + trailer).extract_all(dest));
    EXPECT_EQ(read_text(scratch / "dest/a"), "mine");
    EXPECT_EQ(read_text(scratch / "dest/c"), "shared");
    EXPECT_EQ(archive.extract_path("./sub", (scratch / "sub").string()), (ExtractStats{2, 0, 0, 12}));
    EXPECT_EQ(read_text(scratch / "sub/g"), "second");

    // Thousands of names of one large member: one file, each name a link of it.
    std::string many;
    for (int i = 0; i < 3000; ++i) many += linked("./n" + std::to_string(i), "", 21);
    auto big = text(payload_like(1 << 20, 4));
    auto crowd = archive_of(many + linked("./data", big, 21) + trailer);
    EXPECT_EQ((*crowd.list())[1234].size, big.size());
    auto stats = crowd.extract_all((scratch / "crowd").string());
    ASSERT_TRUE(stats) << stats.error().message();
    EXPECT_EQ(stats->files, 3001u);
    EXPECT_EQ(fs::hard_link_count(scratch / "crowd/n0"), 3001u);
    EXPECT_EQ(read_text(scratch / "crowd/n2999"), big);
}

TEST(CpioDamageTest, DamagedArchivesFailCleanly) {
    auto newc = bytes(newc_member("./d", "", 040755) + newc_member("./d/f", text(payload_like(3000, 1))) +
                      newc_member("./d/l", "f", 0120777) + newc_member("./g", "tiny", 0100600) + trailer);
    auto odc = bytes(odc_member("./d", "", "040755") + odc_member("./d/f", "content", "100644") +
                     odc_member("TRAILER!!!", "", "000000"));
    testing_util::ScratchDir scratch;
    std::mt19937_64 rng(11);
    for (int round = 0; round < 2000; ++round) {
        auto archive = Archive::from_cpio(testing_util::damage(round % 2 ? newc : odc, rng));
        (void)archive.list();
        (void)archive.extract_file("./d/f");
        if (round % 8 == 0) (void)archive.extract_all((scratch / "out").string());
    }
    EXPECT_LE(names_in(scratch.path()).size(), 1u);
}

}  // namespace
