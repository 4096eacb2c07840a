// Opening archives: the header, the TOC extent and its inflation, and the error texts.
#include <gtest/gtest.h>

#include "support.hpp"
#include "testing/testing.hpp"

using namespace xara_test;
using Kind = xara::XarError::Kind;

namespace {

std::string file_with_data() { return file_xml(1, "a", "file", data_xml(0, 3, 3, "application/octet-stream")); }
const std::string kOneFile = toc_doc(file_with_data());

std::string error_of(std::vector<uint8_t> bytes) {
    auto r = open_bytes(std::move(bytes));
    return r ? std::string("ok") : r.error().message();
}

// A source that counts the bytes handed out.
class CountingSource final : public core::ByteSource {
public:
    CountingSource(std::vector<uint8_t> data, uint64_t& read) : inner_(std::move(data)), read_(read) {}
    core::IoResult<size_t> read(std::span<uint8_t> buf) override {
        auto n = inner_.read(buf);
        if (n) read_ += *n;
        return n;
    }
    core::IoResult<uint64_t> seek(uint64_t pos) override { return inner_.seek(pos); }
    uint64_t position() const override { return inner_.position(); }
    core::IoResult<uint64_t> size() override { return inner_.size(); }

private:
    core::MemorySource inner_;
    uint64_t& read_;
};

}  // namespace

TEST(XarErrorText, EveryVariantDisplaysItsTemplate) {
    EXPECT_EQ(xara::XarError(core::IoError::unexpected_eof()).message(), "I/O error: failed to fill whole buffer");
    EXPECT_EQ(xara::XarError::invalid_magic(0x504B0304).message(), "invalid XAR magic: 0x504B0304 (expected 0x78617221)");
    EXPECT_EQ(xara::XarError::invalid_magic(0xab).message(), "invalid XAR magic: 0x000000AB (expected 0x78617221)");
    EXPECT_EQ(xara::XarError::invalid_toc("x").message(), "invalid TOC: x");
    EXPECT_EQ(xara::XarError::xml_parse("x").message(), "XML parse error: x");
    EXPECT_EQ(xara::XarError::file_not_found("x").message(), "file not found: x");
    EXPECT_EQ(xara::XarError::unsupported_encoding("x").message(), "unsupported encoding: x");
    EXPECT_EQ(xara::XarError::decompression_failed("x").message(), "decompression failed: x");
    EXPECT_EQ(xara::XarError::invalid_path("x").message(), "invalid path: x");
    EXPECT_EQ(uint8_t(Kind::Io), 0);
    EXPECT_EQ(uint8_t(Kind::InvalidPath), 7);
}

TEST(XarHeaderParse, FieldsAndChecksumKind) {
    xara_test::ArchiveSpec spec;
    spec.checksum_alg = 7;
    auto a = open_bytes(make_xar(kOneFile, bytes_of("abc"), spec));
    ASSERT_TRUE(a) << a.error().message();
    const auto& h = a->header();
    EXPECT_EQ(h.magic, 0x78617221u);
    EXPECT_EQ(h.header_size, 28);
    EXPECT_EQ(h.version, 1);
    EXPECT_EQ(h.toc_length_uncompressed, kOneFile.size());
    EXPECT_EQ(h.checksum_alg, 7u);
    EXPECT_EQ(h.checksum_kind, 4u);
    EXPECT_EQ(a->heap_start(), 28 + h.toc_length_compressed);
    auto bytes = a->read_file(0);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(text_of(*bytes), "abc");
}

TEST(XarHeaderParse, LongAndShortDeclaredHeaders) {
    xara_test::ArchiveSpec big;
    big.header_size = 64;
    auto a = open_bytes(make_xar(kOneFile, bytes_of("abc"), big));
    ASSERT_TRUE(a) << a.error().message();
    EXPECT_EQ(a->heap_start(), 64 + a->header().toc_length_compressed);
    EXPECT_EQ(text_of(*a->read_file(0)), "abc");

    // A header_size below 28: the TOC is still read from byte 28, the heap is counted from 20.
    xara_test::ArchiveSpec small;
    small.header_size = 20;
    auto bytes = make_xar(kOneFile, {}, small);
    const size_t toc_len = bytes.size() - 28;
    auto b = open_bytes(bytes);
    ASSERT_TRUE(b) << b.error().message();
    EXPECT_EQ(b->heap_start(), 20 + toc_len);
    // Heap offset 0 now lies 8 bytes before the end of the compressed TOC.
    auto raw = b->read_file(0);
    ASSERT_TRUE(raw);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 20 + toc_len, bytes.begin() + 23 + toc_len), *raw);
}

TEST(XarHeaderParse, WrongMagicAndShortHeaders) {
    EXPECT_EQ(error_of({'P', 'K', 3, 4, 0, 0}), "invalid XAR magic: 0x504B0304 (expected 0x78617221)");
    EXPECT_EQ(error_of({}), "I/O error: failed to fill whole buffer");
    EXPECT_EQ(error_of({'x', 'a', 'r'}), "I/O error: failed to fill whole buffer");
    auto full = make_xar(kOneFile);
    for (size_t cut : {4, 10, 27}) {
        auto r = open_bytes(std::vector<uint8_t>(full.begin(), full.begin() + cut));
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind(), Kind::Io);
        EXPECT_TRUE(r.error().io_error()->is_unexpected_eof());
    }
    // The declared extra header bytes must be there too.
    auto head = std::vector<uint8_t>(full.begin(), full.begin() + 28);
    head[4] = 0xFF;
    head[5] = 0xFF;
    head.resize(28 + 1000, 0);
    EXPECT_EQ(error_of(head), "I/O error: failed to fill whole buffer");
}

