// Archives and packages made by real tools, checked against independent readers.
#include <gtest/gtest.h>

#include <sstream>

#include "support.hpp"
#include "testing/testing.hpp"

using namespace xara_test;
namespace fs = std::filesystem;
using Listing = std::set<std::string>;

namespace {

std::string quote(const fs::path& p) { return testing_util::shell_quote(p.string()); }

// "d path", "f path" or "s path -> target": hard links, devices and fifos list as files.
std::string entry(std::string_view kind, const std::string& path, const std::string& link) {
    return (kind == "directory" ? "d " : kind == "symlink" ? "s " : "f ") + path + (link.empty() ? "" : " -> " + link);
}

// "bsdtar -tvf": mode, links, owner, group, size, month, day, year or time, name [-> target | link to target].
Listing bsdtar_listing(const fs::path& archive) {
    Listing out;
    std::istringstream lines(testing_util::run("timeout 60 bsdtar -tvf " + quote(archive) + " </dev/null 2>/dev/null").output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string mode, skip, name;
        words >> mode;
        for (int i = 0; i < 7; ++i) words >> skip;
        std::getline(words >> std::ws, name);
        if (const auto hard = name.find(" link to "); hard != std::string::npos) name.resize(hard);
        std::string link;
        if (const auto arrow = name.find(" -> "); arrow != std::string::npos) link = name.substr(arrow + 4), name.resize(arrow);
        out.insert(entry(mode[0] == 'd' ? "directory" : mode[0] == 'l' ? "symlink" : "file", name, link));
    }
    return out;
}

// "7zz l -ba -slt": the Path, Type and Symbolic Link of each item.
Listing sevenzip_listing(const fs::path& archive) {
    Listing out;
    std::istringstream lines(testing_util::run("timeout 60 7zz l -ba -slt " + quote(archive) + " </dev/null 2>/dev/null").output);
    std::string path, type;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("Path = ")) path = line.substr(7);
        if (line.starts_with("Type = ")) type = line.substr(7);
        if (path != "[TOC].xml" && line.starts_with("Symbolic Link = "))
            out.insert(entry(type, path, line.substr(16)));
    }
    return out;
}

// Lists like 7-Zip and bsdtar, and extraction writes what bsdtar unpacks, but no symbolic links, and devices and
// fifos as empty files.
void expect_same_as_tools(xara::XarArchive& a, const fs::path& archive, std::string_view tools) {
    Listing listed;
    for (const auto& f : a.files()) listed.insert(entry(core::entry_kind_lower_name(f.file_type), f.path, f.link.value_or("")));
    if (tools.contains("7zz") && testing_util::have_tool("7zz")) {
        EXPECT_EQ(listed, sevenzip_listing(archive));
    }
    if (!tools.contains("bsdtar") || !testing_util::have_tool("bsdtar")) return;
    // bsdtar leaves out directories without metadata (archive7's dir1); 7-Zip lists them.
    const Listing theirs = bsdtar_listing(archive);
    for (const auto& e : listed) EXPECT_TRUE(theirs.contains(e) || e.starts_with("d ")) << e;
    for (const auto& e : theirs) EXPECT_TRUE(listed.contains(e)) << e;
    testing_util::ScratchDir ours_out, bsdtar_out;
    auto stats = a.extract_all(ours_out.path().string());
    ASSERT_TRUE(stats) << stats.error().message();
    testing_util::run("timeout 60 bsdtar -xf " + quote(archive) + " -C " + quote(bsdtar_out.path()) + " </dev/null 2>/dev/null");
    const Listing unpacked = tree(bsdtar_out.path()), extracted = tree(ours_out.path());
    for (const auto& e : unpacked) EXPECT_TRUE(extracted.contains(e) || e.contains(" -> ")) << e;
    for (const auto& e : extracted) EXPECT_TRUE(unpacked.contains(e) || e.ends_with("=")) << e;
}

// "ok" when the archive opens and every entry reads, then compared with the tools named; else the first error.
std::string read_and_compare(const fs::path& archive, std::string_view tools) {
    auto a = xara::XarArchive::open_path(archive.string());
    std::string got = msg(a);
    for (size_t i = 0; a && i < a->files().size() && got == "ok"; ++i) got = msg(a->read_file(i));
    if (got == "ok") expect_same_as_tools(*a, archive, tools);
    return got;
}

const std::string kLibarchive = "real/libarchive/test_read_format_xar_";

}  // namespace

