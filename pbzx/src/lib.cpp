#include "pbzx/lib.hpp"

#include "core/try.hpp"
#include "pbzx/cpio.hpp"
#include "pbzx/reader.hpp"

namespace pbzx {

Result<Archive> Archive::open(const std::string& path) {
    auto reader = KIV_TRY(PbzxReader::open(path));
    auto data = KIV_TRY(reader.decompress_parallel());
    return Archive(std::move(data));
}

Result<Archive> Archive::from_reader(core::ByteSource& source) {
    auto reader = KIV_TRY(PbzxReader::from_source(source));
    auto data = KIV_TRY(reader.decompress_parallel());
    return Archive(std::move(data));
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
