// The resource-fork property list: its three forms and the partition entries
// read from it.
#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>

#include <plist/plist.h>

#include "core/try.hpp"
#include "plist_forms.hpp"
#include "udif/reader.hpp"

namespace udif {

namespace {

using detail::PlistPtr;
using detail::plist_error;

Result<PlistPtr> parse_any_plist(std::span<const uint8_t> bytes) {
    size_t start = 0;
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) start = 3;
    while (start < bytes.size() && (bytes[start] == ' ' || bytes[start] == '\t' || bytes[start] == '\r' || bytes[start] == '\n'))
        ++start;
    auto rest = bytes.subspan(start);
    bool binary = rest.size() >= 8 && std::memcmp(rest.data(), "bplist00", 8) == 0;
    bool xml = !rest.empty() && rest[0] == '<';
    if (!binary && !xml) return detail::parse_ascii_plist(rest);
    if (rest.size() > UINT32_MAX) return fail(plist_error("property list too large"));
    KIV_TRY(binary ? detail::check_binary_nesting(rest) : detail::check_xml_nesting(rest));
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

Result<std::vector<PartitionEntry>> reader::parse_plist(std::span<const uint8_t> bytes) {
    auto parsed = KIV_TRY(parse_any_plist(bytes));
    plist_t root = parsed.get();
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
        auto map = KIV_TRY(MishHeader::from_bytes({reinterpret_cast<const uint8_t*>(p), p ? size_t(len) : 0}));
        entry.block_map = std::move(map);
        entries.push_back(std::move(entry));
    }
    return entries;
}


}  // namespace udif
