// Archives made by real tools, checked against independent readers, and damaged archives.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "support.hpp"
#include "testing/testing.hpp"

using namespace xara_test;
namespace fs = std::filesystem;

namespace {

struct Listed {
    char kind;  // 'f', 'd' or 'l'
    std::string link;
    friend bool operator==(const Listed&, const Listed&) = default;
};
using Listing = std::map<std::string, Listed>;

std::string quote(const fs::path& p) { return testing_util::shell_quote(p.string()); }

std::string tool_output(const std::string& command, const fs::path& archive) {
    return testing_util::run("timeout 60 " + command + " " + quote(archive) + " </dev/null 2>/dev/null").output;
}

// "bsdtar -tvf": mode, links, owner, group, size, month, day, year or time, name [-> target | link to target].
// Devices and fifos, which we list as empty files, count as files; `special` tells whether there were any.
Listing bsdtar_listing(const fs::path& archive, bool& special) {
    Listing out;
    std::istringstream lines(tool_output("bsdtar -tvf", archive));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string mode, skip, name;
        words >> mode;
        for (int i = 0; i < 7; ++i) words >> skip;
        std::getline(words >> std::ws, name);
        if (const auto hard = name.find(" link to "); hard != std::string::npos) name.resize(hard);
        special |= std::string_view("cbps").contains(mode[0]);
        Listed l{mode[0] == 'd' || mode[0] == 'l' ? mode[0] : 'f', {}};
        if (l.kind == 'l') {
            l.link = name.substr(name.find(" -> ") + 4);
            name.resize(name.find(" -> "));
        }
        out[name] = l;
    }
    return out;
}

// "7zz l -slt": the Path, Type and Symbolic Link of each item.
Listing sevenzip_listing(const fs::path& archive) {
    Listing out;
    std::istringstream lines(tool_output("7zz l -slt", archive));
    std::string path;
    bool items = false;
    for (std::string line; std::getline(lines, line);) {
        items |= line == "----------";
        if (line.starts_with("Path = ")) path = line.substr(7);
        if (!items || path == "[TOC].xml") continue;
        if (line.starts_with("Type = ")) out[path].kind = line == "Type = directory" ? 'd' : line == "Type = symlink" ? 'l' : 'f';
        if (line.starts_with("Symbolic Link = ") && line.size() > 16) out[path].link = line.substr(16);
    }
    return out;
}

// Lists like bsdtar (and 7-Zip), and every file reads as bsdtar unpacks it.
void expect_same_as_tools(xara::XarArchive& a, const fs::path& archive, bool sevenzip = true) {
    if (!testing_util::have_tool("bsdtar")) return;
    Listing ours;
    for (const auto& f : a.files()) {
        const auto t = f.file_type;
        ours[f.path] = {t == xara::XarFileType::Directory ? 'd' : t == xara::XarFileType::Symlink ? 'l' : 'f', f.link.value_or("")};
    }
    // bsdtar leaves out directories without metadata (archive7's dir1); 7-Zip lists them, and is
    // compared only where there are no devices or fifos, which it shows its own way.
    bool special = false;
    const Listing theirs = bsdtar_listing(archive, special);
    for (const auto& [p, l] : ours) EXPECT_EQ(theirs.contains(p) ? theirs.at(p) : (Listed{'d', ""}), l) << p;
    for (const auto& [p, l] : theirs) EXPECT_TRUE(ours.contains(p)) << p;
    if (sevenzip && !special && testing_util::have_tool("7zz")) {
        EXPECT_EQ(ours, sevenzip_listing(archive));
    }
    testing_util::ScratchDir out;
    testing_util::run("timeout 60 bsdtar -xf " + quote(archive) + " -C " + quote(out.path()) + " </dev/null 2>/dev/null");
    for (const auto& f : a.files()) {
        if (f.file_type != xara::XarFileType::File) continue;
        auto bytes = a.read_entry(f);
        ASSERT_TRUE(bytes) << f.path << ": " << bytes.error().message();
        // Devices and fifos read empty, whatever bsdtar made of them.
        const bool regular = fs::is_regular_file(fs::symlink_status(out / f.path));
        EXPECT_EQ(*bytes, regular ? testing_util::read_bytes(out / f.path) : std::vector<uint8_t>{}) << f.path;
    }
}

