#include "xattr_data.hpp"

#include <algorithm>
#include <string>

#include "core/try.hpp"
#include "internal.hpp"

namespace apfs::detail {

Result<XattrData> XattrData::open(core::ByteSource& source, const catalog::Tree& tree, XattrValue value,
                                  std::string_view what) {
    if (!value.stream) {
        const uint64_t size = value.embedded.size();
        return XattrData(std::move(value.embedded), std::nullopt, size);
    }
    auto records = KIV_TRY(catalog::lookup_extents(source, tree, value.stream->id));
    extents::StreamLayout layout(records, tree.block_size);
    KIV_TRY(layout.check_covers(value.stream->size, what));
    return XattrData({}, std::move(layout), value.stream->size);
}

Result<void> XattrData::read_at(core::ByteSource& source, uint64_t offset, std::span<uint8_t> buf) const {
    if (offset > size_ || buf.size() > size_ - offset) return core::eof_fail();
    if (stream_) return stream_->read_at(source, offset, buf);
    std::copy_n(embedded_.begin() + ptrdiff_t(offset), buf.size(), buf.begin());
    return {};
}

Result<std::vector<uint8_t>> XattrData::read_all(core::ByteSource& source, std::string_view what) const {
    if (!stream_) return embedded_;
    auto held = KIV_TRY(source.size());
    if (size_ > held)
        return fail(ApfsError::corrupted(std::string(what) + " declares " + std::to_string(size_) +
                                         " bytes, more than the container's " + std::to_string(held)));
    core::VecSink sink;
    KIV_TRY(stream_->write_to(source, size_, sink));
    return sink.take();
}

Result<std::optional<XattrData>> open_xattr(core::ByteSource& source, const catalog::Tree& tree, uint64_t id,
                                            std::string_view name, std::string_view what) {
    auto value = KIV_TRY(catalog::lookup_xattr_value(source, tree, id, name));
    if (!value) return std::optional<XattrData>{};
    auto data = KIV_TRY(XattrData::open(source, tree, std::move(*value), what));
    return std::optional<XattrData>(std::move(data));
}

Result<std::optional<std::vector<uint8_t>>> read_xattr(core::ByteSource& source, const catalog::Tree& tree,
                                                       uint64_t id, std::string_view name, std::string_view what) {
    using Value = std::optional<std::vector<uint8_t>>;
    auto data = KIV_TRY(open_xattr(source, tree, id, name, what));
    if (!data) return Value{};
    auto bytes = KIV_TRY(data->read_all(source, what));
    return Value(std::move(bytes));
}

}  // namespace apfs::detail
