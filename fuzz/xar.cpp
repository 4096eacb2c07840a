// A XAR archive: opened, every entry looked up and read, everything
// extracted into a scratch folder, then read as an installer package.
#include "support.hpp"
#include "xara/xara.hpp"

namespace {

using kiv_fuzz::kMaxOutput;

// Declared sizes bound what an entry may decode to (one byte more is an error).
bool small_enough(const xara::XarFile* f) { return f && (!f->data || f->data->size <= kMaxOutput); }

void exercise_package(xara::PkgReader& pkg) {
    (void)pkg.is_product_package();
    (void)pkg.list_files();
    if (small_enough(pkg.archive().find("Distribution"))) (void)pkg.distribution();
    for (const std::string& c : pkg.components()) {
        const std::string prefix = c.empty() ? "" : c + "/";
        if (small_enough(pkg.archive().find(prefix + "PackageInfo"))) (void)pkg.package_info(c);
        const xara::XarFile* payload = pkg.archive().find(prefix + "Payload");
        if (!payload || small_enough(payload)) (void)pkg.payload(c);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kiv_fuzz;
    auto archive = xara::XarArchive::open(std::make_unique<core::MemorySource>(std::vector<uint8_t>(data, data + size)));
    if (!archive) return 0;
    const std::vector<xara::XarFile>& files = archive->files();
    uint64_t declared = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        const xara::XarFile& f = files[i];
        (void)archive->find(f.path);
        BoundedSink sink;
        (void)archive->read_entry(f, sink);
        if (small_enough(&f)) (void)archive->read_file(i);
        if (f.data) declared += std::min(f.data->size, kMaxOutput + 1);
    }
    if (files.size() <= kMaxExtractedEntries && declared <= kMaxOutput) {
        const std::filesystem::path& scratch = empty_scratch_dir();
        (void)archive->extract_all((scratch / "all").string());
        if (!files.empty()) (void)archive->extract_path(files.front().path, (scratch / "one").string());
    }
    xara::PkgReader pkg(std::move(*archive));
    exercise_package(pkg);
    return 0;
}
