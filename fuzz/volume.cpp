// A raw HFS+ or HFSX volume, or with KIV_FUZZ_APFS the first volume of an
// APFS container: opened, walked, every entry stat'ed, listed and read
// (streamed and into memory, within the output budget), APFS symlink targets
// resolved.
#include <algorithm>
#include <cstdint>

#include "support.hpp"
#if KIV_FUZZ_APFS
#include "apfs/apfs.hpp"
using Volume = apfs::ApfsVolume;
#else
#include "hfsplus/hfsplus.hpp"
using Volume = hfsplus::HfsVolume;
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kiv_fuzz;
    auto opened = Volume::open(std::make_unique<core::MemorySource>(std::vector<uint8_t>(data, data + size)));
    if (!opened) return 0;
    Volume& volume = *opened;
    (void)volume.list_directory("/");
    auto entries = volume.walk();
    if (!entries) return 0;
    uint64_t budget = 4 * kMaxOutput;
    for (const auto& e : *entries) {
        using Kind = decltype(e.entry.kind);
        auto stat = volume.stat(e.path);
        if (e.entry.kind == Kind::Directory) {
            (void)volume.list_directory(e.path);
            continue;
        }
#if KIV_FUZZ_APFS
        if (e.entry.kind == Kind::Symlink) (void)volume.symlink_target(e.entry.id);
#endif
        BoundedSink sink(std::min(kMaxOutput, budget));
        (void)volume.read_file_to(e.path, sink);
        budget -= sink.written();
        // Holes aside, a file longer than the volume is not backed by it:
        // reading it into memory must fail before its declared size is taken.
        if (stat && (stat->size > size || stat->size <= std::min(kMaxOutput, budget))) {
            auto bytes = volume.read_file(e.path);
            if (bytes) budget -= std::min(budget, uint64_t(bytes->size()));
        }
        if (budget == 0) break;
    }
    return 0;
}