TEST(RealArchives, AgreeWithBsdtarAnd7zipOrFailCleanly) {
    KIV_REQUIRE_FIXTURE(kLibarchive + "archive5.xar");
    std::vector<std::tuple<std::string, std::string, std::string>> rows = {
        {"real/homebrew/container.xar", "ok", "bsdtar 7zz"},
        {"real/munki/munkitools-2.8.1.2847.pkg", "ok", "bsdtar 7zz"},
        // 7-Zip stops early in this package ("data after the end of archive") and lists only the Payload.
        {"real/sparkle/test.pkg", "ok", "bsdtar"},
        // Deliberately malformed samples (bsdtar stalls on some).
        {"base64_oob", "XML parse error: invalid base64 <name> value \"YWJjA\": Invalid input length.", ""},
        {"doublelink", "XML parse error: duplicate direct <type> field in <file>", ""},
        {"duplicate_filename_node", "XML parse error: duplicate direct <name> field in <file>", ""},
        {"toc_stream_end", "XML parse error: TOC XML must contain one <xar>/<toc> document", ""},
        {"stream_end_trunc", "decompression failed: gzip decoded 1 bytes, expected 100", ""},
    };
    for (std::string name : {"atou64_overread", "large_mode", "parse_time_overread", "stream_end_eof"}) rows.emplace_back(name, "ok", "");
    for (int i = 1; i <= 14; ++i) rows.emplace_back("archive" + std::to_string(i) + (i == 14 ? "_xattr_fstype" : ""), "ok", "bsdtar 7zz");
    for (const auto& [name, message, tools] : rows) {
        SCOPED_TRACE(name);
        const std::string path = name.starts_with("real/") ? name : kLibarchive + name + ".xar";
        EXPECT_EQ(read_and_compare(testing_util::fixture(path), tools), message);
    }
}

TEST(RealPackages, ProductAndComponentPackages) {
    KIV_REQUIRE_FIXTURE("real/munki/munkitools-2.8.1.2847.pkg");
    const std::vector<std::tuple<std::string, std::vector<std::string>, std::vector<size_t>>> rows = {
        {"real/munki/munkitools-2.8.1.2847.pkg",
         {"munkitools_launchd-2.0.0.1969.pkg", "munkitools_app-4.2.2759.pkg", "munkitools_admin-2.8.1.2847.pkg",
          "munkitools_core-2.8.1.2847.pkg"},
         {990, 3255975, 34050, 151105}},
        // pkgbuild stores PackageInfo and Bom with bzip2.
        {"real/sparkle/test.pkg", {""}, {389}},
    };
    for (const auto& [name, components, payload_sizes] : rows) {
        SCOPED_TRACE(name);
        auto p = xara::PkgReader::open(std::make_unique<core::MemorySource>(testing_util::read_bytes(testing_util::fixture(name))));
        ASSERT_TRUE(p) << p.error().message();
        EXPECT_EQ(p->components(), components);
        const bool product = components.size() > 1;
        EXPECT_EQ(p->is_product_package(), product);
        EXPECT_EQ(p->distribution().value().value_or("").contains("<installer-script"), product);
        for (size_t i = 0; i < components.size(); ++i) {
            EXPECT_TRUE(p->package_info(components[i]).value().value_or("").contains("<pkg-info"));
            const auto payload = text_of(p->payload(components[i]).value());
            EXPECT_EQ(payload.size(), payload_sizes[i]);
            EXPECT_TRUE(payload.starts_with("\x1F\x8B"));  // a gzip-compressed CPIO archive
        }
    }
}

TEST(ToolArchives, BsdtarArchivesInEveryCompression) {
    KIV_REQUIRE_TOOL("bsdtar");
    testing_util::ScratchDir scratch;
    const fs::path src = scratch / "src";
    fs::create_directories(src / "dir/sub/deeper");
    fs::create_directories(src / "empty dir");
    testing_util::write_bytes(src / "dir/big.bin", testing_util::random_bytes(300000, 11));
    testing_util::write_text(src / "dir/sub/text.txt", std::string(100000, 'a') + "tail");
    testing_util::write_text(src / "dir/sub/deeper/x & <y>.txt", "special");
    testing_util::write_text(src / "\xC3\xA9t\xC3\xA9.txt", "accent");
    testing_util::write_bytes(src / "zero", {});
    fs::create_symlink("sub/text.txt", src / "dir/link");
    fs::create_symlink("/nonexistent/target", src / "dangling");
    for (const std::string compression : {"", "none", "gzip", "bzip2"}) {
        SCOPED_TRACE(compression);
        const fs::path archive = scratch / ("bsdtar-" + compression + ".xar");
        const std::string options = compression.empty() ? "" : " --options xar:compression=" + compression;
        auto made = testing_util::run("cd " + quote(src) + " && timeout 60 bsdtar --format xar" + options + " -cf " + quote(archive) +
                                      " * </dev/null 2>&1");
        ASSERT_EQ(made.status, 0) << made.output;
        EXPECT_EQ(read_and_compare(archive, "bsdtar 7zz"), "ok");
    }
}
