// The first volume of an APFS container: opened, walked, every file
// stat'ed and read, symlink targets resolved.
#include "apfs/apfs.hpp"
#include "support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kiv_fuzz;
    auto volume = apfs::ApfsVolume::open(std::make_unique<core::MemorySource>(std::vector<uint8_t>(data, data + size)));
    if (!volume) return 0;
    (void)volume->list_directory("/");
    auto entries = volume->walk();
    if (!entries) return 0;
    uint64_t budget = 4 * kMaxOutput;
    for (const apfs::WalkEntry& e : *entries) {
        auto stat = volume->stat(e.path);
        switch (e.entry.kind) {
            case apfs::EntryKind::Directory: (void)volume->list_directory(e.path); continue;
            case apfs::EntryKind::Symlink: (void)volume->symlink_target(e.entry.id); break;
            case apfs::EntryKind::File: break;
        }
        BoundedSink sink(std::min(kMaxOutput, budget));
        (void)volume->read_file_to(e.path, sink);
        budget -= sink.written();
        // Holes aside, a file longer than the container is not backed by it:
        // reading it into memory must not take its declared size first.
        if (stat && (stat->size > size || stat->size <= std::min(kMaxOutput, budget))) {
            auto bytes = volume->read_file(e.path);
            if (bytes) budget -= std::min(budget, uint64_t(bytes->size()));
        }
        if (budget == 0) break;
    }
    return 0;
}
