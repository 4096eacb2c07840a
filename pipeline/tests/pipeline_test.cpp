// Opening images, choosing partitions, and the filesystem handle's queries,
// over images built with xorriso and over real images made by hdiutil.
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <set>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "xara/pkg.hpp"

namespace {

using namespace pipeline_test;
namespace pl = kiv::pipeline;

class XorrisoImage : public testing::TestWithParam<ExtractionMode> {};

TEST_P(XorrisoImage, QueriesAndPackagesAnswerLikeTheSourceTree) {
    KIV_REQUIRE_VOLUME();
    auto fs = open_fs(volume().dmg, GetParam());
    EXPECT_EQ(std::tuple(fs.fs_type(), fs.mode()), std::tuple(FsType::HfsPlus, GetParam()));
    const auto info = fs.volume_info();
    EXPECT_TRUE(info.is_hfsx == false && (info.version == 4 || info.version == 5) && info.total_blocks && info.free_blocks);
    EXPECT_EQ(ok(fs.read_file("usr//bin/tool/")).size(), 20u);
    std::set<std::string> names;
    for (const auto& e : ok(fs.list_directory("/usr/lib"))) names.insert(e.name + ":" + std::string(core::entry_kind_name(e.kind)));
    EXPECT_EQ(names, (std::set<std::string>{"liba.dylib:File", "liba.link:Symlink"}));
    const auto st = ok(fs.stat("/usr/lib/liba.dylib"));
    EXPECT_TRUE(st.fs_type == FsType::HfsPlus && st.kind == FsEntryKind::File && st.size == 300000u);
    EXPECT_TRUE(!st.resource_fork_size && !st.nlink && st.data_fork_extents.value_or(0) >= 1u);
    EXPECT_GT(st.create_time, 2082844800);  // seconds since 1904, not since 1970
    EXPECT_EQ(std::tuple(ok(fs.stat("/usr")).kind, ok(fs.stat("/usr")).data_fork_extents), std::tuple(FsEntryKind::Directory, 0u));
    for (const char* present : {"/", "", "/usr/bin/tool", "usr/lib/", "Fake.pkg", "/USR/Bin"})
        EXPECT_TRUE(ok(fs.exists(present))) << present;
    for (const char* absent : {"/nope", "/usr/nope/x"}) EXPECT_FALSE(ok(fs.exists(absent))) << absent;
    // Only not-found means false: a path through a regular file is the library's error.
    EXPECT_EQ(error_of(fs.exists("/usr/bin/tool/x")).message(), "HFS+ error: not a directory: usr/bin/tool");
    EXPECT_EQ(error_of(fs.read_file("/usr/bin/missing")).message(), "HFS+ error: file not found: usr/bin/missing");
    // find_packages lists regular files ending in ".pkg" only, in the catalog's order (which ignores case); they
    // open alike in memory and streamed.
    std::vector<std::string> want = {"/Tiny.pkg"};
    if (fs::exists(volume().src / "munkitools.pkg")) want.insert(want.begin(), "/munkitools.pkg");
    const std::string dmg = volume().dmg.string();
    EXPECT_EQ(ok(pl::find_packages(dmg)), want);
    for (const auto& path : want) {
        xara::PkgReader whole(ok(fs.open_pkg(path))), streamed(ok(fs.open_pkg_streaming(path)));
        EXPECT_EQ(whole.list_files(), streamed.list_files()) << path;
        EXPECT_TRUE(streamed.payload(path == "/Tiny.pkg" ? "" : streamed.components().at(0))) << path;
    }
    EXPECT_EQ(error_of(fs.open_pkg_streaming("/Fake.pkg")).message(), "HFS+ error: not a directory: /Fake.pkg");
    EXPECT_EQ(error_of(fs.open_pkg("/usr/bin/tool")).kind(), Kind::Xar);
    EXPECT_EQ(error_of(fs.open_pkg_streaming("/usr/bin/tool")).kind(), Kind::Xar);
    EXPECT_EQ(error_of(fs.open_pkg_streaming("/nope.pkg")).kind(), Kind::HfsPlus);
    // extract_pkg_payload decodes a package's PBZX payload in one call.
    auto archive = ok(pl::extract_pkg_payload(dmg, "/Tiny.pkg", std::nullopt));
    EXPECT_EQ(archive.data(), volume().tiny_cpio);
    EXPECT_EQ(ok(archive.extract_file("./hello.txt")), (Bytes{'h', 'e', 'l', 'l', 'o', '\n'}));
    EXPECT_EQ(error_of(pl::extract_pkg_payload(dmg, "/Tiny.pkg", "other.pkg")).kind(), Kind::Xar);
    EXPECT_EQ(error_of(pl::extract_pkg_payload(dmg, "/missing.pkg", std::nullopt)).kind(), Kind::HfsPlus);
    EXPECT_EQ(error_of(pl::extract_pkg_payload(dmg + ".nope", "/Tiny.pkg", std::nullopt)).kind(), Kind::Dmg);
    const auto encrypted = testing_util::fixture("real/sparkle/SparkleTestCodeSignApp.enc.dmg");
    EXPECT_TRUE(!fs::exists(encrypted) || error_of(pl::find_packages(encrypted.string())).kind() == Kind::Dmg);
    EXPECT_TRUE(!fs::exists(volume().src / "munkitools.pkg") ||  // its payloads are gzip CPIO, which is not PBZX
                error_of(pl::extract_pkg_payload(dmg, "/munkitools.pkg", "munkitools_core-2.8.1.2847.pkg"))
                    .message().starts_with("PBZX error: Invalid PBZX magic: expected 'pbzx'"));
}

INSTANTIATE_TEST_SUITE_P(Modes, XorrisoImage, testing::ValuesIn(kModes));

// ---- Partition choice ----

TEST(PartitionChoice, OpensTheRightVolume) {
    KIV_REQUIRE_VOLUME();
    const Bytes apfs = testing_util::read_bytes(KIV_REQUIRE_FIXTURE("apfs.raw"));
    // The partitions of an image ("hfs", "badhfs", "apfs", "badapfs", "other"), and the volume type opened or the
    // start of the error text.
    const std::pair<std::vector<const char*>, const char*> rows[] = {
        // HFS+ wins over APFS; a damaged HFS+ volume does not fall back to APFS.
        {{"apfs", "hfs"}, "HfsPlus"}, {{"other", "hfs"}, "HfsPlus"}, {{"badhfs", "apfs"}, "HFS+ error: "},
        // The later of equal APFS partitions wins, even when damaged.
        {{"other", "apfs"}, "Apfs"}, {{"badapfs", "apfs"}, "Apfs"}, {{"apfs", "badapfs"}, "APFS error: "},
        {{"other", "other"}, "no filesystem partition found in DMG"},
    };
    for (const auto& [partitions, result] : rows) {
        SCOPED_TRACE(std::string(partitions[0]) + " then " + partitions[1]);
        testing_util::ScratchDir dir;
        std::vector<std::pair<std::string, Bytes>> parts;
        for (std::string kind : partitions) {
            if (kind.ends_with("hfs")) parts.emplace_back(kHfsName, volume().volume);
            if (kind == "badhfs") parts.back().second[1024] = 'X';  // the volume header's signature
            if (kind == "apfs") parts.emplace_back("disk image (Apple_APFS : 2)", apfs);
            if (kind == "badapfs") parts.emplace_back("disk image (Apple_APFS : 3)", Bytes(apfs.size(), 0x5A));
            if (kind == "other") parts.emplace_back("Apple_Free", Bytes(8192));
        }
        const auto dmg = make_dmg(dir / "choice.dmg", parts);
        const auto lacks = [&](const char* kind) {
            return std::ranges::none_of(partitions, [&](std::string p) { return p.ends_with(kind); });
        };
        for (auto mode : kModes) {
            auto pipeline = ok(DmgPipeline::open(dmg.string()));
            if (lacks("apfs")) { EXPECT_EQ(error_of(pipeline.open_apfs_with_mode(mode)).message(), "no APFS partition found in DMG"); }
            if (lacks("hfs")) { EXPECT_EQ(error_of(pipeline.open_hfs_with_mode(mode)).message(), "no HFS+ partition found in DMG"); }
            auto fs = pipeline.open_filesystem_with_mode(mode);
            const bool is_apfs = fs && fs->fs_type() == FsType::Apfs;
            const std::string got = fs ? (is_apfs ? "Apfs" : "HfsPlus") : fs.error().message();
            EXPECT_TRUE(got.starts_with(result)) << got;
            EXPECT_TRUE(!fs || ok(fs->exists(is_apfs ? "/a_directory/a_file" : "/Tiny.pkg")));
        }
    }
}


// ---- Temporary files and handle lifetime ----

// Handles outlive their pipeline and each other; neither they, a streamed package nor a failed decode leave a
// file in TMPDIR.
TEST(Handles, AreIndependentAndLeaveNoFileBehind) {
    KIV_REQUIRE_VOLUME();
    static const testing_util::ScratchDir tmp;  // TMPDIR from here on
    const auto broken = make_dmg(volume().dir / "broken.dmg", {{kHfsName, volume().volume}}, /*checksums=*/false);
    Bytes image = testing_util::read_bytes(broken);
    for (size_t i = 2; i < 64; ++i) image[i] ^= 0xFF;  // inside the first zlib run
    testing_util::write_bytes(broken, image);
    setenv("TMPDIR", tmp.path().c_str(), 1);
    auto pipeline = std::optional(ok(DmgPipeline::open(volume().dmg.string())));
    auto first = std::optional(ok(pipeline->open_filesystem()));
    auto second = ok(pipeline->open_filesystem());
    EXPECT_TRUE(fs::is_empty(tmp.path()));
    pipeline = ok(DmgPipeline::open(broken.string()));  // the handles outlive their pipeline
    auto streamed = ok(first->open_pkg_streaming("/Tiny.pkg"));
    first.reset();
    EXPECT_EQ(ok(second.read_file("/usr/libexec/helper")).size(), 6u);
    EXPECT_EQ(streamed.files().size(), 2u);
    for (auto mode : kModes) EXPECT_EQ(error_of(pipeline->open_filesystem_with_mode(mode)).kind(), Kind::Dmg);
    EXPECT_TRUE(fs::is_empty(tmp.path()));
}

// ---- Real images made by hdiutil and volumes macOS wrote ----

struct RealImage {
    const char* fixture;
    FsType type;
    uint64_t min_files;
    const char* forked = nullptr;  // a file with a resource fork
};

// The macOS volumes hold compressed files, hard links, names with "/" and the private folders.
const RealImage kRealImages[] = {
    {"hfsplus_zlib.dmg", FsType::HfsPlus, 1, "/a_directory/a_resourcefork"},
    {"real/sparkle/SparkleTestCodeSignApp.dmg", FsType::HfsPlus, 100},
    {"real/sparkle/SparkleTestCodeSign_apfs_lzma_aux_files.dmg", FsType::Apfs, 100},
    {"real/homebrew/container.dmg", FsType::HfsPlus, 1},
    {"real/homebrew/container-apfs.dmg", FsType::Apfs, 1},
    {"real/plaso/spotlight.10.13.dmg", FsType::HfsPlus, 10},
    {"real/libdmg-hfsplus/ImgTest.dmg", FsType::HfsPlus, 5},
    {"real/keramics/hfsplus_zlib.dmg", FsType::HfsPlus, 1},
    {"real/hfsplus-rs/hfsp-small.img", FsType::HfsPlus, 1},
};

class RealImages : public testing::TestWithParam<RealImage> {};

// Both modes agree, every file reads at its size and extracts with the contents read_file gives (which the
// volume libraries' tests hold against 7-Zip), the private folders left out.
TEST_P(RealImages, BothModesAgreeAndEveryFileReadsAndExtracts) {
    const fs::path path = KIV_REQUIRE_FIXTURE(GetParam().fixture);
    testing_util::ScratchDir out;
    fs::path dmg = path;
    if (const Bytes bytes = testing_util::read_bytes(path); bytes.size() > 1025 && bytes[1024] == 'H' && bytes[1025] == '+')
        dmg = make_dmg(out / "v.dmg", {{kHfsName, bytes}});  // a bare volume
    auto temp = open_fs(dmg, ExtractionMode::TempFile);
    auto memory = open_fs(dmg, ExtractionMode::InMemory);
    const bool apfs = GetParam().type == FsType::Apfs;
    const auto info = temp.volume_info();
    EXPECT_EQ(std::tuple(temp.fs_type(), info.fs_type), std::tuple(GetParam().type, GetParam().type));
    for (bool hfs_only : {info.is_hfsx.has_value(), info.total_blocks.has_value(), info.version.has_value(), !info.name})
        EXPECT_EQ(hfs_only, !apfs);
    const kiv::ExtractStats extracted[] = {ok(temp.extract_path("/", out / "temp")), ok(memory.extract_path("/", out / "memory"))};
    const auto walked = ok(temp.walk()), walked_in_memory = ok(memory.walk());
    ASSERT_EQ(walked.size(), walked_in_memory.size());
    uint64_t counts[3] = {}, files = 0, bytes = 0;
    for (size_t i = 0; i < walked.size(); ++i) {
        const auto& e = walked[i];
        ++counts[size_t(e.kind)];
        EXPECT_EQ(e.path, walked_in_memory[i].path);
        EXPECT_TRUE(ok(temp.exists(e.path))) << e.path;
        const auto st = ok(memory.stat(e.path));
        EXPECT_EQ(st.fs_type, GetParam().type);
        EXPECT_EQ(st.kind, e.kind == FsEntryKind::Symlink && !apfs ? FsEntryKind::File : e.kind) << e.path;  // as HFS+ stats links
        if (e.kind != FsEntryKind::File || e.path.find("HFS+ Private") != std::string::npos) continue;
        ++files, bytes += e.size;
        EXPECT_EQ(st.size, e.size) << e.path;
        const Bytes data = ok(temp.read_file(e.path));
        EXPECT_EQ(data, ok(memory.read_file(e.path))) << e.path;
        for (const char* dest : {"temp", "memory"}) EXPECT_EQ(testing_util::read_bytes(out / dest / e.path.substr(1)), data) << e.path;
    }
    EXPECT_GE(counts[0], GetParam().min_files);
    for (const auto& stats : extracted)
        EXPECT_EQ(std::tuple(stats.files, stats.bytes, stats.symlinks_skipped), std::tuple(files, bytes, counts[2]));
    for (const char* dest : {"temp", "memory"})
        for (const auto& e : fs::recursive_directory_iterator(out / dest))
            EXPECT_TRUE(!e.is_symlink() && !e.path().string().contains("HFS+ Private")) << e.path();
    if (GetParam().forked) { EXPECT_GT(ok(memory.stat(GetParam().forked)).resource_fork_size.value_or(0), 0u); }
    // No package on these volumes: the streamed open reaches the archive reader, or the volume's not-found.
    EXPECT_EQ(error_of(temp.open_pkg_streaming("/no such.pkg")).kind(), apfs ? Kind::Apfs : Kind::HfsPlus);
    const auto file = std::ranges::find_if(walked, [](const auto& e) { return e.kind == FsEntryKind::File && e.size > 0; });
    if (file != walked.end()) { EXPECT_EQ(error_of(temp.open_pkg_streaming(file->path)).kind(), Kind::Xar) << file->path; }
    // The volume's own counts agree with the walk.  HFS+ counts symbolic links among the files.
    EXPECT_EQ(std::tuple(info.directory_count, info.file_count), std::tuple(counts[1], counts[0] + (apfs ? 0 : counts[2])));
    EXPECT_EQ(info.symlink_count, apfs ? std::optional(counts[2]) : std::nullopt);
    const auto root = ok(memory.stat("/"));
    EXPECT_TRUE(root.nlink.has_value() == apfs && root.data_fork_extents.has_value() == !apfs && !root.resource_fork_size);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RealImages, testing::ValuesIn(kRealImages));

}  // namespace
