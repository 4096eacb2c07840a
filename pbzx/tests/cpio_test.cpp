#include <filesystem>
#include <sys/resource.h>

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

// An odc member; `mode` is the 6-character field as written.
std::string odc_member(const std::string& name, const std::string& data, const std::string& mode) {
    char head[80];
    std::snprintf(head, sizeof head, "070707%06o%06o%s%06o%06o%06o%06o%011o%06o%011o", 0401u, 12u, mode.c_str(), 501u,
                  20u, 1u, 0u, 1700000000u, unsigned(name.size() + 1), unsigned(data.size()));
    return std::string(head) + name + '\0' + data;
}

Archive archive_of(const std::string& cpio) { return Archive::from_cpio(bytes(cpio)); }

std::string read_text(const fs::path& p) { return text(testing_util::read_bytes(p)); }

TEST(CpioReaderTest, HeaderFieldsAndMalformedMembers) {
    const std::string eof = "I/O error: failed to fill whole buffer", bad = "Invalid CPIO archive: ";
    const std::string full = newc_member("name", "0123456789") + trailer;
    const std::string tree = newc_member("./usr", "", 040755) + newc_member("./usr/bin/tool", "binary") + trailer;
    // {archive, file to extract ("" lists), message}
    std::vector<std::tuple<std::string, std::string, std::string>> rows = {
        {newc_member("x", "", 0100644, "FFFFFFFF"), "x", eof},
        {newc_member("x", "", 0100644, "0000001G"), "", bad + "Invalid hex value '0000001G': invalid digit found in string"},
        {newc_member("x", "", 0100644, "0000\xC3" "001"), "", bad + "Invalid UTF-8 in header: invalid utf-8 sequence of 1 bytes from index 4"},
        {newc_member("ok", "") + "0707XX" + std::string(200, '0'), "", bad + "Invalid CPIO magic at offset 116: \"0707XX\""},
        {newc_member("ok", "") + "07\xFF\n\"\\" + std::string(200, '0'), "", bad + "Invalid CPIO magic at offset 116: \"07\xEF\xBF\xBD\\n\\\"\\\\\""},
        {newc_member("bad\xFFname", ""), "", bad + "Invalid filename: invalid utf-8 sequence of 1 bytes from index 3"},
        {newc_member("link", "\xE2\x82", 0120777), "", bad + "Invalid symlink target: incomplete utf-8 byte sequence from index 0"},
        {odc_member("x", "", "0007a9"), "", bad + "Invalid octal value '0007a9': invalid digit found in string"},
        {odc_member("x", "", "      "), "", bad + "Invalid octal value '      ': cannot parse integer from empty string"},
        {tree, "usr/bin/tool", "File not found: usr/bin/tool"},  // names are matched as written
        {tree, "./usr", "Invalid path: './usr' is a directory"},
        {newc_member("a", "1") + trailer + newc_member("after", "2"), "after", "File not found: after"},
    };
    // A real odc archive whose mtime field holds underscores.
    if (auto odc = testing_util::fixture("real/commons-compress/org__apache__commons__compress__cpio__bad_long_value.cpio"); fs::exists(odc))
        rows.emplace_back(read_text(odc), "", bad + "Invalid octal value '_____2': invalid digit found in string");
    for (size_t cut : {20, 110, 113, 118, 125}) rows.emplace_back(full.substr(0, cut), "", eof);
    // Empty data are an empty archive; foreign data, even shorter than a magic, are none.
    rows.emplace_back("", "syslog", "File not found: syslog");
    rows.emplace_back("07070", "syslog", bad + "Invalid CPIO magic at offset 0: \"07070\"");
    rows.emplace_back("hello world, not cpio", "syslog", bad + "Invalid CPIO magic at offset 0: \"hello \"");
    for (const auto& [cpio, file, expected] : rows) {
        auto archive = archive_of(cpio);
        EXPECT_EQ(file.empty() ? error_of(archive.list()) : error_of(archive.extract_file(file)), expected) << cpio.substr(0, 120);
    }
    // Without a trailer, the data's end ends the archive; '+' and lower case are valid hex; a link's
    // data is its target; an odc field may be padded with spaces, its device split into major and minor.
    auto good = archive_of(newc_member("./l", "tool", 0120777) + newc_member("b", "abc", 0100644, "+0000003") +
                           newc_member("c", "0123456789", 0100644, "0000000a") + odc_member("d", "abc", " 00755"));
    auto entries = good.list();
    ASSERT_TRUE(entries && entries->size() == 4u) << error_of(entries);
    EXPECT_EQ(std::tie((*entries)[1].size, (*entries)[3].mode, (*entries)[3].mtime), std::make_tuple(3u, 0755u, 1700000000u));
    EXPECT_EQ(text(*good.extract_file("b")) + text(*good.extract_file("c")) + text(*good.extract_file("./l")), "abc0123456789tool");
    auto odc = bytes(odc_member("d", "", "040755"));
    auto header = pbzx::CpioReader(odc).read_header();
    EXPECT_TRUE(header && *header && std::tie((*header)->devmajor, (*header)->devminor, (*header)->ino) == std::make_tuple(1u, 1u, 12u));
}

