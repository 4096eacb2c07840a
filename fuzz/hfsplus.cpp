// An HFS+ or HFSX volume: opened, walked, every file stat'ed and read.
#include "hfsplus/hfsplus.hpp"
#include "support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kiv_fuzz;
    auto volume = hfsplus::HfsVolume::open(std::make_unique<core::MemorySource>(std::vector<uint8_t>(data, data + size)));
    if (!volume) return 0;
    (void)volume->list_directory("/");
    auto entries = volume->walk();
    if (!entries) return 0;
    uint64_t budget = 4 * kMaxOutput;
    for (const hfsplus::WalkEntry& e : *entries) {
        auto stat = volume->stat(e.path);
        if (e.entry.kind == hfsplus::EntryKind::Directory) {
            (void)volume->list_directory(e.path);
            continue;
        }
        BoundedSink sink(std::min(kMaxOutput, budget));
        (void)volume->read_file_to(e.path, sink);
        budget -= sink.written();
        // A file longer than the volume cannot be backed by it: it must fail
        // before its declared size is allocated.
        if (stat && (stat->size > size || stat->size <= std::min(kMaxOutput, budget))) {
            auto bytes = volume->read_file(e.path);
            if (bytes) budget -= std::min(budget, uint64_t(bytes->size()));
        }
        if (budget == 0) break;
    }
    return 0;
}
