#include <filesystem>
#include <random>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "helpers.hpp"
#include "testing/testing.hpp"

using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

using namespace pbzx_test;
using pbzx::Archive;
using pbzx::CpioReader;
using Kind = pbzx::PbzxError::Kind;

// A newc member with the given fields written as they are.
std::string newc_member(std::string name, std::string data, uint32_t mode = 0100644, std::string filesize = "") {
    char fields[13 * 8 + 1];
    std::snprintf(fields, sizeof fields, "%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X", 7u, mode, 501u, 20u,
                  1u, 1234u, unsigned(data.size()), 0u, 0u, 0u, 0u, unsigned(name.size() + 1), 0u);
    std::string header = "070701"s + fields;
    if (!filesize.empty()) header.replace(54, 8, filesize);
    std::string out = header + name + '\0';
    out.resize((out.size() + 3) / 4 * 4, '\0');
    out += data;
    out.resize((out.size() + 3) / 4 * 4, '\0');
    return out;
}

std::string trailer() { return newc_member("TRAILER!!!", ""); }

Archive archive_of(const std::string& cpio) { return Archive::from_cpio(bytes(cpio)); }

std::string read_text(const fs::path& p) { return text(testing_util::read_bytes(p)); }

TEST(CpioFixtureTest, SyslogInThreeFormats) {
    std::optional<std::vector<uint8_t>> first_data;
    for (const char* name : {"syslog.newc.cpio", "syslog.crc.cpio", "syslog.odc.cpio"}) {
        auto path = KIV_REQUIRE_FIXTURE(name);
        auto archive = Archive::from_cpio(testing_util::read_bytes(path));
        auto entries = archive.list();
        ASSERT_TRUE(entries) << name << ": " << entries.error().message();
        ASSERT_EQ(entries->size(), 1u) << name;
        const auto& e = (*entries)[0];
        EXPECT_EQ(e.path, "syslog");
        EXPECT_EQ(e.size, 1247u);
        EXPECT_EQ(e.mode, 0100664u);
        EXPECT_EQ(e.uid, 1000u);
        EXPECT_EQ(e.gid, 1000u);
        EXPECT_FALSE(e.is_dir || e.is_symlink);
        auto data = archive.extract_file("syslog");
        ASSERT_TRUE(data);
        ASSERT_EQ(data->size(), 1247u);
        if (first_data) {
            EXPECT_EQ(*data, *first_data) << name;
        }
        first_data = *data;

        testing_util::ScratchDir dir;
        auto stats = archive.extract_all((dir / "out").string());
        ASSERT_TRUE(stats);
        EXPECT_EQ(*stats, (pbzx::ExtractStats{1, 0, 0, 1247}));
        EXPECT_EQ(testing_util::read_bytes(dir / "out/syslog"), *data);
        EXPECT_EQ(fs::status(dir / "out/syslog").permissions(), fs::perms(0664));
    }
}

TEST(CpioFixtureTest, BinaryCpioHasNoTextMagic) {
    for (const char* name : {"syslog.bin.cpio", "real/libarchive/test_gcpio_compat_ref.bin",
                             "real/commons-compress/archives__FreeBSD_bin.cpio"}) {
        auto path = testing_util::fixture(name);
        if (!fs::exists(path)) continue;
        auto archive = Archive::from_cpio(testing_util::read_bytes(path));
        auto entries = archive.list();
        ASSERT_TRUE(entries);
        EXPECT_TRUE(entries->empty()) << name;
        testing_util::ScratchDir dir;
        auto stats = archive.extract_all((dir / "out").string());
        ASSERT_TRUE(stats);
        EXPECT_EQ(*stats, pbzx::ExtractStats{});
        EXPECT_TRUE(fs::is_directory(dir / "out"));
        EXPECT_TRUE(fs::is_empty(dir / "out"));
        auto missing = archive.extract_file("syslog");
        ASSERT_FALSE(missing);
        EXPECT_EQ(missing.error().message(), "File not found: syslog");
    }
}

