#include "pbzx/writer.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <optional>

#include <lzma.h>

#include "codec/stream.hpp"
#include "core/endian.hpp"
#include "core/thread_pool.hpp"
#include "core/try.hpp"

namespace pbzx {
namespace {

// liblzma's texts; for an encoder its data error means the size limits.
std::string lzma_error_text(lzma_ret ret) {
    return ret == LZMA_DATA_ERROR ? "file size limits exceeded" : codec::xz_message(ret);
}

struct LzmaStream {
    lzma_stream s = LZMA_STREAM_INIT;
    ~LzmaStream() { lzma_end(&s); }
};

// One newc header field: 8 upper-case hexadecimal digits.
void append_hex8(std::vector<uint8_t>& out, uint32_t value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (int shift = 28; shift >= 0; shift -= 4) out.push_back(uint8_t(kHex[(value >> shift) & 0xF]));
}

void append_zeros(std::vector<uint8_t>& out, size_t count) { out.insert(out.end(), count, 0); }

}  // namespace

Result<std::vector<uint8_t>> compress_chunk(std::span<const uint8_t> data, uint32_t level) {
    LzmaStream stream;
    lzma_stream& s = stream.s;
    if (lzma_ret r = lzma_easy_encoder(&s, std::min<uint32_t>(level, 9), LZMA_CHECK_CRC64); r != LZMA_OK)
        return fail(PbzxError::compression("Failed to compress chunk: " + lzma_error_text(r)));

    std::vector<uint8_t> out(lzma_stream_buffer_bound(data.size()));
    s.next_in = data.data();
    s.avail_in = data.size();
    s.next_out = out.data();
    s.avail_out = out.size();
    auto grow = [&] {
        size_t used = out.size() - s.avail_out;
        out.resize(out.size() * 2 + 4096);
        s.next_out = out.data() + used;
        s.avail_out = out.size() - used;
    };
    while (s.avail_in > 0) {
        if (s.avail_out == 0) grow();
        if (lzma_ret r = lzma_code(&s, LZMA_RUN); r != LZMA_OK)
            return fail(PbzxError::compression("Failed to compress chunk: " + lzma_error_text(r)));
    }
    for (;;) {
        if (s.avail_out == 0) grow();
        lzma_ret r = lzma_code(&s, LZMA_FINISH);
        if (r == LZMA_STREAM_END) break;
        if (r != LZMA_OK) return fail(PbzxError::compression("Failed to finish compression: " + lzma_error_text(r)));
    }
    out.resize(out.size() - s.avail_out);
    return out;
}

// ---- PbzxWriter ---------------------------------------------------------------

PbzxWriter::PbzxWriter(std::unique_ptr<core::ByteSink> sink, uint64_t chunk_size, uint32_t level)
    : sink_(std::move(sink)), chunk_size_(chunk_size), level_(std::min<uint32_t>(level, 9)) {}

core::IoResult<PbzxWriter> PbzxWriter::create(const std::string& path, uint64_t chunk_size, uint32_t level) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return core::io_fail(core::IoError::from_errno(errno));
    auto sink = std::make_unique<core::BufferedFileWriter>(core::File(fd));
    return PbzxWriter(std::move(sink), chunk_size, level);
}

Result<void> PbzxWriter::write_header() {
    if (header_written_) return {};
    uint8_t header[kPbzxHeaderSize];
    std::copy_n(kPbzxMagic, 4, header);
    core::store_be64(header + 4, flags_);
    KIV_TRY(sink_->write_all(header));
    header_written_ = true;
    total_written_ += kPbzxHeaderSize;
    return {};
}

Result<void> PbzxWriter::write_chunk(uint64_t uncompressed_size, std::span<const uint8_t> compressed) {
    uint8_t sizes[kChunkHeaderSize];
    core::store_be64(sizes, uncompressed_size);
    core::store_be64(sizes + 8, compressed.size());
    KIV_TRY(sink_->write_all(sizes));
    KIV_TRY(sink_->write_all(compressed));
    total_written_ += kChunkHeaderSize + compressed.size();
    return {};
}

