// Heap entry decoding: encodings, exact sizes and the reason of every failure.
#include <gtest/gtest.h>

#include "support.hpp"
#include "testing/testing.hpp"

using namespace xara_test;

namespace {

xara::XarFile entry(uint64_t offset, uint64_t length, uint64_t size, std::string_view encoding = "application/octet-stream") {
    return parse_xml(toc_doc(file_xml("e", "file", data_xml(offset, length, size, encoding)))).value().front();
}

// The outcome text and the bytes written, through a memory source (its fast path) or the 8 KiB buffered file reader.
std::pair<std::string, std::vector<uint8_t>> read(const std::vector<uint8_t>& heap, const xara::XarFile& f, bool via_file,
                                                  uint64_t heap_start = 0) {
    testing_util::ScratchDir dir;
    testing_util::write_bytes(dir / "heap", heap);
    std::unique_ptr<core::ByteSource> src = std::make_unique<core::MemorySource>(heap);
    if (via_file) src = std::make_unique<core::FileSource>(std::move(*core::FileSource::open((dir / "heap").string())));
    core::VecSink sink;
    auto r = xara::heap::read_entry(*src, heap_start, f, sink);
    auto written = sink.take();
    EXPECT_EQ(r.value_or(written.size()), written.size());
    return {msg(r), std::move(written)};
}

}  // namespace

TEST(HeapRead, EncodingsSizesAndEveryFailure) {
    const auto text = testing_util::random_bytes(50000, 7);
    const auto z = deflated(text), gz = deflated(text, true), empty = deflated({}), abc = deflated(bytes_of("abc"));
    const auto more = deflated(std::span(text).first(105)), fewer = deflated(std::span(text).first(90));
    const auto one = deflated(bytes_of("x")), junk = bytes_of("this is not compressed at all");
    std::vector<uint8_t> at3(3, 0xEE);
    at3.insert(at3.end(), z.begin(), z.end());
    auto bad_gz = gz;
    bad_gz[20] ^= 0xFF;
    bad_gz[21] ^= 0xFF;
    xara::XarFile no_data;  // not even the offset is looked at
    const std::string ok = "ok", raw_ended = "invalid TOC: XAR raw entry ended after ", failed = "decompression failed: ";
    const auto head = [&](size_t n) { return std::vector(text.begin(), text.begin() + n); };
    struct Row {
        std::vector<uint8_t> heap;
        xara::XarFile entry;
        std::string message;
        std::optional<std::vector<uint8_t>> written = {};  // when checked
        uint64_t heap_start = 0;
    };
    const std::vector<Row> rows = {
        {bytes_of("xxhello world"), entry(2, 5, 5), ok, bytes_of("hello")},
        {at3, entry(3, z.size(), text.size(), "application/zlib"), ok, text},
        {at3, entry(3, z.size(), text.size(), "application/x-zlib"), ok, text},
        {at3, entry(3, z.size(), text.size(), "application/x-gzip"), ok, text},  // zlib streams under the gzip name too
        {gz, entry(0, gz.size(), text.size(), "application/x-gzip"), ok, text},
        {empty, entry(0, empty.size(), 0, "application/zlib"), ok, bytes_of("")},  // still probed for excess bytes
        {{}, no_data, ok, bytes_of(""), UINT64_MAX},
        {bytes_of("xxhello world"), entry(2, 10, 12), "invalid TOC: XAR raw entry declares compressed length 10 but uncompressed size 12"},
        // What was copied before a failure stays in the sink.
        {bytes_of("0123456789abcd"), entry(10, 10, 10), raw_ended + "4 bytes, expected 10", bytes_of("abcd")},
        {junk, entry(1000, 1, 1), raw_ended + "0 bytes, expected 1"},  // starting past the end
        {{}, entry(10, 1, 1, "nonsense"), "invalid TOC: XAR heap entry offset overflows the archive address space", {}, UINT64_MAX - 5},
        {more, entry(0, more.size(), 100, "application/zlib"), failed + "zlib decoded more than the expected 100 bytes", head(100)},
        {one, entry(0, one.size(), 0, "application/zlib"), failed + "zlib decoded more than the expected 0 bytes"},
        {fewer, entry(0, fewer.size(), 100, "application/x-gzip"), failed + "gzip decoded 90 bytes, expected 100", head(90)},
        // Only `length` bytes are compressed input.
        {z, entry(0, z.size() / 2, text.size(), "application/zlib"), failed + "zlib decoded 25001 bytes, expected 50000", head(25001)},
        {junk, entry(0, junk.size(), 10, "application/zlib"), failed + "zlib: incorrect header check"},
        {junk, entry(0, junk.size(), 10, "application/x-gzip"), failed + "gzip: incorrect header check"},
        {junk, entry(0, junk.size(), 10, "application/x-bzip2"), failed + "bzip2: bzip2 stream header missing"},
        {bad_gz, entry(0, gz.size(), text.size(), "application/x-gzip"), failed + "gzip: incorrect data check"},
        {gz, entry(0, gz.size(), text.size(), "application/zlib"), failed + "zlib: incorrect header check"},  // gzip only as x-gzip
        {junk, entry(0, 1, 1, "application/gzip"), "unsupported encoding: application/gzip"},
        {junk, entry(0, 1, 1, "application/zlib "), "unsupported encoding: application/zlib "},
        // Declared sizes never drive an allocation: only what the data holds comes out.
        {abc, entry(0, abc.size(), UINT64_MAX, "application/zlib"), failed + "zlib decoded 3 bytes, expected 18446744073709551615",
         bytes_of("abc")},
        {abc, entry(0, UINT64_MAX, UINT64_MAX), raw_ended + std::to_string(abc.size()) + " bytes, expected 18446744073709551615", abc},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        for (bool via_file : {false, true}) {
            SCOPED_TRACE(std::to_string(i) + (via_file ? " file" : " memory"));
            const auto [message, written] = read(rows[i].heap, rows[i].entry, via_file, rows[i].heap_start);
            EXPECT_EQ(message, rows[i].message);
            EXPECT_EQ(written, rows[i].written.value_or(written));
        }
    }
    // A position no file can seek to (a memory source reads nothing there).
    EXPECT_EQ(read({}, entry(UINT64_MAX - 1, 1, 1), true).first, "I/O error: Invalid argument (os error 22)");
}
