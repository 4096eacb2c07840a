#include "udif/writer.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include <bzlib.h>
#include <libdeflate.h>
#include <lzfse.h>
#include <zlib.h>

#include "core/endian.hpp"
#include "core/thread_pool.hpp"
#include "core/try.hpp"
#include "udif/checksum.hpp"
#include "xml_text.hpp"

namespace udif {

BlockType block_type_of(CompressionMethod method) {
    switch (method) {
        case CompressionMethod::Raw: return BlockType::Raw;
        case CompressionMethod::Zlib: return BlockType::Zlib;
        case CompressionMethod::Bzip2: return BlockType::Bzip2;
        case CompressionMethod::Lzfse: return BlockType::Lzfse;
    }
    return BlockType::Raw;
}

Result<DmgWriter> DmgWriter::create(const std::string& path) {
    auto file = KIV_TRY(create_file(path));
    return DmgWriter(std::make_unique<core::BufferedFileWriter>(std::move(file)));
}

namespace {

// ---------------------------------------------------------------- encoders

struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

Result<std::vector<uint8_t>> encode_zlib(std::span<const uint8_t> in, uint32_t level) {
    // One compressor per thread and level: they are costly to set up.
    thread_local std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressors[10];
    level = std::min(level, 9u);
    auto& c = compressors[level];
    if (!c) c.reset(libdeflate_alloc_compressor(int(level)));
    if (!c) return fail(core::IoError::from_errno(ENOMEM));
    std::vector<uint8_t> out(libdeflate_zlib_compress_bound(c.get(), in.size()));
    size_t n = libdeflate_zlib_compress(c.get(), in.data(), in.size(), out.data(), out.size());
    if (n == 0) return fail(core::IoError::other("zlib: output buffer too small"));
    out.resize(n);
    return out;
}

const char* bzip2_message(int ret) {
    switch (ret) {
        case BZ_PARAM_ERROR: return "bzip2: invalid parameters";
        case BZ_MEM_ERROR: return "bzip2: out of memory";
        default: return "bzip2: sequence of operations invalid";
    }
}

Result<std::vector<uint8_t>> encode_bzip2(std::span<const uint8_t> in, uint32_t level) {
    // bzip2 knows block sizes 1 to 9; level 0 encodes as 1.
    int block_size = int(std::clamp(level, 1u, 9u));
    bz_stream s{};
    if (int r = BZ2_bzCompressInit(&s, block_size, 0, 0); r != BZ_OK)
        return fail(core::IoError::other(bzip2_message(r)));
    std::vector<uint8_t> out(in.size() + in.size() / 100 + 600);
    size_t in_pos = 0, out_pos = 0;
    constexpr size_t kStep = size_t(1) << 30;
    for (;;) {
        bool last = in.size() - in_pos <= kStep;
        size_t in_step = std::min(in.size() - in_pos, kStep);
        if (out.size() - out_pos < 4096) out.resize(out.size() + out.size() / 2 + 4096);
        size_t out_step = std::min(out.size() - out_pos, kStep);
        s.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.data() + in_pos));
        s.avail_in = unsigned(in_step);
        s.next_out = reinterpret_cast<char*>(out.data() + out_pos);
        s.avail_out = unsigned(out_step);
        int ret = BZ2_bzCompress(&s, last ? BZ_FINISH : BZ_RUN);
        in_pos += in_step - s.avail_in;
        out_pos += out_step - s.avail_out;
        if (ret == BZ_STREAM_END) break;
        bool ok = last ? ret == BZ_FINISH_OK : ret == BZ_RUN_OK;
        if (!ok) {
            BZ2_bzCompressEnd(&s);
            if (last) return fail(KivError::compression(bzip2_message(ret)));
            return fail(core::IoError::other(bzip2_message(ret)));
        }
    }
    BZ2_bzCompressEnd(&s);
    out.resize(out_pos);
    return out;
}

Result<std::vector<uint8_t>> encode_lzfse(std::span<const uint8_t> in) {
    thread_local std::vector<uint8_t> scratch(lzfse_encode_scratch_size());
    std::vector<uint8_t> out(in.size() + 4096);
    size_t n = lzfse_encode_buffer(out.data(), out.size(), in.data(), in.size(), scratch.data());
    if (n == 0) return fail(KivError::compression("LZFSE: CompressFailed"));
    out.resize(n);
    return out;
}

bool all_zero(std::span<const uint8_t> bytes) {
    static const uint8_t zeros[4096] = {};
    while (!bytes.empty()) {
        size_t n = std::min(bytes.size(), sizeof zeros);
        if (std::memcmp(bytes.data(), zeros, n) != 0) return false;
        bytes = bytes.subspan(n);
    }
    return true;
}

// One chunk as it goes into the data fork.
struct EncodedChunk {
    bool zero = false;
    BlockType type = BlockType::Raw;
    std::vector<uint8_t> owned;      // encoded bytes, or the padded raw chunk
    std::span<const uint8_t> stored; // what is written
    uint32_t padded_crc = 0;         // CRC-32 of the chunk padded to whole sectors
    uint32_t stored_crc = 0;         // CRC-32 of the stored bytes
};

