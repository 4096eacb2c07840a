// Heap entry decoding: encodings, exact sizes and the messages of every failure.
#include <gtest/gtest.h>

#include "support.hpp"
#include "testing/testing.hpp"

using namespace xara_test;
using Kind = xara::XarError::Kind;

namespace {

xara::XarFile entry(uint64_t offset, uint64_t length, uint64_t size, std::string encoding) {
    xara::XarFile f;
    f.name = f.path = "e";
    f.data = xara::XarFileData{};
    f.data->offset = offset;
    f.data->length = length;
    f.data->size = size;
    f.data->encoding = std::move(encoding);
    return f;
}

struct Outcome {
    xara::Result<uint64_t> result;
    std::vector<uint8_t> written;
    std::string message() const { return result ? "ok" : result.error().message(); }
};

Outcome read(const std::vector<uint8_t>& heap, const xara::XarFile& f, uint64_t heap_start = 0) {
    core::MemorySource src(heap);
    core::VecSink sink;
    auto r = xara::heap::read_entry(src, heap_start, f, sink);
    return {std::move(r), sink.take()};
}

// The same bytes through the 8 KiB buffered file reader.
Outcome read_via_file(const std::vector<uint8_t>& heap, const xara::XarFile& f) {
    testing_util::ScratchDir dir;
    testing_util::write_bytes(dir / "heap", heap);
    auto src = core::FileSource::open((dir / "heap").string());
    core::VecSink sink;
    auto r = xara::heap::read_entry(*src, 0, f, sink);
    return {std::move(r), sink.take()};
}

const std::vector<uint8_t> kText = testing_util::random_bytes(50000, 7);

}  // namespace

TEST(HeapRead, EntryWithoutDataReadsNothing) {
    xara::XarFile dir;
    dir.file_type = xara::XarFileType::Directory;
    auto o = read({}, dir, UINT64_MAX);  // not even the offset is looked at
    ASSERT_TRUE(o.result);
    EXPECT_EQ(*o.result, 0u);
    EXPECT_TRUE(o.written.empty());
}

TEST(HeapRead, StoredEntries) {
    std::vector<uint8_t> heap = bytes_of("xxhello world");
    for (auto* reader : {&read_via_file, +[](const std::vector<uint8_t>& h, const xara::XarFile& f) { return read(h, f); }}) {
        auto o = reader(heap, entry(2, 5, 5, "application/octet-stream"));
        ASSERT_TRUE(o.result) << o.message();
        EXPECT_EQ(*o.result, 5u);
        EXPECT_EQ(text_of(o.written), "hello");

        EXPECT_EQ(reader(heap, entry(2, 10, 12, "application/octet-stream")).message(),
                  "invalid TOC: XAR raw entry declares compressed length 10 but uncompressed size 12");
        auto cut = reader(bytes_of("0123456789abcd"), entry(10, 10, 10, "application/octet-stream"));
        EXPECT_EQ(cut.message(), "invalid TOC: XAR raw entry ended after 4 bytes, expected 10");
        EXPECT_EQ(text_of(cut.written), "abcd");  // what was copied stays
        EXPECT_EQ(reader(heap, entry(1000, 1, 1, "application/octet-stream")).message(),
                  "invalid TOC: XAR raw entry ended after 0 bytes, expected 1");
    }
    // Larger than the copy buffer, through the file reader.
    auto big = read_via_file(kText, entry(0, kText.size(), kText.size(), "application/octet-stream"));
    ASSERT_TRUE(big.result);
    EXPECT_EQ(big.written, kText);
}

TEST(HeapRead, ZlibEntries) {
    auto z = zlib_compress(kText);
    std::vector<uint8_t> heap(3 + z.size(), 0xEE);
    std::copy(z.begin(), z.end(), heap.begin() + 3);
    for (const char* enc : {"application/zlib", "application/x-zlib", "application/x-gzip"}) {
        auto o = read(heap, entry(3, z.size(), kText.size(), enc));
        ASSERT_TRUE(o.result) << enc << ": " << o.message();
        EXPECT_EQ(o.written, kText);
        auto f = read_via_file(heap, entry(3, z.size(), kText.size(), enc));
        ASSERT_TRUE(f.result) << f.message();
        EXPECT_EQ(f.written, kText);
    }
}

TEST(HeapRead, GzipMembersUnderTheGzipEncodingOnly) {
    auto g = gzip_compress(kText);
    auto o = read(g, entry(0, g.size(), kText.size(), "application/x-gzip"));
    ASSERT_TRUE(o.result) << o.message();
    EXPECT_EQ(o.written, kText);
    auto z = read(g, entry(0, g.size(), kText.size(), "application/zlib"));
    EXPECT_EQ(z.message().rfind("decompression failed: zlib: ", 0), 0u) << z.message();
}

