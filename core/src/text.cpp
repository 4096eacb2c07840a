#include "core/text.hpp"

#include <cstdio>

namespace core {

std::string debug_quote(std::string_view text) {
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[12];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", unsigned(c));
                    out += buf;
                } else {
                    out += char(c);
                }
        }
    }
    out += '"';
    return out;
}

Utf8Step utf8_step(std::string_view text, size_t pos) {
    const auto byte = [&](size_t k) { return uint8_t(text[pos + k]); };
    const uint8_t lead = byte(0);
    if (lead < 0x80) return {lead, 1, true, false};
    // Width and the range of the second byte, which excludes overlong forms,
    // surrogates and code points above U+10FFFF.
    size_t width = 0;
    uint8_t lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) width = 2;
    else if (lead == 0xE0) width = 3, lo = 0xA0;
    else if (lead == 0xED) width = 3, hi = 0x9F;
    else if (lead >= 0xE1 && lead <= 0xEF) width = 3;
    else if (lead == 0xF0) width = 4, lo = 0x90;
    else if (lead == 0xF4) width = 4, hi = 0x8F;
    else if (lead >= 0xF1 && lead <= 0xF3) width = 4;
    const Utf8Step bad{0xFFFD, 1, false, false};
    if (width == 0) return bad;
    char32_t cp = lead & (0x7F >> width);
    for (size_t k = 1; k < width; ++k) {
        if (pos + k >= text.size()) return {0xFFFD, k, false, true};
        const uint8_t b = byte(k);
        if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return {0xFFFD, k, false, false};
        cp = cp << 6 | (b & 0x3F);
    }
    return {cp, width, true, false};
}

std::optional<std::string> utf8_error(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const Utf8Step step = utf8_step(text, i);
        if (step.truncated) return "incomplete utf-8 byte sequence from index " + std::to_string(i);
        if (!step.valid)
            return "invalid utf-8 sequence of " + std::to_string(step.length) + " bytes from index " +
                   std::to_string(i);
        i += step.length;
    }
    return std::nullopt;
}

std::string utf8_lossy(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const Utf8Step step = utf8_step(text, i);
        if (step.valid) out.append(text.substr(i, step.length));
        else out += "\xEF\xBF\xBD";
        i += step.length;
    }
    return out;
}

std::expected<uint64_t, std::string> parse_unsigned(std::string_view text, unsigned base, uint64_t max) {
    if (text.empty()) return std::unexpected("cannot parse integer from empty string");
    if (text.size() > 1 && text.front() == '+') text.remove_prefix(1);
    uint64_t value = 0;
    for (char ch : text) {
        unsigned digit = base;
        if (ch >= '0' && ch <= '9') digit = unsigned(ch - '0');
        else if (ch >= 'a' && ch <= 'z') digit = unsigned(ch - 'a' + 10);
        else if (ch >= 'A' && ch <= 'Z') digit = unsigned(ch - 'A' + 10);
        if (digit >= base) return std::unexpected("invalid digit found in string");
        if (value > (max - digit) / base) return std::unexpected("number too large to fit in target type");
        value = value * base + digit;
    }
    return value;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | cp >> 6);
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | cp >> 12);
        out += char(0x80 | (cp >> 6 & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | cp >> 18);
        out += char(0x80 | (cp >> 12 & 0x3F));
        out += char(0x80 | (cp >> 6 & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

}  // namespace core
