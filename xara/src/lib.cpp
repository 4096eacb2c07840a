#include "xara/archive.hpp"

#include "core/try.hpp"
#include "extract.hpp"
#include "heap.hpp"
#include "parse.hpp"

namespace xara {

Result<XarArchive> XarArchive::open(std::unique_ptr<core::ByteSource> reader) {
    if (!reader) return fail(XarError::invalid_toc("no byte source given"));
    auto header = KIV_TRY(header::parse_header(*reader));
    auto toc = KIV_TRY(toc::parse_toc(*reader, header));
    return XarArchive(std::move(reader), std::move(toc.files), header, toc.heap_start);
}

Result<XarArchive> XarArchive::open_path(const std::string& path) {
    auto file = KIV_TRY(core::FileSource::open(path));
    return open(std::make_unique<core::FileSource>(std::move(file)));
}

Result<uint64_t> XarArchive::read_entry(const XarFile& entry, core::ByteSink& sink) {
    return heap::read_entry(*reader_, heap_start_, entry, sink);
}

Result<std::vector<uint8_t>> XarArchive::read_entry(const XarFile& entry) {
    core::VecSink sink;
    KIV_TRY(read_entry(entry, sink));
    return sink.take();
}

Result<std::vector<uint8_t>> XarArchive::read_file(size_t index) {
    if (index >= files_.size())
        return fail(XarError::file_not_found("file index " + std::to_string(index) + " out of range"));
    return read_entry(files_[index]);
}

Result<ExtractStats> XarArchive::extract_all(const std::string& dest) { return extract::extract_inner(*this, "", dest); }

Result<ExtractStats> XarArchive::extract_path(std::string_view base_path, const std::string& dest) {
    return extract::extract_inner(*this, base_path, dest);
}

}  // namespace xara
