// A PBZX payload: its chunks read and decoded, then the CPIO archive they
// carry listed, read and extracted.
#include "payload.hpp"
#include "support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kiv_fuzz;
    const std::span<const uint8_t> input(data, size);
    {
        // Declared chunk sizes bound the decoded payload: skip the decoding
        // of payloads that declare more than the budget.
        core::MemorySource source(std::vector<uint8_t>(input.begin(), input.end()));
        auto reader = pbzx::PbzxReader::from_source(source);
        if (!reader) return 0;
        auto chunks = reader->read_chunks();
        if (!chunks) return 0;
        uint64_t declared = 0;
        for (const pbzx::ReadChunk& c : *chunks) declared += std::min(c.uncompressed_size, kMaxOutput + 1);
        if (declared > kMaxOutput) return 0;
    }
    core::MemorySource source(std::vector<uint8_t>(input.begin(), input.end()));
    auto archive = pbzx::Archive::from_reader(source);
    if (archive) exercise_cpio(*archive);
    return 0;
}
