// XAR extraction into a destination holding symbolic links.
#include <gtest/gtest.h>

#include "testing/planted_link.hpp"
#include "testing/testing.hpp"
#include "xara/xara.hpp"

namespace {

namespace fs = std::filesystem;

// An archive written by bsdtar holding usr/bin/tool, usr/lib/liba.dylib and usr/empty/: a symbolic link in the way fails
// the extraction naming it, at a file's own path too, and its target is left as it was.
TEST(Extract, SymbolicLinksInTheDestinationAreNotFollowed) {
    KIV_REQUIRE_TOOL("bsdtar");
    testing_util::ScratchDir work;
    std::filesystem::create_directories(work / "src/usr/bin");
    std::filesystem::create_directories(work / "src/usr/lib");
    std::filesystem::create_directories(work / "src/usr/empty");
    testing_util::write_text(work / "src/usr/bin/tool", "tool");
    testing_util::write_text(work / "src/usr/lib/liba.dylib", "lib");
    const auto made = testing_util::run("bsdtar -c --format xar -f " + testing_util::shell_quote((work / "a.xar").string()) +
                                        " -C " + testing_util::shell_quote((work / "src").string()) + " usr 2>&1");
    ASSERT_EQ(made.status, 0) << made.output;
    auto rows = std::vector(std::begin(testing_util::kPlantedLinkRows), std::end(testing_util::kPlantedLinkRows));
    rows.push_back(testing_util::kEmptyFolderRow);
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.base) + " " + row.link);
        auto archive = xara::XarArchive::open_path((work / "a.xar").string()).value();
        const testing_util::PlantedLink planted(row);
        const auto got = archive.extract_path(row.base, planted.dest().string());
        std::set<std::string> outside{"victim"};
        if (!*row.link) {
            EXPECT_TRUE(got) << got.error().message();
            outside.merge(testing_util::listing(work / "src/usr"));  // written through dest, as asked
        } else {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().message(), "invalid path: symbolic link in the way: " + planted.at());
            EXPECT_EQ(got.error().kind(), xara::XarErrorKind::InvalidPath);
        }
        EXPECT_EQ(planted.outside(), outside);
    }
}

}  // namespace
