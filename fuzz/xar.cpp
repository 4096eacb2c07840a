// A XAR archive: opened, every entry looked up and read, everything
// extracted into a scratch folder, then read as an installer package.
#include "support.hpp"
#include "xara/xara.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kiv_fuzz;
    auto opened = xara::PkgReader::open(std::make_unique<core::MemorySource>(std::vector<uint8_t>(data, data + size)));
    if (!opened) return 0;
    xara::PkgReader& pkg = *opened;
    xara::XarArchive& archive = pkg.archive();
    const std::vector<xara::XarFile>& files = archive.files();
    // Declared sizes bound what an entry may decode to (one byte more is an error).
    const auto small_enough = [](const xara::XarFile* f) { return !f || !f->data || f->data->size <= kMaxOutput; };
    uint64_t declared = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        BoundedSink sink;
        (void)archive.read_entry(files[i], sink);
        if (archive.find(files[i].path) && small_enough(&files[i])) (void)archive.read_file(i);
        if (files[i].data) declared += std::min(files[i].data->size, kMaxOutput + 1);
    }
    if (files.size() <= kMaxExtractedEntries && declared <= kMaxOutput) {
        const std::filesystem::path& scratch = empty_scratch_dir();
        (void)archive.extract_all((scratch / "all").string());
        if (!files.empty()) (void)archive.extract_path(files.front().path, (scratch / "one").string());
    }
    // Then as an installer package.
    (void)pkg.is_product_package();
    (void)pkg.list_files();
    if (small_enough(archive.find("Distribution"))) (void)pkg.distribution();
    for (const std::string& c : pkg.components()) {
        const std::string prefix = c.empty() ? "" : c + "/";
        if (small_enough(archive.find(prefix + "PackageInfo"))) (void)pkg.package_info(c);
        if (small_enough(archive.find(prefix + "Payload"))) (void)pkg.payload(c);
    }
    return 0;
}
