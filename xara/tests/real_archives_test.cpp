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
    char kind;  // 'f', 'd', 'l'; 's' for bsdtar's devices and fifos, which we list as empty files
    std::string link;
    friend bool operator==(const Listed&, const Listed&) = default;
};
using Listing = std::map<std::string, Listed>;

// "bsdtar -tvf": mode, links, owner, group, size, month, day, year or time, name [-> target].
Listing bsdtar_listing(const fs::path& archive) {
    auto r = testing_util::run("timeout 60 bsdtar -tvf " + testing_util::shell_quote(archive.string()) + " </dev/null 2>/dev/null");
    Listing out;
    std::istringstream lines(r.output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string mode, w;
        words >> mode;
        for (int i = 0; i < 7; ++i) words >> w;
        std::string name;
        std::getline(words, name);
        name.erase(0, name.find_first_not_of(' '));
        if (const auto hard = name.find(" link to "); hard != std::string::npos) name.resize(hard);
        const char m = mode[0];
        Listed l{m == 'd' ? 'd' : m == 'l' ? 'l' : (m == 'c' || m == 'b' || m == 'p' || m == 's') ? 's' : 'f', {}};
        if (l.kind == 'l') {
            const auto arrow = name.find(" -> ");
            l.link = name.substr(arrow + 4);
            name.resize(arrow);
        }
        out[name] = l;
    }
    return out;
}

// "7zz l -slt": Path and Folder of each item, with symlink targets where it shows them.
Listing sevenzip_listing(const fs::path& archive) {
    auto r = testing_util::run("timeout 60 7zz l -slt " + testing_util::shell_quote(archive.string()) + " </dev/null 2>/dev/null");
    Listing out;
    std::istringstream lines(r.output);
    std::string line, path;
    bool items = false;
    while (std::getline(lines, line)) {
        if (line == "----------") items = true;
        if (!items) continue;
        if (line.rfind("Path = ", 0) == 0) path = line.substr(7);
        if (path == "[TOC].xml") continue;
        if (line.rfind("Type = ", 0) == 0) out[path].kind = line.substr(7) == "directory" ? 'd' : line.substr(7) == "symlink" ? 'l' : 'f';
        if (line.rfind("Symbolic Link = ", 0) == 0 && !line.substr(16).empty()) out[path].link = line.substr(16);
    }
    return out;
}

Listing our_listing(const xara::XarArchive& a) {
    Listing out;
    for (const auto& f : a.files()) {
        const char kind = f.file_type == xara::XarFileType::Directory ? 'd' : f.file_type == xara::XarFileType::Symlink ? 'l' : 'f';
        out[f.path] = {kind, f.link.value_or("")};
    }
    return out;
}

// Unpacks with bsdtar into a scratch folder.
void bsdtar_extract(const fs::path& archive, const fs::path& into) {
    fs::create_directories(into);
    testing_util::run("timeout 60 bsdtar -xf " + testing_util::shell_quote(archive.string()) + " -C " +
                      testing_util::shell_quote(into.string()) + " </dev/null 2>/dev/null");
}

xara::XarArchive open_file(const fs::path& p) {
    auto a = xara::XarArchive::open_path(p.string());
    EXPECT_TRUE(a) << p << ": " << a.error().message();
    return std::move(*a);
}

// Every regular file's bytes equal bsdtar's.
void expect_same_bytes_as_bsdtar(xara::XarArchive& a, const fs::path& archive) {
    testing_util::ScratchDir out;
    bsdtar_extract(archive, out.path());
    for (const auto& f : a.files()) {
        if (f.file_type != xara::XarFileType::File) continue;
        auto bytes = a.read_entry(f);
        if (!fs::is_regular_file(fs::symlink_status(out / f.path))) {
            // A device or fifo: never read what bsdtar made of it.
            EXPECT_TRUE(bytes && bytes->empty()) << f.path;
            continue;
        }
        ASSERT_TRUE(bytes) << f.path << ": " << bytes.error().message();
        EXPECT_EQ(*bytes, testing_util::read_bytes(out / f.path)) << archive << " " << f.path;
    }
}

const char* const kLibarchive = "real/libarchive/test_read_format_xar_";

}  // namespace

TEST(RealArchives, XarToolArchivesAgreeWithBsdtar) {
    KIV_REQUIRE_TOOL("bsdtar");
    KIV_REQUIRE_FIXTURE(std::string(kLibarchive) + "archive5.xar");
    size_t opened = 0;
    for (int i = 1; i <= 14; ++i) {
        const std::string rel = std::string(kLibarchive) + "archive" + std::to_string(i) + (i == 14 ? "_xattr_fstype" : "") + ".xar";
        const fs::path path = testing_util::fixture(rel);
        if (!fs::exists(path)) continue;
        // Hard links, devices and fifos open too: hard links as files sharing
        // the original's data, devices and fifos as empty files.
        auto a = open_file(path);
        ++opened;
        // bsdtar leaves out directories without metadata (archive7's dir1); 7-Zip lists them.
        const Listing ours = our_listing(a);
        bool special = false;
        for (auto [p, l] : bsdtar_listing(path)) {
            special |= l.kind == 's';
            if (l.kind == 's') l.kind = 'f';
            EXPECT_EQ(ours.count(p) ? ours.at(p) : Listed{}, l) << rel << " " << p;
        }
        if (!special && testing_util::have_tool("7zz")) {
            EXPECT_EQ(ours, sevenzip_listing(path)) << rel;
        }
        expect_same_bytes_as_bsdtar(a, path);
    }
    EXPECT_EQ(opened, 14u);
}