Result<void> PbzxWriter::write_cpio(std::span<const uint8_t> data) {
    if (!data.empty() && chunk_size_ == 0)
        return fail(PbzxError::compression("chunk size must be greater than 0"));
    KIV_TRY(write_header());
    if (data.empty()) return {};

    const uint64_t slices = (data.size() + chunk_size_ - 1) / chunk_size_;
    auto slice = [&](uint64_t i) {
        uint64_t start = i * chunk_size_;
        return data.subspan(size_t(start), size_t(std::min<uint64_t>(chunk_size_, data.size() - start)));
    };
    // Slices are compressed a batch at a time on the pool and written in
    // order; a failing slice ends the call after the slices before it.
    const uint64_t batch = std::max<size_t>(1, core::worker_count()) * 2;
    for (uint64_t first = 0; first < slices; first += batch) {
        const size_t count = size_t(std::min(batch, slices - first));
        std::vector<std::optional<Result<std::vector<uint8_t>>>> compressed(count);
        core::parallel_for(count, [&](size_t k) { compressed[k].emplace(compress_chunk(slice(first + k), level_)); });
        for (size_t k = 0; k < count; ++k) {
            Result<std::vector<uint8_t>>& out = *compressed[k];
            if (!out) return fail(std::move(out.error()));
            // Equal sizes mark a stored chunk, so a slice whose .xz stream is
            // exactly as long as the slice itself is stored as it stands.
            auto plain = slice(first + k);
            KIV_TRY(write_chunk(plain.size(), out->size() == plain.size() ? plain : *out));
            out->clear();
            out->shrink_to_fit();
        }
    }
    return {};
}

Result<void> PbzxWriter::finish() {
    KIV_TRY(write_header());
    return sink_->flush();
}

// ---- CpioBuilder --------------------------------------------------------------

Result<void> CpioBuilder::add_file(std::string_view name, std::span<const uint8_t> data, uint32_t mode) {
    return add_entry(name, data, (mode & kPermissionMask) | kTypeRegular);
}

Result<void> CpioBuilder::add_directory(std::string_view name, uint32_t mode) {
    return add_entry(name, {}, (mode & kPermissionMask) | kTypeDirectory);
}

Result<void> CpioBuilder::add_symlink(std::string_view name, std::string_view target, uint32_t mode) {
    return add_entry(name, core::as_bytes(target), (mode & kPermissionMask) | kTypeSymlink);
}

Result<void> CpioBuilder::add_entry(std::string_view name, std::span<const uint8_t> data, uint32_t mode) {
    if (data.size() > UINT32_MAX || name.size() >= UINT32_MAX)
        return fail(PbzxError::unsupported("CPIO member too large for the newc format: " + std::string(name)));
    const uint32_t namesize = uint32_t(name.size() + 1);
    buffer_.reserve(buffer_.size() + kNewcHeaderSize + namesize + 3 + data.size() + 3);
    buffer_.insert(buffer_.end(), kNewcMagic.begin(), kNewcMagic.end());
    for (uint32_t field : {next_ino_++, mode, 0u, 0u, 1u, 0u, uint32_t(data.size()), 0u, 0u, 0u, 0u, namesize, 0u})
        append_hex8(buffer_, field);
    buffer_.insert(buffer_.end(), name.begin(), name.end());
    buffer_.push_back(0);
    append_zeros(buffer_, (4 - (kNewcHeaderSize + namesize) % 4) % 4);
    buffer_.insert(buffer_.end(), data.begin(), data.end());
    append_zeros(buffer_, (4 - data.size() % 4) % 4);
    return {};
}

std::vector<uint8_t> CpioBuilder::finish() {
    (void)add_entry(kTrailerName, {}, 0);
    next_ino_ = 1;
    std::vector<uint8_t> out = std::move(buffer_);
    buffer_.clear();
    return out;
}

}  // namespace pbzx
