// CPIO extraction into a destination holding symbolic links.
#include <gtest/gtest.h>

#include "helpers.hpp"
#include "testing/planted_link.hpp"
#include "testing/testing.hpp"

namespace {

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

}  // namespace
