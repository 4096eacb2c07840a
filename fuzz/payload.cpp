#include "payload.hpp"

#include "support.hpp"

namespace kiv_fuzz {

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

}  // namespace kiv_fuzz
