// Reaching folders below an extraction's destination without following links.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "core/dest_dir.hpp"
#include "core/extract.hpp"
#include "testing/testing.hpp"

namespace {

namespace fs = std::filesystem;

// The error of a failed result as text: the link's path, or the I/O error's message.
template <class T>
std::string error_of(const core::PlaceResult<T>& r) {
    if (r) return "ok";
    return r.error().link() ? "link " + *r.error().link() : r.error().io_error().message();
}

// What stands below dest where a folder goes, and what making the folder a/b/c (then placing the file a/b/c/f) gives.
TEST(DestDir, WhatStandsInTheWay) {
    const std::pair<const char*, std::string> rows[] = {
        {"", "ok"},
        {"a -> outside", "link {}/a"},
        {"a/b -> outside", "link {}/a/b"},
        {"a/b/c -> outside", "link {}/a/b/c"},
        {"a/b = file", "File exists (os error 17)"},
        {"a/b/c/f -> outside", "link {}/a/b/c/f"},  // only when the file is opened
    };
    for (const auto& [setup, want] : rows) {
        SCOPED_TRACE(setup);
        testing_util::ScratchDir work;
        const fs::path dest = work / "dest";
        fs::create_directories(work / "outside");
        if (const std::string s = setup; !s.empty()) {
            const fs::path at = dest / s.substr(0, s.find(' '));
            fs::create_directories(at.parent_path());
            s.ends_with("outside") ? fs::create_symlink(work / "outside", at) : testing_util::write_text(at, "x");
        }
        auto dir = core::DestDir::open(dest).value();
        auto got = dir.make_dirs("a/./b//c/");
        std::string text = error_of(got);
        if (got) {
            const auto place = dir.place_of("a/b/c/f").value();
            text = error_of(core::open_output_file_at(place.dir, place.name, dir, "a/b/c/f"));
        }
        std::string expected = want;
        if (auto at = expected.find("{}"); at != std::string::npos) expected.replace(at, 2, dest.string());
        EXPECT_EQ(text, expected);
        EXPECT_TRUE(fs::is_empty(work / "outside"));
    }
}

// A tree deeper than the folders kept open: going back up reopens them from the destination, and a link put
// in place of one of them meanwhile is still found.  NUL bytes and ".." are refused, the destination may be a link.
TEST(DestDir, DeepTreesAndRefusedNames) {
    testing_util::ScratchDir work;
    fs::create_directories(work / "real");
    fs::create_symlink(work / "real", work / "dest");
    auto dir = core::DestDir::open(work / "dest").value();
    std::string deep;
    for (int i = 0; i < 80; ++i) deep += "d" + std::to_string(i) + "/";
    ASSERT_EQ(error_of(dir.make_dirs(deep)), "ok");
    // From the bottom to a folder beside each level, whether that level's parent is still open or not.
    for (size_t end = deep.find('/'); end != std::string::npos; end = deep.find('/', end + 1)) {
        const std::string side = deep.substr(0, end) + "/side";
        ASSERT_EQ(error_of(dir.make_dirs(deep)), "ok");
        ASSERT_EQ(error_of(dir.make_dirs(side)), "ok") << side;
        EXPECT_TRUE(fs::is_directory(work / "real" / side)) << side;
    }
    const std::string d5 = deep.substr(0, deep.find("d6/"));
    const std::string d40 = deep.substr(0, deep.find("d41/") - 1);
    fs::rename(work / "real" / d40, work / "moved");
    fs::create_symlink(work / "moved", work / "real" / d40);
    EXPECT_EQ(error_of(dir.make_dirs(d5 + "other")), "ok");
    EXPECT_EQ(error_of(dir.make_dirs(deep + "y")), "link " + (work / "dest" / d40).string());
    EXPECT_FALSE(fs::exists(work / "moved" / deep.substr(d40.size() + 1) / "y"));
    EXPECT_EQ(error_of(dir.make_dirs(std::string("a\0b", 3))), "file name contained an unexpected NUL byte");
    EXPECT_EQ(error_of(dir.make_dirs("a/../b")), "a \"..\" component would leave the destination");
    EXPECT_EQ(error_of(dir.place_of("./")), "Is a directory (os error 21)");
}

}  // namespace
