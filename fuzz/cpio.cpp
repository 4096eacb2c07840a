// A CPIO archive (newc, crc or odc) held in memory: listed, read, extracted.
#include "payload.hpp"
#include "support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kiv_fuzz::exercise_cpio(pbzx::Archive::from_cpio(std::span<const uint8_t>(data, size)));
    return 0;
}
