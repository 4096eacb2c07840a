// Writing a volume's files to disk on several workers at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <variant>
#include <vector>

#include "core/dest_dir.hpp"
#include "pipeline/pipeline.hpp"

namespace kiv::detail {

// Files wait in a batch and are written together, each worker reading
// through a volume of its own over a view of the decoded partition (or the
// handle alone, when the partition allows no views).  The batch is written
// before any directory is made where a waiting file goes, and before a
// second file of the same path, so that what reaches the disk when all goes
// well, and the first error in the caller's order, are those of writing one
// entry after the other.  Paths are relative to the destination and must
// outlive the batch; every file is made in a folder the batch holds open,
// reached without following links.
class FileWriters {
public:
    // `partition`: the source the handle's volume reads, or nullptr.
    FileWriters(FilesystemHandle& fs, core::ByteSource* partition, core::DestDir& dest);

    // Makes `dir` and its missing parents.
    Result<void> ensure_dirs(std::string_view dir);
    // Makes the folder of `out` (its first `parent` bytes) and queues the
    // walk entry's contents for the file at `out`.
    Result<void> add(const FsWalkEntry& entry, const std::string& out, size_t parent);
    // Writes the waiting files; the error is that of the first failing one.
    // The batch is done either way.
    Result<void> write_batch();

    uint64_t files() const { return files_; }
    uint64_t bytes() const { return bytes_; }

private:
    struct Job {
        const FsWalkEntry* entry;
        const std::string* out;
        size_t name;  // where the file's own name starts in `out`
        size_t dir;   // its folder in dirs_
    };
    // Folders one batch may hold open.
    static constexpr size_t kMaxDirs = 256;
    using Volume = std::variant<std::monostate, hfsplus::HfsVolume, apfs::ApfsVolume>;

    // Whether a waiting file lies at `dir` or at one of its parents.
    bool waits_at_or_above(std::string_view dir) const;
    Result<uint64_t> copy(size_t lane, const Job& job);
    Result<void> open_lane(Volume& volume);

    FilesystemHandle& fs_;
    core::ByteSource* partition_;
    core::DestDir& dest_;
    std::vector<Volume> lanes_;
    std::vector<Job> batch_;
    std::vector<core::File> dirs_;  // the folders of the batch's files
    std::string_view last_dir_;     // the folder of the last file queued
    std::unordered_set<std::string_view> waiting_;
    uint64_t files_ = 0, bytes_ = 0;
};

}  // namespace kiv::detail
