#include "pbzx/cpio.hpp"

#include <algorithm>
#include <limits>

#include "core/io.hpp"
#include "core/text.hpp"
#include "core/try.hpp"
#include "links.hpp"

namespace pbzx {
namespace {

std::string_view as_text(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool is_magic(std::string_view six) { return six == kNewcMagic || six == kNewcCrcMagic || six == kOdcMagic; }

PbzxError bad_magic(size_t offset, std::string_view magic) {
    return PbzxError::invalid_cpio("Invalid CPIO magic at offset " + std::to_string(offset) + ": " +
                                   core::debug_quote(core::utf8_lossy(magic)));
}

// Trims the white space a number field may be padded with.
std::string_view trim(std::string_view s) {
    auto is_space = [](unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// Parses the header fields of one format in order; the first bad field wins.
class FieldParser {
public:
    explicit FieldParser(std::string_view header) : header_(header) {}

    // newc: 8 hexadecimal digits, a 32-bit value.
    template <class T>
    Result<void> hex(size_t width, T& out) {
        return number(width, 16, uint32_t(-1), out);
    }
    // odc: octal digits, trimmed of padding, up to the field's type.
    template <class T>
    Result<void> octal(size_t width, T& out) {
        return number(width, 8, std::numeric_limits<T>::max(), out);
    }

private:
    std::string_view next(size_t width) {
        std::string_view field = header_.substr(pos_, width);
        pos_ += width;
        return field;
    }

    template <class T>
    Result<void> number(size_t width, unsigned base, uint64_t max, T& out) {
        const std::string_view field = next(width);
        if (auto e = core::utf8_error(field)) return fail(PbzxError::invalid_cpio("Invalid UTF-8 in header: " + *e));
        auto value = core::parse_unsigned(base == 16 ? field : trim(field), base, max);
        if (!value)
            return fail(PbzxError::invalid_cpio(std::string(base == 16 ? "Invalid hex" : "Invalid octal") + " value '" +
                                                std::string(field) + "': " + value.error()));
        out = T(*value);
        return {};
    }

    std::string_view header_;
    size_t pos_ = 0;
};

Result<void> parse_newc(std::string_view fields, CpioEntry& e) {
    FieldParser p(fields);
    KIV_TRY(p.hex(8, e.ino));
    KIV_TRY(p.hex(8, e.mode));
    KIV_TRY(p.hex(8, e.uid));
    KIV_TRY(p.hex(8, e.gid));
    KIV_TRY(p.hex(8, e.nlink));
    KIV_TRY(p.hex(8, e.mtime));
    KIV_TRY(p.hex(8, e.filesize));
    KIV_TRY(p.hex(8, e.devmajor));
    KIV_TRY(p.hex(8, e.devminor));
    KIV_TRY(p.hex(8, e.rdevmajor));
    KIV_TRY(p.hex(8, e.rdevminor));
    KIV_TRY(p.hex(8, e.namesize));
    return p.hex(8, e.check);
}

Result<void> parse_odc(std::string_view fields, CpioEntry& e) {
    FieldParser p(fields);
    uint32_t dev = 0, rdev = 0;
    KIV_TRY(p.octal(6, dev));
    KIV_TRY(p.octal(6, e.ino));
    KIV_TRY(p.octal(6, e.mode));
    KIV_TRY(p.octal(6, e.uid));
    KIV_TRY(p.octal(6, e.gid));
    KIV_TRY(p.octal(6, e.nlink));
    KIV_TRY(p.octal(6, rdev));
    KIV_TRY(p.octal(11, e.mtime));
    KIV_TRY(p.octal(6, e.namesize));
    KIV_TRY(p.octal(11, e.filesize));
    e.devmajor = dev >> 8;
    e.devminor = dev & 0xFF;
    e.rdevmajor = rdev >> 8;
    e.rdevminor = rdev & 0xFF;
    e.check = 0;
    return {};
}

}  // namespace

// ---- CpioReader -------------------------------------------------------------

Result<std::span<const uint8_t>> CpioReader::take(uint64_t n) {
    if (n > data_.size() - pos_) return fail(core::IoError::unexpected_eof());
    auto bytes = data_.subspan(pos_, size_t(n));
    pos_ += size_t(n);
    return bytes;
}

Result<void> CpioReader::check_start() const {
    if (data_.empty()) return {};
    std::string_view head = as_text(data_.first(std::min<size_t>(data_.size(), 6)));
    if (!is_magic(head)) return fail(bad_magic(0, head));
    return {};
}

uint64_t CpioReader::data_padding(uint64_t size) const {
    return format_ == CpioFormat::Newc ? (4 - size % 4) % 4 : 0;
}

Result<std::optional<CpioEntry>> CpioReader::read_header() {
    if (data_.size() - pos_ < 6) return std::nullopt;
    const size_t start = pos_;
    std::string_view magic = as_text(*take(6));
    if (magic == kOdcMagic) format_ = CpioFormat::Odc;
    else if (magic == kNewcMagic || magic == kNewcCrcMagic) format_ = CpioFormat::Newc;
    else
        return fail(bad_magic(start, magic));

    const size_t header_size = format_ == CpioFormat::Odc ? kOdcHeaderSize : kNewcHeaderSize;
    auto fields = KIV_TRY(take(header_size - 6));
    CpioEntry entry;
    entry.format = format_;
    KIV_TRY(format_ == CpioFormat::Odc ? parse_odc(as_text(fields), entry) : parse_newc(as_text(fields), entry));

    auto name = KIV_TRY(take(entry.namesize));
    std::string_view name_text = as_text(name);
    if (!name_text.empty() && name_text.back() == '\0') name_text.remove_suffix(1);
    if (auto e = core::utf8_error(name_text)) return fail(PbzxError::invalid_cpio("Invalid filename: " + *e));
    entry.name = std::string(name_text);

    if (format_ == CpioFormat::Newc) {
        uint64_t padding = (4 - (kNewcHeaderSize + entry.namesize) % 4) % 4;
        KIV_TRY(take(padding));
    }
    return entry;
}

Result<std::vector<uint8_t>> CpioReader::read_data(uint64_t size) {
    auto bytes = KIV_TRY(take(size));
    KIV_TRY(take(data_padding(size)));
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

Result<void> CpioReader::skip_data(uint64_t size) {
    KIV_TRY(take(size));
    KIV_TRY(take(data_padding(size)));
    return {};
}

Result<std::vector<FileEntry>> CpioReader::list() {
    rewind();
    KIV_TRY(check_start());
    std::vector<FileEntry> entries;
    // Size-0 names of link sets (entry index, header offset) list with the size of their set's data.
    std::vector<std::pair<size_t, size_t>> shared_names;
    for (;;) {
        const size_t header_offset = pos_;
        auto header = KIV_TRY(read_header());
        if (!header || header->is_trailer()) break;
        CpioEntry& e = *header;
        if (e.is_newc_link() && e.filesize == 0) shared_names.emplace_back(entries.size(), header_offset);
        FileEntry entry{.path = std::move(e.name), .size = e.filesize, .mtime = e.mtime, .mode = e.mode,
                        .uid = e.uid, .gid = e.gid, .is_dir = e.is_dir(), .is_symlink = e.is_symlink(),
                        .link_target = std::nullopt};
        if (e.is_symlink() && e.filesize > 0) {
            auto target = KIV_TRY(read_data(e.filesize));
            std::string_view text(reinterpret_cast<const char*>(target.data()), target.size());
            if (auto err = core::utf8_error(text))
                return fail(PbzxError::invalid_cpio("Invalid symlink target: " + *err));
            entry.link_target = std::string(text);
        } else if (auto r = skip_data(e.filesize); !r) {
            return fail(std::move(r.error()));
        }
        entries.push_back(std::move(entry));
    }
    if (!shared_names.empty()) {
        auto links = detail::LinkIndex::build(data_);
        for (auto [index, header_offset] : shared_names)
            if (auto shared = links.shared(header_offset)) entries[index].size = shared->size;
    }
    return entries;
}

Result<std::vector<uint8_t>> CpioReader::extract_file(std::string_view path) {
    rewind();
    KIV_TRY(check_start());
    for (;;) {
        const size_t header_offset = pos_;
        auto header = KIV_TRY(read_header());
        if (!header || header->is_trailer()) return fail(PbzxError::file_not_found(std::string(path)));
        const CpioEntry& e = *header;
        if (e.name == path) {
            if (e.is_dir()) return fail(PbzxError::invalid_path("'" + std::string(path) + "' is a directory"));
            if (e.is_newc_link() && e.filesize == 0) {
                if (auto shared = detail::LinkIndex::build(data_).shared(header_offset))
                    return std::vector<uint8_t>(data_.begin() + shared->offset,
                                                data_.begin() + shared->offset + shared->size);
            }
            return read_data(e.filesize);
        }
        KIV_TRY(skip_data(e.filesize));
    }
}

}  // namespace pbzx
