#include "udif/reader.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include <bzlib.h>
#include <libdeflate.h>
#include <lzfse.h>
#include <lzma.h>
#include <plist/plist.h>
#include <unistd.h>
#include <zlib.h>

#include "core/thread_pool.hpp"
#include "udif/checksum.hpp"

namespace udif {

namespace {

// ================================================================ helpers

std::unexpected<KivError> short_read() { return fail_io(core::IoError::unexpected_eof()); }
std::unexpected<KivError> out_of_memory() { return fail_io(core::IoError::from_errno(ENOMEM)); }

// Buffers larger than the machine's memory are refused up front: they could
// never be filled, and a hostile image must not push the process into the
// out-of-memory killer.
bool fits_in_memory(uint64_t bytes) {
    static const uint64_t physical = [] {
        long pages = sysconf(_SC_PHYS_PAGES);
        long page = sysconf(_SC_PAGESIZE);
        return pages > 0 && page > 0 ? uint64_t(pages) * uint64_t(page) : uint64_t(1) << 40;
    }();
    return bytes <= physical && bytes <= std::numeric_limits<size_t>::max() / 2;
}

// Zeroed memory that is only touched where it is written (calloc maps large
// requests lazily).
struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};
using ZeroBuffer = std::unique_ptr<uint8_t[], FreeDeleter>;

Result<ZeroBuffer> zero_buffer(uint64_t size) {
    if (!fits_in_memory(size)) return out_of_memory();
    ZeroBuffer buf(static_cast<uint8_t*>(std::calloc(size ? size_t(size) : 1, 1)));
    if (!buf) return out_of_memory();
    return buf;
}

// Output byte range of a run; nullopt when it does not fit 64 bits.
struct Range {
    uint64_t offset;
    uint64_t length;
};
std::optional<Range> output_range(const BlockRun& run) {
    constexpr uint64_t kMaxSectors = std::numeric_limits<uint64_t>::max() / kSectorSize;
    if (run.sector_number > kMaxSectors || run.sector_count > kMaxSectors) return std::nullopt;
    uint64_t offset = run.sector_number * kSectorSize;
    uint64_t length = run.sector_count * kSectorSize;
    if (offset > std::numeric_limits<uint64_t>::max() - length) return std::nullopt;
    return Range{offset, length};
}

bool is_raw(BlockType t) { return t == BlockType::Raw || t == BlockType::Ignore; }

KivError adc_refused() { return KivError::unsupported("ADC compression"); }

KivError short_decode(const char* codec, uint64_t got, uint64_t expected) {
    return KivError::decompression(std::string(codec) + " decoded " + std::to_string(got) + " bytes, expected " +
                                   std::to_string(expected));
}

// ================================================================ decoders

// zlib's and bzip2's stream structs count in 32-bit units.
constexpr size_t kMaxStep = size_t(1) << 30;

// Streaming inflate: exact zlib semantics and zlib's own error messages.
Result<void> inflate_zlib(std::span<const uint8_t> in, std::span<uint8_t> out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return out_of_memory();
    size_t in_pos = 0, out_pos = 0;
    int ret = Z_OK;
    while (out_pos < out.size()) {
        size_t in_step = std::min(in.size() - in_pos, kMaxStep);
        size_t out_step = std::min(out.size() - out_pos, kMaxStep);
        z.next_in = const_cast<Bytef*>(in.data() + in_pos);
        z.avail_in = uInt(in_step);
        z.next_out = out.data() + out_pos;
        z.avail_out = uInt(out_step);
        ret = inflate(&z, Z_NO_FLUSH);
        size_t consumed = in_step - z.avail_in, produced = out_step - z.avail_out;
        in_pos += consumed;
        out_pos += produced;
        if (ret == Z_STREAM_END) break;
        if (ret == Z_BUF_ERROR && consumed == 0 && produced == 0) break;  // input exhausted: the end
        if (ret != Z_OK && ret != Z_BUF_ERROR) {
            std::string msg = z.msg ? z.msg : zError(ret);
            inflateEnd(&z);
            return fail_io(core::IoError::other(std::move(msg)));
        }
    }
    inflateEnd(&z);
    if (out_pos < out.size()) return fail(short_decode("zlib", out_pos, out.size()));
    return {};
}

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

Result<void> decode_zlib(std::span<const uint8_t> in, std::span<uint8_t> out) {
    // Fast path: libdeflate decodes the whole run at once.  Anything short
    // of a complete stream filling the output exactly goes through zlib,
    // which cuts long streams and names the fault.
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> d(libdeflate_alloc_decompressor());
    if (d) {
        size_t produced = 0;
        auto r = libdeflate_zlib_decompress(d.get(), in.data(), in.size(), out.data(), out.size(), &produced);
        if (r == LIBDEFLATE_SUCCESS && produced == out.size()) return {};
    }
    return inflate_zlib(in, out);
}

const char* bzip2_message(int ret) {
    switch (ret) {
        case BZ_DATA_ERROR: return "bzip2: invalid data";
        case BZ_DATA_ERROR_MAGIC: return "bzip2: bz2 header missing";
        case BZ_PARAM_ERROR: return "bzip2: invalid parameters";
        case BZ_MEM_ERROR: return "bzip2: out of memory";
        default: return "bzip2: sequence of operations invalid";
    }
}

Result<void> decode_bzip2(std::span<const uint8_t> in, std::span<uint8_t> out) {
    bz_stream s{};
    if (int r = BZ2_bzDecompressInit(&s, 0, 0); r != BZ_OK) return fail_io(core::IoError::other(bzip2_message(r)));
    size_t in_pos = 0, out_pos = 0;
    while (out_pos < out.size()) {
        size_t in_step = std::min(in.size() - in_pos, kMaxStep);
        size_t out_step = std::min(out.size() - out_pos, kMaxStep);
        s.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.data() + in_pos));
        s.avail_in = unsigned(in_step);
        s.next_out = reinterpret_cast<char*>(out.data() + out_pos);
        s.avail_out = unsigned(out_step);
        int ret = BZ2_bzDecompress(&s);
        size_t consumed = in_step - s.avail_in, produced = out_step - s.avail_out;
        in_pos += consumed;
        out_pos += produced;
        if (ret == BZ_STREAM_END) break;
        if (ret != BZ_OK) {
            BZ2_bzDecompressEnd(&s);
            return fail_io(core::IoError::other(bzip2_message(ret)));
        }
        if (consumed == 0 && produced == 0) break;  // input exhausted: the end
    }
    BZ2_bzDecompressEnd(&s);
    if (out_pos < out.size()) return fail(short_decode("bzip2", out_pos, out.size()));
    return {};
}