TEST(XarTocLoad, DeclaredLengthAtMaximumFailsBeforeReadingTheToc) {
    xara_test::ArchiveSpec spec;
    spec.toc_uncompressed = UINT64_MAX;
    uint64_t bytes_read = 0;  // the source itself is dropped with the error
    auto r = xara::XarArchive::open(std::make_unique<CountingSource>(make_xar(kOneFile, {}, spec), bytes_read));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "invalid TOC: declared uncompressed TOC length is too large");
    EXPECT_EQ(bytes_read, 28u);
}

TEST(XarTocLoad, DecodedLengthMustMatchTheDeclaredOne) {
    xara_test::ArchiveSpec shorter;
    shorter.toc_uncompressed = kOneFile.size() - 5;
    EXPECT_EQ(error_of(make_xar(kOneFile, {}, shorter)),
              "invalid TOC: declared uncompressed TOC length " + std::to_string(kOneFile.size() - 5) +
                  " does not match decoded length " + std::to_string(kOneFile.size() - 4));
    xara_test::ArchiveSpec longer;
    longer.toc_uncompressed = kOneFile.size() + 1;
    EXPECT_EQ(error_of(make_xar(kOneFile, {}, longer)),
              "invalid TOC: declared uncompressed TOC length " + std::to_string(kOneFile.size() + 1) +
                  " does not match decoded length " + std::to_string(kOneFile.size()));
}

TEST(XarTocLoad, PaddingAfterTheStreamInsideTheExtentIsSkipped) {
    xara_test::ArchiveSpec spec;
    spec.toc_padding = 100;
    auto a = open_bytes(make_xar(kOneFile, bytes_of("abc"), spec));
    ASSERT_TRUE(a) << a.error().message();
    EXPECT_EQ(a->heap_start(), 28 + a->header().toc_length_compressed);
    EXPECT_EQ(text_of(*a->read_file(0)), "abc");
}

TEST(XarTocLoad, ArchiveEndingInsideTheExtentNeverOpens) {
    auto full = make_xar(kOneFile, {}, {});
    for (size_t cut = 28; cut < full.size(); ++cut) {
        auto r = open_bytes(std::vector<uint8_t>(full.begin(), full.begin() + cut));
        ASSERT_FALSE(r) << cut;
        const std::string m = r.error().message();
        EXPECT_TRUE(m == "invalid TOC: archive ended before the declared compressed TOC extent" ||
                    m.rfind("decompression failed: TOC zlib: ", 0) == 0)
            << cut << ": " << m;
    }
    // A declared extent far past the end of the archive.
    xara_test::ArchiveSpec spec;
    spec.toc_compressed = UINT64_MAX;
    EXPECT_EQ(error_of(make_xar(kOneFile, {}, spec)), "invalid TOC: archive ended before the declared compressed TOC extent");
}

TEST(XarTocLoad, CorruptStreamIsADecompressionError) {
    auto bytes = make_xar(kOneFile);
    bytes[28] = 0x00;  // not a zlib header
    EXPECT_EQ(error_of(bytes), "decompression failed: TOC zlib: incorrect header check");
}

TEST(XarTocLoad, GzipTocIsNotAccepted) {
    auto toc = gzip_compress(bytes_of(kOneFile));
    auto bytes = make_xar(kOneFile);
    bytes.resize(28);
    bytes.insert(bytes.end(), toc.begin(), toc.end());
    for (int i = 0; i < 8; ++i) bytes[8 + i] = uint8_t(uint64_t(toc.size()) >> (56 - 8 * i));
    EXPECT_EQ(error_of(bytes).rfind("decompression failed: TOC zlib: ", 0), 0u);
}

TEST(XarTocLoad, XmlErrorsPassThrough) {
    EXPECT_EQ(error_of(make_xar("<xar><toc><file/></toc></xar>")),
              "XML parse error: empty <file> is missing required metadata");
}

TEST(XarTocLoad, ExtentNearTheAddressLimitFailsAsCutShort) {
    // header_size 64 and an extent that fits the source only because the padding is never reached.
    xara_test::ArchiveSpec spec;
    spec.header_size = 64;
    spec.toc_compressed = UINT64_MAX - 10;
    auto bytes = make_xar(kOneFile, {}, spec);
    // No source holds such an extent, so the heap start never gets to overflow.
    EXPECT_EQ(error_of(bytes), "invalid TOC: archive ended before the declared compressed TOC extent");
}

TEST(XarOpen, OpenPathReadsFilesAndReportsMissingOnes) {
    testing_util::ScratchDir dir;
    testing_util::write_bytes(dir / "a.xar", make_xar(kOneFile, bytes_of("abc")));
    auto a = xara::XarArchive::open_path((dir / "a.xar").string());
    ASSERT_TRUE(a) << a.error().message();
    EXPECT_EQ(text_of(*a->read_file(0)), "abc");
    auto missing = xara::XarArchive::open_path((dir / "nope.xar").string());
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message(), "I/O error: No such file or directory (os error 2)");
    EXPECT_EQ(a->read_file(1).error().message(), "file not found: file index 1 out of range");
}
