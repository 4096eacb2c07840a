// A CPIO archive (newc, crc or odc) held in memory, or with KIV_FUZZ_PBZX a
// PBZX payload, its chunks read and decoded, and the CPIO archive they
// carry: listed, every member read, everything extracted.
#include "pbzx/pbzx.hpp"
#include "support.hpp"

namespace {

using namespace kiv_fuzz;

void exercise_cpio(const pbzx::Archive& archive) {
    auto entries = archive.list();
    if (!entries) return;
    // Members are held in memory: reading one never makes more than the data.
    for (const pbzx::FileEntry& e : *entries) (void)archive.extract_file(e.path);
    if (entries->size() <= kMaxExtractedEntries) {
        const std::filesystem::path& scratch = empty_scratch_dir();
        (void)archive.extract_all((scratch / "all").string());
        if (!entries->empty()) (void)archive.extract_path(entries->front().path, (scratch / "one").string());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!KIV_FUZZ_PBZX) {
        exercise_cpio(pbzx::Archive::from_cpio(std::span<const uint8_t>(data, size)));
        return 0;
    }
    core::MemorySource source(std::vector<uint8_t>(data, data + size));
    // Declared chunk sizes bound the decoded payload: skip the decoding of
    // payloads that declare more than the budget.
    auto reader = pbzx::PbzxReader::from_source(source);
    if (!reader) return 0;
    auto chunks = reader->read_chunks();
    if (!chunks) return 0;
    uint64_t declared = 0;
    for (const pbzx::ReadChunk& c : *chunks) declared += std::min(c.uncompressed_size, kMaxOutput + 1);
    if (declared > kMaxOutput || !source.seek(0)) return 0;
    auto archive = pbzx::Archive::from_reader(source);
    if (archive) exercise_cpio(*archive);
    return 0;
}