const char* xz_message(lzma_ret ret) {
    switch (ret) {
        case LZMA_MEM_ERROR: return "Cannot allocate memory";
        case LZMA_MEMLIMIT_ERROR: return "Memory usage limit reached";
        case LZMA_FORMAT_ERROR: return "File format not recognized";
        case LZMA_OPTIONS_ERROR: return "Unsupported options";
        case LZMA_DATA_ERROR: return "Compressed data is corrupt";
        case LZMA_BUF_ERROR: return "Unexpected end of input";
        case LZMA_UNSUPPORTED_CHECK: return "Unsupported type of integrity check";
        default: return "Internal error (bug)";
    }
}

Result<void> decode_xz(std::span<const uint8_t> in, std::span<uint8_t> out) {
    lzma_stream s = LZMA_STREAM_INIT;
    if (lzma_ret r = lzma_stream_decoder(&s, UINT64_MAX, 0); r != LZMA_OK)
        return fail_io(core::IoError::other(xz_message(r)));
    s.next_in = in.data();
    s.avail_in = in.size();
    s.next_out = out.data();
    s.avail_out = out.size();
    while (s.avail_out > 0) {
        size_t before_in = s.avail_in, before_out = s.avail_out;
        lzma_ret ret = lzma_code(&s, LZMA_RUN);
        if (ret == LZMA_STREAM_END) break;
        if (ret != LZMA_OK && ret != LZMA_BUF_ERROR) {
            lzma_end(&s);
            return fail_io(core::IoError::other(xz_message(ret)));
        }
        if (s.avail_in == before_in && s.avail_out == before_out) break;  // input exhausted: the end
    }
    size_t produced = out.size() - s.avail_out;
    lzma_end(&s);
    if (produced < out.size()) return fail(short_decode("xz", produced, out.size()));
    return {};
}

// ================================================================ property list

struct PlistDeleter {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

KivError plist_error(const std::string& what) { return KivError::invalid_plist("plist parse error: " + what); }

// A reader for the old-style (OpenStep) ASCII property list form, building
// the same node tree as libplist does for XML and binary lists.
class AsciiPlistReader {
public:
    explicit AsciiPlistReader(std::span<const uint8_t> text) : s_(text) {}

