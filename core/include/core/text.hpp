// Text helpers shared by every library: UTF-8 checks and decoding, and the
// quoting of names in error messages.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace core {

// Bytes seen as text, and text seen as bytes.
inline std::string_view as_text(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The text in double quotes with backslash escapes, as a debug print shows a
// string: quotes, backslashes and control characters are escaped ("a\"b\n").
std::string debug_quote(std::string_view text);

// One step of UTF-8 decoding at text[pos].  A well-formed sequence gives its
// code point and length.  An ill-formed one gives U+FFFD and, as length, its
// longest well-formed start (at least one byte); `truncated` when the text
// ends inside a sequence that was well-formed so far.
struct Utf8Step {
    char32_t code_point = 0;
    size_t length = 0;
    bool valid = false;
    bool truncated = false;
};
Utf8Step utf8_step(std::string_view text, size_t pos);

// The first ill-formed sequence, described as "invalid utf-8 sequence of {n}
// bytes from index {i}" or "incomplete utf-8 byte sequence from index {i}";
// nullopt for well-formed text.
std::optional<std::string> utf8_error(std::string_view text);

// The text with every ill-formed sequence (as utf8_step delimits it)
// replaced by one U+FFFD.
std::string utf8_lossy(std::string_view text);

// An unsigned number in `base` (2 to 36) of at most `max`: an optional
// leading '+', then digits only, as the standard integer parsers take it.
// Failures: "cannot parse integer from empty string", "invalid digit found
// in string", "number too large to fit in target type".
std::expected<uint64_t, std::string> parse_unsigned(std::string_view text, unsigned base,
                                                     uint64_t max = UINT64_MAX);

// Appends the UTF-8 encoding of a code point (at most U+10FFFF).
void append_utf8(std::string& out, char32_t code_point);

}  // namespace core