Result<EncodedChunk> encode_chunk(std::span<const uint8_t> chunk, uint64_t padded_len, CompressionMethod method,
                                  uint32_t level, bool checksums) {
    EncodedChunk out;
    uint64_t pad = padded_len - chunk.size();
    if (checksums) out.padded_crc = checksum::crc32_zeros(checksum::crc32(chunk), pad);
    if (all_zero(chunk)) {
        out.zero = true;
        return out;
    }
    std::span<const uint8_t> input = chunk;
    std::vector<uint8_t> padded;
    if (pad > 0) {
        padded.assign(chunk.begin(), chunk.end());
        padded.resize(size_t(padded_len));
        input = padded;
    }
    auto store_raw = [&] {
        out.type = BlockType::Raw;
        if (pad > 0) {
            out.owned = std::move(padded);
            out.stored = out.owned;
        } else {
            out.stored = chunk;
        }
    };
    Result<std::vector<uint8_t>> encoded;
    switch (method) {
        case CompressionMethod::Raw: store_raw(); break;
        case CompressionMethod::Zlib: encoded = encode_zlib(input, level); break;
        case CompressionMethod::Bzip2: encoded = encode_bzip2(input, level); break;
        case CompressionMethod::Lzfse: encoded = encode_lzfse(input); break;
    }
    if (method != CompressionMethod::Raw) {
        if (!encoded) return fail(std::move(encoded.error()));
        // For data it cannot compress the LZFSE encoder emits one stored
        // ("bvx-") block, which 7-Zip refuses to read; such chunks are
        // stored as raw runs instead, as hdiutil stores them.
        static constexpr uint8_t kLzfseStored[4] = {'b', 'v', 'x', '-'};
        if (method == CompressionMethod::Lzfse && encoded->size() >= 4 &&
            std::memcmp(encoded->data(), kLzfseStored, 4) == 0) {
            store_raw();
        } else {
            out.type = block_type_of(method);
            out.owned = std::move(*encoded);
            out.stored = out.owned;
        }
    }
    out.stored_crc = checksum::crc32(out.stored);
    return out;
}

// ---------------------------------------------------------------- property list

void append_base64_lines(std::string& out, std::span<const uint8_t> bytes, const char* indent) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
        text += kAlphabet[v >> 18];
        text += kAlphabet[v >> 12 & 63];
        text += kAlphabet[v >> 6 & 63];
        text += kAlphabet[v & 63];
    }
    if (size_t rest = bytes.size() - i; rest > 0) {
        uint32_t v = uint32_t(bytes[i]) << 16 | (rest == 2 ? uint32_t(bytes[i + 1]) << 8 : 0);
        text += kAlphabet[v >> 18];
        text += kAlphabet[v >> 12 & 63];
        text += rest == 2 ? kAlphabet[v >> 6 & 63] : '=';
        text += '=';
    }
    for (size_t at = 0; at < text.size(); at += 64) {
        out += indent;
        out.append(text, at, 64);
        out += '\n';
    }
}

std::string hex4(uint32_t v) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out = "0x";
    std::string digits;
    do {
        digits.insert(digits.begin(), kDigits[v & 15]);
        v >>= 4;
    } while (v);
    while (digits.size() < 4) digits.insert(digits.begin(), '0');
    return out + digits;
}

}  // namespace

std::string resource_fork_xml(const std::vector<PartitionData>& partitions, bool with_checksums) {
    std::string x;
    x += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    x += "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";
    x += "<plist version=\"1.0\">\n<dict>\n\t<key>resource-fork</key>\n\t<dict>\n\t\t<key>blkx</key>\n\t\t<array>\n";
    for (const auto& p : partitions) {
        MishHeader map;
        map.first_sector = p.first_sector;
        map.sector_count = p.sector_count;
        map.block_descriptor_count = uint32_t(p.runs.size());
        map.checksum = p.checksum;
        // Without checksums the map says so: a CRC-32 type with a zero value
        // makes 7-Zip report the partition as corrupt.
        if (!with_checksums) map.checksum_type = 0;
        map.run_count = uint32_t(p.runs.size());
        map.runs = p.runs;
        std::string name = detail::xml_escape(p.name);
        x += "\t\t\t<dict>\n";
        x += "\t\t\t\t<key>Attributes</key>\n\t\t\t\t<string>" + hex4(p.attributes) + "</string>\n";
        x += "\t\t\t\t<key>CFName</key>\n\t\t\t\t<string>" + name + "</string>\n";
        x += "\t\t\t\t<key>Data</key>\n\t\t\t\t<data>\n";
        append_base64_lines(x, map.to_bytes(), "\t\t\t\t");
        x += "\t\t\t\t</data>\n";
        x += "\t\t\t\t<key>ID</key>\n\t\t\t\t<string>" + std::to_string(p.id) + "</string>\n";
        x += "\t\t\t\t<key>Name</key>\n\t\t\t\t<string>" + name + "</string>\n";
        x += "\t\t\t</dict>\n";
    }
    x += "\t\t</array>\n\t</dict>\n</dict>\n</plist>\n";
    return x;
}

