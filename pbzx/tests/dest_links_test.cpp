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
    std::filesystem::create_directories(work / "src/usr/bin");
    std::filesystem::create_directories(work / "src/usr/lib");
    std::filesystem::create_directories(work / "src/usr/empty");
    testing_util::write_text(work / "src/usr/bin/tool", "tool");
    testing_util::write_text(work / "src/usr/lib/liba.dylib", "lib");
    const auto made = testing_util::run("cd " + testing_util::shell_quote((work / "src").string()) +
                                        " && bsdtar -c --format newc -f - ./usr 2>/dev/null");
    ASSERT_EQ(made.status, 0);
    const auto archive = pbzx::Archive::from_cpio(pbzx_test::bytes(made.output));
    auto rows = std::vector(std::begin(testing_util::kPlantedLinkRows), std::end(testing_util::kPlantedLinkRows));
    rows.push_back(testing_util::kEmptyFolderRow);
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.base) + " " + row.link);
        const testing_util::PlantedLink planted(row);
        const auto got = archive.extract_path(row.base, planted.dest().string());
        std::set<std::string> outside{"victim"};
        if (!*row.link) {
            EXPECT_TRUE(got) << got.error().message();
            outside.merge(testing_util::listing(work / "src/usr"));  // written through dest, as asked
        } else {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().message(), "Invalid path: Symbolic link in the way: " + planted.at());
            EXPECT_EQ(got.error().kind(), pbzx::PbzxErrorKind::InvalidPath);
        }
        EXPECT_EQ(planted.outside(), outside);
    }
}

}  // namespace
