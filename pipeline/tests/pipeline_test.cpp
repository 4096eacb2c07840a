// Opening images, choosing partitions, and the filesystem handle's queries,
// over images built with xorriso and over real images made by hdiutil.
#include <cstdlib>
#include <optional>
#include <set>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "udif/writer.hpp"
#include "xara/pkg.hpp"

namespace {

using namespace pipeline_test;
using kiv::DmgPipeline;
using kiv::ExtractionMode;
using kiv::FsEntryKind;
using kiv::FsType;
using Kind = kiv::KivError::Kind;

// One xorriso volume, built once: a small tree with packages of every sort.
struct Volume {
    testing_util::ScratchDir dir;
    Bytes volume;
    Bytes tiny_cpio;
    fs::path dmg;
    bool has_munki = false;
};

const Volume& volume() {
    // Built once; the scratch directory goes at exit.
    static const std::unique_ptr<Volume> built = [] {
        auto v = std::make_unique<Volume>();
        const fs::path src = v->dir / "src";
        fs::create_directories(src / "usr/bin");
        fs::create_directories(src / "usr/lib");
        fs::create_directories(src / "usr/libexec");
        fs::create_directories(src / "Fake.pkg");
        testing_util::write_text(src / "usr/bin/tool", "#!/bin/sh\necho tool\n");
        testing_util::write_bytes(src / "usr/lib/liba.dylib", testing_util::random_bytes(300000, 7));
        testing_util::write_text(src / "usr/libexec/helper", "helper");
        fs::create_symlink("liba.dylib", src / "usr/lib/liba.link");
        testing_util::write_text(src / "Fake.pkg/inside.txt", "not a package");
        testing_util::write_text(src / "SHOUT.PKG", "capital letters");
        v->tiny_cpio = make_pbzx_pkg(src / "Tiny.pkg", {{"./hello.txt", "hello\n"}, {"./bin/x", "x"}}, v->dir);
        const auto munki = testing_util::fixture("real/munki/munkitools-2.8.1.2847.pkg");
        if (fs::exists(munki)) {
            fs::copy_file(munki, src / "munkitools.pkg");
            v->has_munki = true;
        }
        v->volume = hfs_volume_of(src, v->dir);
        v->dmg = make_dmg(v->dir / "volume.dmg", {{"Apple_Free", Bytes(4096)}, {kHfsName, v->volume}});
        return v;
    }();
    return *built;
}

class XorrisoImage : public testing::TestWithParam<ExtractionMode> {
protected:
    void SetUp() override { KIV_REQUIRE_TOOL("xorriso"); KIV_REQUIRE_TOOL("bsdtar"); }
    kiv::FilesystemHandle open() { return ok(ok(DmgPipeline::open(volume().dmg.string())).open_filesystem_with_mode(GetParam())); }
};

TEST_P(XorrisoImage, QueriesAndWalkAnswerLikeTheSourceTree) {
    auto fs = open();
    EXPECT_EQ(fs.fs_type(), FsType::HfsPlus);
    EXPECT_EQ(fs.mode(), GetParam());
    const auto info = fs.volume_info();
    EXPECT_EQ(info.fs_type, FsType::HfsPlus);
    EXPECT_EQ(info.is_hfsx, false);
    EXPECT_TRUE(info.version == 4 || info.version == 5);
    EXPECT_TRUE(info.total_blocks && info.free_blocks && !info.name && !info.symlink_count);

    EXPECT_EQ(ok(fs.read_file("/usr/lib/liba.dylib")), testing_util::random_bytes(300000, 7));
    EXPECT_EQ(ok(fs.read_file("usr//bin/tool/")).size(), 20u);

    std::set<std::string> names;
    for (const auto& e : ok(fs.list_directory("/usr/lib"))) names.insert(e.name + ":" + std::string(core::entry_kind_name(e.kind)));
    EXPECT_EQ(names, (std::set<std::string>{"liba.dylib:File", "liba.link:Symlink"}));

    const auto st = ok(fs.stat("/usr/lib/liba.dylib"));
    EXPECT_EQ(st.fs_type, FsType::HfsPlus);
    EXPECT_EQ(st.kind, FsEntryKind::File);
    EXPECT_EQ(st.size, 300000u);
    EXPECT_FALSE(st.resource_fork_size);
    EXPECT_FALSE(st.nlink);
    EXPECT_GE(st.data_fork_extents.value_or(0), 1u);
    EXPECT_GT(st.create_time, 2082844800);  // seconds since 1904, not since 1970
    EXPECT_EQ(ok(fs.stat("/usr")).kind, FsEntryKind::Directory);
    EXPECT_EQ(ok(fs.stat("/usr")).data_fork_extents, 0u);

    for (const char* present : {"/", "", "/usr/bin/tool", "usr/lib/", "Fake.pkg", "/USR/Bin"}) EXPECT_TRUE(ok(fs.exists(present))) << present;
    for (const char* absent : {"/nope", "/usr/nope/x"}) EXPECT_FALSE(ok(fs.exists(absent))) << absent;
    // Only not-found means false: a path through a regular file is the library's error.
    EXPECT_EQ(error_of(fs.exists("/usr/bin/tool/x")).message(), "HFS+ error: not a directory: usr/bin/tool");

    std::set<std::string> seen;  // the walk, checked against stat
    for (const auto& e : ok(fs.walk())) {
        EXPECT_TRUE(e.path.starts_with("/")) << e.path;
        EXPECT_TRUE(e.path.ends_with("/" + e.name)) << e.path;
        seen.insert(e.path + ":" + std::string(core::entry_kind_name(e.kind)));
        if (e.kind == FsEntryKind::File) {
            EXPECT_EQ(ok(fs.stat(e.path)).size, e.size) << e.path;
        }
    }
    for (const char* want : {"/usr:Directory", "/usr/bin/tool:File", "/usr/lib/liba.link:Symlink", "/Fake.pkg:Directory",
                             "/Fake.pkg/inside.txt:File", "/Tiny.pkg:File", "/SHOUT.PKG:File"})
        EXPECT_TRUE(seen.contains(want)) << want;
    const auto missing = error_of(fs.read_file("/usr/bin/missing"));
    EXPECT_EQ(missing.kind(), Kind::HfsPlus);
    EXPECT_EQ(missing.message(), "HFS+ error: file not found: usr/bin/missing");
}

TEST_P(XorrisoImage, PackagesOpenInMemoryAndStreamedAlike) {
    auto fs = open();
    std::vector<std::string> paths = {"/Tiny.pkg"};
    if (volume().has_munki) paths.push_back("/munkitools.pkg");
    for (const auto& path : paths) {
        auto whole = ok(fs.open_pkg(path));
        auto streamed = ok(fs.open_pkg_streaming(path));
        ASSERT_EQ(whole.files().size(), streamed.files().size()) << path;
        for (size_t i = 0; i < whole.files().size(); ++i) EXPECT_EQ(whole.files()[i].path, streamed.files()[i].path);
        xara::PkgReader pkg(std::move(streamed));
        EXPECT_TRUE(pkg.payload(path == "/Tiny.pkg" ? "" : pkg.components().at(0))) << path;
    }
    const auto dir = error_of(fs.open_pkg_streaming("/Fake.pkg"));
    EXPECT_EQ(dir.kind(), Kind::HfsPlus);
    EXPECT_EQ(dir.message(), "HFS+ error: not a directory: /Fake.pkg");
    EXPECT_EQ(error_of(fs.open_pkg("/usr/bin/tool")).kind(), Kind::Xar);
    EXPECT_EQ(error_of(fs.open_pkg_streaming("/usr/bin/tool")).kind(), Kind::Xar);
    EXPECT_EQ(error_of(fs.open_pkg_streaming("/nope.pkg")).kind(), Kind::HfsPlus);
}

INSTANTIATE_TEST_SUITE_P(Modes, XorrisoImage, testing::Values(ExtractionMode::TempFile, ExtractionMode::InMemory),
                         [](const auto& info) { return info.param == ExtractionMode::TempFile ? "TempFile" : "InMemory"; });

TEST(FindPackages, ListsRegularFilesEndingInDotPkgOnly) {
    KIV_REQUIRE_TOOL("xorriso");
    KIV_REQUIRE_TOOL("bsdtar");
    const auto found = ok(kiv::pipeline::find_packages(volume().dmg.string()));
    std::set<std::string> want = {"/Tiny.pkg"};
    if (volume().has_munki) want.insert("/munkitools.pkg");
    EXPECT_EQ(std::set<std::string>(found.begin(), found.end()), want);
}

TEST(ExtractPkgPayload, DecodesThePbzxPayloadOfAPackage) {
    KIV_REQUIRE_TOOL("xorriso");
    KIV_REQUIRE_TOOL("bsdtar");
    const std::string dmg = volume().dmg.string();
    auto archive = ok(kiv::pipeline::extract_pkg_payload(dmg, "/Tiny.pkg", std::nullopt));
    EXPECT_EQ(archive.data(), volume().tiny_cpio);
    EXPECT_EQ(ok(archive.extract_file("./hello.txt")), (Bytes{'h', 'e', 'l', 'l', 'o', '\n'}));

    const auto no_component = error_of(kiv::pipeline::extract_pkg_payload(dmg, "/Tiny.pkg", "other.pkg"));
    EXPECT_EQ(no_component.kind(), Kind::Xar);
    EXPECT_EQ(error_of(kiv::pipeline::extract_pkg_payload(dmg, "/missing.pkg", std::nullopt)).kind(), Kind::HfsPlus);
    EXPECT_EQ(error_of(kiv::pipeline::extract_pkg_payload(dmg + ".nope", "/Tiny.pkg", std::nullopt)).kind(), Kind::Dmg);
    if (volume().has_munki) {
        // Its payloads are gzip CPIO, which is not PBZX.
        const auto e = error_of(kiv::pipeline::extract_pkg_payload(dmg, "/munkitools.pkg", "munkitools_core-2.8.1.2847.pkg"));
        EXPECT_EQ(e.kind(), Kind::Pbzx) << e.message();
        EXPECT_TRUE(e.message().starts_with("PBZX error: Invalid PBZX magic: expected 'pbzx'")) << e.message();
    }
}

// ---- Partition choice ----

struct Choice {
    const char* name;
    std::vector<const char*> partitions;  // "hfs", "badhfs", "apfs", "badapfs", "other"
    std::optional<FsType> opened;
    std::optional<Kind> error;
};

const Choice kChoices[] = {
    {"HfsWinsOverApfs", {"apfs", "hfs"}, FsType::HfsPlus, {}},
    {"DamagedHfsDoesNotFallBackToApfs", {"badhfs", "apfs"}, {}, Kind::HfsPlus},
    {"ApfsAlone", {"other", "apfs"}, FsType::Apfs, {}},
    {"LaterOfEqualApfsWins", {"badapfs", "apfs"}, FsType::Apfs, {}},
    {"LaterOfEqualApfsWinsEvenWhenDamaged", {"apfs", "badapfs"}, {}, Kind::Apfs},
    {"NoFilesystem", {"other", "other"}, {}, Kind::NoFilesystemPartition},
};

class PartitionChoice : public testing::TestWithParam<Choice> {};

TEST_P(PartitionChoice, OpensTheRightVolume) {
    KIV_REQUIRE_TOOL("xorriso");
    KIV_REQUIRE_TOOL("bsdtar");
    const Bytes apfs = testing_util::read_bytes(KIV_REQUIRE_FIXTURE("apfs.raw"));
    testing_util::ScratchDir dir;
    std::vector<std::pair<std::string, Bytes>> parts;
    for (std::string kind : GetParam().partitions) {
        if (kind == "hfs") parts.emplace_back(kHfsName, volume().volume);
        if (kind == "badhfs") {
            Bytes bad = volume().volume;
            bad[1024] = 'X';  // the volume header's signature
            parts.emplace_back(kHfsName, std::move(bad));
        }
        if (kind == "apfs") parts.emplace_back("disk image (Apple_APFS : 2)", apfs);
        if (kind == "badapfs") parts.emplace_back("disk image (Apple_APFS : 3)", Bytes(apfs.size(), 0x5A));
        if (kind == "other") parts.emplace_back("Apple_Free", Bytes(8192));
    }
    const auto dmg = make_dmg(dir / "choice.dmg", parts);
    for (auto mode : {ExtractionMode::TempFile, ExtractionMode::InMemory}) {
        auto pipeline = ok(DmgPipeline::open(dmg.string()));
        EXPECT_EQ(pipeline.partitions().size(), parts.size());
        auto fs = pipeline.open_filesystem_with_mode(mode);
        if (GetParam().opened) {
            ASSERT_TRUE(fs) << fs.error().message();
            EXPECT_EQ(fs->fs_type(), *GetParam().opened);
            EXPECT_TRUE(ok(fs->exists(*GetParam().opened == FsType::Apfs ? "/a_directory/a_file" : "/Tiny.pkg")));
        } else {
            EXPECT_EQ(error_of(fs).kind(), *GetParam().error);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Images, PartitionChoice, testing::ValuesIn(kChoices),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PartitionChoice, VolumeKindWithoutItsPartitionIsNamed) {
    KIV_REQUIRE_TOOL("xorriso");
    KIV_REQUIRE_TOOL("bsdtar");
    auto hfs_only = ok(DmgPipeline::open(volume().dmg.string()));
    const auto no_apfs = error_of(hfs_only.open_apfs_with_mode(ExtractionMode::TempFile));
    EXPECT_EQ(no_apfs.message(), "no APFS partition found in DMG");
    testing_util::ScratchDir dir;
    auto other = ok(DmgPipeline::open(make_dmg(dir / "o.dmg", {{"Apple_Free", Bytes(4096)}}).string()));
    EXPECT_EQ(error_of(other.open_hfs_with_mode(ExtractionMode::InMemory)).message(), "no HFS+ partition found in DMG");
    EXPECT_EQ(error_of(other.open_filesystem()).message(), "no filesystem partition found in DMG");
}

// ---- Temporary files and handle lifetime ----

// Points TMPDIR at a scratch directory for the test's duration.
class TempDirScope {
public:
    TempDirScope() {
        if (const char* old = std::getenv("TMPDIR")) old_ = old;
        setenv("TMPDIR", dir_.path().c_str(), 1);
    }
    ~TempDirScope() { old_ ? setenv("TMPDIR", old_->c_str(), 1) : unsetenv("TMPDIR"); }
    bool empty() const { return fs::is_empty(dir_.path()); }

private:
    testing_util::ScratchDir dir_;
    std::optional<std::string> old_;
};

TEST(Handles, AreIndependentAndLeaveNoFileBehind) {
    KIV_REQUIRE_TOOL("xorriso");
    KIV_REQUIRE_TOOL("bsdtar");
    const fs::path dmg = volume().dmg;  // built before TMPDIR moves
    TempDirScope tmp;
    std::optional<kiv::FilesystemHandle> first, second;
    {
        auto pipeline = ok(DmgPipeline::open(dmg.string()));
        first = ok(pipeline.open_filesystem());
        second = ok(pipeline.open_filesystem());
        EXPECT_TRUE(tmp.empty());
    }  // handles outlive their pipeline
    auto streamed = ok(first->open_pkg_streaming("/Tiny.pkg"));
    first.reset();
    EXPECT_EQ(ok(second->read_file("/usr/libexec/helper")).size(), 6u);
    EXPECT_EQ(streamed.files().size(), 2u);
    EXPECT_TRUE(tmp.empty());
}

TEST(Handles, DecodeFailureIsADmgErrorAndLeavesNoFile) {
    KIV_REQUIRE_TOOL("xorriso");
    KIV_REQUIRE_TOOL("bsdtar");
    testing_util::ScratchDir dir;
    udif::DmgBuilder builder;
    builder.skip_checksums = true;
    builder.add_partition(kHfsName, volume().volume);
    const auto path = dir / "broken.dmg";
    ASSERT_TRUE(builder.build(path.string()));
    Bytes image = testing_util::read_bytes(path);
    for (size_t i = 2; i < 64; ++i) image[i] ^= 0xFF;  // inside the first zlib run
    testing_util::write_bytes(path, image);
    TempDirScope tmp;
    auto pipeline = ok(DmgPipeline::open(path.string()));
    for (auto mode : {ExtractionMode::TempFile, ExtractionMode::InMemory}) {
        const auto e = error_of(pipeline.open_filesystem_with_mode(mode));
        EXPECT_EQ(e.kind(), Kind::Dmg) << e.message();
    }
    EXPECT_TRUE(tmp.empty());
}

// ---- Real images made by hdiutil ----

struct RealImage {
    const char* fixture;
    FsType type;
    uint64_t min_files;
};

const RealImage kRealImages[] = {
    {"hfsplus_zlib.dmg", FsType::HfsPlus, 1},
    {"real/sparkle/SparkleTestCodeSignApp.dmg", FsType::HfsPlus, 100},
    {"real/sparkle/SparkleTestCodeSign_apfs_lzma_aux_files.dmg", FsType::Apfs, 100},
    {"real/homebrew/container.dmg", FsType::HfsPlus, 1},
    {"real/homebrew/container-apfs.dmg", FsType::Apfs, 1},
    {"real/plaso/spotlight.10.13.dmg", FsType::HfsPlus, 10},
};

class RealImages : public testing::TestWithParam<RealImage> {};

TEST_P(RealImages, BothModesAgreeAndEveryFileReadsAtItsSize) {
    const fs::path path = KIV_REQUIRE_FIXTURE(GetParam().fixture);
    auto pipeline = ok(DmgPipeline::open(path.string()));
    auto temp = ok(pipeline.open_filesystem_with_mode(ExtractionMode::TempFile));
    auto memory = ok(pipeline.open_filesystem_with_mode(ExtractionMode::InMemory));
    EXPECT_EQ(temp.fs_type(), GetParam().type);
    const auto info = temp.volume_info();
    EXPECT_EQ(info.fs_type, GetParam().type);
    EXPECT_EQ(info.name.has_value(), GetParam().type == FsType::Apfs);
    EXPECT_EQ(info.is_hfsx.has_value(), GetParam().type == FsType::HfsPlus);
    EXPECT_EQ(info.file_count, memory.volume_info().file_count);

    const auto walked = ok(temp.walk());
    const auto walked_in_memory = ok(memory.walk());
    ASSERT_EQ(walked.size(), walked_in_memory.size());
    uint64_t counts[3] = {};
    for (size_t i = 0; i < walked.size(); ++i) {
        ++counts[size_t(walked[i].kind)];
        const auto& e = walked[i];
        EXPECT_EQ(e.path, walked_in_memory[i].path);
        EXPECT_TRUE(ok(temp.exists(e.path))) << e.path;
        const auto st = ok(memory.stat(e.path));
        EXPECT_EQ(st.fs_type, GetParam().type);
        if (e.kind != FsEntryKind::File) continue;
        EXPECT_EQ(st.size, e.size) << e.path;
        EXPECT_EQ(ok(temp.read_file(e.path)), ok(memory.read_file(e.path))) << e.path;
    }
    EXPECT_GE(counts[0], GetParam().min_files);
    // No package on these volumes: the streamed open reaches the archive reader, or the volume's not-found.
    const Kind volume_kind = GetParam().type == FsType::Apfs ? Kind::Apfs : Kind::HfsPlus;
    EXPECT_EQ(error_of(temp.open_pkg_streaming("/no such.pkg")).kind(), volume_kind);
    for (const auto& e : walked)
        if (e.kind == FsEntryKind::File && e.size > 0) {
            EXPECT_EQ(error_of(temp.open_pkg_streaming(e.path)).kind(), Kind::Xar) << e.path;
            break;
        }
    // The volume's own counts agree with the walk.  HFS+ counts symbolic links among the files.
    EXPECT_EQ(info.directory_count, counts[1]);
    if (GetParam().type == FsType::HfsPlus) {
        EXPECT_EQ(info.file_count, counts[0] + counts[2]);
    } else {
        EXPECT_EQ(info.file_count, counts[0]);
        EXPECT_EQ(info.symlink_count, counts[2]);
        EXPECT_FALSE(info.total_blocks || info.version || info.is_hfsx);
        const auto root = ok(memory.stat("/"));
        EXPECT_TRUE(root.nlink && !root.data_fork_extents && !root.resource_fork_size);
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RealImages, testing::ValuesIn(kRealImages), [](const auto& info) {
    std::string name = fs::path(info.param.fixture).stem().string();
    std::erase_if(name, [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); });
    return name;
});

TEST(RealImages, EncryptedImageFailsAsDmg) {
    const fs::path path = KIV_REQUIRE_FIXTURE("real/sparkle/SparkleTestCodeSignApp.enc.dmg");
    EXPECT_EQ(error_of(DmgPipeline::open(path.string())).kind(), Kind::Dmg);
    EXPECT_EQ(error_of(kiv::pipeline::find_packages(path.string())).kind(), Kind::Dmg);
}

}  // namespace
