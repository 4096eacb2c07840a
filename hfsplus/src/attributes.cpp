#include "attributes.hpp"

#include <string>

#include "core/endian.hpp"
#include "core/try.hpp"
#include "unicode.hpp"

namespace hfsplus::attributes {

namespace {

// Key: length u16, pad u16, file id u32, start block u32, name length u16, name.
constexpr size_t kKeyHeaderSize = 14;
// Inline data record: type u32, two reserved u32, size u32, the data.
constexpr uint32_t kInlineData = 0x10;
constexpr size_t kInlineHeaderSize = 16;

}  // namespace

std::optional<std::strong_ordering> compare_attribute_key(std::span<const uint8_t> record, uint32_t file_id,
                                                          std::span<const uint16_t> name) {
    if (record.size() < kKeyHeaderSize) return std::nullopt;
    const uint8_t* p = record.data();
    const size_t name_len = core::load_be16(p + 12);
    if (kKeyHeaderSize + 2 * name_len > record.size()) return std::nullopt;
    if (auto c = core::load_be32(p + 4) <=> file_id; c != 0) return c;
    for (size_t i = 0; i < std::min(name_len, name.size()); ++i)
        if (auto c = core::load_be16(p + kKeyHeaderSize + 2 * i) <=> name[i]; c != 0) return c;
    if (auto c = name_len <=> name.size(); c != 0) return c;
    return core::load_be32(p + 8) <=> 0u;
}

Result<std::optional<std::vector<uint8_t>>> lookup_inline_attribute(core::ByteSource& source,
                                                                    const BTreeHeader& tree, uint32_t file_id,
                                                                    std::string_view name) {
    const auto units = unicode::string_to_utf16(name);
    Comparator compare = [&](std::span<const uint8_t> record) {
        return compare_attribute_key(record, file_id, units);
    };
    auto hit = KIV_TRY(btree::search_btree(source, tree, compare));
    if (!hit) return std::nullopt;
    const auto record = hit->record();
    const size_t data_offset = size_t(core::load_be16(record.data())) + 2;
    if (record.size() < data_offset + kInlineHeaderSize)
        return std::unexpected(HfsPlusError::invalid_btree("attribute record too short"));
    const uint8_t* p = record.data() + data_offset;
    const std::string which = "attribute " + std::string(name) + " of file " + std::to_string(file_id);
    if (core::load_be32(p) != kInlineData)
        return std::unexpected(HfsPlusError::unsupported(which + " is not stored inline"));
    const size_t size = core::load_be32(p + 12);
    if (size > record.size() - data_offset - kInlineHeaderSize)
        return std::unexpected(HfsPlusError::invalid_btree(which + " declares " + std::to_string(size) +
                                                           " bytes, more than its record holds"));
    return std::vector<uint8_t>(p + kInlineHeaderSize, p + kInlineHeaderSize + size);
}

}  // namespace hfsplus::attributes
