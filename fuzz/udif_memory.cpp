// A UDIF image held in memory: opened, queried, every partition decoded.
#include "support.hpp"
#include "udif_image.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kiv_fuzz::exercise_image([&] { return std::make_unique<core::MemorySource>(std::vector<uint8_t>(data, data + size)); });
    return 0;
}
