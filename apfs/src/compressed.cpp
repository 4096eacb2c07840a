#include "compressed.hpp"

#include <string>

#include "codec/decmpfs.hpp"
#include "core/text.hpp"
#include "core/try.hpp"
#include "internal.hpp"
#include "xattr_data.hpp"

namespace apfs::detail {

namespace {

constexpr std::string_view kResourceFork = "com.apple.ResourceFork";

std::string attribute_of(std::string_view name, uint64_t id) {
    return "attribute " + std::string(name) + " of inode " + std::to_string(id);
}

std::string file_named(std::string_view path) { return "file " + core::debug_quote(path); }

// A decoding failure in the library's terms.  An I/O failure of the
// resource fork reader is reported as the reader's own error when it left one.
ApfsError from_codec(const codec::DecmpfsError& e, std::string_view path, const std::optional<ApfsError>& reader) {
    switch (e.kind()) {
        case codec::DecmpfsError::Kind::Unsupported:
            return ApfsError::unsupported(file_named(path) + ": " + e.message());
        case codec::DecmpfsError::Kind::Corrupt:
            return ApfsError::corrupted(file_named(path) + ": " + e.message());
        case codec::DecmpfsError::Kind::Io:
            if (reader) return *reader;
            return ApfsError(*e.io_error());
    }
    return ApfsError::corrupted(file_named(path) + ": " + e.message());
}

}  // namespace

Result<std::optional<std::vector<uint8_t>>> decmpfs_value(core::ByteSource& source, const catalog::Tree& tree,
                                                          uint64_t id, const InodeVal& inode) {
    using Value = std::optional<std::vector<uint8_t>>;
    if (!(inode.bsd_flags & codec::kCompressedFlag) || kind_from_mode(inode.mode) != EntryKind::File) return Value{};
    return read_xattr(source, tree, id, codec::kDecmpfsAttribute, attribute_of(codec::kDecmpfsAttribute, id));
}

uint64_t file_size(core::ByteSource& source, const catalog::Tree& tree, uint64_t id, const InodeVal& inode) {
    if (auto value = decmpfs_value(source, tree, id, inode); value && *value)
        if (auto header = codec::parse_decmpfs_header(**value)) return header->uncompressed_size;
    return inode.size();
}

Result<uint64_t> uncompressed_size(core::ByteSource& source, std::span<const uint8_t> value, std::string_view path) {
    auto header = codec::parse_decmpfs_header(value);
    if (!header) return fail(from_codec(header.error(), path, std::nullopt));
    if (!codec::is_supported_type(header->type))
        return fail(from_codec(codec::DecmpfsError::unsupported(header->type), path, std::nullopt));
    auto held = KIV_TRY(source.size());
    if (header->uncompressed_size / kMaxCompressionRatio > held)
        return fail(ApfsError::corrupted(file_named(path) + " declares " + std::to_string(header->uncompressed_size) +
                                         " uncompressed bytes, more than a container of " + std::to_string(held) +
                                         " bytes holds compressed"));
    return header->uncompressed_size;
}

Result<uint64_t> write_decompressed(core::ByteSource& source, const catalog::Tree& tree, uint64_t id,
                                    std::span<const uint8_t> value, std::string_view path, core::ByteSink& writer) {
    std::optional<XattrData> fork;
    if (auto header = codec::parse_decmpfs_header(value); header && header->in_resource_fork()) {
        auto opened = KIV_TRY(open_xattr(source, tree, id, kResourceFork, attribute_of(kResourceFork, id)));
        fork = std::move(opened);
    }
    std::optional<ApfsError> reader_error;
    codec::ReadAt read_fork;
    if (fork)
        read_fork = [&](uint64_t offset, std::span<uint8_t> buf) -> core::IoResult<void> {
            auto r = fork->read_at(source, offset, buf);
            if (r) return {};
            reader_error = r.error();
            const core::IoError* io = r.error().io_error();
            return core::io_fail(io ? *io : core::IoError::other(r.error().message()));
        };
    auto written = codec::decode_decmpfs(value, read_fork, fork ? fork->size() : 0, writer);
    if (!written) return fail(from_codec(written.error(), path, reader_error));
    return *written;
}

}  // namespace apfs::detail
