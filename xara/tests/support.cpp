#include "support.hpp"

#include <functional>

#include <zlib.h>

#include "core/endian.hpp"
#include "testing/testing.hpp"

namespace xara_test {

std::vector<uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }
std::string text_of(std::span<const uint8_t> b) { return {b.begin(), b.end()}; }

std::vector<uint8_t> deflated(std::span<const uint8_t> data, bool gzip) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, gzip ? 31 : 15, 8, Z_DEFAULT_STRATEGY);
    std::vector<uint8_t> out(deflateBound(&z, uLong(data.size())));
    z.next_in = const_cast<uint8_t*>(data.data());
    z.avail_in = uInt(data.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);  // the bound leaves room for the whole stream
    deflateEnd(&z);
    out.resize(z.total_out);
    return out;
}

std::vector<uint8_t> make_xar(std::string_view toc_xml, std::span<const uint8_t> heap, const ArchiveSpec& spec) {
    auto toc = deflated(bytes_of(toc_xml), spec.gzip_toc);
    toc.resize(toc.size() + spec.toc_padding, 0xAA);
    std::vector<uint8_t> out;
    core::append_be32(out, 0x78617221);
    core::append_be16(out, spec.header_size);
    core::append_be16(out, 1);
    core::append_be64(out, spec.toc_compressed.value_or(toc.size()));
    core::append_be64(out, spec.toc_uncompressed.value_or(toc_xml.size()));
    core::append_be32(out, 1);  // SHA-1
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
