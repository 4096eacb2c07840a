// Partition names in the property list: which names the XML text can carry
// so that they read back the same, and how they are written into it.
#include <cstdio>

#include "core/text.hpp"
#include "udif/writer.hpp"
#include "xml_text.hpp"

namespace udif {

namespace {

// XML 1.0 characters: tab, line feed, carriage return, and everything from
// U+0020 on except the surrogates (which well-formed UTF-8 never holds)
// and U+FFFE, U+FFFF.
bool is_xml_char(char32_t c) {
    if (c < 0x20) return c == '\t' || c == '\n' || c == '\r';
    return c != 0xFFFE && c != 0xFFFF;
}

}  // namespace

std::optional<std::string> name_fault(std::string_view name) {
    if (auto bad = core::utf8_error(name)) return "not UTF-8: " + *bad;
    for (size_t i = 0; i < name.size();) {
        const core::Utf8Step step = core::utf8_step(name, i);
        if (!is_xml_char(step.code_point)) {
            char text[16];
            std::snprintf(text, sizeof text, "U+%04X", unsigned(step.code_point));
            return std::string(text) + " at byte " + std::to_string(i) + " is not a character XML 1.0 allows";
        }
        i += step.length;
    }
    return std::nullopt;
}

Result<void> check_partition_name(std::string_view name) {
    if (auto fault = name_fault(name))
        return fail(KivError::invalid_plist("partition name " + core::utf8_lossy(core::debug_quote(name)) + ": " + *fault));
    return {};
}

namespace detail {

std::string xml_escape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            // XML readers turn a raw carriage return into a line feed.
            case '\r': out += "&#13;"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace detail

}  // namespace udif