    Result<PlistPtr> parse() {
        auto root = value(0);
        if (!root) return fail(std::move(root.error()));
        skip_space();
        if (pos_ != s_.size()) return error("unexpected data after the root object");
        return root;
    }

private:
    static constexpr int kMaxDepth = 512;

    std::unexpected<KivError> error(const std::string& what) const {
        return fail(plist_error(what + " at offset " + std::to_string(pos_)));
    }

    void skip_space() {
        while (pos_ < s_.size()) {
            uint8_t c = s_[pos_];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
                ++pos_;
            } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '/') {
                while (pos_ < s_.size() && s_[pos_] != '\n') ++pos_;
            } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '*') {
                size_t end = pos_ + 2;
                while (end + 1 < s_.size() && !(s_[end] == '*' && s_[end + 1] == '/')) ++end;
                pos_ = end + 1 < s_.size() ? end + 2 : s_.size();
            } else {
                return;
            }
        }
    }

    static bool is_bare(uint8_t c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
               c == '+' || c == '/' || c == ':' || c == '.' || c == '-';
    }

    bool peek(uint8_t c) {
        skip_space();
        return pos_ < s_.size() && s_[pos_] == c;
    }

    Result<PlistPtr> value(int depth) {
        if (depth > kMaxDepth) return error("nesting too deep");
        skip_space();
        if (pos_ >= s_.size()) return error("unexpected end of data");
        uint8_t c = s_[pos_];
        if (c == '{') return dict(depth);
        if (c == '(') return array(depth);
        if (c == '<') return data();
        auto str = string();
        if (!str) return fail(std::move(str.error()));
        return PlistPtr(plist_new_string(str->c_str()));
    }

    Result<PlistPtr> dict(int depth) {
        ++pos_;
        PlistPtr node(plist_new_dict());
        while (!peek('}')) {
            auto key = string();
            if (!key) return fail(std::move(key.error()));
            if (!peek('=')) return error("expected '='");
            ++pos_;
            auto item = value(depth + 1);
            if (!item) return fail(std::move(item.error()));
            plist_dict_set_item(node.get(), key->c_str(), item->release());
            if (!peek(';')) return error("expected ';'");
            ++pos_;
        }
        ++pos_;
        return node;
    }

    Result<PlistPtr> array(int depth) {
        ++pos_;
        PlistPtr node(plist_new_array());
        while (!peek(')')) {
            auto item = value(depth + 1);
            if (!item) return fail(std::move(item.error()));
            plist_array_append_item(node.get(), item->release());
            if (peek(',')) {
                ++pos_;
            } else if (!peek(')')) {
                return error("expected ',' or ')'");
            }
        }
        ++pos_;
        return node;
    }

    static int hex_digit(uint8_t c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    Result<PlistPtr> data() {
        ++pos_;
        std::vector<uint8_t> bytes;
        int high = -1;
        for (;;) {
            skip_space();
            if (pos_ >= s_.size()) return error("unterminated data");
            uint8_t c = s_[pos_++];
            if (c == '>') break;
            int d = hex_digit(c);
            if (d < 0) return error("invalid character in data");
            if (high < 0) {
                high = d;
            } else {
                bytes.push_back(uint8_t(high << 4 | d));
                high = -1;
            }
        }
        if (high >= 0) return error("odd number of hex digits in data");
        return PlistPtr(plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }

    static void append_utf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | cp >> 6);
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xE0 | cp >> 12);
            out += char(0x80 | (cp >> 6 & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }

    Result<std::string> string() {
        skip_space();
        if (pos_ >= s_.size()) return error("unexpected end of data");
        std::string out;
        if (s_[pos_] != '"') {
            while (pos_ < s_.size() && is_bare(s_[pos_])) out += char(s_[pos_++]);
            if (out.empty()) return error("unexpected character");
            return out;
        }
        ++pos_;
        for (;;) {
            if (pos_ >= s_.size()) return error("unterminated string");
            uint8_t c = s_[pos_++];
            if (c == '"') return out;
            if (c != '\\') {
                out += char(c);
                continue;
            }
            if (pos_ >= s_.size()) return error("unterminated string");
            c = s_[pos_++];
            switch (c) {
                case 'a': out += '\a'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'v': out += '\v'; break;
                case 'U': case 'u': {
                    uint32_t cp = 0;
                    int n = 0;
                    for (; n < 4 && pos_ < s_.size() && hex_digit(s_[pos_]) >= 0; ++n) cp = cp << 4 | uint32_t(hex_digit(s_[pos_++]));
                    if (n == 0) return error("invalid unicode escape");
                    append_utf8(out, cp);
                    break;
                }
                default:
                    if (c >= '0' && c <= '7') {
                        uint32_t v = c - '0';
                        for (int n = 1; n < 3 && pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '7'; ++n)
                            v = v << 3 | uint32_t(s_[pos_++] - '0');
                        out += char(v & 0xFF);
                    } else {
                        out += char(c);
                    }
            }
        }
    }

    std::span<const uint8_t> s_;
    size_t pos_ = 0;
};

