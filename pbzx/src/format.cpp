#include "pbzx/format.hpp"

#include <limits>

namespace pbzx::detail {
namespace {

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// The length of the valid UTF-8 sequence starting at `i`, or 0 with
// `error_len` set to the bytes of the invalid one (0 when it is incomplete).
size_t sequence_length(std::string_view s, size_t i, size_t& error_len) {
    auto at = [&](size_t k) -> int { return k < s.size() ? uint8_t(s[k]) : -1; };
    uint8_t first = uint8_t(s[i]);
    error_len = 1;
    if (first < 0x80) return 1;
    size_t width = first >= 0xC2 && first <= 0xDF ? 2 : first >= 0xE0 && first <= 0xEF ? 3
                 : first >= 0xF0 && first <= 0xF4 ? 4 : 0;
    if (width == 0) return 0;
    int second = at(i + 1);
    if (second < 0) { error_len = 0; return 0; }
    bool second_ok;
    switch (first) {
    case 0xE0: second_ok = second >= 0xA0 && second <= 0xBF; break;
    case 0xED: second_ok = second >= 0x80 && second <= 0x9F; break;
    case 0xF0: second_ok = second >= 0x90 && second <= 0xBF; break;
    case 0xF4: second_ok = second >= 0x80 && second <= 0x8F; break;
    default: second_ok = is_continuation(uint8_t(second));
    }
    if (!second_ok) return 0;
    for (size_t k = 2; k < width; ++k) {
        int next = at(i + k);
        if (next < 0) { error_len = 0; return 0; }
        if (!is_continuation(uint8_t(next))) { error_len = k; return 0; }
    }
    return width;
}

}  // namespace

std::optional<std::string> utf8_error(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        size_t error_len = 0;
        size_t n = sequence_length(s, i, error_len);
        if (n == 0) {
            if (error_len == 0) return "incomplete utf-8 byte sequence from index " + std::to_string(i);
            return "invalid utf-8 sequence of " + std::to_string(error_len) + " bytes from index " +
                   std::to_string(i);
        }
        i += n;
    }
    return std::nullopt;
}

std::string utf8_lossy(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        size_t error_len = 0;
        size_t n = sequence_length(s, i, error_len);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            i += error_len == 0 ? s.size() - i : error_len;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

template <class T>
std::optional<std::string> parse_unsigned(std::string_view text, unsigned base, T& out) {
    if (text.empty()) return "cannot parse integer from empty string";
    if (text[0] == '+' && text.size() > 1) text.remove_prefix(1);
    T value = 0;
    for (char ch : text) {
        unsigned digit;
        if (ch >= '0' && ch <= '9') digit = unsigned(ch - '0');
        else if (ch >= 'a' && ch <= 'z') digit = unsigned(ch - 'a' + 10);
        else if (ch >= 'A' && ch <= 'Z') digit = unsigned(ch - 'A' + 10);
        else return "invalid digit found in string";
        if (digit >= base) return "invalid digit found in string";
        if (value > (std::numeric_limits<T>::max() - digit) / base) return "number too large to fit in target type";
        value = T(value * base + digit);
    }
    out = value;
    return std::nullopt;
}

template std::optional<std::string> parse_unsigned<uint32_t>(std::string_view, unsigned, uint32_t&);
template std::optional<std::string> parse_unsigned<uint64_t>(std::string_view, unsigned, uint64_t&);

}  // namespace pbzx::detail
