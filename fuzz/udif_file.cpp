// A UDIF image read from a file (buffered and positional reads): opened,
// queried, every partition decoded.
#include <cstdlib>
#include <string>

#include "support.hpp"
#include "udif_image.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const core::File file = kiv_fuzz::memory_file({data, size});
    const std::string path = "/proc/self/fd/" + std::to_string(file.fd());
    kiv_fuzz::exercise_image([&] {
        auto source = core::FileSource::open(path);  // a description of its own, at offset 0
        if (!source) std::abort();
        return std::make_unique<core::FileSource>(std::move(*source));
    });
    return 0;
}