Result<PlistPtr> parse_any_plist(std::span<const uint8_t> bytes) {
    size_t start = 0;
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) start = 3;
    while (start < bytes.size() && (bytes[start] == ' ' || bytes[start] == '\t' || bytes[start] == '\r' || bytes[start] == '\n'))
        ++start;
    auto rest = bytes.subspan(start);
    bool binary = rest.size() >= 8 && std::memcmp(rest.data(), "bplist00", 8) == 0;
    bool xml = !rest.empty() && rest[0] == '<';
    if (!binary && !xml) return AsciiPlistReader(rest).parse();
    if (rest.size() > UINT32_MAX) return fail(plist_error("property list too large"));
    plist_t root = nullptr;
    if (binary)
        plist_from_bin(reinterpret_cast<const char*>(rest.data()), uint32_t(rest.size()), &root);
    else
        plist_from_xml(reinterpret_cast<const char*>(rest.data()), uint32_t(rest.size()), &root);
    if (!root) return fail(plist_error(binary ? "malformed binary property list" : "malformed XML property list"));
    return PlistPtr(root);
}

std::optional<std::string_view> string_value(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    uint64_t len = 0;
    const char* p = plist_get_string_ptr(node, &len);
    if (!p) return std::string_view{};
    return std::string_view(p, size_t(len));
}

// "-12", "+7", "42": a signed 32-bit decimal number, else 0.
int32_t parse_id(plist_t node) {
    auto s = string_value(node);
    if (!s || s->empty()) return 0;
    std::string_view digits = *s;
    bool negative = false;
    if (digits[0] == '+' || digits[0] == '-') {
        negative = digits[0] == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    int64_t v = 0;
    for (char c : digits) {
        v = v * 10 + (c - '0');
        if (v > int64_t(INT32_MAX) + 1) return 0;
    }
    if (negative) v = -v;
    if (v > INT32_MAX || v < INT32_MIN) return 0;
    return int32_t(v);
}

// "0x0050" (hexadecimal after a lower-case "0x") or "80" (decimal), else 0.
uint32_t parse_attributes(plist_t node) {
    auto s = string_value(node);
    if (!s) return 0;
    std::string_view text = *s;
    int base = 10;
    if (text.starts_with("0x")) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty() || text[0] == '+' || text[0] == '-') return 0;
    uint32_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (ec != std::errc{} || end != text.data() + text.size()) return 0;
    return v;
}

}  // namespace

// ================================================================ parse_plist

Result<std::vector<PartitionEntry>> reader::parse_plist(std::span<const uint8_t> bytes) {
    auto parsed = parse_any_plist(bytes);
    if (!parsed) return fail(std::move(parsed.error()));
    plist_t root = parsed->get();
    if (plist_get_node_type(root) != PLIST_DICT) return fail(KivError::invalid_plist("expected dictionary"));
    plist_t fork = plist_dict_get_item(root, "resource-fork");
    if (!fork || plist_get_node_type(fork) != PLIST_DICT) return fail(KivError::invalid_plist("missing resource-fork"));
    plist_t blkx = plist_dict_get_item(fork, "blkx");
    if (!blkx || plist_get_node_type(blkx) != PLIST_ARRAY) return fail(KivError::invalid_plist("missing blkx array"));

    uint32_t count = plist_array_get_size(blkx);
    std::vector<PartitionEntry> entries;
    entries.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        plist_t item = plist_array_get_item(blkx, i);
        if (!item || plist_get_node_type(item) != PLIST_DICT)
            return fail(KivError::invalid_plist("blkx entry not a dictionary"));
        PartitionEntry entry;
        // Some locales leave "Name" empty and put the name only in "CFName".
        auto name = string_value(plist_dict_get_item(item, "Name"));
        if (!name || name->empty()) {
            if (auto cf = string_value(plist_dict_get_item(item, "CFName"))) name = cf;
        }
        if (name) entry.name = std::string(*name);
        entry.id = parse_id(plist_dict_get_item(item, "ID"));
        entry.attributes = parse_attributes(plist_dict_get_item(item, "Attributes"));
        plist_t data = plist_dict_get_item(item, "Data");
        if (!data || plist_get_node_type(data) != PLIST_DATA)
            return fail(KivError::invalid_plist("missing Data in blkx entry"));
        uint64_t len = 0;
        const char* p = plist_get_data_ptr(data, &len);
        auto map = MishHeader::from_bytes({reinterpret_cast<const uint8_t*>(p), p ? size_t(len) : 0});
        if (!map) return fail(std::move(map.error()));
        entry.block_map = std::move(*map);
        entries.push_back(std::move(entry));
    }
    return entries;
}

