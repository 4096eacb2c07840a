#include "unicode.hpp"

#include <array>
#include <cstdlib>

#include <utf8proc.h>

#include "core/text.hpp"

namespace hfsplus::unicode {

namespace {

// The case-folding table macOS sorts HFS+ catalog keys with (TN1150
// "FastUnicodeCompare"): 0 marks a unit that comparison skips.  The folds of
// the precomposed Latin-1 and Latin Extended-A capitals are added on top: a
// volume written by macOS stores those letters decomposed, so they only ever
// come from callers, and spelling Ä for ä should still find the name.
constexpr std::array<uint16_t, 0x10000> make_fold_table() {
    std::array<uint16_t, 0x10000> t{};
    for (unsigned u = 0; u < t.size(); ++u) t[u] = uint16_t(u);
    auto shift = [&](unsigned first, unsigned last, unsigned by, unsigned step = 1) {
        for (unsigned u = first; u <= last; u += step) t[u] = uint16_t(u + by);
    };
    auto map = [&](unsigned from, unsigned to) { t[from] = uint16_t(to); };

    map(0x0000, 0xFFFF);  // NUL sorts after everything
    // Basic Latin and Latin-1 (Æ Ð Ø Þ have no decomposition; the rest are precomposed).
    shift(0x0041, 0x005A, 0x20);
    shift(0x00C0, 0x00D6, 0x20);
    shift(0x00D8, 0x00DE, 0x20);
    // Latin Extended-A: Đ Ħ Ĳ Ŀ Ł Ŋ Œ Ŧ and the precomposed letters.
    shift(0x0100, 0x012E, 1, 2);
    map(0x0130, 0x0069);
    shift(0x0132, 0x0136, 1, 2);
    shift(0x0139, 0x0147, 1, 2);
    shift(0x014A, 0x0176, 1, 2);
    map(0x0178, 0x00FF);
    shift(0x0179, 0x017D, 1, 2);
    // Latin Extended-B letters without decomposition.
    constexpr std::pair<uint16_t, uint16_t> latin_b[] = {
        {0x0181, 0x0253}, {0x0182, 0x0183}, {0x0184, 0x0185}, {0x0186, 0x0254}, {0x0187, 0x0188},
        {0x0189, 0x0256}, {0x018A, 0x0257}, {0x018B, 0x018C}, {0x018E, 0x01DD}, {0x018F, 0x0259},
        {0x0190, 0x025B}, {0x0191, 0x0192}, {0x0193, 0x0260}, {0x0194, 0x0263}, {0x0196, 0x0269},
        {0x0197, 0x0268}, {0x0198, 0x0199}, {0x019C, 0x026F}, {0x019D, 0x0272}, {0x019F, 0x0275},
        {0x01A2, 0x01A3}, {0x01A4, 0x01A5}, {0x01A7, 0x01A8}, {0x01A9, 0x0283}, {0x01AC, 0x01AD},
        {0x01AE, 0x0288}, {0x01B1, 0x028A}, {0x01B2, 0x028B}, {0x01B3, 0x01B4}, {0x01B5, 0x01B6},
        {0x01B7, 0x0292}, {0x01B8, 0x01B9}, {0x01BC, 0x01BD}, {0x01C4, 0x01C6}, {0x01C5, 0x01C6},
        {0x01C7, 0x01C9}, {0x01C8, 0x01C9}, {0x01CA, 0x01CC}, {0x01CB, 0x01CC}, {0x01E4, 0x01E5},
        {0x01F1, 0x01F3}, {0x01F2, 0x01F3},
    };
    for (auto [from, to] : latin_b) map(from, to);
    // Greek capitals (the accented ones decompose and stay) and Coptic.
    shift(0x0391, 0x03A1, 0x20);
    shift(0x03A3, 0x03A9, 0x20);
    shift(0x03E2, 0x03EE, 1, 2);
    // Cyrillic, leaving the letters that decompose (Ѓ Ї Ќ Ў Й Ѷ Ӂ Ӑ ...).
    for (unsigned u : {0x0402, 0x0404, 0x0405, 0x0406, 0x0408, 0x0409, 0x040A, 0x040B, 0x040F}) map(u, u + 0x50);
    shift(0x0410, 0x0418, 0x20);
    shift(0x041A, 0x042F, 0x20);
    shift(0x0460, 0x0474, 1, 2);
    shift(0x0478, 0x0480, 1, 2);
    shift(0x0490, 0x04BE, 1, 2);
    for (unsigned u : {0x04C3, 0x04C7, 0x04CB, 0x04D4, 0x04D8, 0x04E0, 0x04E8}) map(u, u + 1);
    // Armenian and Georgian.
    shift(0x0531, 0x0556, 0x30);
    shift(0x10A0, 0x10C5, 0x30);
    // Ignorable format characters.
    for (unsigned u = 0x200C; u <= 0x200F; ++u) map(u, 0);
    for (unsigned u = 0x202A; u <= 0x202E; ++u) map(u, 0);
    for (unsigned u = 0x206A; u <= 0x206F; ++u) map(u, 0);
    map(0xFEFF, 0);
    // Roman numerals and fullwidth Latin capitals.
    shift(0x2160, 0x216F, 0x10);
    shift(0xFF21, 0xFF3A, 0x20);
    return t;
}

constexpr std::array<uint16_t, 0x10000> kFold = make_fold_table();

bool is_high_surrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

uint16_t fold_unit(uint16_t unit) { return kFold[unit]; }

std::vector<uint16_t> string_to_utf16(std::string_view text) {
    std::vector<uint16_t> out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        // Each byte of an ill-formed sequence becomes one U+FFFD.
        const core::Utf8Step step = core::utf8_step(text, i);
        i += step.valid ? step.length : 1;
        const char32_t cp = step.code_point;
        if (cp >= 0x10000) {
            out.push_back(uint16_t(0xD800 | (cp - 0x10000) >> 10));
            out.push_back(uint16_t(0xDC00 | (cp & 0x3FF)));
        } else {
            out.push_back(uint16_t(cp));
        }
    }
    return out;
}

std::string utf16_to_string(std::span<const uint16_t> units) {
    std::string out;
    out.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t u = units[i];
        if (is_high_surrogate(u) && i + 1 < units.size() && is_low_surrogate(units[i + 1])) {
            core::append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else {
            core::append_utf8(out, is_high_surrogate(u) || is_low_surrogate(u) ? 0xFFFD : u);
        }
    }
    return out;
}

std::vector<uint16_t> utf16be_to_u16(std::span<const uint8_t> bytes) {
    std::vector<uint16_t> out(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) out[i] = uint16_t(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    return out;
}

std::strong_ordering compare_binary(std::span<const uint16_t> a, std::span<const uint16_t> b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return a[i] <=> b[i];
    return a.size() <=> b.size();
}

std::strong_ordering compare_case_insensitive(std::span<const uint16_t> a, std::span<const uint16_t> b) {
    size_t i = 0, j = 0;
    for (;;) {
        // The next folded unit of each name, skipping ignorables; 0 at the end.
        uint16_t ca = 0, cb = 0;
        while (ca == 0 && i < a.size()) ca = kFold[a[i++]];
        while (cb == 0 && j < b.size()) cb = kFold[b[j++]];
        if (ca != cb) return ca <=> cb;
        if (ca == 0) return std::strong_ordering::equal;
    }
}

std::string decompose(std::string_view text) {
    utf8proc_uint8_t* out = nullptr;
    const auto n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()), utf8proc_ssize_t(text.size()),
                                &out, utf8proc_option_t(UTF8PROC_STABLE | UTF8PROC_DECOMPOSE));
    std::string result = n < 0 ? std::string(text) : std::string(reinterpret_cast<const char*>(out), size_t(n));
    std::free(out);
    return result;
}

}  // namespace hfsplus::unicode
