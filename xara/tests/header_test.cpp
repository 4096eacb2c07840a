// Opening archives: the header, the TOC extent and its inflation.
#include <gtest/gtest.h>

#include "support.hpp"

using namespace xara_test;

namespace {

const std::string kOneFile = toc_doc(stored("a", 0, 3));

std::vector<uint8_t> xar_with(const ArchiveSpec& spec) { return make_xar(kOneFile, bytes_of("abc"), spec); }

std::vector<uint8_t> first(std::vector<uint8_t> bytes, size_t n) {
    bytes.resize(n);
    return bytes;
}

// "heap at N: " and the first entry's bytes, or the error text.
std::string outcome(std::vector<uint8_t> bytes) {
    auto a = open_bytes(std::move(bytes));
    if (!a) return a.error().message();
    return "heap at " + std::to_string(a->heap_start()) + ": " + text_of(a->read_file(0).value());
}

}  // namespace

TEST(XarOpen, HeaderFieldsAndTocExtents) {
    const auto good = xar_with({.header_size = 64});
    const std::string eof = "I/O error: failed to fill whole buffer";
    const std::string ended = "invalid TOC: archive ended before the declared compressed TOC extent";
    const auto mismatch = [](size_t declared, size_t decoded) {
        return "invalid TOC: declared uncompressed TOC length " + std::to_string(declared) + " does not match decoded length " +
               std::to_string(decoded);
    };
    const size_t n = kOneFile.size(), toc = good.size() - 64 - 3;
    const std::vector<std::pair<std::vector<uint8_t>, std::string>> rows = {
        // Zero-padded upper-case digits, and nothing read after the magic.
        {{0, 0, 0xA, 0xBC}, "invalid XAR magic: 0x00000ABC (expected 0x78617221)"},
        {good, "heap at " + std::to_string(64 + toc) + ": abc"},
        // Below 28 the TOC is still read from byte 28, but the heap counts from the declared size.
        {xar_with({.header_size = 20, .toc_padding = 8}), "heap at " + std::to_string(28 + toc) + ": \xAA\xAA\xAA"},
        // Refused before inflating, which would find a length mismatch.
        {xar_with({.toc_uncompressed = UINT64_MAX}), "invalid TOC: declared uncompressed TOC length is too large"},
        // Only the header is there: the bound is checked before any TOC byte is read.
        {first(xar_with({.toc_uncompressed = UINT64_MAX}), 28), "invalid TOC: declared uncompressed TOC length is too large"},
        {xar_with({.toc_uncompressed = n - 5}), mismatch(n - 5, n - 4)},
        {xar_with({.toc_uncompressed = n + 1}), mismatch(n + 1, n)},
        {xar_with({.toc_compressed = UINT64_MAX}), ended},
        // No source holds such an extent, so the heap start never gets to overflow.
        {xar_with({.header_size = 64, .toc_compressed = UINT64_MAX - 10}), ended},
        {xar_with({.gzip_toc = true}), "decompression failed: TOC zlib: incorrect header check"},
        {make_xar("<xar><toc><file/></toc></xar>"), "XML parse error: empty <file> is missing required metadata"},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(outcome(rows[i].first), rows[i].second);
    }
    EXPECT_EQ(msg(xara::XarArchive::open_path("/nonexistent/a.xar")), "I/O error: No such file or directory (os error 2)");
    EXPECT_EQ(msg(open_bytes(good).value().read_file(1)), "file not found: file index 1 out of range");
    // Every archive ending inside the header (its declared extra bytes too) is short; inside the TOC extent it
    // fails one way or the other.
    for (size_t cut = 0; cut < good.size() - 3; ++cut) {
        const std::string m = msg(open_bytes(first(good, cut)));
        EXPECT_TRUE(cut < 64 ? m == eof : m == ended || m.starts_with("decompression failed: TOC zlib: ")) << cut << ": " << m;
    }
}