TEST(HeapRead, DecodedSizeMustMatchExactly) {
    const auto five_more = zlib_compress(std::span(kText).first(105));
    auto more = read(five_more, entry(0, five_more.size(), 100, "application/zlib"));
    EXPECT_EQ(more.message(), "decompression failed: zlib decoded more than the expected 100 bytes");
    EXPECT_EQ(more.written.size(), 100u);

    const auto fewer = zlib_compress(std::span(kText).first(90));
    EXPECT_EQ(read(fewer, entry(0, fewer.size(), 100, "application/x-gzip")).message(),
              "decompression failed: gzip decoded 90 bytes, expected 100");

    // Compressed bytes are limited to `length`: the stream is cut short.
    const auto whole = zlib_compress(kText);
    auto cut = read(whole, entry(0, whole.size() / 2, kText.size(), "application/zlib"));
    EXPECT_EQ(cut.result.error().kind(), Kind::DecompressionFailed);
    EXPECT_NE(cut.message().find("zlib decoded "), std::string::npos) << cut.message();
}

TEST(HeapRead, EmptyZlibStreamOfSizeZeroIsProbed) {
    const auto empty = zlib_compress({});
    auto o = read(empty, entry(0, empty.size(), 0, "application/zlib"));
    ASSERT_TRUE(o.result) << o.message();
    EXPECT_EQ(*o.result, 0u);
    const auto one = zlib_compress(bytes_of("x"));
    EXPECT_EQ(read(one, entry(0, one.size(), 0, "application/zlib")).message(),
              "decompression failed: zlib decoded more than the expected 0 bytes");
}

TEST(HeapRead, CorruptStreamsNameTheLabel) {
    std::vector<uint8_t> junk = bytes_of("this is not compressed at all");
    EXPECT_EQ(read(junk, entry(0, junk.size(), 10, "application/zlib")).message(),
              "decompression failed: zlib: incorrect header check");
    EXPECT_EQ(read(junk, entry(0, junk.size(), 10, "application/x-gzip")).message(),
              "decompression failed: gzip: incorrect header check");
    auto g = gzip_compress(kText);
    g[20] ^= 0xFF;
    g[21] ^= 0xFF;
    auto bad = read(g, entry(0, g.size(), kText.size(), "application/x-gzip"));
    EXPECT_EQ(bad.result.error().kind(), Kind::DecompressionFailed);
    EXPECT_EQ(bad.message().rfind("decompression failed: gzip", 0), 0u) << bad.message();
}

TEST(HeapRead, UnsupportedEncodings) {
    const std::vector<uint8_t> heap(10, 0);
    for (const char* enc : {"application/gzip", "zlib", "gzip", "application/x-xz", "Application/zlib", "application/zlib "}) {
        auto o = read(heap, entry(0, 1, 1, enc));
        ASSERT_FALSE(o.result);
        EXPECT_EQ(o.result.error().kind(), Kind::UnsupportedEncoding);
        EXPECT_EQ(o.message(), std::string("unsupported encoding: ") + enc);
    }
}

TEST(HeapRead, OffsetOverflowIsCheckedBeforeTheEncoding) {
    auto o = read({}, entry(10, 1, 1, "nonsense"), UINT64_MAX - 5);
    EXPECT_EQ(o.message(), "invalid TOC: XAR heap entry offset overflows the archive address space");
    // A position no file can seek to is an I/O error.
    auto f = read_via_file({}, entry(UINT64_MAX - 1, 1, 1, "application/octet-stream"));
    EXPECT_EQ(f.result.error().kind(), Kind::Io);
}

TEST(HeapRead, DeclaredSizesNeverDriveAllocation) {
    // A tiny stream declaring an enormous size only yields what it holds.
    const auto z = zlib_compress(bytes_of("abc"));
    EXPECT_EQ(read(z, entry(0, z.size(), UINT64_MAX, "application/zlib")).message(),
              "decompression failed: zlib decoded 3 bytes, expected 18446744073709551615");
    EXPECT_EQ(read(z, entry(0, UINT64_MAX, UINT64_MAX, "application/octet-stream")).message(),
              "invalid TOC: XAR raw entry ended after " + std::to_string(z.size()) + " bytes, expected 18446744073709551615");
}

TEST(HeapRead, ReadingTwiceGivesTheSameBytes) {
    auto z = zlib_compress(kText);
    auto bytes = make_xar(toc_doc(file_xml(1, "a", "file", data_xml(0, z.size(), kText.size(), "application/zlib")) +
                                  file_xml(2, "b", "file", data_xml(z.size(), 5, 5, "application/octet-stream"))),
                          [&] {
                              auto h = z;
                              h.insert(h.end(), {'1', '2', '3', '4', '5'});
                              return h;
                          }());
    auto a = open_bytes(bytes);
    ASSERT_TRUE(a) << a.error().message();
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(*a->read_file(0), kText);
        EXPECT_EQ(text_of(*a->read_file(1)), "12345");
    }
}
