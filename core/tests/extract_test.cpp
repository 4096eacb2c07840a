// Output files of an extraction: what already stands in a file's place.
#include <gtest/gtest.h>

#include "core/extract.hpp"
#include "testing/occupant.hpp"
#include "testing/testing.hpp"

namespace {

namespace fs = std::filesystem;
using testing_util::Occupant;

// Whatever stands where a file goes is replaced by a new regular file holding the new bytes, with nothing
// written through it: not into a file it is a hard link of, a FIFO or a device.  A symbolic link fails as a
// link in the way, a folder as a folder.
TEST(OutputFile, ReplacesWhatStandsInItsPlace) {
    for (const Occupant kind : testing_util::kOccupants) {
        SCOPED_TRACE(testing_util::name_of(kind));
        testing_util::ScratchDir work;
        const fs::path at = work / "dest/a/t";
        const testing_util::PlantedOccupant planted(kind, at, work / "outside");
        if (!planted.made()) continue;
        auto dest = core::DestDir::open(work / "dest").value();
        const auto got = core::write_output_file(dest, "a/t", core::Partial::Remove,
                                                 [](core::ByteSink& sink) -> core::PlaceResult<uint64_t> {
            KIV_TRY(sink.write_all(std::vector<uint8_t>{'n', 'e', 'w'}));
            return 3;
        });
        if (kind == Occupant::SymbolicLink) {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().link() ? *got.error().link() : "", at.string());
        } else if (kind == Occupant::Folder) {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().io_error().message(), "Is a directory (os error 21)");
        } else {
            EXPECT_TRUE(got);
        }
        const char* want = kind == Occupant::SymbolicLink ? "link" : kind == Occupant::Folder ? "folder" : "file new";
        EXPECT_EQ(testing_util::standing(at), want);
        EXPECT_EQ(planted.harm(), "");
    }
}

}  // namespace