// ================================================================ block decoding

Result<void> reader::decode_lzfse_exact(std::span<const uint8_t> data, std::span<uint8_t> output) {
    uint64_t scratch_size = std::max<uint64_t>(2 * uint64_t(output.size()), 1);
    if (!fits_in_memory(scratch_size)) return out_of_memory();
    std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[scratch_size]);
    if (!scratch) return out_of_memory();
    size_t n = lzfse_decode_buffer(scratch.get(), scratch_size, data.data(), data.size(), nullptr);
    if (n == scratch_size) return fail(KivError::decompression("LZFSE: BufferTooSmall"));
    if (n != output.size()) return fail(short_decode("lzfse", n, output.size()));
    std::memcpy(output.data(), scratch.get(), n);
    return {};
}

Result<void> reader::decompress_block(const ReadBlock& block, std::span<uint8_t> output) {
    switch (block.type) {
        case BlockType::Raw:
        case BlockType::Ignore: {
            size_t n = std::min(block.data.size(), output.size());
            std::memcpy(output.data(), block.data.data(), n);
            std::memset(output.data() + n, 0, output.size() - n);
            return {};
        }
        case BlockType::Zlib:
            if (output.empty()) return {};
            return decode_zlib(block.data, output);
        case BlockType::Bzip2:
            if (output.empty()) return {};
            return decode_bzip2(block.data, output);
        case BlockType::Xz:
            if (output.empty()) return {};
            return decode_xz(block.data, output);
        case BlockType::Lzfse:
            return decode_lzfse_exact(block.data, output);
        default:
            std::memset(output.data(), 0, output.size());
            return {};
    }
}

// ================================================================ opening

Result<DmgReader> DmgReader::open_with_options(const std::string& path, bool verify_checksums) {
    auto source = core::FileSource::open(path);
    if (!source) return fail_io(source.error());
    return with_options(std::make_unique<core::FileSource>(std::move(*source)), verify_checksums);
}

namespace {

// CRC-32 of `length` bytes at `offset`, read in large pieces.
Result<uint32_t> crc_of_range(core::ByteSource& source, uint64_t offset, uint64_t length) {
    if (const auto* mem = source.memory()) {
        if (offset > mem->size() || length > mem->size() - offset) return short_read();
        return checksum::crc32({mem->data() + offset, size_t(length)});
    }
    if (auto r = source.seek(offset); !r) return fail_io(r.error());
    constexpr size_t kPiece = 4u << 20;
    std::vector<uint8_t> buf(size_t(std::min<uint64_t>(length, kPiece)));
    uint32_t crc = 0;
    while (length > 0) {
        size_t n = size_t(std::min<uint64_t>(length, buf.size()));
        if (auto r = source.read_exact({buf.data(), n}); !r) return fail_io(r.error());
        crc = checksum::crc32_update(crc, {buf.data(), n});
        length -= n;
    }
    return crc;
}

}  // namespace

Result<DmgReader> DmgReader::with_options(std::unique_ptr<core::ByteSource> source, bool verify_checksums) {
    auto trailer = KolyHeader::read(*source);
    if (!trailer) return fail(std::move(trailer.error()));

    if (verify_checksums && trailer->has_data_checksum()) {
        auto crc = crc_of_range(*source, trailer->data_fork_offset, trailer->data_fork_length);
        if (!crc) return fail(std::move(crc.error()));
        uint32_t stored = checksum::stored_value(trailer->data_checksum);
        if (*crc != stored) return fail(KivError::checksum_mismatch(stored, *crc));
    }

    if (auto r = source->seek(trailer->xml_offset); !r) return fail_io(r.error());
    auto xml = source->read_vec(trailer->xml_length);
    if (!xml) return fail_io(xml.error());
    auto partitions = reader::parse_plist(*xml);
    if (!partitions) return fail(std::move(partitions.error()));

    if (verify_checksums) {
        if (auto r = verify_master_checksum(*trailer, *partitions); !r) return fail(std::move(r.error()));
    }

    DmgReader reader;
    reader.partitions_ = std::move(*partitions);
    reader.source_ = std::move(source);
    reader.xml_offset_ = trailer->xml_offset;
    reader.xml_length_ = trailer->xml_length;
    reader.trailer_ = *trailer;
    return reader;
}

