#include "test_support.hpp"

#include <cstring>
#include <map>

#include "core/endian.hpp"
#include "pbzx/writer.hpp"
#include "udif/writer.hpp"

namespace pipeline_test {

using testing_util::run;
using testing_util::shell_quote;

fs::path make_dmg(const fs::path& path, std::vector<std::pair<std::string, Bytes>> partitions, bool checksums) {
    udif::DmgBuilder builder;
    builder.skip_checksums = !checksums;
    for (auto& [name, data] : partitions) builder.add_partition(name, std::move(data));
    auto built = builder.build(path.string());
    EXPECT_TRUE(built) << built.error().message();
    return path;
}

namespace {

// The HFS+ volume xorriso writes for the tree at `src`.
Bytes hfs_volume_of(const fs::path& src, const fs::path& dir) {
    const auto iso = dir / "volume.iso";
    const auto made = run("LC_ALL=C.UTF-8 xorriso -as mkisofs -hfsplus -o " + shell_quote(iso.string()) + " " +
                          shell_quote(src.string()) + " 2>&1");
    EXPECT_EQ(made.status, 0) << made.output;
    // The Apple partition map: 512-byte "PM" entries from block 1, start block at 8, type at 48.
    const Bytes image = testing_util::read_bytes(iso);
    for (size_t at = 512; at + 512 <= image.size() && image[at] == 'P' && image[at + 1] == 'M'; at += 512)
        if (std::memcmp(&image[at + 48], "Apple_HFS", 10) == 0)
            return Bytes(image.begin() + ptrdiff_t(std::min<size_t>(core::load_be32(&image[at + 8]) * 512ull, image.size())),
                         image.end());
    ADD_FAILURE() << "no Apple_HFS partition in the ISO";
    return {};
}

// A flat package made by bsdtar whose Payload is PBZX of a CPIO archive holding `members`; returns the CPIO bytes.
Bytes make_pbzx_pkg(const fs::path& pkg, const std::map<std::string, std::string>& members, const fs::path& staging) {
    pbzx::CpioBuilder cpio;
    for (const auto& [name, text] : members)
        EXPECT_TRUE(cpio.add_file(name, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), 0644));
    const Bytes data = cpio.finish();
    fs::create_directories(staging);
    auto writer = ok(pbzx::PbzxWriter::create((staging / "Payload").string(), 4096));
    EXPECT_TRUE(writer.write_cpio(data) && writer.finish());
    testing_util::write_text(staging / "PackageInfo", "<pkg-info identifier=\"test.tiny\"/>\n");
    const auto made = run("cd " + shell_quote(staging.string()) + " && bsdtar --format xar -cf " +
                          shell_quote(pkg.string()) + " PackageInfo Payload 2>&1");
    EXPECT_EQ(made.status, 0) << made.output;
    return data;
}

}  // namespace

const Volume& volume() {
    static const std::unique_ptr<Volume> built = [] {  // the scratch directory goes at exit
        auto v = std::make_unique<Volume>();
        const fs::path src = v->src = v->dir / "src";
        for (const char* dir : {"usr/bin", "usr/lib", "usr/libexec", "Fake.pkg"}) fs::create_directories(src / dir);
        testing_util::write_text(src / "usr/bin/tool", "#!/bin/sh\necho tool\n");
        testing_util::write_bytes(src / "usr/lib/liba.dylib", testing_util::random_bytes(300000, 7));
        testing_util::write_text(src / "usr/libexec/helper", "helper");
        fs::create_symlink("liba.dylib", src / "usr/lib/liba.link");
        testing_util::write_text(src / "Fake.pkg/inside.txt", "not a package");
        testing_util::write_text(src / "SHOUT.PKG", "capital letters");
        v->tiny_cpio = make_pbzx_pkg(src / "Tiny.pkg", {{"./hello.txt", "hello\n"}, {"./bin/x", "x"}}, v->dir / "pkg");
        const auto munki = testing_util::fixture("real/munki/munkitools-2.8.1.2847.pkg");
        if (fs::exists(munki)) fs::copy_file(munki, src / "munkitools.pkg");
        v->volume = hfs_volume_of(src, v->dir.path());
        v->dmg = make_dmg(v->dir / "volume.dmg", {{"Apple_Free", Bytes(4096)}, {kHfsName, v->volume}});
        return v;
    }();
    return *built;
}

kiv::FilesystemHandle open_fs(const fs::path& dmg, kiv::ExtractionMode mode) {
    return ok(ok(kiv::DmgPipeline::open(dmg.string())).open_filesystem_with_mode(mode));
}

}  // namespace pipeline_test