// Payloads that are no CPIO archive fail every operation with the magic error, and nothing is
// extracted; an empty payload is an empty archive.
TEST(CpioReaderTest, ForeignDataAreNoArchive) {
    testing_util::ScratchDir scratch;
    const std::string bad = "Invalid CPIO archive: Invalid CPIO magic at offset 0: \"";
    auto random = testing_util::random_bytes(4096, 11);
    std::vector<std::pair<std::string, std::string>> rows = {
        {"AA01\x35\x00TYP1DPAT P\x00\x00"s, bad + "AA015\\0\""},
        {"YAA1\x1a\x00TYP1DPATP"s, bad + "YAA1\\u{1a}\\0\""},
        // A binary header of GNU cpio -H bin: its magic 070707 is a little-endian 16-bit number.
        {"\xC7\x71\x03\xFD\x00\x00"s + std::string(20, '\0') + "syslog", bad + "\xEF\xBF\xBDq\\u{3}\xEF\xBF\xBD\\0\\0\""},
        {text(random), bad},
        {"070", bad + "070\""},
    };
    if (auto bin = testing_util::fixture("syslog.bin.cpio"); fs::exists(bin))
        rows.emplace_back(read_text(bin), bad + "\xEF\xBF\xBDq\\u{3}\xEF\xBF\xBD\xD1\xB1\"");
    const std::string dest = (scratch / "dest").string();
    for (const auto& [data, expected] : rows) {
        SCOPED_TRACE(expected);
        auto archive = archive_of(data);
        for (std::string message : {error_of(archive.list()), error_of(archive.extract_file("syslog")),
                                    error_of(archive.extract_all(dest)), error_of(archive.extract_path("./usr", dest))})
            EXPECT_TRUE(message.starts_with(expected)) << message;
        EXPECT_FALSE(fs::exists(dest));
    }
    auto empty = archive_of("");
    EXPECT_TRUE(empty.list() && empty.list()->empty());
    EXPECT_EQ(empty.extract_all(dest), ExtractStats{});
}

TEST(CpioExtractTest, BasePathsKindsAndFailures) {
    testing_util::ScratchDir scratch;
    auto archive = archive_of(newc_member(".", "", 040755) + newc_member("./usr", "", 040755) + newc_member("./usr/bin", "", 040755) +
                              newc_member("./usr/bin/a", "A", 0104755) + newc_member("./usr/bin2/b", "B", 0100444) +
                              newc_member("./usr/bin/sub/c", "CC") + newc_member("/usr/bin/a..b/..c", "D") +
                              newc_member("./usr/bin/l", "../../../etc/passwd", 0120777) + newc_member("./usr/bin/fifo", "", 0010644) + trailer);
    EXPECT_EQ(archive.extract_path("usr/bin/", (scratch / "bin").string()), (ExtractStats{3, 1, 1, 4}));
    EXPECT_EQ(read_text(scratch / "bin/sub/c") + read_text(scratch / "bin/a..b/..c"), "CCD");  // dots inside names are no traversal
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch / "bin"), {}), 3);  // no link, no fifo
    EXPECT_EQ(fs::status(scratch / "bin/a").permissions(), fs::perms(04755));  // set-user-ID kept
    // "/" and "" take everything, the "." entry counted as a directory; permission bits are kept.
    for (std::string base : {"/", ""}) {
        const fs::path all = scratch / ("all" + std::to_string(base.size()));
        EXPECT_EQ(archive.extract_path(base, all.string()), (ExtractStats{4, 3, 1, 5}));
        EXPECT_EQ(fs::status(all / "usr/bin2/b").permissions(), fs::perms(0444));
    }
    // File system failures are I/O errors.
    EXPECT_EQ(error_of(archive.extract_all((scratch / "bin/a/sub").string())), "I/O error: Not a directory (os error 20)");
    EXPECT_EQ(error_of(archive_of(newc_member("f", "1") + newc_member("f", "", 040755) + trailer).extract_all((scratch / "f").string())),
              "I/O error: File exists (os error 17)");
}