Result<void> DmgReader::verify_master_checksum(const KolyHeader& trailer, const std::vector<PartitionEntry>& partitions) {
    if (!trailer.has_master_checksum()) return {};
    uint32_t crc = 0;
    for (const auto& p : partitions) crc = checksum::crc32_update(crc, {p.block_map.checksum.data(), 4});
    uint32_t stored = checksum::stored_value(trailer.master_checksum);
    if (crc != stored) return fail(KivError::checksum_mismatch(stored, crc));
    return {};
}

// ================================================================ lookups

Result<const PartitionEntry*> DmgReader::find_partition(int32_t id) const {
    for (const auto& p : partitions_)
        if (p.id == id) return &p;
    return fail(KivError::file_not_found("partition " + std::to_string(id)));
}

namespace {
Result<uint64_t> size_of(const PartitionEntry& entry) {
    uint64_t sectors = entry.block_map.sector_count;
    if (sectors > std::numeric_limits<uint64_t>::max() / kSectorSize)
        return fail(KivError::invalid_block_map("partition sector count " + std::to_string(sectors) + " is too large"));
    return sectors * kSectorSize;
}

// The id of the entry with the most sectors among those `pick` accepts;
// the later entry wins ties.
template <class Pick>
std::optional<int32_t> largest(const std::vector<PartitionEntry>& entries, Pick pick) {
    const PartitionEntry* best = nullptr;
    for (const auto& e : entries)
        if (pick(e) && (!best || e.block_map.sector_count >= best->block_map.sector_count)) best = &e;
    return best ? std::optional(best->id) : std::nullopt;
}
}  // namespace

Result<uint64_t> DmgReader::partition_size(int32_t id) const {
    auto entry = find_partition(id);
    if (!entry) return fail(std::move(entry.error()));
    return size_of(**entry);
}

Result<int32_t> DmgReader::hfs_partition_id() const {
    auto id = largest(partitions_, [](const PartitionEntry& e) { return e.name.find("Apple_HFS") != std::string::npos; });
    if (!id) return fail(KivError::file_not_found("no HFS+/HFSX partition found"));
    return *id;
}

Result<int32_t> DmgReader::main_partition_id() const {
    if (partitions_.empty()) return fail(KivError::file_not_found("no partitions found"));
    auto id = largest(partitions_, [](const PartitionEntry& e) {
        // "Apple_HFS" also matches every "Apple_HFSX".
        return e.name.find("Apple_HFS") != std::string::npos || e.name.find("Apple_APFS") != std::string::npos;
    });
    if (!id) id = largest(partitions_, [](const PartitionEntry&) { return true; });
    return *id;
}

Result<std::vector<uint8_t>> DmgReader::decompress_main_partition_auto() {
    auto id = main_partition_id();
    if (!id) return fail(std::move(id.error()));
    return decompress_partition_parallel(*id);
}

// ================================================================ parallel extraction

Result<std::vector<uint8_t>> DmgReader::decompress_partition_parallel(int32_t id) {
    auto entry = find_partition(id);
    if (!entry) return fail(std::move(entry.error()));
    auto size = size_of(**entry);
    if (!size) return fail(std::move(size.error()));
    if (!fits_in_memory(*size)) return out_of_memory();
    std::vector<uint8_t> output;
    try {
        output.resize(size_t(*size));
    } catch (const std::bad_alloc&) {
        return out_of_memory();
    }
    if (auto r = decode_parallel(**entry, output, true); !r) return fail(std::move(r.error()));
    return output;
}

Result<void> DmgReader::decompress_partition_into(int32_t id, std::span<uint8_t> output) {
    auto entry = find_partition(id);
    if (!entry) return fail(std::move(entry.error()));
    auto size = size_of(**entry);
    if (!size) return fail(std::move(size.error()));
    if (*size != output.size())
        return fail_io(core::IoError::other("output buffer holds " + std::to_string(output.size()) +
                                            " bytes, the partition " + std::to_string(*size)));
    return decode_parallel(**entry, output, false);
}

