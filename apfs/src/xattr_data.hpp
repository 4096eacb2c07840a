// The bytes of an extended attribute, held in its record or in a data
// stream, for reads at any offset.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "catalog.hpp"
#include "extents.hpp"

namespace apfs::detail {

class XattrData {
public:
    // `what` names the attribute in errors.  A data stream whose extents end
    // before its size is corrupt.
    static Result<XattrData> open(core::ByteSource& source, const catalog::Tree& tree, XattrValue value,
                                  std::string_view what);

    uint64_t size() const { return size_; }
    Result<void> read_at(core::ByteSource& source, uint64_t offset, std::span<uint8_t> buf) const;
    // The whole value; a data stream larger than the source is corrupt.
    Result<std::vector<uint8_t>> read_all(core::ByteSource& source, std::string_view what) const;

private:
    XattrData(std::vector<uint8_t> embedded, std::optional<extents::StreamLayout> stream, uint64_t size)
        : embedded_(std::move(embedded)), stream_(std::move(stream)), size_(size) {}

    std::vector<uint8_t> embedded_;
    std::optional<extents::StreamLayout> stream_;
    uint64_t size_;
};

// Attribute `name` of inode `id` when it has one, with `what` naming it in errors.
Result<std::optional<XattrData>> open_xattr(core::ByteSource& source, const catalog::Tree& tree, uint64_t id,
                                            std::string_view name, std::string_view what);

// Its whole value, or nullopt.
Result<std::optional<std::vector<uint8_t>>> read_xattr(core::ByteSource& source, const catalog::Tree& tree,
                                                       uint64_t id, std::string_view name, std::string_view what);

}  // namespace apfs::detail