TEST(CpioExtractTest, NeverWritesOutsideTheDestination) {
    testing_util::ScratchDir scratch;
    std::string dest = (scratch / "dest").string();
    auto traversal = archive_of(newc_member("./ok", "1") + newc_member("./usr/../../escape", "x") + trailer);
    EXPECT_EQ(error_of(traversal.extract_all(dest)), "Invalid path: Path traversal detected: usr/../../escape");
    EXPECT_TRUE(fs::exists(scratch / "dest/ok"));  // what came before stays
    // Absolute names land below the destination.
    ASSERT_TRUE(archive_of(newc_member("/abs/file", "a") + newc_member("//twice", "t") + trailer).extract_all(dest));
    EXPECT_EQ(read_text(scratch / "dest/abs/file") + read_text(scratch / "dest/twice"), "at");
    // A link member is never created, so a file "through" it is a plain file in a plain folder.
    auto through = archive_of(newc_member("./out", scratch.path().string(), 0120777) + newc_member("./out/pwned", "p") + trailer);
    EXPECT_EQ(through.extract_all(dest), (ExtractStats{1, 0, 1, 1}));
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(scratch / "dest/out")));
    // A symbolic link already in the destination is not followed.
    fs::create_symlink(scratch / "victim", scratch / "dest/planted");
    EXPECT_FALSE(archive_of(newc_member("./planted", "p") + trailer).extract_all(dest));
    // A NUL inside a name cannot shorten the path the system sees.
    EXPECT_EQ(error_of(archive_of(newc_member("..\0/x"s, "n") + trailer).extract_all(dest)),
              "I/O error: file name contained an unexpected NUL byte");
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path()), {}), 1);
}

// A name of the link set with inode number `ino`, as GNU cpio writes them: data with one name, size 0 with the others.
std::string linked(const std::string& name, const std::string& data, uint32_t ino) {
    return newc_member(name, data, 0100640, "", ino, 3);
}

