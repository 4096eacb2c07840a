// Images and packages built at test time with real tools.
#pragma once

#include <expected>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "pipeline/pipeline.hpp"
#include "testing/testing.hpp"

namespace pipeline_test {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

inline const std::string kHfsName = "disk image (Apple_HFS : 1)";
inline constexpr kiv::ExtractionMode kModes[] = {kiv::ExtractionMode::TempFile, kiv::ExtractionMode::InMemory};

// One xorriso volume, built once, of the tree at `src`: usr/{bin/tool, lib/{liba.dylib, liba.link ->
// liba.dylib}, libexec/helper}, Fake.pkg/ (a folder), SHOUT.PKG, Tiny.pkg (PBZX payload `tiny_cpio`)
// and, when the fixture is there, munkitools.pkg (a real package).
struct Volume {
    testing_util::ScratchDir dir;
    fs::path src, dmg;
    Bytes volume, tiny_cpio;
    bool has_munki = false;
};
const Volume& volume();  // needs xorriso and bsdtar: call through KIV_REQUIRE_VOLUME
#define KIV_REQUIRE_VOLUME()       \
    KIV_REQUIRE_TOOL("xorriso");   \
    KIV_REQUIRE_TOOL("bsdtar")

// The HFS+ volume xorriso writes for the tree at `src`.
Bytes hfs_volume_of(const fs::path& src, const testing_util::ScratchDir& dir);
// A UDIF image of the given partitions at `path` (zlib runs).
fs::path make_dmg(const fs::path& path, std::vector<std::pair<std::string, Bytes>> partitions, bool checksums = true);
// A flat package made by bsdtar whose Payload is PBZX of a CPIO archive
// holding `members`; returns the CPIO bytes.
Bytes make_pbzx_pkg(const fs::path& pkg, const std::vector<std::pair<std::string, std::string>>& members,
                    const testing_util::ScratchDir& dir);

// The filesystem of the image at `dmg`, or a thrown failure.
kiv::FilesystemHandle open_fs(const fs::path& dmg, kiv::ExtractionMode mode = kiv::ExtractionMode::TempFile);

// The error of a failed result, or a test failure.
template <class T>
kiv::KivError error_of(const kiv::Result<T>& r) {
    EXPECT_FALSE(r) << "expected a failure";
    return r ? kiv::KivError::no_entries("<success>") : r.error();
}

// The value of a successful result of any library; a failure throws, which fails the test.
template <class T, class E>
T ok(std::expected<T, E> r) {
    if (!r) throw std::runtime_error(r.error().message());
    return std::move(*r);
}

}  // namespace pipeline_test
