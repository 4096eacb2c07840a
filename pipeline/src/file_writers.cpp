#include "file_writers.hpp"

#include <algorithm>
#include <system_error>

#include "core/text.hpp"
#include "core/thread_pool.hpp"
#include "shared_view.hpp"

namespace kiv::detail {
namespace {

namespace fs = std::filesystem;

// Keeps a failed file from being left behind shorter.
Result<uint64_t> removed_on_failure(Result<uint64_t> copied, const std::string& out) {
    if (!copied) {
        std::error_code ignored;
        fs::remove(out, ignored);
    }
    return copied;
}

std::string_view parent_of(std::string_view path) { return path.substr(0, path.rfind('/') + 1); }

std::string short_copy(const FsWalkEntry& entry, uint64_t copied) {
    return "file " + core::debug_quote(entry.path) + " declares " + std::to_string(entry.size) +
                 " bytes but only " + std::to_string(copied) + " could be read";
}

// Copies the contents of the walk entry into `out`; a file whose bytes
// cannot all be produced is an error.
Result<uint64_t> copy_file(hfsplus::HfsVolume& volume, const FsWalkEntry& entry, const std::string& out) {
    auto file = core::File::create(out);
    if (!file) return fail(file.error());
    auto n = volume.read_file_to(entry.path, *file);
    if (!n) return removed_on_failure(fail(n.error()), out);
    if (*n != entry.size)
        return removed_on_failure(fail(hfsplus::HfsPlusError::corrupted_data(short_copy(entry, *n))), out);
    return *n;
}

Result<uint64_t> copy_file(apfs::ApfsVolume& volume, const FsWalkEntry& entry, const std::string& out) {
    auto file = core::File::create(out);
    if (!file) return fail(file.error());
    core::BufferedFileWriter writer(std::move(*file));
    auto n = volume.read_file_to(entry.path, writer);
    Result<uint64_t> copied = n ? Result<uint64_t>(*n) : fail(n.error());
    if (copied && *copied != entry.size)
        copied = fail(apfs::ApfsError::corrupted(short_copy(entry, *copied)));
    if (auto flushed = writer.flush(); copied && !flushed) copied = fail(flushed.error());
    return removed_on_failure(std::move(copied), out);
}

}  // namespace

Result<void> make_dirs(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) return fail(core::IoError::from_errno(ec.value()));
    return {};
}

FileWriters::FileWriters(FilesystemHandle& fs) : fs_(fs) {
    core::ByteSource& base = fs.hfs() ? fs.hfs()->volume().source() : fs.apfs()->volume().source();
    lanes_.resize(shared_view(base) ? std::max<size_t>(core::worker_count(), 1) : 1);
}

Result<void> FileWriters::ensure_dirs(std::string_view dir) {
    std::string key(dir);
    if (made_.contains(key)) return {};
    if (waits_at_or_above(dir)) {
        if (auto r = write_batch(); !r) return r;
    }
    if (auto r = make_dirs(key); !r) return r;
    made_.insert(std::move(key));
    return {};
}

Result<void> FileWriters::add(const FsWalkEntry& entry, const std::string& out) {
    if (waiting_.contains(out)) {
        if (auto r = write_batch(); !r) return r;
    }
    waiting_.insert(out);
    batch_.push_back({&entry, &out});
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
    auto done = core::parallel_try_lanes<KivError>(
        batch_.size(), lanes_.size(),
        [&](size_t lane, size_t i) -> Result<void> {
            auto n = copy(lane, batch_[i]);
            if (!n) return fail(n.error());
            copied[i] = *n;
            return {};
        },
        order);
    if (!done) return fail(done.error());
    files_ += batch_.size();
    for (uint64_t n : copied) bytes_ += n;
    batch_.clear();
    waiting_.clear();
    return {};
}

bool FileWriters::waits_at_or_above(std::string_view dir) const {
    if (waiting_.empty()) return false;
    for (size_t end = dir.size(); end != std::string_view::npos && end > 0; end = dir.rfind('/', end - 1))
        if (waiting_.contains(dir.substr(0, end))) return true;
    return false;
}

Result<uint64_t> FileWriters::copy(size_t lane, const Job& job) {
    if (lanes_.size() == 1)
        return fs_.hfs() ? copy_file(fs_.hfs()->volume(), *job.entry, *job.out)
                         : copy_file(fs_.apfs()->volume(), *job.entry, *job.out);
    Volume& volume = lanes_[lane];
    if (std::holds_alternative<std::monostate>(volume)) {
        if (auto r = open_lane(volume); !r) return fail(r.error());
    }
    if (auto* hfs = std::get_if<hfsplus::HfsVolume>(&volume)) return copy_file(*hfs, *job.entry, *job.out);
    return copy_file(std::get<apfs::ApfsVolume>(volume), *job.entry, *job.out);
}

Result<void> FileWriters::open_lane(Volume& volume) {
    if (auto* h = fs_.hfs()) {
        auto opened = hfsplus::HfsVolume::open(shared_view(h->volume().source()));
        if (!opened) return fail(opened.error());
        volume.emplace<hfsplus::HfsVolume>(std::move(*opened));
    } else {
        auto opened = apfs::ApfsVolume::open(shared_view(fs_.apfs()->volume().source()));
        if (!opened) return fail(opened.error());
        volume.emplace<apfs::ApfsVolume>(std::move(*opened));
    }
    return {};
}

}  // namespace kiv::detail
