// CPIO extraction into a destination holding symbolic links.
#include <gtest/gtest.h>

#include "helpers.hpp"
#include "testing/occupant.hpp"
#include "testing/planted_link.hpp"
#include "testing/testing.hpp"

namespace {

namespace fs = std::filesystem;

// A newc archive written by bsdtar holding usr/bin/tool, usr/lib/liba.dylib and usr/empty/, with names as macOS payloads
// have them ("./usr/..."): a symbolic link in the way fails the extraction naming it, at a file's own path too,
// and its target is left as it was.
TEST(CpioExtractTest, SymbolicLinksInTheDestinationAreNotFollowed) {
    KIV_REQUIRE_TOOL("bsdtar");
    testing_util::ScratchDir work;
    testing_util::write_planted_tree(work / "src");
    const auto made = testing_util::run("cd " + testing_util::shell_quote((work / "src").string()) +
                                        " && bsdtar -c --format newc -f - ./usr 2>/dev/null");
    ASSERT_EQ(made.status, 0);
    const auto archive = pbzx::Archive::from_cpio(pbzx_test::bytes(made.output));
    testing_util::check_planted_rows(work / "src", "Invalid path: Symbolic link in the way: ",
                                     [&](const char* base, const std::filesystem::path& dest) -> std::optional<std::string> {
        const auto got = archive.extract_path(base, dest.string());
        if (got) return std::nullopt;
        EXPECT_EQ(got.error().kind(), pbzx::PbzxErrorKind::InvalidPath);
        return got.error().message();
    });
}

// A link set (usr/bin/tool and its hard link tool2, written by bsdtar): whatever stands at either name, the
// first one written or the one linked to it, is replaced and both end as names of one file; nothing is written
// through it.  A symbolic link or a folder there fails the extraction.
TEST(CpioExtractTest, WhatStandsAtALinkSetsNamesIsReplaced) {
    KIV_REQUIRE_TOOL("bsdtar");
    testing_util::ScratchDir work;
    fs::create_directories(work / "src/usr/bin");
    testing_util::write_text(work / "src/usr/bin/tool", "tool");
    fs::create_hard_link(work / "src/usr/bin/tool", work / "src/usr/bin/tool2");
    const auto made = testing_util::run("cd " + testing_util::shell_quote((work / "src").string()) +
                                        " && bsdtar -c --format newc -f - ./usr 2>/dev/null");
    ASSERT_EQ(made.status, 0);
    const auto archive = pbzx::Archive::from_cpio(pbzx_test::bytes(made.output));
    for (const char* name : {"tool", "tool2"}) {
        for (const auto kind : testing_util::kOccupants) {
            SCOPED_TRACE(std::string(name) + " " + testing_util::name_of(kind));
            testing_util::ScratchDir scratch;
            const fs::path at = scratch / "dest/usr/bin" / name;
            const testing_util::PlantedOccupant planted(kind, at, scratch / "outside");
            if (!planted.made()) continue;
            const auto got = pbzx_test::error_of(archive.extract_all((scratch / "dest").string()));
            using enum testing_util::Occupant;
            EXPECT_EQ(got, kind == SymbolicLink ? "Invalid path: Symbolic link in the way: " + at.string()
                           : kind == Folder     ? "I/O error: Is a directory (os error 21)"
                                                : "no error");
            if (kind != SymbolicLink && kind != Folder)
                for (const char* each : {"tool", "tool2"})
                    EXPECT_EQ(testing_util::standing(scratch / "dest/usr/bin" / each), "file tool +1 links") << each;
            EXPECT_EQ(planted.harm(), "");
        }
    }
}

}  // namespace
