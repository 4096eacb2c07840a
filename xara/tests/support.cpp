#include "support.hpp"

#include <stdexcept>

#include <zlib.h>

namespace xara_test {

std::vector<uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }
std::string text_of(std::span<const uint8_t> b) { return {b.begin(), b.end()}; }

static std::vector<uint8_t> deflate_with(std::span<const uint8_t> data, int window_bits) {
    z_stream z{};
    if (deflateInit2(&z, 9, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflateInit2");
    std::vector<uint8_t> out(deflateBound(&z, uLong(data.size())) + 32);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = uInt(data.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::vector<uint8_t> zlib_compress(std::span<const uint8_t> data) { return deflate_with(data, 15); }
std::vector<uint8_t> gzip_compress(std::span<const uint8_t> data) { return deflate_with(data, 31); }

static void put_be(std::vector<uint8_t>& out, uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i) out.push_back(uint8_t(v >> (8 * i)));
}

std::vector<uint8_t> make_xar(std::string_view toc_xml, std::span<const uint8_t> heap, const ArchiveSpec& spec) {
    auto toc = zlib_compress(bytes_of(toc_xml));
    toc.resize(toc.size() + spec.toc_padding, 0xAA);
    std::vector<uint8_t> out;
    put_be(out, 0x78617221, 4);
    put_be(out, spec.header_size, 2);
    put_be(out, 1, 2);
    put_be(out, spec.toc_compressed.value_or(toc.size()), 8);
    put_be(out, spec.toc_uncompressed.value_or(toc_xml.size()), 8);
    put_be(out, spec.checksum_alg, 4);
    if (spec.header_size > 28) out.resize(spec.header_size, 0);
    out.insert(out.end(), toc.begin(), toc.end());
    out.insert(out.end(), heap.begin(), heap.end());
    return out;
}

std::string toc_doc(std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xar>\n <toc>\n" + std::string(body) + " </toc>\n</xar>\n";
}

std::string file_xml(uint64_t id, std::string_view name, std::string_view type, std::string_view inner) {
    return "<file id=\"" + std::to_string(id) + "\"><name>" + std::string(name) + "</name><type>" + std::string(type) +
           "</type>" + std::string(inner) + "</file>\n";
}

std::string data_xml(uint64_t offset, uint64_t length, uint64_t size, std::string_view encoding) {
    return "<data><offset>" + std::to_string(offset) + "</offset><length>" + std::to_string(length) +
           "</length><size>" + std::to_string(size) + "</size><encoding style=\"" + std::string(encoding) +
           "\"/></data>";
}

xara::Result<xara::XarArchive> open_bytes(std::vector<uint8_t> bytes) {
    return xara::XarArchive::open(std::make_unique<core::MemorySource>(std::move(bytes)));
}

xara::Result<std::vector<xara::XarFile>> parse_xml(std::string_view xml) {
    return xara::toc::parse_toc_xml(bytes_of(xml));
}

std::string parse_error(std::string_view xml) {
    auto r = parse_xml(xml);
    return r ? std::string("ok") : r.error().message();
}

}  // namespace xara_test
