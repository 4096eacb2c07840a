// File contents as macOS shows them: hard links followed, compressed files decoded.
#include "attributes.hpp"
#include "catalog.hpp"
#include "codec/decmpfs.hpp"
#include "core/text.hpp"
#include "core/try.hpp"
#include "extents.hpp"
#include "hfsplus/hfsplus.hpp"
#include "trees.hpp"

namespace hfsplus {

namespace {

HfsPlusError from_codec(const codec::DecmpfsError& e, std::string_view path) {
    switch (e.kind()) {
        case codec::DecmpfsError::Kind::Unsupported:
            return HfsPlusError::unsupported("file " + core::debug_quote(path) + ": " + e.message());
        case codec::DecmpfsError::Kind::Corrupt:
            return HfsPlusError::corrupted_data("compressed file " + core::debug_quote(path) + ": " + e.message());
        case codec::DecmpfsError::Kind::Io: break;
    }
    return HfsPlusError(*e.io_error());
}

}  // namespace

Result<CatalogFile> HfsVolume::link_target(uint32_t inode, std::string_view path) {
    const std::string name = "iNode" + std::to_string(inode);
    auto missing = [&] {
        return std::unexpected(HfsPlusError::corrupted_data("hard link " + core::debug_quote(path) + " points to " +
                                                            name + ", which the private data folder does not hold"));
    };
    auto folder = KIV_TRY(catalog::lookup_catalog(*source_, trees_->catalog, header_.is_hfsx, kRootFolderId,
                                                  kPrivateDataFolder));
    const auto* private_data = folder ? std::get_if<CatalogFolder>(&*folder) : nullptr;
    if (!private_data) return missing();
    auto target = KIV_TRY(catalog::lookup_catalog(*source_, trees_->catalog, header_.is_hfsx, private_data->folder_id, name));
    auto* file = target ? std::get_if<CatalogFile>(&*target) : nullptr;
    // A link to a link would be a loop in the making: only plain files are targets.
    if (!file || file->is_hard_link()) return missing();
    return std::move(*file);
}

Result<std::optional<std::vector<uint8_t>>> HfsVolume::decmpfs_value(uint32_t file_id, uint8_t owner_flags) {
    if (!(owner_flags & codec::kCompressedFlag)) return std::nullopt;
    const BTreeHeader* tree = KIV_TRY(trees_->attributes_tree(*source_, header_));
    if (!tree) return std::nullopt;
    return attributes::lookup_inline_attribute(*source_, *tree, file_id, codec::kDecmpfsAttribute);
}

Result<HfsVolume::Content> HfsVolume::content_of(const CatalogFile& record, std::string_view path) {
    Content c;
    c.file = record.is_hard_link() ? KIV_TRY(link_target(record.bsd.special, path)) : record;
    c.size = c.file.data_fork.logical_size;
    auto value = KIV_TRY(decmpfs_value(c.file.file_id, c.file.bsd.owner_flags));
    if (!value) return c;
    auto header = codec::parse_decmpfs_header(*value);
    if (!header) return std::unexpected(from_codec(header.error(), path));
    c.size = header->uncompressed_size;
    c.in_resource_fork = header->in_resource_fork();
    c.decmpfs = std::move(*value);
    return c;
}

uint64_t HfsVolume::listed_size(const DirEntry& entry, std::string_view path) {
    if (entry.kind == EntryKind::Directory) return entry.size;
    uint32_t id = entry.id;
    uint8_t flags = entry.owner_flags;
    uint64_t size = entry.size;
    if (entry.hard_link_inode) {
        auto target = link_target(entry.hard_link_inode, path);
        if (!target) return entry.size;
        id = target->file_id;
        flags = target->bsd.owner_flags;
        size = target->data_fork.logical_size;
    }
    auto value = decmpfs_value(id, flags);
    if (!value || !*value) return value ? size : entry.size;
    auto header = codec::parse_decmpfs_header(**value);
    return header ? header->uncompressed_size : entry.size;
}

Result<uint64_t> HfsVolume::copy_content(const Content& content, std::string_view path, core::ByteSink& dest) {
    const CatalogFile& file = content.file;
    if (content.decmpfs.empty())
        return extents::read_fork_data(*source_, header_, trees_->extents, file.data_fork, file.file_id, dest);
    std::optional<ForkReader> fork;
    if (content.in_resource_fork)
        fork = KIV_TRY(ForkReader::open(*source_, header_, trees_->extents, file.resource_fork, file.file_id,
                                        kResourceForkType));
    codec::ReadAt read_at;
    if (fork) read_at = [&fork](uint64_t offset, std::span<uint8_t> buf) { return fork->read_at(offset, buf); };
    auto n = codec::decode_decmpfs(content.decmpfs, read_at, fork ? fork->size() : 0, dest);
    if (!n) return std::unexpected(from_codec(n.error(), path));
    return *n;
}

}  // namespace hfsplus
