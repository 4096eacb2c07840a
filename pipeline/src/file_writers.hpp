// Writing a volume's files to disk on several workers at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <variant>
#include <vector>

#include "pipeline/pipeline.hpp"

namespace kiv::detail {

// Files wait in a batch and are written together, each worker reading
// through a volume of its own over a view of the decoded partition (or the
// handle alone, when the partition allows no views).  The batch is written
// before any directory is made where a waiting file goes, and before a
// second file of the same path, so that what reaches the disk when all goes
// well, and the first error in the caller's order, are those of writing one
// entry after the other.  Paths given must outlive the batch.
class FileWriters {
public:
    // `partition`: the source the handle's volume reads, or nullptr.
    FileWriters(FilesystemHandle& fs, core::ByteSource* partition);

    // Makes `dir` and its missing parents, unless these writers already did.
    Result<void> ensure_dirs(std::string_view dir);
    // Queues the walk entry's contents for the file at `out`.
    Result<void> add(const FsWalkEntry& entry, const std::string& out);
    // Writes the waiting files; the error is that of the first failing one.
    Result<void> write_batch();

    uint64_t files() const { return files_; }
    uint64_t bytes() const { return bytes_; }

private:
    struct Job {
        const FsWalkEntry* entry;
        const std::string* out;
    };
    using Volume = std::variant<std::monostate, hfsplus::HfsVolume, apfs::ApfsVolume>;

    // Whether a waiting file lies at `dir` or at one of its parents.
    bool waits_at_or_above(std::string_view dir) const;
    Result<uint64_t> copy(size_t lane, const Job& job);
    Result<void> open_lane(Volume& volume);

    FilesystemHandle& fs_;
    core::ByteSource* partition_;
    std::vector<Volume> lanes_;
    std::vector<Job> batch_;
    std::unordered_set<std::string_view> waiting_;
    std::unordered_set<std::string> made_;
    uint64_t files_ = 0, bytes_ = 0;
};

}  // namespace kiv::detail