// ---------------------------------------------------------------- DmgWriter

Result<void> DmgWriter::add_partition(std::string_view name, std::span<const uint8_t> data) {
    KIV_TRY(check_partition_name(name));
    PartitionData part;
    part.name = std::string(name);
    part.id = int32_t(partitions_.size());
    for (const auto& p : partitions_) part.first_sector = std::max(part.first_sector, p.first_sector + p.sector_count);
    part.sector_count = (uint64_t(data.size()) + kSectorSize - 1) / kSectorSize;

    // Chunks of whole sectors, so that no zeros land inside the partition.
    uint64_t chunk = std::clamp<uint64_t>(chunk_size_, kSectorSize, uint64_t(1) << 40);
    chunk = (chunk + kSectorSize - 1) / kSectorSize * kSectorSize;

    const bool checksums = !skip_checksums_;
    uint32_t partition_crc = 0;
    uint64_t cursor = 0;  // in sectors

    // Chunks are encoded in parallel batches and written in order.
    const size_t batch_chunks = std::max<size_t>(1, core::worker_count() * 4);
    const uint64_t batch_bytes = std::max<uint64_t>(chunk, 64u << 20);
    uint64_t offset = 0;
    while (offset < data.size()) {
        std::vector<std::span<const uint8_t>> batch;
        uint64_t taken = 0;
        while (offset < data.size() && batch.size() < batch_chunks && taken < batch_bytes) {
            size_t n = size_t(std::min<uint64_t>(chunk, data.size() - offset));
            batch.push_back(data.subspan(size_t(offset), n));
            offset += n;
            taken += n;
        }
        std::vector<std::optional<Result<EncodedChunk>>> results(batch.size());
        core::parallel_for(batch.size(), [&](size_t i) {
            uint64_t padded = (batch[i].size() + kSectorSize - 1) / kSectorSize * kSectorSize;
            results[i].emplace(encode_chunk(batch[i], padded, compression_, level_, checksums));
        });
        for (size_t i = 0; i < batch.size(); ++i) {
            const EncodedChunk r = KIV_TRY(std::move(*results[i]));
            uint64_t sectors = (batch[i].size() + kSectorSize - 1) / kSectorSize;
            if (checksums) partition_crc = uint32_t(crc32_combine(partition_crc, r.padded_crc, z_off_t(sectors * kSectorSize)));
            BlockRun run;
            run.sector_number = cursor;
            run.sector_count = sectors;
            if (r.zero) {
                run.type = BlockType::ZeroFill;
            } else {
                KIV_TRY(sink_->write_all(r.stored));
                data_crc_ = uint32_t(crc32_combine(data_crc_, r.stored_crc, z_off_t(r.stored.size())));
                run.type = r.type;
                run.compressed_offset = data_offset_;
                run.compressed_length = r.stored.size();
                data_offset_ += r.stored.size();
            }
            part.runs.push_back(run);
            cursor += sectors;
        }
    }
    BlockRun terminator;
    terminator.type = BlockType::Terminator;
    terminator.sector_number = cursor;
    part.runs.push_back(terminator);
    if (checksums) part.checksum = checksum::create_checksum_array(partition_crc);
    partitions_.push_back(std::move(part));
    return {};
}

Result<void> DmgWriter::finish() && {
    KolyHeader t;
    if (!skip_checksums_) {
        uint32_t master = 0;
        for (const auto& p : partitions_) master = checksum::crc32_update(master, {p.checksum.data(), 4});
        t.data_checksum_type = kChecksumCrc32;
        t.data_checksum = checksum::create_checksum_array(data_crc_);
        t.master_checksum_type = kChecksumCrc32;
        t.master_checksum = checksum::create_checksum_array(master);
    }
    std::string xml = resource_fork_xml(partitions_, !skip_checksums_);
    KIV_TRY(sink_->write_all(core::as_bytes(xml)));
    t.data_fork_length = data_offset_;
    t.xml_offset = data_offset_;
    t.xml_length = xml.size();
    for (const auto& p : partitions_) t.sector_count = std::max(t.sector_count, p.first_sector + p.sector_count);
    KIV_TRY(t.write(*sink_));
    return sink_->flush();
}

// ---------------------------------------------------------------- DmgBuilder

Result<void> DmgBuilder::build(const std::string& path) const {
    // A name the property list cannot carry leaves no file behind.
    for (const auto& entry : partitions) KIV_TRY(check_partition_name(entry.first));
    auto writer = KIV_TRY(DmgWriter::create(path));
    writer.set_chunk_size(std::max<uint64_t>(chunk_size, 4096));
    writer.set_level(std::min<uint32_t>(level, 9));
    writer.set_skip_checksums(skip_checksums);
    writer.set_compression(compression);
    for (const auto& [name, data] : partitions)
        KIV_TRY(writer.add_partition(name, data));
    return std::move(writer).finish();
}

}  // namespace udif