TEST(RealArchives, XarToolArchiveWithSymlinkAndDirectory) {
    const fs::path path = KIV_REQUIRE_FIXTURE(std::string(kLibarchive) + "archive7.xar");
    auto a = open_file(path);
    ASSERT_EQ(a.files().size(), 2u);
    EXPECT_EQ(a.files()[0].path, "dir1/f1");
    EXPECT_EQ(a.files()[1].path, "dir1");
    EXPECT_EQ(a.files()[1].children, std::vector<size_t>{0});
    EXPECT_EQ(text_of(*a.read_file(0)).size(), 16u);
}

TEST(RealArchives, HomebrewContainer) {
    const fs::path path = KIV_REQUIRE_FIXTURE("real/homebrew/container.xar");
    auto a = open_file(path);
    ASSERT_EQ(a.files().size(), 1u);
    EXPECT_EQ(a.files()[0].path, "container");
    EXPECT_EQ(a.read_file(0)->size(), 17u);
    if (testing_util::have_tool("bsdtar")) expect_same_bytes_as_bsdtar(a, path);
}

TEST(RealArchives, MalformedLibarchiveSamplesFailCleanlyOrReadSanely) {
    KIV_REQUIRE_FIXTURE(std::string(kLibarchive) + "base64_oob.xar");
    const std::map<std::string, std::string> open_errors = {
        {"base64_oob", "XML parse error: invalid base64 <name> value \"YWJjA\": Invalid input length."},
        {"doublelink", "XML parse error: duplicate direct <type> field in <file>"},
        {"duplicate_filename_node", "XML parse error: duplicate direct <name> field in <file>"},
        {"toc_stream_end", "XML parse error: TOC XML must contain one <xar>/<toc> document"},
    };
    for (const auto& [name, message] : open_errors) {
        auto a = xara::XarArchive::open_path(testing_util::fixture(kLibarchive + name + ".xar").string());
        ASSERT_FALSE(a) << name;
        EXPECT_EQ(a.error().message(), message);
    }
    for (const char* name : {"atou64_overread", "large_mode", "parse_time_overread", "stream_end_eof"}) {
        auto a = xara::XarArchive::open_path(testing_util::fixture(kLibarchive + std::string(name) + ".xar").string());
        ASSERT_TRUE(a) << name << ": " << a.error().message();
        for (size_t i = 0; i < a->files().size(); ++i) EXPECT_TRUE(a->read_file(i)) << name;
    }
    auto trunc = open_file(testing_util::fixture(std::string(kLibarchive) + "stream_end_trunc.xar"));
    EXPECT_EQ(trunc.read_file(0).error().message(), "decompression failed: gzip decoded 1 bytes, expected 100");
}

TEST(RealPackages, MunkiProductPackage) {
    const fs::path path = KIV_REQUIRE_FIXTURE("real/munki/munkitools-2.8.1.2847.pkg");
    for (bool in_memory : {false, true}) {
        std::unique_ptr<core::ByteSource> src;
        if (in_memory) src = std::make_unique<core::MemorySource>(testing_util::read_bytes(path));
        else src = std::make_unique<core::FileSource>(std::move(*core::FileSource::open(path.string())));
        auto p = xara::PkgReader::open(std::move(src));
        ASSERT_TRUE(p) << p.error().message();
        const std::vector<std::string> components = {"munkitools_launchd-2.0.0.1969.pkg", "munkitools_app-4.2.2759.pkg",
                                                     "munkitools_admin-2.8.1.2847.pkg", "munkitools_core-2.8.1.2847.pkg"};
        EXPECT_EQ(p->components(), components);
        EXPECT_TRUE(p->is_product_package());
        EXPECT_EQ(p->list_files().size(), 18u);
        auto dist = p->distribution();
        ASSERT_TRUE(dist) << dist.error().message();
        EXPECT_NE(dist->value().find("<installer-script"), std::string::npos);
        const std::vector<size_t> payload_sizes = {990, 3255975, 34050, 151105};
        for (size_t i = 0; i < components.size(); ++i) {
            auto info = p->package_info(components[i]);
            ASSERT_TRUE(info) << info.error().message();
            EXPECT_NE(info->value().find("<pkg-info"), std::string::npos);
            auto payload = p->payload(components[i]);
            ASSERT_TRUE(payload) << payload.error().message();
            ASSERT_EQ(payload->size(), payload_sizes[i]);
            EXPECT_EQ((*payload)[0], 0x1F);  // a gzip-compressed CPIO archive
            EXPECT_EQ((*payload)[1], 0x8B);
        }
    }
    if (!testing_util::have_tool("bsdtar")) return;
    auto a = open_file(path);
    EXPECT_EQ(our_listing(a), bsdtar_listing(path));
    expect_same_bytes_as_bsdtar(a, path);
}