// Every real text-format archive lists the names and sizes bsdtar lists.
TEST(CpioFixtureTest, RealArchivesAgreeWithBsdtar) {
    KIV_REQUIRE_TOOL("bsdtar");
    auto dir = testing_util::fixture("real");
    if (!fs::exists(dir)) GTEST_SKIP() << "fixtures not available";
    const char* files[] = {"libarchive/test_gcpio_compat_ref.newc", "libarchive/test_gcpio_compat_ref.crc",
                           "libarchive/test_read_format_cpio_filename_utf8_jp.cpio",
                           "commons-compress/COMPRESS-459.cpio", "commons-compress/archives__FreeBSD_crc.cpio",
                           "commons-compress/archives__FreeBSD_newc.cpio", "commons-compress/archives__SunOS_-c.cpio",
                           "commons-compress/archives__SunOS_crc.cpio", "commons-compress/archives__SunOS_odc.cpio",
                           "commons-compress/bla.cpio", "commons-compress/longpath__minotaur.cpio",
                           "commons-compress/redline.cpio"};
    for (const char* rel : files) {
        auto path = dir / rel;
        if (!fs::exists(path)) continue;
        auto archive = Archive::from_cpio(testing_util::read_bytes(path));
        auto entries = archive.list();
        ASSERT_TRUE(entries) << rel << ": " << entries.error().message();
        auto listed = testing_util::run("bsdtar -tf " + testing_util::shell_quote(path.string()) + " 2>/dev/null");
        std::string ours;
        for (const auto& e : *entries) ours += e.path + "\n";
        EXPECT_EQ(ours, listed.output) << rel;

        testing_util::ScratchDir scratch;
        auto stats = archive.extract_all((scratch / "out").string());
        ASSERT_TRUE(stats) << rel << ": " << stats.error().message();
        uint64_t bytes = 0, files = 0;
        for (const auto& e : *entries)
            if ((e.mode & 0170000) == 0100000) bytes += e.size, ++files;
        EXPECT_EQ(stats->files, files) << rel;
        EXPECT_EQ(stats->bytes, bytes) << rel;
    }
}

TEST(CpioFixtureTest, MalformedRealArchives) {
    // An odc mtime field holding underscores.
    auto bad = KIV_REQUIRE_FIXTURE("real/commons-compress/org__apache__commons__compress__cpio__bad_long_value.cpio");
    auto entries = Archive::from_cpio(testing_util::read_bytes(bad)).list();
    ASSERT_FALSE(entries);
    EXPECT_EQ(entries.error().message(),
              "Invalid CPIO archive: Invalid octal value '_____2': invalid digit found in string");

    // A symbolic link named "TRAILER!!!" ends the archive before its 128 KiB target is read.
    auto trailer_link = KIV_REQUIRE_FIXTURE("real/libarchive/test_read_format_cpio_symlink_trailer.cpio");
    auto archive = Archive::from_cpio(testing_util::read_bytes(trailer_link));
    entries = archive.list();
    ASSERT_TRUE(entries);
    EXPECT_TRUE(entries->empty());
}

TEST(CpioHeaderTest, EmptyOrForeignDataListsAsEmpty) {
    for (std::string data : {""s, "07070"s, "hello world, not cpio"s}) {
        auto archive = archive_of(data);
        auto entries = archive.list();
        ASSERT_TRUE(entries);
        EXPECT_TRUE(entries->empty());
        auto missing = archive.extract_file("x");
        ASSERT_FALSE(missing);
        EXPECT_EQ(missing.error().message(), "File not found: x");
    }
}

TEST(CpioHeaderTest, TrailerEndsTheArchive) {
    auto archive = archive_of(newc_member("a", "1") + trailer() + newc_member("after", "2"));
    auto entries = archive.list();
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 1u);
    EXPECT_EQ((*entries)[0].path, "a");
    EXPECT_FALSE(archive.extract_file("after"));
    // Without a trailer, the data's end ends the archive.
    entries = archive_of(newc_member("a", "1") + newc_member("b", "22")).list();
    ASSERT_TRUE(entries);
    EXPECT_EQ(entries->size(), 2u);
}

