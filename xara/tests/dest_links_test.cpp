// XAR extraction into a destination holding symbolic links.
#include <gtest/gtest.h>

#include "testing/planted_link.hpp"
#include "testing/testing.hpp"
#include "xara/xara.hpp"

namespace {

// An archive written by bsdtar holding usr/bin/tool, usr/lib/liba.dylib and usr/empty/: a symbolic link in the way fails
// the extraction naming it, at a file's own path too, and its target is left as it was.
TEST(Extract, SymbolicLinksInTheDestinationAreNotFollowed) {
    KIV_REQUIRE_TOOL("bsdtar");
    testing_util::ScratchDir work;
    testing_util::write_planted_tree(work / "src");
    const auto made = testing_util::run("bsdtar -c --format xar -f " + testing_util::shell_quote((work / "a.xar").string()) +
                                        " -C " + testing_util::shell_quote((work / "src").string()) + " usr 2>&1");
    ASSERT_EQ(made.status, 0) << made.output;
    testing_util::check_planted_rows(work / "src", "invalid path: symbolic link in the way: ",
                                     [&](const char* base, const std::filesystem::path& dest) -> std::optional<std::string> {
        auto archive = xara::XarArchive::open_path((work / "a.xar").string()).value();
        const auto got = archive.extract_path(base, dest.string());
        if (got) return std::nullopt;
        EXPECT_EQ(got.error().kind(), xara::XarErrorKind::InvalidPath);
        return got.error().message();
    });
}

}  // namespace