xara::PkgReader open_pkg(const fs::path& path) {
    auto p = xara::PkgReader::open(std::make_unique<core::FileSource>(std::move(*core::FileSource::open(path.string()))));
    if (!p) throw std::runtime_error(p.error().message());
    return std::move(*p);
}

const std::string kLibarchive = "real/libarchive/test_read_format_xar_";

}  // namespace

TEST(RealArchives, XarToolArchivesAgreeWithBsdtarAnd7zip) {
    KIV_REQUIRE_TOOL("bsdtar");
    KIV_REQUIRE_FIXTURE(kLibarchive + "archive5.xar");
    std::vector<std::string> names = {"real/homebrew/container.xar"};
    for (int i = 1; i <= 14; ++i) names.push_back(kLibarchive + "archive" + std::to_string(i) + (i == 14 ? "_xattr_fstype" : "") + ".xar");
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        // Hard links open as files sharing the original's data, devices and fifos as empty files.
        auto a = xara::XarArchive::open_path(testing_util::fixture(name).string());
        ASSERT_TRUE(a) << a.error().message();
        expect_same_as_tools(*a, testing_util::fixture(name));
    }
}

TEST(RealArchives, MalformedLibarchiveSamplesFailCleanlyOrReadSanely) {
    KIV_REQUIRE_FIXTURE(kLibarchive + "base64_oob.xar");
    const std::map<std::string, std::string> rows = {
        {"base64_oob", "XML parse error: invalid base64 <name> value \"YWJjA\": Invalid input length."},
        {"doublelink", "XML parse error: duplicate direct <type> field in <file>"},
        {"duplicate_filename_node", "XML parse error: duplicate direct <name> field in <file>"},
        {"toc_stream_end", "XML parse error: TOC XML must contain one <xar>/<toc> document"},
        {"atou64_overread", "ok"},
        {"large_mode", "ok"},
        {"parse_time_overread", "ok"},
        {"stream_end_eof", "ok"},
        {"stream_end_trunc", "decompression failed: gzip decoded 1 bytes, expected 100"},
    };
    for (const auto& [name, message] : rows) {
        auto a = xara::XarArchive::open_path(testing_util::fixture(kLibarchive + name + ".xar").string());
        std::string got = msg(a);
        for (size_t i = 0; a && i < a->files().size() && got == "ok"; ++i) got = msg(a->read_file(i));
        EXPECT_EQ(got, message) << name;
    }
}

TEST(RealPackages, MunkiProductPackage) {
    const fs::path path = KIV_REQUIRE_FIXTURE("real/munki/munkitools-2.8.1.2847.pkg");
    auto p = open_pkg(path);
    const std::vector<std::string> components = {"munkitools_launchd-2.0.0.1969.pkg", "munkitools_app-4.2.2759.pkg",
                                                 "munkitools_admin-2.8.1.2847.pkg", "munkitools_core-2.8.1.2847.pkg"};
    EXPECT_EQ(p.components(), components);
    EXPECT_TRUE(p.is_product_package());
    EXPECT_EQ(p.list_files().size(), 18u);
    EXPECT_TRUE(p.distribution().value().value().contains("<installer-script"));
    const std::vector<size_t> payload_sizes = {990, 3255975, 34050, 151105};
    for (size_t i = 0; i < components.size(); ++i) {
        EXPECT_TRUE(p.package_info(components[i]).value().value().contains("<pkg-info"));
        auto payload = p.payload(components[i]).value();
        ASSERT_EQ(payload.size(), payload_sizes[i]);
        EXPECT_EQ(payload[0] << 8 | payload[1], 0x1F8B);  // a gzip-compressed CPIO archive
    }
    expect_same_as_tools(p.archive(), path);
}

