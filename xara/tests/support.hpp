// Builders for archives and tables of contents used across the tests.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "xara/xara.hpp"

namespace xara_test {

std::vector<uint8_t> bytes_of(std::string_view s);
std::string text_of(std::span<const uint8_t> b);

std::vector<uint8_t> zlib_compress(std::span<const uint8_t> data);
std::vector<uint8_t> gzip_compress(std::span<const uint8_t> data);

// A XAR archive: header, the zlib-compressed TOC, then the heap.
struct ArchiveSpec {
    uint16_t header_size = 28;
    uint32_t checksum_alg = 1;
    // Declared lengths; by default those of the real TOC stream.
    std::optional<uint64_t> toc_compressed;
    std::optional<uint64_t> toc_uncompressed;
    // Bytes placed after the zlib stream inside the declared extent.
    size_t toc_padding = 0;
};
std::vector<uint8_t> make_xar(std::string_view toc_xml, std::span<const uint8_t> heap = {},
                              const ArchiveSpec& spec = {});

// "<xar><toc>" + body + "</toc></xar>" with an XML declaration.
std::string toc_doc(std::string_view body);

// A <file> element; `data` is the inner XML of a <data> block when not empty.
std::string file_xml(uint64_t id, std::string_view name, std::string_view type, std::string_view inner = {});
std::string data_xml(uint64_t offset, uint64_t length, uint64_t size, std::string_view encoding);

xara::Result<xara::XarArchive> open_bytes(std::vector<uint8_t> bytes);
xara::Result<std::vector<xara::XarFile>> parse_xml(std::string_view xml);
// The display text of the parse error, or "ok".
std::string parse_error(std::string_view xml);

}  // namespace xara_test
