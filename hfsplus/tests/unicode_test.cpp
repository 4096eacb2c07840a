// Name conversion and the two catalog name orders.
#include <gtest/gtest.h>

#include "hfsplus/unicode.hpp"

namespace {

using namespace hfsplus::unicode;

std::vector<uint16_t> u(std::u16string_view s) { return {s.begin(), s.end()}; }

int ci(std::u16string_view a, std::u16string_view b) {
    auto o = compare_case_insensitive(u(a), u(b));
    return o < 0 ? -1 : o > 0 ? 1 : 0;
}
int bin(std::u16string_view a, std::u16string_view b) {
    auto o = compare_binary(u(a), u(b));
    return o < 0 ? -1 : o > 0 ? 1 : 0;
}

TEST(Unicode, Utf16RoundTripAndRepairs) {
    EXPECT_EQ(string_to_utf16("aé€𝄞"), u(u"aé€𝄞"));
    EXPECT_EQ(utf16_to_string(u(u"aé€𝄞")), "aé€𝄞");
    // Unpaired surrogates become U+FFFD; nothing else changes (no normalisation).
    std::vector<uint16_t> lone = {0x0041, 0xD800, 0x0042, 0xDC00};
    EXPECT_EQ(utf16_to_string(lone), "A\xEF\xBF\xBD" "B\xEF\xBF\xBD");
    EXPECT_EQ(utf16_to_string(u(u"e\u0301")), "e\xCC\x81");
    EXPECT_EQ(string_to_utf16(std::string("a\0b", 3)), (std::vector<uint16_t>{'a', 0, 'b'}));
    EXPECT_EQ(string_to_utf16("\xFF" "a\xE2\x82"), (std::vector<uint16_t>{0xFFFD, 'a', 0xFFFD, 0xFFFD}));
    const uint8_t be[] = {0x00, 0x41, 0x03, 0xA9, 0x7F};
    EXPECT_EQ(utf16be_to_u16(be), (std::vector<uint16_t>{0x0041, 0x03A9}));
}

TEST(Unicode, BinaryOrder) {
    EXPECT_EQ(bin(u"A", u"_"), -1);  // 0x41 < 0x5F
    EXPECT_EQ(bin(u"B", u"b"), -1);
    EXPECT_EQ(bin(u"abc", u"abcd"), -1);
    EXPECT_EQ(bin(u"", u"a"), -1);
    EXPECT_EQ(bin(u"same", u"same"), 0);
    EXPECT_EQ(bin(u"\uFFFF", u"\u0000"), 1);
}

TEST(Unicode, CaseInsensitiveOrderLikeMacOs) {
    EXPECT_EQ(ci(u"B", u"b"), 0);
    EXPECT_EQ(ci(u"_", u"A"), -1);  // A folds to a (0x61) > _ (0x5F)
    EXPECT_EQ(ci(u"abc", u"ABCD"), -1);
    EXPECT_EQ(ci(u"", u"\u200C"), 0);
    // U+0000 sorts after every other unit.
    EXPECT_EQ(ci(u"passwords.txt", std::u16string_view(u"\0\0\0\0HFS+ Private Data", 21)), -1);
    EXPECT_EQ(ci(std::u16string_view(u"\0", 1), u"\uFFFE"), 1);
    // Ignorable format characters are skipped.
    EXPECT_EQ(ci(u"a\u200Db", u"ab"), 0);
    EXPECT_EQ(ci(u"\uFEFFx\u202Ay\u206F", u"XY"), 0);
    // Scripts macOS folds.
    EXPECT_EQ(ci(u"ΑΒΓ", u"αβγ"), 0);
    EXPECT_EQ(ci(u"ΑΒΓ", u"αβδ"), -1);
    EXPECT_EQ(ci(u"αβδ", u"Ωmega"), -1);  // Ω folds to ω, after δ
    EXPECT_EQ(ci(u"ЖУК", u"жук"), 0);
    EXPECT_EQ(ci(u"Ђ", u"ђ"), 0);
    EXPECT_EQ(ci(u"Ѓ", u"ѓ"), -1);  // decomposes: left alone, 0x0403 < 0x0453
    EXPECT_EQ(ci(u"Աբ", u"աԲ"), 0);
    EXPECT_EQ(ci(u"Ⴀ", u"ა"), 0);
    EXPECT_EQ(ci(u"Ⅻ", u"ⅻ"), 0);
    EXPECT_EQ(ci(u"ＡＢ", u"ａｂ"), 0);
    for (auto [upper, lower] : {std::pair{u"Æ", u"æ"}, {u"Ð", u"ð"}, {u"Ø", u"ø"}, {u"Þ", u"þ"}, {u"Đ", u"đ"},
                                {u"Ħ", u"ħ"}, {u"Ĳ", u"ĳ"}, {u"Ł", u"ł"}, {u"Œ", u"œ"}, {u"Ŋ", u"ŋ"},
                                {u"Ǆ", u"ǆ"}, {u"ǅ", u"ǆ"}, {u"Ʒ", u"ʒ"}})
        EXPECT_EQ(ci(upper, lower), 0) << utf16_to_string(u(upper));
    // Precomposed capitals still find their lower-case letter.
    EXPECT_EQ(ci(u"\u00C4", u"\u00E4"), 0);
    EXPECT_EQ(ci(u"\u0178", u"\u00FF"), 0);
    EXPECT_EQ(ci(u"\u0130", u"i"), 0);
    // Letters with no case pair in the table match only themselves.
    EXPECT_NE(ci(u"\u0180", u"\u0243"), 0);
    EXPECT_NE(ci(u"\u01C0", u"\u01C1"), 0);
    // Surrogates compare unfolded.
    EXPECT_EQ(ci(u"𝐀", u"𝐀"), 0);
    EXPECT_NE(ci(u"𝐀", u"𝐚"), 0);
}

}  // namespace
