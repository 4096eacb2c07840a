#include "file_writers.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>

#include "core/extract.hpp"
#include "core/text.hpp"
#include "core/thread_pool.hpp"
#include "core/try.hpp"
#include "shared_view.hpp"

namespace kiv::detail {
namespace {

std::string_view parent_of(std::string_view path) { return path.substr(0, path.rfind('/') + 1); }

// The volume library's corrupted-data error.
KivError corrupted(FsType type, std::string text) {
    if (type == FsType::HfsPlus) return hfsplus::HfsPlusError::corrupted_data(std::move(text));
    return apfs::ApfsError::corrupted(std::move(text));
}

// Writes the walk entry's contents, as `read_to(path, sink)` streams them,
// into the file `out`.  A file whose bytes cannot all be produced is an
// error, and is not left behind shorter.
template <class ReadTo>
Result<uint64_t> copy_file(FsType type, ReadTo&& read_to, const FsWalkEntry& entry, int dir, const std::string& name,
                           const core::DestDir& dest, std::string_view out) {
    return core::write_output_file_at(dir, name, dest, out, core::Partial::Remove, [&](core::ByteSink& sink) -> Result<uint64_t> {
        const uint64_t n = KIV_TRY(read_to(entry.path, sink));
        if (n == entry.size) return n;
        return fail(corrupted(type, "file " + core::debug_quote(entry.path) + " declares " +
                                        std::to_string(entry.size) + " bytes but only " + std::to_string(n) +
                                        " could be read"));
    });
}

}  // namespace

FileWriters::FileWriters(FilesystemHandle& fs, core::ByteSource* partition, core::DestDir& dest)
    : fs_(fs), partition_(partition), dest_(dest) {
    const bool views = partition && shared_view(*partition);
    lanes_.resize(views ? std::max<size_t>(core::worker_count(), 1) : 1);
}

Result<void> FileWriters::ensure_dirs(std::string_view dir) {
    if (waits_at_or_above(dir)) KIV_TRY(write_batch());
    KIV_TRY(dest_.make_dirs(dir));
    return {};
}

Result<void> FileWriters::add(const FsWalkEntry& entry, const std::string& out, size_t parent) {
    if (waiting_.contains(out)) KIV_TRY(write_batch());
    const std::string_view dir = std::string_view(out).substr(0, parent);
    if (batch_.empty() || dir != last_dir_) {
        if (dirs_.size() == kMaxDirs) KIV_TRY(write_batch());
        if (waits_at_or_above(dir)) KIV_TRY(write_batch());
        const int fd = KIV_TRY(dest_.make_dirs(dir));
        const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (own < 0) return fail(core::IoError::from_errno(errno));
        dirs_.emplace_back(own);
        last_dir_ = dir;
    }
    waiting_.insert(out);
    batch_.push_back({&entry, &out, parent == 0 ? 0 : parent + 1, dirs_.size() - 1});
    return {};
}

Result<void> FileWriters::write_batch() {
    // Files are taken one from each directory in turn: creating a file locks
    // its directory, so workers in different directories do not wait for
    // each other.
    struct Run {
        size_t next, end;  // the directory's files not yet ordered
    };
    std::vector<Run> runs;
    for (size_t i = 0; i < batch_.size(); ++i) {
        if (i == 0 || parent_of(*batch_[i].out) != parent_of(*batch_[i - 1].out)) runs.push_back({i, i});
        runs.back().end = i + 1;
    }
    std::vector<size_t> order;
    order.reserve(batch_.size());
    while (!runs.empty()) {
        for (Run& run : runs) order.push_back(run.next++);
        std::erase_if(runs, [](const Run& run) { return run.next == run.end; });
    }

    std::vector<uint64_t> copied(batch_.size());
    auto written = core::parallel_try_lanes<KivError>(
        batch_.size(), lanes_.size(),
        [&](size_t lane, size_t i) -> Result<void> {
            copied[i] = KIV_TRY(copy(lane, batch_[i]));
            return {};
        },
        order);
    if (written) {
        files_ += batch_.size();
        for (uint64_t n : copied) bytes_ += n;
    }
    batch_.clear();
    dirs_.clear();
    waiting_.clear();
    return written;
}

bool FileWriters::waits_at_or_above(std::string_view dir) const {
    if (waiting_.empty()) return false;
    for (size_t end = dir.size(); end != std::string_view::npos && end > 0; end = dir.rfind('/', end - 1))
        if (waiting_.contains(dir.substr(0, end))) return true;
    return false;
}

Result<uint64_t> FileWriters::copy(size_t lane, const Job& job) {
    const FsType type = fs_.fs_type();
    const int dir = dirs_[job.dir].fd();
    const std::string name = job.out->substr(job.name);
    if (lanes_.size() == 1) {
        auto read_to = [&](std::string_view path, core::ByteSink& sink) { return fs_.read_file_to(path, sink); };
        return copy_file(type, read_to, *job.entry, dir, name, dest_, *job.out);
    }
    Volume& volume = lanes_[lane];
    if (std::holds_alternative<std::monostate>(volume)) KIV_TRY(open_lane(volume));
    return std::visit(
        [&](auto& v) -> Result<uint64_t> {
            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::monostate>) {
                return 0;
            } else {
                auto read_to = [&](std::string_view path, core::ByteSink& sink) { return v.read_file_to(path, sink); };
                return copy_file(type, read_to, *job.entry, dir, name, dest_, *job.out);
            }
        },
        volume);
}

Result<void> FileWriters::open_lane(Volume& volume) {
    if (fs_.fs_type() == FsType::HfsPlus) {
        volume.emplace<hfsplus::HfsVolume>(KIV_TRY(hfsplus::HfsVolume::open(shared_view(*partition_))));
    } else {
        volume.emplace<apfs::ApfsVolume>(KIV_TRY(apfs::ApfsVolume::open(shared_view(*partition_))));
    }
    return {};
}

}  // namespace kiv::detail