TEST(RealPackages, SparkleComponentPackage) {
    const fs::path path = KIV_REQUIRE_FIXTURE("real/sparkle/test.pkg");
    auto p = xara::PkgReader::open(std::make_unique<core::MemorySource>(testing_util::read_bytes(path)));
    ASSERT_TRUE(p) << p.error().message();
    EXPECT_EQ(p->components(), std::vector<std::string>{""});
    EXPECT_FALSE(p->is_product_package());
    EXPECT_FALSE(p->distribution()->has_value());
    auto payload = p->payload("");
    ASSERT_TRUE(payload) << payload.error().message();
    EXPECT_EQ(payload->size(), 389u);
    // pkgbuild stores PackageInfo and Bom with bzip2.
    auto info = p->package_info("");
    ASSERT_TRUE(info && info->has_value()) << (info ? "absent" : info.error().message());
    EXPECT_NE(info->value().find("<pkg-info"), std::string::npos) << info->value();
    if (!testing_util::have_tool("bsdtar")) return;
    expect_same_bytes_as_bsdtar(p->archive(), path);
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

    const std::vector<std::pair<std::string, std::string>> variants = {
        {"default", ""}, {"none", "--options xar:compression=none"}, {"gzip", "--options xar:compression=gzip"},
        {"bzip2", "--options xar:compression=bzip2"}};
    for (const auto& [label, options] : variants) {
        const fs::path archive = scratch / (label + ".xar");
        auto made = testing_util::run("cd " + testing_util::shell_quote(src.string()) + " && timeout 60 bsdtar --format xar " +
                                      options + " -cf " + testing_util::shell_quote(archive.string()) + " * </dev/null 2>&1");
        ASSERT_EQ(made.status, 0) << label << ": " << made.output;
        auto a = open_file(archive);
        const Listing ours = our_listing(a);
        EXPECT_EQ(ours, bsdtar_listing(archive)) << label;
        if (testing_util::have_tool("7zz")) {
            EXPECT_EQ(ours, sevenzip_listing(archive)) << label;
        }
        for (const auto& f : a.files()) {
            if (f.file_type != xara::XarFileType::File) continue;
            auto bytes = a.read_entry(f);
            ASSERT_TRUE(bytes) << label << " " << f.path << ": " << bytes.error().message();
            EXPECT_EQ(*bytes, testing_util::read_bytes(src / f.path)) << label << " " << f.path;
        }
        // Extraction reproduces the regular files and directories, never the symlinks.
        testing_util::ScratchDir out;
        auto stats = a.extract_all(out.path().string());
        ASSERT_TRUE(stats) << stats.error().message();
        EXPECT_EQ(stats->files, 5u);
        EXPECT_EQ(stats->dirs, 4u);
        EXPECT_EQ(stats->symlinks_skipped, 2u);
        EXPECT_EQ(stats->bytes, 300000u + 100004u + 7u + 6u);
        EXPECT_EQ(testing_util::read_bytes(out / "dir/big.bin"), testing_util::read_bytes(src / "dir/big.bin"));
        EXPECT_FALSE(fs::exists(fs::symlink_status(out / "dir/link")));
    }
}

TEST(Damaged, RandomlyDamagedArchivesNeverCrash) {
    // Seeds: a hand-built archive in every encoding, and real packages when present.
    std::vector<std::vector<uint8_t>> seeds;
    const auto text = bytes_of("The quick brown fox jumps over the lazy dog. 0123456789");
    const auto z = zlib_compress(text), g = gzip_compress(text);
    std::vector<uint8_t> heap(text);
    heap.insert(heap.end(), z.begin(), z.end());
    heap.insert(heap.end(), g.begin(), g.end());
    const std::string body =
        file_xml(1, "a.pkg", "directory",
                 file_xml(2, "Payload", "file", data_xml(0, text.size(), text.size(), "application/octet-stream")) +
                     file_xml(3, "PackageInfo", "file", data_xml(text.size(), z.size(), text.size(), "application/zlib"))) +
        file_xml(4, "Distribution", "file", data_xml(text.size() + z.size(), g.size(), text.size(), "application/x-gzip")) +
        "<file id=\"5\"><name enctype=\"base64\">bGluaw==</name><type>symlink</type><link>a.pkg</link></file>";
    seeds.push_back(make_xar(toc_doc(body), heap));
    for (const char* rel : {"real/sparkle/test.pkg", "real/homebrew/container.xar", "real/libarchive/test_read_format_xar_archive7.xar"}) {
        const fs::path p = testing_util::fixture(rel);
        if (fs::exists(p)) seeds.push_back(testing_util::read_bytes(p));
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
            case 1: damaged = make_xar(text_of(testing_util::damage(bytes_of(toc_doc(body)), rng)), heap); break;
            default: damaged = make_xar(toc_doc(body), testing_util::damage(heap, rng)); break;
        }
        auto p = xara::PkgReader::open(std::make_unique<core::MemorySource>(std::move(damaged)));
        if (!p) continue;
        ++opened;
        (void)p->components();
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
