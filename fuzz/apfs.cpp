// The first volume of an APFS container: opened, walked, every entry
// stat'ed, listed and read, symlink targets resolved.
#include "apfs/apfs.hpp"
#include "volume.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto volume = apfs::ApfsVolume::open(std::make_unique<core::MemorySource>(std::vector<uint8_t>(data, data + size)));
    if (volume) kiv_fuzz::exercise_volume(*volume, size);
    return 0;
}