TEST(CpioHeaderTest, TruncationIsAnIoError) {
    std::string full = newc_member("name", "0123456789") + trailer();
    for (size_t cut : {size_t(20), size_t(110), size_t(113), size_t(118), size_t(125)}) {
        auto entries = archive_of(full.substr(0, cut) ).list();
        ASSERT_FALSE(entries) << cut;
        EXPECT_EQ(entries.error().message(), "I/O error: failed to fill whole buffer") << cut;
    }
    // A declared size beyond the data never turns into a reservation.
    auto huge = archive_of(newc_member("x", "", 0100644, "FFFFFFFF"));
    auto r = huge.extract_file("x");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Kind::Io);
}

TEST(CpioHeaderTest, BadFields) {
    auto r = archive_of(newc_member("x", "", 0100644, "0000001G")).list();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(),
              "Invalid CPIO archive: Invalid hex value '0000001G': invalid digit found in string");

    r = archive_of(newc_member("x", "", 0100644, "0000\xC3" "001")).list();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(),
              "Invalid CPIO archive: Invalid UTF-8 in header: invalid utf-8 sequence of 1 bytes from index 4");

    // Lower case and a leading '+' are accepted.
    auto ok = archive_of(newc_member("x", "abc", 0100644, "+0000003") + trailer()).list();
    ASSERT_TRUE(ok) << ok.error().message();
    EXPECT_EQ((*ok)[0].size, 3u);

    r = archive_of(newc_member("ok", "") + "0707XX" + std::string(200, '0')).list();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Invalid CPIO archive: Invalid CPIO magic at offset 116: \"0707XX\"");

    r = archive_of(newc_member("ok", "") + "07\xFF\n\"\\" + std::string(200, '0')).list();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(),
              "Invalid CPIO archive: Invalid CPIO magic at offset 116: \"07\xEF\xBF\xBD\\n\\\"\\\\\"");

    r = archive_of(newc_member("bad\xFFname", "")).list();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(),
              "Invalid CPIO archive: Invalid filename: invalid utf-8 sequence of 1 bytes from index 3");

    r = archive_of(newc_member("link", "\xE2\x82", 0120777)).list();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(),
              "Invalid CPIO archive: Invalid symlink target: incomplete utf-8 byte sequence from index 0");
}

// An odc member; `mode` is the 6-character field as written.
std::string odc_member(const std::string& name, const std::string& data, const std::string& mode) {
    char head[80];
    std::snprintf(head, sizeof head, "070707%06o%06o%s%06o%06o%06o%06o%011o%06o%011o", 0401u, 12u, mode.c_str(), 501u,
                  20u, 1u, 0u, 1700000000u, unsigned(name.size() + 1), unsigned(data.size()));
    return std::string(head) + name + '\0' + data;
}

TEST(CpioHeaderTest, OdcFields) {
    auto archive = archive_of(odc_member("tool", "abc", " 00755") + odc_member("dir", "", "040700") +
                              odc_member("TRAILER!!!", "", "000000"));
    auto entries = archive.list();
    ASSERT_TRUE(entries) << entries.error().message();
    ASSERT_EQ(entries->size(), 2u);
    EXPECT_EQ((*entries)[0].mode, 0755u);
    EXPECT_EQ((*entries)[0].mtime, 1700000000u);
    EXPECT_EQ((*entries)[1].mode, 040700u);
    EXPECT_TRUE((*entries)[1].is_dir);
    EXPECT_EQ(text(*archive.extract_file("tool")), "abc");

    pbzx::CpioReader reader(archive.data());
    auto header = reader.read_header();
    ASSERT_TRUE(header && *header);
    EXPECT_EQ((*header)->devmajor, 1u);
    EXPECT_EQ((*header)->devminor, 1u);
    EXPECT_EQ((*header)->ino, 12u);

    auto bad = archive_of(odc_member("x", "", "0007a9")).list();
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message(), "Invalid CPIO archive: Invalid octal value '0007a9': invalid digit found in string");
    bad = archive_of(odc_member("x", "", "      ")).list();
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message(),
              "Invalid CPIO archive: Invalid octal value '      ': cannot parse integer from empty string");
}

