// A symbolic link planted in an extraction's destination, for the tables every
// extractor runs: a link where the extracted tree has a folder or a file must
// never be gone through, while the destination itself may be a link.
#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "testing/testing.hpp"

namespace testing_util {

// A base to extract, where the link stands below the destination ("": it is
// the destination) and whether it points to a folder (else to a file).
struct PlantedLinkRow {
    const char* base;
    const char* link;
    bool to_folder;
};

// For an archive or volume holding usr/bin/tool and usr/lib/...: a link to a
// folder where a folder goes, at any depth; a link where a file goes; the
// destination itself a link.
inline constexpr PlantedLinkRow kPlantedLinkRows[] = {
    {"/", "usr", true}, {"/", "usr/lib", true}, {"usr", "lib", true}, {"usr/bin", "tool", false}, {"usr", "", true}};
// For trees that also hold the empty folder usr/empty: a link where nothing but that folder goes.
inline constexpr PlantedLinkRow kEmptyFolderRow = {"/", "usr/empty", true};

// Relative paths below `root`, folders ending in "/", symbolic links left out.
inline std::set<std::string> listing(const fs::path& root) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (!e.is_symlink()) out.insert(fs::relative(e.path(), root).string() + (e.is_directory() ? "/" : ""));
    return out;
}

// A scratch folder with `outside/victim` and the row's link to `outside` (or to the victim) below `dest`.
class PlantedLink {
public:
    explicit PlantedLink(const PlantedLinkRow& row)
        : dest_(scratch_ / "dest"), outside_(scratch_ / "outside"), at_(*row.link ? dest_ / row.link : dest_) {
        fs::create_directories(outside_);
        write_text(outside_ / "victim", "v");
        fs::create_directories(at_.parent_path());
        fs::create_symlink(row.to_folder ? outside_ : outside_ / "victim", at_);
    }

    const fs::path& dest() const { return dest_; }
    // The path of the link, as an error names it.
    std::string at() const { return at_.string(); }
    // What the link's target holds: only the victim, unchanged, unless the destination is the link.
    std::set<std::string> outside() const {
        auto out = listing(outside_);
        if (read_bytes(outside_ / "victim") != std::vector<uint8_t>{'v'}) out.insert("victim overwritten");
        return out;
    }

private:
    ScratchDir scratch_;
    fs::path dest_, outside_, at_;
};

// Writes usr/bin/tool, usr/lib/liba.dylib and the empty folder usr/empty below `src`, for an archiver to pack.
inline void write_planted_tree(const fs::path& src) {
    fs::create_directories(src / "usr/bin");
    fs::create_directories(src / "usr/lib");
    fs::create_directories(src / "usr/empty");
    write_text(src / "usr/bin/tool", "tool");
    write_text(src / "usr/lib/liba.dylib", "lib");
}

// Runs every row, the empty-folder one included, over an archive of the tree `src` holds:
// `extract(base, dest)` returns the error's message, or nullopt on success.  A link in the way
// fails with `link_error` followed by its path, and its target is left as it was.
template <class Extract>
void check_planted_rows(const fs::path& src, const std::string& link_error, Extract&& extract) {
    auto rows = std::vector(std::begin(kPlantedLinkRows), std::end(kPlantedLinkRows));
    rows.push_back(kEmptyFolderRow);
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.base) + " " + row.link);
        const PlantedLink planted(row);
        const std::optional<std::string> got = extract(row.base, planted.dest());
        std::set<std::string> outside{"victim"};
        if (!*row.link) {
            EXPECT_EQ(got, std::nullopt);
            outside.merge(listing(src / "usr"));  // written through dest, as asked
        } else {
            EXPECT_EQ(got, link_error + planted.at());
        }
        EXPECT_EQ(planted.outside(), outside);
    }
}

}  // namespace testing_util
