#include "support.hpp"

#include <functional>
#include <stdexcept>

#include <zlib.h>

#include "testing/testing.hpp"

namespace xara_test {

std::vector<uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }
std::string text_of(std::span<const uint8_t> b) { return {b.begin(), b.end()}; }

std::vector<uint8_t> zlib_compress(std::span<const uint8_t> data) {
    std::vector<uint8_t> out(compressBound(uLong(data.size())));
    uLongf size = out.size();
    if (compress2(out.data(), &size, data.data(), uLong(data.size()), 9) != Z_OK) throw std::runtime_error("compress2");
    out.resize(size);
    return out;
}

// The zlib stream's deflate data between a gzip header and trailer.
std::vector<uint8_t> gzip_compress(std::span<const uint8_t> data) {
    const auto z = zlib_compress(data);
    std::vector<uint8_t> out(z.begin() + 2, z.end() - 4);
    const uint8_t header[] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3};
    out.insert(out.begin(), std::begin(header), std::end(header));
    for (uint32_t v : {uint32_t(crc32(0, data.data(), uInt(data.size()))), uint32_t(data.size())})
        for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
    return out;
}

std::vector<uint8_t> make_xar(std::string_view toc_xml, std::span<const uint8_t> heap, const ArchiveSpec& spec) {
    auto toc = spec.gzip_toc ? gzip_compress(bytes_of(toc_xml)) : zlib_compress(bytes_of(toc_xml));
    toc.resize(toc.size() + spec.toc_padding, 0xAA);
    std::vector<uint8_t> out;
    auto put = [&](uint64_t v, int width) {
        for (int i = width - 1; i >= 0; --i) out.push_back(uint8_t(v >> (8 * i)));
    };
    put(0x78617221, 4);
    put(spec.header_size, 2);
    put(1, 2);
    put(spec.toc_compressed.value_or(toc.size()), 8);
    put(spec.toc_uncompressed.value_or(toc_xml.size()), 8);
    put(1, 4);  // SHA-1
    out.resize(std::max<size_t>(spec.header_size, 28), 0);
    out.insert(out.end(), toc.begin(), toc.end());
    out.insert(out.end(), heap.begin(), heap.end());
    return out;
}

std::string toc_doc(std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xar>\n <toc>\n" + std::string(body) + " </toc>\n</xar>\n";
}

std::string file_xml(std::string_view name, std::string_view type, std::string_view inner) {
    return "<file><name>" + std::string(name) + "</name><type>" + std::string(type) + "</type>" + std::string(inner) +
           "</file>\n";
}

std::string data_xml(uint64_t offset, uint64_t length, uint64_t size, std::string_view encoding) {
    return "<data><offset>" + std::to_string(offset) + "</offset><length>" + std::to_string(length) + "</length><size>" +
           std::to_string(size) + "</size><encoding style=\"" + std::string(encoding) + "\"/></data>";
}

std::string stored(std::string_view name, uint64_t offset, uint64_t length) {
    return file_xml(name, "file", data_xml(offset, length, length, "application/octet-stream"));
}
std::string dir(std::string_view name, std::string_view inner) { return file_xml(name, "directory", inner); }
std::string symlink_xml(std::string_view name, std::string_view target) {
    return file_xml(name, "symlink", "<link>" + std::string(target) + "</link>");
}

std::set<std::string> tree(const std::filesystem::path& root) {
    std::set<std::string> out;
    if (!std::filesystem::exists(root)) return out;
    for (auto& e : std::filesystem::recursive_directory_iterator(root)) {
        const std::string rel = std::filesystem::relative(e.path(), root).string();
        if (e.is_symlink()) {
            out.insert(rel + " -> " + std::filesystem::read_symlink(e.path()).string());
        } else if (e.is_directory()) {
            out.insert(rel + "/");
        } else if (e.is_regular_file()) {
            const std::string data = text_of(testing_util::read_bytes(e.path()));
            out.insert(rel + "=" + (data.size() <= 64 ? data : std::to_string(data.size()) + " bytes #" + std::to_string(std::hash<std::string>{}(data))));
        }
    }
    return out;
}

xara::Result<xara::XarArchive> open_bytes(std::vector<uint8_t> bytes) {
    return xara::XarArchive::open(std::make_unique<core::MemorySource>(std::move(bytes)));
}

xara::Result<std::vector<xara::XarFile>> parse_xml(std::string_view xml) { return xara::toc::parse_toc_xml(bytes_of(xml)); }

}  // namespace xara_test
