#include <gtest/gtest.h>

#include "core/text.hpp"

namespace {

// Each ill-formed sequence (its longest well-formed start) is one error and one U+FFFD.
TEST(Utf8, ErrorsAndLossyDecoding) {
    const std::string R = "\xEF\xBF\xBD";
    const std::vector<std::tuple<std::string, std::string, std::string>> rows = {
        {"plain \xC3\xA9 \xF0\x9F\x98\x80", "plain \xC3\xA9 \xF0\x9F\x98\x80", ""},
        {"\xF0\x9F\x98", R, "incomplete utf-8 byte sequence from index 0"},
        {"\xF0\x9F\x98x", R + "x", "invalid utf-8 sequence of 3 bytes from index 0"},
        {"a\xC0\xAF", "a" + R + R, "invalid utf-8 sequence of 1 bytes from index 1"},  // overlong
        {"\xED\xA0\x80", R + R + R, "invalid utf-8 sequence of 1 bytes from index 0"},  // surrogate
        {"\xF4\x90\x80\x80", R + R + R + R, "invalid utf-8 sequence of 1 bytes from index 0"},  // above U+10FFFF
        {"\x80\x80", R + R, "invalid utf-8 sequence of 1 bytes from index 0"},
    };
    for (const auto& [in, lossy, error] : rows) {
        EXPECT_EQ(core::utf8_lossy(in), lossy) << in;
        EXPECT_EQ(core::utf8_error(in).value_or(""), error) << in;
    }
}

// Numbers as the standard integer parsers take them, with their texts.
TEST(ParseUnsigned, DigitsSignAndBounds) {
    const std::vector<std::tuple<std::string, unsigned, uint64_t, std::string>> rows = {
        {"+42", 10, UINT64_MAX, "42"},
        {"7fFf", 16, UINT64_MAX, "32767"},
        {"", 8, UINT64_MAX, "cannot parse integer from empty string"},
        {"+", 10, UINT64_MAX, "invalid digit found in string"},
        {"-1", 10, UINT64_MAX, "invalid digit found in string"},
        {"8", 8, UINT64_MAX, "invalid digit found in string"},
        {"18446744073709551615", 10, UINT64_MAX, "18446744073709551615"},
        {"18446744073709551616", 10, UINT64_MAX, "number too large to fit in target type"},
        {"100000000", 16, UINT32_MAX, "number too large to fit in target type"},
    };
    for (const auto& [text, base, max, expected] : rows) {
        auto v = core::parse_unsigned(text, base, max);
        EXPECT_EQ(v ? std::to_string(*v) : v.error(), expected) << text;
    }
}

}  // namespace
