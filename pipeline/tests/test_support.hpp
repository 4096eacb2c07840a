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
using kiv::DmgPipeline, kiv::ExtractionMode, kiv::FsEntryKind, kiv::FsType;
using Kind = kiv::KivError::Kind;

inline const std::string kHfsName = "disk image (Apple_HFS : 1)";
inline constexpr ExtractionMode kModes[] = {ExtractionMode::TempFile, ExtractionMode::InMemory};

// One xorriso volume, built once, of the tree at `src`: usr/{bin/tool, lib/{liba.dylib, liba.link ->
// liba.dylib}, libexec/helper}, Fake.pkg/ (a folder), SHOUT.PKG, Tiny.pkg (PBZX payload `tiny_cpio`)
// and, when the fixture is there, munkitools.pkg (a real package).
struct Volume {
    testing_util::ScratchDir dir;
    fs::path src, dmg;
    Bytes volume, tiny_cpio;
};
const Volume& volume();  // needs xorriso and bsdtar: call through KIV_REQUIRE_VOLUME
#define KIV_REQUIRE_VOLUME()       \
    KIV_REQUIRE_TOOL("xorriso");   \
    KIV_REQUIRE_TOOL("bsdtar")

// A UDIF image of the given partitions at `path` (zlib runs).
fs::path make_dmg(const fs::path& path, std::vector<std::pair<std::string, Bytes>> partitions, bool checksums = true);
// The filesystem of the image at `dmg`, or a thrown failure.
kiv::FilesystemHandle open_fs(const fs::path& dmg, ExtractionMode mode = ExtractionMode::TempFile);

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