TEST(CpioExtractFileTest, MatchesNamesExactly) {
    auto archive = archive_of(newc_member("./usr", "", 040755) + newc_member("./usr/bin/tool", "binary") +
                              newc_member("./usr/l", "tool", 0120777) + trailer());
    EXPECT_EQ(text(*archive.extract_file("./usr/bin/tool")), "binary");
    EXPECT_EQ(text(*archive.extract_file("./usr/l")), "tool");
    auto r = archive.extract_file("usr/bin/tool");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Kind::FileNotFound);
    r = archive.extract_file("./usr");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Invalid path: './usr' is a directory");
}

TEST(CpioPathTest, Helpers) {
    using namespace pbzx::cpio;
    EXPECT_EQ(normalize_cpio_path("./usr/bin"), "usr/bin");
    EXPECT_EQ(normalize_cpio_path("/usr"), "usr");
    EXPECT_EQ(normalize_cpio_path("."), "");
    EXPECT_EQ(normalize_cpio_path("./"), "");
    EXPECT_EQ(normalize_cpio_path("//a"), "/a");
    EXPECT_EQ(*sanitize_path("///a/./b"), "a/./b");
    EXPECT_EQ(*sanitize_path("a..b/..c"), "a..b/..c");
    auto r = sanitize_path("/usr/../etc/x");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Invalid path: Path traversal detected: usr/../etc/x");
    EXPECT_FALSE(sanitize_path(".."));
    EXPECT_FALSE(sanitize_path("a/.."));
    EXPECT_EQ(strip_base_prefix("usr/bin/a", "usr/bin"), "a");
    EXPECT_EQ(strip_base_prefix("usr/bin", "usr/bin"), "");
    EXPECT_EQ(strip_base_prefix("x", ""), "x");
}

class CpioExtractTest : public ::testing::Test {
protected:
    testing_util::ScratchDir scratch;
    std::string dest = (scratch / "dest").string();
};

TEST_F(CpioExtractTest, BasePathSelectsAndStrips) {
    auto archive = archive_of(newc_member(".", "", 040755) + newc_member("./usr", "", 040755) +
                              newc_member("./usr/bin", "", 040755) + newc_member("./usr/bin/a", "A", 0100755) +
                              newc_member("./usr/bin2/b", "B") + newc_member("./usr/bin/sub/c", "CC") + trailer());
    auto stats = archive.extract_path("usr/bin/", dest);
    ASSERT_TRUE(stats) << stats.error().message();
    EXPECT_EQ(*stats, (pbzx::ExtractStats{2, 1, 0, 3}));
    EXPECT_EQ(read_text(scratch / "dest/a"), "A");
    EXPECT_EQ(read_text(scratch / "dest/sub/c"), "CC");
    EXPECT_FALSE(fs::exists(scratch / "dest/b"));
    EXPECT_FALSE(fs::exists(scratch / "dest/bin2"));

    // "/", "" and extract_all all take everything, the "." entry counted as a directory.
    for (std::string base : {"/", ""}) {
        testing_util::ScratchDir other;
        auto all = archive.extract_path(base, (other / "d").string());
        ASSERT_TRUE(all);
        EXPECT_EQ(*all, (pbzx::ExtractStats{3, 3, 0, 4}));
        EXPECT_EQ(read_text(other / "d/usr/bin2/b"), "B");
    }
    auto all = archive.extract_all(dest);
    ASSERT_TRUE(all);
    EXPECT_EQ(*all, (pbzx::ExtractStats{3, 3, 0, 4}));
}

