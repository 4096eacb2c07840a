// Decoding a PBZX stream's chunks in parallel into one buffer.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <numeric>
#include <optional>

#include "chunks.hpp"
#include "core/thread_pool.hpp"
#include "core/try.hpp"
#include "pbzx/reader.hpp"
#include "xz.hpp"

namespace pbzx {
namespace {

using detail::ChunkRef;
using detail::XzDecoder;

// No .xz stream decodes to more than about 7,000 times its length (LZMA2
// at its best, on zeros).  A chunk declaring more cannot be right; its
// output is not reserved up front.
constexpr uint64_t kMaxXzRatio = 8192;

// Runs body(decoder, i) for every chunk on the pool, each worker with a
// decoder of its own (its dictionary and input buffer reused from chunk to
// chunk) taking the next chunk as it becomes free.  Chunks go longest first
// (by compressed length, which tracks decoding time): the last round, where
// workers wait for the slowest, is then made of the shortest chunks.
template <class Body>
void for_each_chunk(const std::vector<ChunkRef>& chunks, Body&& body) {
    auto cost = [](const ChunkRef& c) { return c.is_stored() ? 0 : c.compressed_size; };
    std::vector<size_t> order(chunks.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return cost(chunks[a]) > cost(chunks[b]); });
    std::atomic<size_t> next{0};
    core::parallel_for(std::min(chunks.size(), core::worker_count()), [&](size_t) {
        XzDecoder decoder;
        for (size_t k; (k = next.fetch_add(1, std::memory_order_relaxed)) < order.size();) body(decoder, order[k]);
    });
}

// The outcome of each chunk: a read failure outranks every decoding failure,
// as when all data are read before anything is decoded; otherwise the
// first failing chunk in stream order decides.
class Outcomes {
public:
    explicit Outcomes(size_t n) : errors_(n), read_failed_(n, 0) {}
    void read_failed(size_t i, core::IoError e) {
        errors_[i].emplace(PbzxError(std::move(e)));
        read_failed_[i] = 1;
    }
    void failed(size_t i, PbzxError e) { errors_[i].emplace(std::move(e)); }
    std::optional<PbzxError> first() {
        for (size_t i = 0; i < errors_.size(); ++i)
            if (read_failed_[i]) return std::move(errors_[i]);
        for (auto& e : errors_)
            if (e) return std::move(e);
        return std::nullopt;
    }

private:
    std::vector<std::optional<PbzxError>> errors_;
    std::vector<char> read_failed_;
};

// The chunk's data: where they are in memory, or read by position into the
// decoder's buffer.
core::IoResult<std::span<const uint8_t>> input_of(const ChunkRef& chunk, const core::PositionalReader* source,
                                                  XzDecoder& decoder) {
    if (chunk.in_memory) return chunk.bytes;
    std::vector<uint8_t>& buffer = decoder.input_buffer();
    if (buffer.size() < chunk.compressed_size) buffer.resize(size_t(chunk.compressed_size));
    std::span<uint8_t> data(buffer.data(), size_t(chunk.compressed_size));
    KIV_TRY(source->pread_exact(chunk.position, data));
    return data;
}

// An index of a few bytes per block: one this long would describe a
// stream of hundreds of thousands of blocks, and is not read.
constexpr uint64_t kMaxIndexLength = 1u << 20;

// The total size the index of an .xz chunk states, when its data end with
// a readable stream footer and index.
std::optional<uint64_t> indexed_size(const ChunkRef& chunk, const core::PositionalReader* source) {
    const uint64_t n = chunk.compressed_size;
    if (n < 2 * detail::kXzFooterSize) return std::nullopt;
    uint8_t footer[detail::kXzFooterSize];
    auto read = [&](uint64_t at, std::span<uint8_t> out) {
        if (chunk.in_memory) {
            std::memcpy(out.data(), chunk.bytes.data() + at, out.size());
            return true;
        }
        return bool(source->pread_exact(chunk.position + at, out));
    };
    if (!read(n - sizeof footer, footer)) return std::nullopt;
    auto index_length = detail::xz_index_length(footer);
    if (!index_length || *index_length > std::min(kMaxIndexLength, n - 2 * detail::kXzFooterSize)) return std::nullopt;
    std::vector<uint8_t> index(static_cast<size_t>(*index_length));
    if (!read(n - sizeof footer - index.size(), index)) return std::nullopt;
    return detail::xz_indexed_size(index);
}

// Whether the declared size of `chunk` may be reserved before decoding: a
// stored chunk's data back it; an .xz chunk's must be within reach of its
// data, and agree with the stream's index where there is one.
bool backed(const ChunkRef& chunk, const core::PositionalReader* source) {
    if (chunk.is_stored()) return true;
    if (chunk.compressed_size > UINT64_MAX / kMaxXzRatio) return false;
    if (chunk.uncompressed_size > chunk.compressed_size * kMaxXzRatio) return false;
    auto indexed = indexed_size(chunk, source);
    return !indexed || *indexed == chunk.uncompressed_size;
}

// Every chunk decoded straight into its place in one buffer of the declared
// total.
Result<Bytes> decode_in_place(std::vector<ChunkRef>& chunks, const core::PositionalReader* source, Bytes& out) {
    std::vector<uint64_t> starts(chunks.size() + 1, 0);
    for (size_t i = 0; i < chunks.size(); ++i) starts[i + 1] = starts[i] + chunks[i].uncompressed_size;
    Outcomes outcomes(chunks.size());
    for_each_chunk(chunks, [&](XzDecoder& decoder, size_t i) {
        const ChunkRef& chunk = chunks[i];
        std::span<uint8_t> place = out.span().subspan(size_t(starts[i]), size_t(chunk.uncompressed_size));
        if (chunk.is_stored() && !chunk.in_memory) {
            if (auto r = source->pread_exact(chunk.position, place); !r) outcomes.read_failed(i, r.error());
            return;
        }
        auto input = input_of(chunk, source, decoder);
        if (!input) outcomes.read_failed(i, input.error());
        else if (chunk.is_stored()) std::memcpy(place.data(), input->data(), place.size());
        else if (auto r = decoder.decode_into(*input, place, chunk.offset); !r) outcomes.failed(i, std::move(r.error()));
    });
    if (auto e = outcomes.first()) return fail(std::move(*e));
    return std::move(out);
}

// Declared sizes the data cannot back: each chunk decoded into a buffer that
// grows with its output, then joined.
Result<Bytes> decode_and_join(std::vector<ChunkRef>& chunks, const core::PositionalReader* source) {
    Outcomes outcomes(chunks.size());
    std::vector<std::vector<uint8_t>> parts(chunks.size());
    for_each_chunk(chunks, [&](XzDecoder& decoder, size_t i) {
        ChunkRef& chunk = chunks[i];
        auto input = input_of(chunk, source, decoder);
        if (!input) {
            outcomes.read_failed(i, input.error());
        } else if (chunk.is_stored()) {
            parts[i].assign(input->begin(), input->end());
        } else {
            auto decoded = decoder.decode(*input, chunk.uncompressed_size, chunk.offset);
            if (decoded) parts[i] = std::move(*decoded);
            else outcomes.failed(i, std::move(decoded.error()));
        }
        chunk.owned = {};
    });
    if (auto e = outcomes.first()) return fail(std::move(*e));
    if (parts.size() == 1) return Bytes(std::move(parts.front()));
    std::vector<size_t> starts(parts.size() + 1, 0);
    for (size_t i = 0; i < parts.size(); ++i) starts[i + 1] = starts[i] + parts[i].size();
    auto out = Bytes::uninitialized(starts.back());
    if (!out) return fail(PbzxError::decompression("cannot allocate memory"));
    core::parallel_for(parts.size(), [&](size_t i) {
        if (!parts[i].empty()) std::memcpy(out->data() + starts[i], parts[i].data(), parts[i].size());
        parts[i] = {};
    });
    return std::move(*out);
}

}  // namespace

Result<std::vector<uint8_t>> decompress_chunk(const ReadChunk& chunk) {
    if (chunk.is_stored()) return chunk.data;
    return XzDecoder().decode(chunk.data, chunk.uncompressed_size, chunk.offset);
}

Result<Bytes> PbzxReader::decompress_parallel() {
    auto chunks = KIV_TRY(scan(true));
    const core::PositionalReader* source = source_->positional();

    // One buffer of the declared total when every declared size is backed.
    uint64_t total = 0;
    bool reserve = true;
    for (const ChunkRef& chunk : chunks) {
        reserve = reserve && backed(chunk, source) && chunk.uncompressed_size <= SIZE_MAX - total;
        if (!reserve) break;
        total += chunk.uncompressed_size;
    }
    if (reserve) {
        if (auto out = Bytes::uninitialized(size_t(total))) return decode_in_place(chunks, source, *out);
    }
    return decode_and_join(chunks, source);
}

}  // namespace pbzx