Result<void> DmgReader::decode_parallel(const PartitionEntry& entry, std::span<uint8_t> output, bool output_zeroed) {
    const auto& runs = entry.block_map.runs;
    const uint64_t fork = trailer_.data_fork_offset;
    auto file_size = source_->size();
    if (!file_size) return fail_io(file_size.error());

    // Read pass, in stored order: which runs carry data, and where.
    struct Pending {
        uint64_t file_offset;
        uint64_t length;
        uint64_t output_offset;
        uint64_t output_length;
        BlockType type;
    };
    std::vector<Pending> pending;
    for (const auto& run : runs) {
        if (run.type == BlockType::ZeroFill || run.type == BlockType::Terminator || run.type == BlockType::Comment) continue;
        if (run.type == BlockType::Adc) return fail(adc_refused());
        if (is_raw(run.type) && run.compressed_length == 0) continue;
        // A run whose bytes lie beyond the file reads short.
        if (run.compressed_offset > std::numeric_limits<uint64_t>::max() - fork) return short_read();
        uint64_t at = fork + run.compressed_offset;
        if (at > *file_size || run.compressed_length > *file_size - at) return short_read();
        auto range = output_range(run);
        if (!range) return fail(KivError::invalid_block_map("block run reaches past the end of the partition"));
        pending.push_back({at, run.compressed_length, range->offset, range->length, run.type});
    }

    // Slices are laid out in output order; a run overlapping its predecessor
    // follows it instead.
    std::stable_sort(pending.begin(), pending.end(),
                     [](const Pending& a, const Pending& b) { return a.output_offset < b.output_offset; });

    // Stored bytes: the file's own memory when it is in memory; read by each
    // task for itself where the source allows reads from several threads;
    // otherwise the runs' byte ranges merged into a few large sequential reads.
    std::vector<ReadBlock> blocks(pending.size());
    std::vector<std::unique_ptr<uint8_t[]>> buffers;
    const core::PositionalReader* positional = nullptr;
    if (const auto* mem = source_->memory()) {
        for (size_t i = 0; i < pending.size(); ++i)
            blocks[i].data = {mem->data() + pending[i].file_offset, size_t(pending[i].length)};
    } else if (!(positional = source_->positional())) {
        std::vector<size_t> order(pending.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(),
                  [&](size_t a, size_t b) { return pending[a].file_offset < pending[b].file_offset; });
        constexpr uint64_t kMergeGap = 1u << 20;
        for (size_t k = 0; k < order.size();) {
            uint64_t start = pending[order[k]].file_offset;
            uint64_t end = start + pending[order[k]].length;
            size_t last = k + 1;
            while (last < order.size() && pending[order[last]].file_offset <= end + kMergeGap) {
                end = std::max(end, pending[order[last]].file_offset + pending[order[last]].length);
                ++last;
            }
            // Not zero-filled: the read overwrites every byte.
            std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[size_t(end - start)]);
            if (!buf) return out_of_memory();
            if (auto r = source_->read_exact_at(start, {buf.get(), size_t(end - start)}); !r) return fail_io(r.error());
            for (size_t j = k; j < last; ++j) {
                const auto& p = pending[order[j]];
                blocks[order[j]].data = {buf.get() + (p.file_offset - start), size_t(p.length)};
            }
            buffers.push_back(std::move(buf));
            k = last;
        }
    }
    for (size_t i = 0; i < pending.size(); ++i) {
        blocks[i].output_offset = pending[i].output_offset;
        blocks[i].output_length = pending[i].output_length;
        blocks[i].type = pending[i].type;
    }

    // A slice past the partition's end means a corrupt block map: the
    // operation fails rather than write outside the output.  Gaps become
    // zero-fill tasks when the output is not known to be zero, so that
    // filling them runs in parallel too.
    struct Task {
        const ReadBlock* block;   // nullptr: fill with zeros
        const Pending* stored;    // where a task reading for itself finds its bytes
        std::span<uint8_t> out;
    };
    std::vector<Task> tasks;
    tasks.reserve(blocks.size() + 1);
    auto add_gap = [&](uint64_t from, uint64_t to) {
        constexpr uint64_t kPiece = 4u << 20;
        for (; !output_zeroed && from < to; from += std::min(kPiece, to - from))
            tasks.push_back({nullptr, nullptr, output.subspan(size_t(from), size_t(std::min(kPiece, to - from)))});
    };
    uint64_t position = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const ReadBlock& block = blocks[i];
        uint64_t start = std::max(position, block.output_offset);
        if (start > output.size() || block.output_length > output.size() - start)
            return fail(KivError::invalid_block_map("block run reaches past the end of the partition"));
        add_gap(position, start);
        tasks.push_back({&block, positional ? &pending[i] : nullptr,
                         output.subspan(size_t(start), size_t(block.output_length))});
        position = start + block.output_length;
    }
    add_gap(position, output.size());

    // Tasks are in output order, so the first failing run in the output
    // decides the error.
    return core::parallel_try<KivError>(tasks.size(), [&](size_t i) -> Result<void> {
        const Task& t = tasks[i];
        if (!t.block) {
            std::memset(t.out.data(), 0, t.out.size());
            return {};
        }
        if (!t.stored) return reader::decompress_block(*t.block, t.out);
        // Lengths were checked against the file size above.
        std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size_t(t.stored->length)]);
        if (!bytes) return out_of_memory();
        if (auto r = positional->pread_exact(t.stored->file_offset, {bytes.get(), size_t(t.stored->length)}); !r)
            return fail_io(r.error());
        ReadBlock block = *t.block;
        block.data = {bytes.get(), size_t(t.stored->length)};
        return reader::decompress_block(block, t.out);
    });
}

