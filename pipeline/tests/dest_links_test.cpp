// Volume extraction into a destination holding symbolic links.
#include <gtest/gtest.h>

#include "test_support.hpp"
#include "testing/planted_link.hpp"

namespace {

using namespace pipeline_test;

// A symbolic link already below the destination is never gone through: where the volume has a folder it fails
// the extraction naming the link, at a file's own path too, and its target is left as it was.
// The destination itself may be a link.
TEST(ExtractPath, SymbolicLinksInTheDestinationAreNotFollowed) {
    KIV_REQUIRE_VOLUME();
    for (const auto& row : testing_util::kPlantedLinkRows) {
        for (auto mode : kModes) {
            SCOPED_TRACE(std::string(row.base) + " " + row.link);
            const testing_util::PlantedLink planted(row);
            const auto got = open_fs(volume().dmg, mode).extract_path(row.base, planted.dest());
            std::set<std::string> outside{"victim"};
            if (!*row.link) {
                ok(got);
                outside.merge(testing_util::listing(volume().src / "usr"));  // written through dest, as asked
            } else {
                EXPECT_EQ(error_of(got).message(), "invalid path: symbolic link in the way: " + planted.at());
                EXPECT_EQ(error_of(got).kind(), Kind::InvalidPath);
            }
            EXPECT_EQ(planted.outside(), outside);
        }
    }
}

}  // namespace