TEST_F(CpioExtractTest, PermissionBitsAndKinds) {
    auto archive = archive_of(newc_member("./setuid", "x", 0104755) + newc_member("./ro", "r", 0100444) +
                              newc_member("./links/l", "../../../etc/passwd", 0120777) +
                              newc_member("./fifo", "", 0010644) + trailer());
    auto stats = archive.extract_all(dest);
    ASSERT_TRUE(stats) << stats.error().message();
    EXPECT_EQ(*stats, (pbzx::ExtractStats{2, 0, 1, 2}));
    struct stat st;
    ASSERT_EQ(::stat((scratch / "dest/setuid").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 04755u);
    ASSERT_EQ(::stat((scratch / "dest/ro").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    EXPECT_TRUE(fs::is_directory(scratch / "dest/links"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(scratch / "dest/links/l")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(scratch / "dest/fifo")));
}

TEST_F(CpioExtractTest, NeverWritesOutsideTheDestination) {
    auto traversal = archive_of(newc_member("./ok", "1") + newc_member("./usr/../../escape", "x") + trailer());
    auto r = traversal.extract_all(dest);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Invalid path: Path traversal detected: usr/../../escape");
    EXPECT_TRUE(fs::exists(scratch / "dest/ok"));  // what came before stays
    EXPECT_FALSE(fs::exists(scratch / "escape"));

    // Absolute names land below the destination.
    auto absolute = archive_of(newc_member("/abs/file", "a") + newc_member("//twice", "t") + trailer());
    ASSERT_TRUE(absolute.extract_all(dest));
    EXPECT_EQ(read_text(scratch / "dest/abs/file"), "a");
    EXPECT_EQ(read_text(scratch / "dest/twice"), "t");

    // A link member is never created, so a file "through" it is a plain file in a plain folder.
    auto through = archive_of(newc_member("./out", scratch.path().string(), 0120777) +
                              newc_member("./out/pwned", "p") + trailer());
    auto stats = through.extract_all(dest);
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->symlinks_skipped, 1u);
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(scratch / "dest/out")));
    EXPECT_FALSE(fs::exists(scratch / "pwned"));

    // A symbolic link already in the destination is not followed.
    fs::create_symlink(scratch / "victim", scratch / "dest/planted");
    auto planted = archive_of(newc_member("./planted", "p") + trailer());
    EXPECT_FALSE(planted.extract_all(dest));
    EXPECT_FALSE(fs::exists(scratch / "victim"));

    // A NUL inside a name cannot shorten the path the system sees.
    auto nul = archive_of(newc_member("..\0/x"s, "n") + trailer());
    auto n = nul.extract_all(dest);
    ASSERT_FALSE(n);
    EXPECT_EQ(n.error().kind(), Kind::Io);

    std::vector<std::string> top;
    for (auto& e : fs::directory_iterator(scratch.path())) top.push_back(e.path().filename().string());
    EXPECT_EQ(top, std::vector<std::string>{"dest"});
}

TEST_F(CpioExtractTest, FileSystemFailuresAreIoErrors) {
    testing_util::write_text(scratch / "file", "x");
    auto archive = archive_of(newc_member("a", "1") + trailer());
    auto r = archive.extract_all((scratch / "file/sub").string());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Kind::Io);

    auto clash = archive_of(newc_member("f", "1") + newc_member("f", "", 040755) + trailer());
    r = clash.extract_all(dest);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "I/O error: File exists (os error 17)");
}

TEST(CpioDamageTest, DamagedArchivesFailCleanly) {
    pbzx::CpioBuilder b;
    ASSERT_TRUE(b.add_directory("./d", 0755));
    ASSERT_TRUE(b.add_file("./d/f", payload_like(3000, 1), 0644));
    ASSERT_TRUE(b.add_symlink("./d/l", "f", 0777));
    ASSERT_TRUE(b.add_file("./g", bytes("tiny"), 0600));
    auto newc = b.finish();
    auto odc = odc_member("./d", "", "040755") + odc_member("./d/f", "content", "100644") +
               odc_member("TRAILER!!!", "", "000000");
    testing_util::ScratchDir scratch;
    std::mt19937_64 rng(11);
    for (int round = 0; round < 2000; ++round) {
        auto damaged = testing_util::damage(round % 2 ? newc : bytes(odc), rng);
        auto archive = Archive::from_cpio(damaged);
        (void)archive.list();
        (void)archive.extract_file("./d/f");
        if (round % 8 == 0) (void)archive.extract_all((scratch / "out").string());
    }
    std::vector<std::string> top;
    for (auto& e : fs::directory_iterator(scratch.path())) top.push_back(e.path().filename().string());
    EXPECT_LE(top.size(), 1u);
}

}  // namespace