TEST(CpioExtractTest, LinkSetsShareTheirData) {
    testing_util::ScratchDir scratch;
    // A size-0 name takes the data of the next name of its set that has data, else of the last one before.
    auto archive = archive_of(linked("./a", "", 5) + linked("./sub/b", "", 5) + linked("./c", "shared", 5) + linked("./d", "", 5) +
                              linked("./e", "other", 5) + linked("./f", "second", 9) + linked("./sub/g", "", 9) + linked("./none", "", 11) +
                              newc_member("./dir", "", 040755, "", 5, 3) + newc_member("./plain", "", 0100644, "", 5, 1) + trailer);
    const std::tuple<const char*, const char*, int> names[] = {{"./a", "shared", 3}, {"./sub/b", "shared", 3}, {"./c", "shared", 3},
                                                               {"./d", "other", 2},  {"./e", "other", 2},     {"./f", "second", 2},
                                                               {"./sub/g", "second", 2}, {"./none", "", 1},   {"./plain", "", 1}};
    auto entries = *archive.list();
    ASSERT_EQ(entries.size(), std::size(names) + 1);
    EXPECT_EQ(archive.extract_all((scratch / "dest").string()), (ExtractStats{9, 1, 0, 6 * 3 + 5 * 2 + 6 * 2}));
    for (size_t i = 0; auto [name, data, links] : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(entries[i < 8 ? i : i + 1].size, std::string_view(data).size());  // each name lists its set's size
        ++i;
        EXPECT_EQ(text(*archive.extract_file(name)), data);
        EXPECT_EQ(read_text(scratch / "dest" / name), data);
        EXPECT_EQ(fs::hard_link_count(scratch / "dest" / name), uintmax_t(links));
    }
    EXPECT_EQ(fs::status(scratch / "dest/a").permissions(), fs::perms(0640));
    // Extracting again replaces the files without writing one name through another; a subtree
    // finds its data outside.
    ASSERT_TRUE(archive_of(newc_member("./a", "mine") + trailer).extract_all((scratch / "dest").string()));
    EXPECT_EQ(read_text(scratch / "dest/a") + read_text(scratch / "dest/c"), "mineshared");
    EXPECT_EQ(archive.extract_path("./sub", (scratch / "sub").string()), (ExtractStats{2, 0, 0, 12}));
    EXPECT_EQ(read_text(scratch / "sub/g"), "second");

    // Thousands of names of one large member: one file, each name a link of it.
    std::string many;
    for (int i = 0; i < 3000; ++i) many += linked("./n" + std::to_string(i), "", 21);
    auto crowd = archive_of(many + linked("./data", text(payload_like(1 << 20, 4)), 21) + trailer);
    EXPECT_EQ(crowd.extract_all((scratch / "crowd").string()), (ExtractStats{3001, 0, 0, 3001ull << 20}));
    EXPECT_EQ(fs::hard_link_count(scratch / "crowd/n0"), 3001u);
}

// A name that took the place of a link set's only name written so far, a file of its own to which
// the file system may give the freed inode number: the set's later name still gets the set's data
// and mode, and neither is linked to the other, as GNU cpio makes them.  Repeated, since another
// process may take the freed number first.
TEST(CpioExtractTest, ALinkSetWhoseNameWasTakenIsWrittenAnew) {
    testing_util::ScratchDir scratch;
    constexpr uint32_t kTimes = 10;
    std::string cpio;
    for (uint32_t i = 0; i < kTimes; ++i) {
        const std::string n = std::to_string(i);
        cpio += newc_member("a" + n, "", 0100600, "", 2 * i + 5, 2) +
                newc_member("a" + n, "SECOND", 0100755, "", 2 * i + 6, 1) +
                newc_member("b" + n, "FIRST", 0100640, "", 2 * i + 5, 2);
    }
    EXPECT_EQ(archive_of(cpio + trailer).extract_all((scratch / "dest").string()),
              (ExtractStats{3 * kTimes, 0, 0, 16 * kTimes}));
    for (uint32_t i = 0; i < kTimes; ++i) {
        const fs::path a = scratch / ("dest/a" + std::to_string(i)), b = scratch / ("dest/b" + std::to_string(i));
        ASSERT_EQ(read_text(a) + read_text(b), "SECONDFIRST") << i;
        ASSERT_EQ(std::pair(fs::status(a).permissions(), fs::status(b).permissions()),
                  std::pair(fs::perms(0755), fs::perms(0640)));
        ASSERT_FALSE(fs::equivalent(a, b));
    }
}

// Thousands of link sets open at once (every first name before any second one) under a low
// descriptor limit: the extraction keeps within it, and each name gets its own set's data.
TEST(CpioExtractTest, ManyOpenLinkSetsKeepWithinTheDescriptorLimit) {
    testing_util::ScratchDir scratch;
    constexpr int kSets = 2000;
    std::string firsts, seconds;
    for (int i = 0; i < kSets; ++i) {
        firsts += newc_member("a" + std::to_string(i), "", 0100644, "", 100 + i, 2);
        seconds += newc_member("b" + std::to_string(i), "set" + std::to_string(i), 0100644, "", 100 + i, 2);
    }
    auto archive = archive_of(firsts + seconds + trailer);
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 64);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    auto got = archive.extract_all((scratch / "dest").string());
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(got) << error_of(got);
    for (int i = 0; i < kSets; ++i) {
        const std::string n = std::to_string(i);
        ASSERT_EQ(read_text(scratch / ("dest/a" + n)) + read_text(scratch / ("dest/b" + n)), "set" + n + "set" + n);
    }
}

}  // namespace
