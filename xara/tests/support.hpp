// Builders for archives and tables of contents used across the tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "extract.hpp"
#include "heap.hpp"
#include "parse.hpp"
#include "xara/xara.hpp"

namespace xara_test {

std::vector<uint8_t> bytes_of(std::string_view s);
std::string text_of(std::span<const uint8_t> b);
// A zlib stream of the data, or a gzip member.
std::vector<uint8_t> deflated(std::span<const uint8_t> data, bool gzip = false);

// Header fields that differ from what the TOC stream itself implies.
struct ArchiveSpec {
    uint16_t header_size = 28;
    std::optional<uint64_t> toc_compressed = {};    // default: the stream's length plus the padding
    std::optional<uint64_t> toc_uncompressed = {};  // default: the XML's length
    size_t toc_padding = 0;                    // bytes after the zlib stream inside the extent
    bool gzip_toc = false;                     // a gzip member where the zlib stream belongs
};
// A XAR archive: header, the zlib-compressed TOC, then the heap.
std::vector<uint8_t> make_xar(std::string_view toc_xml, std::span<const uint8_t> heap = {}, const ArchiveSpec& spec = {});

// "<xar><toc>" + body + "</toc></xar>" with an XML declaration.
std::string toc_doc(std::string_view body);
// A <file> element without id; `inner` follows its name and type.
std::string file_xml(std::string_view name, std::string_view type, std::string_view inner = {});
std::string data_xml(uint64_t offset, uint64_t length, uint64_t size, std::string_view encoding);
std::string stored(std::string_view name, uint64_t offset, uint64_t length);
std::string dir(std::string_view name, std::string_view inner = {});
std::string symlink_xml(std::string_view name, std::string_view target);

// Every path below root, relative: directories as "path/", regular files as
// "path=contents" (long ones as their size and hash), symbolic links as "path -> target".
std::set<std::string> tree(const std::filesystem::path& root);

xara::Result<xara::XarArchive> open_bytes(std::vector<uint8_t> bytes);
xara::Result<std::vector<xara::XarFile>> parse_xml(std::string_view xml);

// Makes the n-th allocation from now (counting from 0) throw std::bad_alloc,
// once; -1 lets every allocation succeed again.
void fail_allocation(long n);

// The display text of a failed result, or "ok".
template <class R>
std::string msg(const R& r) {
    return r ? std::string("ok") : r.error().message();
}

}  // namespace xara_test