// ================================================================ streamed extraction

Result<uint64_t> DmgReader::decompress_partition_to(int32_t id, core::ByteSink& sink) {
    auto entry = find_partition(id);
    if (!entry) return fail(std::move(entry.error()));
    auto size = size_of(**entry);
    if (!size) return fail(std::move(size.error()));
    auto file_size = source_->size();
    if (!file_size) return fail_io(file_size.error());
    const uint64_t fork = trailer_.data_fork_offset;

    auto write = [&](std::span<const uint8_t> bytes) -> Result<void> {
        if (auto r = sink.write_all(bytes); !r) return fail_io(r.error());
        return {};
    };
    auto zeros = [&](uint64_t n) -> Result<void> {
        if (auto r = sink.write_zeros(n); !r) return fail_io(r.error());
        return {};
    };
    auto read_stored = [&](const BlockRun& run) -> Result<std::vector<uint8_t>> {
        if (run.compressed_offset > std::numeric_limits<uint64_t>::max() - fork) return short_read();
        uint64_t at = fork + run.compressed_offset;
        if (at > *file_size || run.compressed_length > *file_size - at) return short_read();
        if (auto r = source_->seek(at); !r) return fail_io(r.error());
        auto bytes = source_->read_vec(run.compressed_length);
        if (!bytes) return fail_io(bytes.error());
        return std::move(*bytes);
    };

    uint64_t position = 0;
    for (const auto& run : (*entry)->block_map.runs) {
        auto range = output_range(run);
        if (!range) return fail(KivError::invalid_block_map("block run reaches past the end of the partition"));
        if (range->offset > position) {
            if (auto r = zeros(range->offset - position); !r) return fail(std::move(r.error()));
            position = range->offset;
        }
        const uint64_t length = range->length;
        if (length > std::numeric_limits<uint64_t>::max() - position)
            return fail(KivError::invalid_block_map("block run reaches past the end of the partition"));
        switch (run.type) {
            case BlockType::Comment:
            case BlockType::Terminator:
                continue;
            case BlockType::Adc:
                return fail(adc_refused());
            case BlockType::ZeroFill:
                if (auto r = zeros(length); !r) return fail(std::move(r.error()));
                break;
            case BlockType::Raw:
            case BlockType::Ignore: {
                if (run.compressed_length == 0) {
                    if (auto r = zeros(length); !r) return fail(std::move(r.error()));
                    break;
                }
                auto stored = read_stored(run);
                if (!stored) return fail(std::move(stored.error()));
                if (auto r = write(*stored); !r) return fail(std::move(r.error()));
                if (stored->size() > length)
                    return fail(KivError::invalid_block_map("block run stores " + std::to_string(stored->size()) +
                                                            " bytes but declares only " + std::to_string(length)));
                if (auto r = zeros(length - stored->size()); !r) return fail(std::move(r.error()));
                break;
            }
            default: {
                auto stored = read_stored(run);
                if (!stored) return fail(std::move(stored.error()));
                auto buffer = zero_buffer(length);
                if (!buffer) return fail(std::move(buffer.error()));
                std::span<uint8_t> out(buffer->get(), size_t(length));
                ReadBlock block{*stored, range->offset, length, run.type};
                if (auto r = reader::decompress_block(block, out); !r) return fail(std::move(r.error()));
                if (auto r = write(out); !r) return fail(std::move(r.error()));
                break;
            }
        }
        position += length;
    }
    if (position < *size) {
        if (auto r = zeros(*size - position); !r) return fail(std::move(r.error()));
        position = *size;
    }
    return position;
}

}  // namespace udif