TEST(RealPackages, SparkleComponentPackage) {
    const fs::path path = KIV_REQUIRE_FIXTURE("real/sparkle/test.pkg");
    auto p = open_pkg(path);
    EXPECT_EQ(p.components(), std::vector<std::string>{""});
    EXPECT_FALSE(p.is_product_package());
    EXPECT_FALSE(p.distribution().value());
    EXPECT_EQ(p.payload("").value().size(), 389u);
    // pkgbuild stores PackageInfo and Bom with bzip2.
    EXPECT_TRUE(p.package_info("").value().value_or("").contains("<pkg-info"));
    // 7-Zip stops early in this package ("data after the end of archive") and lists only the Payload.
    expect_same_as_tools(p.archive(), path, false);
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
        auto a = xara::XarArchive::open_path(archive.string());
        ASSERT_TRUE(a) << a.error().message();
        expect_same_as_tools(*a, archive);
        for (const auto& f : a->files()) {
            if (f.file_type != xara::XarFileType::File) continue;
            EXPECT_EQ(a->read_entry(f).value(), testing_util::read_bytes(src / f.path)) << f.path;
        }
        // Extraction reproduces the regular files and directories, never the symlinks.
        testing_util::ScratchDir out;
        auto stats = a->extract_all(out.path().string());
        ASSERT_TRUE(stats) << stats.error().message();
        EXPECT_EQ(std::tuple(stats->files, stats->dirs, stats->symlinks_skipped, stats->bytes),
                  std::tuple(5u, 4u, 2u, 300000u + 100004u + 7u + 6u));
        EXPECT_EQ(testing_util::read_bytes(out / "dir/big.bin"), testing_util::read_bytes(src / "dir/big.bin"));
        EXPECT_FALSE(fs::exists(fs::symlink_status(out / "dir/link")));
    }
}

TEST(Damaged, RandomlyDamagedArchivesNeverCrash) {
    // Seeds: a hand-built package in every encoding, and real archives when present.
    const auto text = bytes_of("The quick brown fox jumps over the lazy dog. 0123456789");
    const auto z = zlib_compress(text), g = gzip_compress(text);
    std::vector<uint8_t> heap(text);
    heap.insert(heap.end(), z.begin(), z.end());
    heap.insert(heap.end(), g.begin(), g.end());
    const std::string toc = toc_doc(
        dir("a.pkg", stored("Payload", 0, text.size()) +
                         file_xml("PackageInfo", "file", data_xml(text.size(), z.size(), text.size(), "application/zlib"))) +
        file_xml("Distribution", "file", data_xml(text.size() + z.size(), g.size(), text.size(), "application/x-gzip")) +
        "<file><name enctype=\"base64\">bGluaw==</name><type>symlink</type><link>a.pkg</link></file>");
    std::vector<std::vector<uint8_t>> seeds = {make_xar(toc, heap)};
    for (const char* rel : {"real/sparkle/test.pkg", "real/homebrew/container.xar", "real/libarchive/test_read_format_xar_archive7.xar"}) {
        if (fs::exists(testing_util::fixture(rel))) seeds.push_back(testing_util::read_bytes(testing_util::fixture(rel)));
    }
    std::mt19937_64 rng(20261206);
    testing_util::ScratchDir scratch;
    size_t opened = 0;
    for (int round = 0; round < 3000; ++round) {
        // Damage the whole archive, only the TOC text (re-compressed, so the parser sees it),
        // or only the heap (so the decoders do).
        std::vector<uint8_t> damaged;
        switch (round % 3) {
            case 0: damaged = testing_util::damage(seeds[size_t(round / 3) % seeds.size()], rng); break;
            case 1: damaged = make_xar(text_of(testing_util::damage(bytes_of(toc), rng)), heap); break;
            default: damaged = make_xar(toc, testing_util::damage(heap, rng)); break;
        }
        auto p = xara::PkgReader::open(std::make_unique<core::MemorySource>(std::move(damaged)));
        if (!p) continue;
        ++opened;
        (void)p->list_files();
        (void)p->distribution();
        for (const auto& c : p->components()) {
            (void)p->package_info(c);
            (void)p->payload(c);
        }
        for (size_t i = 0; i < p->archive().files().size(); ++i) (void)p->archive().read_file(i);
        if (round % 50 == 0) {
            const fs::path dest = scratch / std::to_string(round);
            (void)p->archive().extract_all(dest.string());
            // Whatever happened, nothing was written beside the destination.
            for (auto& e : fs::directory_iterator(scratch.path())) ASSERT_EQ(e.path(), dest);
            fs::remove_all(dest);
        }
    }
    EXPECT_GT(opened, 100u);  // damage that spares the TOC still opens
}
