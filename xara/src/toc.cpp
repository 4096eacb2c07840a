#include "parse.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <unordered_map>

#include <expat.h>

#include "core/try.hpp"
#include "internal.hpp"

namespace xara {

namespace toc {
namespace {

// ------------------------------------------------------------ text helpers

// Length of the Unicode White_Space character starting at s[i], or 0.
size_t white_space_at(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return i + k < s.size() ? uint8_t(s[i + k]) : uint8_t(0); };
    const uint8_t c = b(0);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
    if (c == 0xC2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;
    if (c == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;  // U+1680
    if (c == 0xE2 && b(1) == 0x80 && ((b(2) >= 0x80 && b(2) <= 0x8A) || b(2) == 0xA8 || b(2) == 0xA9 || b(2) == 0xAF))
        return 3;  // U+2000..U+200A, U+2028, U+2029, U+202F
    if (c == 0xE2 && b(1) == 0x81 && b(2) == 0x9F) return 3;  // U+205F
    if (c == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;  // U+3000
    return 0;
}

// Whether a Unicode White_Space character ends at s[end - 1]; its length or 0.
size_t white_space_before(std::string_view s, size_t end) {
    for (size_t len = 1; len <= 3 && len <= end; ++len)
        if (white_space_at(s, end - len) == len) return len;
    return 0;
}

// Removes leading and trailing Unicode white space.
std::string_view trim(std::string_view s) {
    size_t begin = 0, end = s.size();
    while (begin < end) {
        size_t n = white_space_at(s.substr(0, end), begin);
        if (n == 0) break;
        begin += n;
    }
    while (end > begin) {
        size_t n = white_space_before(s.substr(begin, end - begin), end - begin);
        if (n == 0) break;
        end -= n;
    }
    return s.substr(begin, end - begin);
}

int base64_value(uint8_t c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Standard alphabet, padding required and canonical.
std::expected<std::vector<uint8_t>, std::string> base64_decode(std::string_view in) {
    if (in.size() % 4 != 0) {
        // A length that no padding could fix is an invalid length; else the padding is missing.
        if (in.size() % 4 == 1) return std::unexpected(std::string("Invalid input length."));
        for (size_t i = 0; i < in.size(); ++i)
            if (base64_value(uint8_t(in[i])) < 0 && in[i] != '=')
                return std::unexpected("Invalid symbol " + std::to_string(uint8_t(in[i])) + ", offset " +
                                       std::to_string(i) + ".");
        return std::unexpected(std::string("Invalid padding"));
    }
    size_t pad = 0;
    if (!in.empty() && in.back() == '=') pad = (in.size() >= 2 && in[in.size() - 2] == '=') ? 2 : 1;
    std::vector<uint8_t> out;
    out.reserve(in.size() / 4 * 3);
    for (size_t i = 0; i < in.size(); i += 4) {
        int v[4];
        const bool last = i + 4 == in.size();
        for (size_t k = 0; k < 4; ++k) {
            const uint8_t c = uint8_t(in[i + k]);
            if (c == '=' && last && k >= 4 - pad) { v[k] = 0; continue; }
            v[k] = base64_value(c);
            if (v[k] < 0)
                return std::unexpected("Invalid symbol " + std::to_string(c) + ", offset " + std::to_string(i + k) + ".");
        }
        const uint32_t bits = uint32_t(v[0]) << 18 | uint32_t(v[1]) << 12 | uint32_t(v[2]) << 6 | uint32_t(v[3]);
        const size_t emit = last ? 3 - pad : 3;
        // Bits below the last emitted byte must be zero in canonical base64.
        if (last && pad > 0 && (bits & ((1u << (8 * pad)) - 1)) != 0) {
            const size_t at = i + 3 - pad;
            return std::unexpected("Invalid last symbol " + std::to_string(uint8_t(in[at])) + ", offset " +
                                   std::to_string(at) + ".");
        }
        for (size_t k = 0; k < emit; ++k) out.push_back(uint8_t(bits >> (16 - 8 * k)));
    }
    return out;
}

// ------------------------------------------------------------ parser state

enum class Ctx : uint8_t { Xar, Toc, File, Data, Other, Root /* nothing open; never on the stack */ };

enum class Field : uint8_t {
    Name, Type, Link, Offset, Length, Size, ExtractedChecksum, ArchivedChecksum, Encoding
};

constexpr std::array<const char*, 9> kFieldNames = {
    "name", "type", "link", "offset", "length", "size", "extracted-checksum", "archived-checksum", "encoding"};

std::optional<Field> field_of(std::string_view element) {
    for (size_t i = 0; i < kFieldNames.size(); ++i)
        if (element == kFieldNames[i]) return Field(i);
    return std::nullopt;
}

bool is_data_field(Field f) { return f >= Field::Offset; }

struct FileDataBuilder {
    std::optional<uint64_t> offset, length, size;
    std::optional<std::string> encoding, extracted_checksum, archived_checksum;
};

struct Capture {
    Field field;
    std::string text;
    size_t depth;  // element-stack depth when the field element opened
};

struct FileBuilder {
    uint64_t id = 0;
    std::string name;
    std::optional<std::string> pending_name_encoding;
    std::optional<std::string> type;
    std::optional<std::string> hardlink_to;  // the link attribute of a "hardlink" <type>
    std::optional<std::string> link;
    std::optional<FileDataBuilder> data;
    std::vector<size_t> children;
    uint16_t assigned = 0;  // bit per Field already given
    std::optional<Capture> capture;
};

// No writer nests folders this deep (a macOS path holds at most 1024 bytes);
// the bound keeps the file-builder stack and every path short.
constexpr size_t kMaxFileDepth = 1024;
// Resolved paths repeat every ancestor's name, so a hostile TOC could make
// them grow with the square of its nesting.  Real archives stay far below
// this many path bytes per byte of TOC text, even with paths of the greatest
// length macOS allows.
constexpr uint64_t kPathBytesPerTocByte = 32;
constexpr uint64_t kMinPathBytes = 64 * 1024;

constexpr const char* kOutOfMemory = "XML error: out of memory";

class TocParser {
public:
    explicit TocParser(std::span<const uint8_t> xml) : xml_(xml) {}
    ~TocParser() {
        if (parser_) XML_ParserFree(parser_);
    }

    Result<std::vector<XarFile>> run();

private:
    // Expat callbacks.  Expat is C: no exception may unwind through it, so
    // running out of memory in a handler stops the parser instead.
    template <class Handler>
    static void guarded(void* self, Handler&& handler) {
        auto* parser = static_cast<TocParser*>(self);
        try {
            handler(*parser);
        } catch (const std::bad_alloc&) {
            parser->out_of_memory_ = true;
            XML_StopParser(parser->parser_, XML_FALSE);
        }
    }
    static void on_start(void* self, const XML_Char* name, const XML_Char** atts) {
        guarded(self, [&](TocParser& p) { p.start_element(name, atts); });
    }
    static void on_end(void* self, const XML_Char*) {
        guarded(self, [](TocParser& p) { p.end_element(); });
    }
    static void on_text(void* self, const XML_Char* s, int len) {
        guarded(self, [&](TocParser& p) { p.text(std::string_view(s, size_t(len))); });
    }
    static void on_default(void* self, const XML_Char* s, int len) {
        // With a default handler set, references to entities declared in a
        // document type arrive here unexpanded; they are not predefined entities.
        if (len > 0 && s[0] == '&')
            guarded(self, [&](TocParser& p) { p.stop("invalid XML text: undefined entity " + std::string(s, size_t(len))); });
    }

    void stop(std::string text) {
        if (!error_) error_ = std::move(text);
        XML_StopParser(parser_, XML_FALSE);
    }
    bool failed() const { return error_.has_value() || out_of_memory_; }

    FileBuilder* top_file() { return files_.empty() ? nullptr : &files_.back(); }
    bool capturing() { return top_file() && top_file()->capture; }
    bool start_tag_is_empty() const;

    void start_element(std::string_view name, const XML_Char** atts);
    void end_element();
    void text(std::string_view s);
    void begin_capture(Field field);
    void assign_text(Field field, std::string text);
    void assign_encoding(std::string style);
    void finish_entry();
    bool mark_assigned(FileBuilder& f, Field field);
    Result<std::vector<XarFile>> finish_document();
    void resolve_hardlinks();

    std::span<const uint8_t> xml_;
    XML_Parser parser_ = nullptr;
    std::vector<Ctx> stack_;
    std::vector<FileBuilder> files_;
    std::vector<XarFile> entries_;
    std::vector<std::pair<size_t, uint64_t>> hardlinks_;  // (entry index, id of the entry with the data)
    bool seen_xar_ = false;
    bool seen_toc_ = false;
    bool swallow_end_ = false;  // the end event of a self-closing tag, already handled
    bool out_of_memory_ = false;
    std::optional<std::string> error_;
};

const XML_Char* find_attribute(const XML_Char** atts, std::string_view wanted) {
    for (size_t i = 0; atts[i]; i += 2)
        if (wanted == atts[i]) return atts[i + 1];
    return nullptr;
}

bool TocParser::start_tag_is_empty() const {
    // The parser reads our own UTF-8 buffer, so the event's bytes are there.
    const XML_Index at = XML_GetCurrentByteIndex(parser_);
    const int count = XML_GetCurrentByteCount(parser_);
    if (at < 0 || count < 2 || uint64_t(at) + uint64_t(count) > xml_.size()) return false;
    const uint8_t* end = xml_.data() + at + count;
    return end[-2] == '/' && end[-1] == '>';
}

void TocParser::start_element(std::string_view name, const XML_Char** atts) {
    if (failed()) return;
    const bool empty = start_tag_is_empty();
    if (empty) swallow_end_ = true;
    if (capturing()) return stop("nested element inside scalar file metadata");

    const bool at_root = stack_.empty();
    const Ctx parent = at_root ? Ctx::Root : stack_.back();
    auto push = [&](Ctx c) {
        if (!empty) stack_.push_back(c);
    };

    if (name == "xar") {
        if (!at_root || seen_xar_) return stop("duplicate or misplaced XAR document element");
        seen_xar_ = true;
        return push(Ctx::Xar);
    }
    if (name == "toc") {
        if (parent != Ctx::Xar || seen_toc_) return stop("duplicate or misplaced XAR document element");
        seen_toc_ = true;
        return push(Ctx::Toc);
    }
    if (name == "file" && (parent == Ctx::Toc || parent == Ctx::File)) {
        if (empty) return stop("empty <file> is missing required metadata");
        if (files_.size() >= kMaxFileDepth)
            return stop("<file> elements nested deeper than " + std::to_string(kMaxFileDepth) + " levels");
        FileBuilder f;
        if (const XML_Char* id = find_attribute(atts, "id")) {
            auto v = core::parse_unsigned(trim(id), 10);
            if (!v) return stop("invalid <file id> value " + core::debug_quote(id) + ": " + v.error());
            f.id = *v;
        }
        files_.push_back(std::move(f));
        return push(Ctx::File);
    }
    if (name == "data" && parent == Ctx::File) {
        if (empty) return stop("file <data> is missing <offset>, <length>, and <size>");
        FileBuilder& f = files_.back();
        if (f.data) return stop("duplicate direct <data> block in <file>");
        f.data.emplace();
        return push(Ctx::Data);
    }
    if (const auto field = field_of(name)) {
        const bool in_place = is_data_field(*field) ? parent == Ctx::Data : parent == Ctx::File;
        if (in_place) {
            if (*field == Field::Encoding) {
                const XML_Char* style = find_attribute(atts, "style");
                if (!style) return stop("file data <encoding> is missing its style attribute");
                assign_encoding(style);
                if (failed()) return;
                return push(Ctx::Other);
            }
            if (*field == Field::Name) {
                const XML_Char* enctype = find_attribute(atts, "enctype");
                files_.back().pending_name_encoding =
                    enctype ? std::optional<std::string>(enctype) : std::nullopt;
            }
            if (*field == Field::Type) {
                // The xar tool marks hard links <type link="original"> on the entry
                // holding the data and <type link="ID"> on the others.
                const XML_Char* link = find_attribute(atts, "link");
                files_.back().hardlink_to = link ? std::optional<std::string>(link) : std::nullopt;
            }
            if (empty) return assign_text(*field, {});
            begin_capture(*field);
            return push(Ctx::Other);
        }
    }
    if (at_root) return stop("the TOC document root must be <xar>");
    push(Ctx::Other);
}

void TocParser::begin_capture(Field field) {
    FileBuilder* f = top_file();
    if (!f) return stop("file metadata appeared without a current <file>");
    if (f->capture) return stop("nested scalar metadata elements are not supported");
    f->capture = Capture{field, {}, stack_.size()};
}

void TocParser::end_element() {
    if (failed()) return;
    if (swallow_end_) {
        swallow_end_ = false;
        return;
    }
    if (stack_.empty()) return stop("closing element without an open element");
    const size_t closing_depth = stack_.size() - 1;
    if (FileBuilder* f = top_file(); f && f->capture && f->capture->depth == closing_depth) {
        Capture c = std::move(*f->capture);
        f->capture.reset();
        assign_text(c.field, std::move(c.text));
        if (failed()) return;
    }
    const Ctx closed = stack_.back();
    stack_.pop_back();
    if (closed == Ctx::File) finish_entry();
}

void TocParser::text(std::string_view s) {
    if (failed()) return;
    if (FileBuilder* f = top_file(); f && f->capture) f->capture->text.append(s);
}

bool TocParser::mark_assigned(FileBuilder& f, Field field) {
    const uint16_t bit = uint16_t(1u << unsigned(field));
    if (f.assigned & bit) {
        if (field == Field::Encoding) stop("duplicate direct <encoding> field in file <data>");
        else stop(std::string("duplicate direct <") + kFieldNames[size_t(field)] + "> field in <file>");
        return false;
    }
    f.assigned |= bit;
    return true;
}

void TocParser::assign_encoding(std::string style) {
    FileBuilder* f = top_file();
    if (!f) return stop("file metadata appeared without a current <file>");
    if (!f->data) return stop("file data field appeared outside the direct <file>/<data> block");
    if (!mark_assigned(*f, Field::Encoding)) return;
    f->data->encoding = std::move(style);
}

void TocParser::assign_text(Field field, std::string text) {
    FileBuilder* f = top_file();
    if (!f) return stop("file metadata appeared without a current <file>");
    if (!mark_assigned(*f, field)) return;
    switch (field) {
        case Field::Name: {
            std::optional<std::string> enctype = std::move(f->pending_name_encoding);
            f->pending_name_encoding.reset();
            if (!enctype) {
                f->name = std::move(text);
                return;
            }
            if (*enctype != "base64") return stop("unsupported <name> enctype " + core::debug_quote(*enctype));
            std::string compact;
            for (char c : text)
                if (c != ' ' && c != '\t' && c != '\n' && c != '\f' && c != '\r') compact += c;
            auto bytes = base64_decode(compact);
            if (!bytes)
                return stop("invalid base64 <name> value " + core::debug_quote(text) + ": " + bytes.error());
            if (auto bad = core::utf8_error(core::as_text(*bytes)))
                return stop("<name enctype=\"base64\"> decoded to invalid UTF-8: " + *bad);
            f->name.assign(bytes->begin(), bytes->end());
            return;
        }
        case Field::Type: f->type = std::string(trim(text)); return;
        case Field::Link: f->link = std::move(text); return;
        default: break;
    }
    if (!f->data) return stop("file data field appeared outside the direct <file>/<data> block");
    FileDataBuilder& d = *f->data;
    switch (field) {
        case Field::Offset:
        case Field::Length:
        case Field::Size: {
            auto v = core::parse_unsigned(trim(text), 10);
            if (!v) {
                return stop(std::string("invalid <") + kFieldNames[size_t(field)] + "> value " +
                            core::debug_quote(text) + ": " + v.error());
            }
            (field == Field::Offset ? d.offset : field == Field::Length ? d.length : d.size) = *v;
            return;
        }
        case Field::ExtractedChecksum: d.extracted_checksum = std::string(trim(text)); return;
        case Field::ArchivedChecksum: d.archived_checksum = std::string(trim(text)); return;
        case Field::Encoding: d.encoding = std::move(text); return;
        default: return;
    }
}

void TocParser::finish_entry() {
    if (files_.empty()) return stop("closing <file> without a current file");
    FileBuilder f = std::move(files_.back());
    files_.pop_back();

    if (f.name.empty()) return stop("file is missing a non-empty direct <name>");
    if (!f.type) return stop("file is missing a direct <type>");
    XarFile entry;
    entry.id = f.id;
    entry.name = std::move(f.name);
    if (*f.type == "file") {
        entry.file_type = XarFileType::File;
    } else if (*f.type == "hardlink") {
        // A regular file; the copies without data share the original's.
        entry.file_type = XarFileType::File;
        if (f.hardlink_to && *f.hardlink_to != "original") {
            auto target = core::parse_unsigned(trim(*f.hardlink_to), 10);
            if (target) hardlinks_.emplace_back(entries_.size(), *target);
        }
    } else if (*f.type == "fifo" || *f.type == "character special" || *f.type == "block special" ||
               *f.type == "socket") {
        // Special files carry no data; they list as empty files.
        entry.file_type = XarFileType::File;
        f.data.reset();
    } else if (*f.type == "directory") {
        entry.file_type = XarFileType::Directory;
    } else if (*f.type == "symlink") {
        if (!f.link || f.link->empty()) return stop("symlink is missing a non-empty direct <link>");
        entry.file_type = XarFileType::Symlink;
        entry.link = std::move(f.link);
    } else {
        return stop("unsupported file <type> value " + core::debug_quote(*f.type));
    }
    if (f.data) {
        FileDataBuilder& d = *f.data;
        if (!d.offset) return stop("file <data> is missing <offset>");
        if (!d.length) return stop("file <data> is missing <length>");
        if (!d.size) return stop("file <data> is missing <size>");
        XarFileData data;
        if (d.encoding) data.encoding = std::move(*d.encoding);
        data.extracted_checksum = std::move(d.extracted_checksum);
        data.archived_checksum = std::move(d.archived_checksum);
        data.offset = *d.offset;
        data.length = *d.length;
        data.size = *d.size;
        entry.data = std::move(data);
    }
    entry.children = std::move(f.children);
    const size_t index = entries_.size();
    entries_.push_back(std::move(entry));
    if (FileBuilder* parent = top_file()) parent->children.push_back(index);
}

void TocParser::resolve_hardlinks() {
    if (hardlinks_.empty()) return;
    std::unordered_map<uint64_t, size_t> by_id;
    for (size_t i = 0; i < entries_.size(); ++i) by_id.emplace(entries_[i].id, i);
    for (auto [index, target_id] : hardlinks_) {
        XarFile& link = entries_[index];
        auto target = by_id.find(target_id);
        if (link.data || target == by_id.end()) continue;
        const XarFile& original = entries_[target->second];
        if (original.file_type == XarFileType::File && original.data) link.data = original.data;
    }
}

Result<std::vector<XarFile>> TocParser::finish_document() {
    if (!stack_.empty() || !files_.empty()) return xara::fail(XarError::xml_parse("unexpected end of TOC XML"));
    if (!seen_xar_ || !seen_toc_)
        return xara::fail(XarError::xml_parse("TOC XML must contain one <xar>/<toc> document"));

    const size_t n = entries_.size();
    for (size_t i = 0; i < n; ++i)
        for (size_t c : entries_[i].children)
            if (c < n) entries_[c].parent = i;
    resolve_hardlinks();

    // Every parent closes after its children, so walking the list backwards
    // meets a parent's path before its children's.
    const uint64_t max_total = kMinPathBytes + kPathBytesPerTocByte * uint64_t(xml_.size());
    uint64_t total = 0;
    for (size_t i = n; i-- > 0;) {
        XarFile& e = entries_[i];
        if (!e.parent) {
            e.path = e.name;
        } else {
            if (*e.parent <= i) return xara::fail(XarError::xml_parse("invalid XAR file parent index"));
            const std::string& up = entries_[*e.parent].path;
            e.path.reserve(up.size() + 1 + e.name.size());
            e.path.append(up).append(1, '/').append(e.name);
        }
        total += e.path.size();
        if (total > max_total)
            return xara::fail(XarError::xml_parse("XAR file paths exceed " + std::to_string(max_total) +
                                                  " bytes in total"));
    }
    return std::move(entries_);
}

Result<std::vector<XarFile>> TocParser::run() {
    parser_ = XML_ParserCreate("UTF-8");
    if (!parser_) return xara::fail(XarError::xml_parse(kOutOfMemory));
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, on_start, on_end);
    XML_SetCharacterDataHandler(parser_, on_text);
    XML_SetDefaultHandler(parser_, on_default);

    // Feed in pieces: expat takes an int length.
    size_t pos = 0;
    XML_Status status = XML_STATUS_OK;
    do {
        const size_t piece = std::min<size_t>(xml_.size() - pos, size_t(1) << 30);
        const bool last = pos + piece == xml_.size();
        status = XML_Parse(parser_, reinterpret_cast<const char*>(xml_.data() + pos), int(piece), last);
        pos += piece;
        if (status != XML_STATUS_OK || last) break;
    } while (true);

    if (out_of_memory_) return xara::fail(XarError::xml_parse(kOutOfMemory));
    if (error_) return xara::fail(XarError::xml_parse(std::move(*error_)));
    if (status != XML_STATUS_OK) {
        const XML_Error code = XML_GetErrorCode(parser_);
        if (code == XML_ERROR_NO_ELEMENTS) {
            // The input ended: with elements still open, or before any element at all.
            if (!stack_.empty() || !files_.empty())
                return xara::fail(XarError::xml_parse("unexpected end of TOC XML"));
            return xara::fail(XarError::xml_parse("TOC XML must contain one <xar>/<toc> document"));
        }
        std::string where = " at line " + std::to_string(XML_GetCurrentLineNumber(parser_)) + ", column " +
                            std::to_string(XML_GetCurrentColumnNumber(parser_) + 1);
        if (code == XML_ERROR_UNDEFINED_ENTITY)
            return xara::fail(XarError::xml_parse("invalid XML text: undefined entity" + where));
        return xara::fail(XarError::xml_parse(std::string("XML error: ") + XML_ErrorString(code) + where));
    }
    return finish_document();
}

}  // namespace

Result<std::vector<XarFile>> parse_toc_xml(std::span<const uint8_t> xml) {
    try {
        TocParser parser(xml);
        return parser.run();
    } catch (const std::bad_alloc&) {
        return fail(XarError::xml_parse(kOutOfMemory));
    }
}

Result<Toc> parse_toc(core::ByteSource& reader, const XarHeader& header) {
    const uint64_t compressed = header.toc_length_compressed;
    const uint64_t declared = header.toc_length_uncompressed;
    if (declared == std::numeric_limits<uint64_t>::max())
        return fail(XarError::invalid_toc("declared uncompressed TOC length is too large"));

    // Inflate at most one byte past the declared length; the buffer grows
    // with the data, never by the declared length.
    std::vector<uint8_t> xml;
    {
        codec::SourceDecoder inflater(reader, compressed, codec::Format::Zlib);
        const uint64_t cap = declared + 1;
        constexpr size_t kStep = 64 * 1024;
        while (xml.size() < cap) {
            const size_t want = size_t(std::min<uint64_t>(cap - xml.size(), kStep));
            const size_t old = xml.size();
            xml.resize(old + want);
            auto n = inflater.read(std::span(xml).subspan(old, want));
            if (!n)
                return fail(XarError::decompression_failed("TOC zlib: " +
                                                           detail::decoder_message(codec::Format::Zlib, n.error())));
            xml.resize(old + *n);
            if (*n == 0) break;
        }

        // Step over the rest of the extent: bytes after the zlib stream are not looked at.
        const uint64_t unread = inflater.unread();
        if (unread > 0) {
            auto size = KIV_TRY(reader.size());
            const uint64_t pos = reader.position();
            if (pos > size || unread > size - pos)
                return fail(XarError::invalid_toc("archive ended before the declared compressed TOC extent"));
            KIV_TRY(reader.seek(pos + unread));
        }
    }
    if (xml.size() != declared) {
        return fail(XarError::invalid_toc("declared uncompressed TOC length " + std::to_string(declared) +
                                          " does not match decoded length " + std::to_string(xml.size())));
    }
    auto files = KIV_TRY(parse_toc_xml(xml));
    if (compressed > std::numeric_limits<uint64_t>::max() - header.header_size)
        return fail(XarError::invalid_toc("TOC extent overflows the archive address space"));
    return Toc{std::move(files), uint64_t(header.header_size) + compressed};
}

const XarFile* find_by_path(std::span<const XarFile> files, std::string_view path) {
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    if (path.empty()) return nullptr;
    for (const XarFile& f : files)
        if (f.path == path) return &f;
    return nullptr;
}

}  // namespace toc
}  // namespace xara
