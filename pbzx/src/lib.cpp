#include "pbzx/lib.hpp"

#include "pbzx/cpio.hpp"
#include "pbzx/reader.hpp"

namespace pbzx {

Result<Archive> Archive::open(const std::string& path) {
    auto reader = PbzxReader::open(path);
    if (!reader) return fail(std::move(reader.error()));
    auto data = reader->decompress_parallel();
    if (!data) return fail(std::move(data.error()));
    return Archive(std::move(*data));
}

Result<Archive> Archive::from_reader(core::ByteSource& source) {
    auto reader = PbzxReader::from_source(source);
    if (!reader) return fail(std::move(reader.error()));
    auto data = reader->decompress_parallel();
    if (!data) return fail(std::move(data.error()));
    return Archive(std::move(*data));
}

Archive Archive::from_cpio(std::span<const uint8_t> cpio) { return Archive(Bytes::copy_of(cpio)); }

Archive Archive::from_cpio(std::vector<uint8_t>&& cpio) { return Archive(Bytes(std::move(cpio))); }

Result<std::vector<FileEntry>> Archive::list() const { return CpioReader(data_).list(); }

Result<std::vector<uint8_t>> Archive::extract_file(std::string_view path) const {
    return CpioReader(data_).extract_file(path);
}

Result<ExtractStats> Archive::extract_path(std::string_view base_path, const std::string& dest) const {
    return CpioReader(data_).extract_path(base_path, dest);
}

}  // namespace pbzx
