#include "trees.hpp"

#include "core/try.hpp"
#include "extents.hpp"

namespace hfsplus {

Result<std::unique_ptr<HfsVolume::Trees>> HfsVolume::Trees::open(core::ByteSource& source,
                                                                 const VolumeHeader& volume) {
    auto trees = std::make_unique<Trees>();
    trees->catalog = KIV_TRY(btree::read_btree_header(source, volume.catalog_file, volume.block_size));
    // The extents file has no overflow records of its own: its inline extents are all it has.
    trees->extents = KIV_TRY(btree::read_btree_header(source, volume.extents_file, volume.block_size));
    // A catalog grown over time continues in the extents overflow file, as any file does.
    trees->catalog.extents = KIV_TRY(extents::gather_extents(source, volume.block_size, trees->extents,
                                                             volume.catalog_file, kCatalogFileId, kDataForkType));
    return trees;
}

Result<BTreeHeader> HfsVolume::Trees::open_tree(core::ByteSource& source, const VolumeHeader& volume,
                                                const ForkData& fork, uint32_t file_id) const {
    BTreeHeader tree = KIV_TRY(btree::read_btree_header(source, fork, volume.block_size));
    tree.extents = KIV_TRY(extents::gather_extents(source, volume.block_size, extents, fork, file_id, kDataForkType));
    return tree;
}

Result<const BTreeHeader*> HfsVolume::Trees::attributes_tree(core::ByteSource& source, const VolumeHeader& volume) {
    if (attributes) return &*attributes;
    if (volume.attributes_file.logical_size == 0) return nullptr;
    auto tree = open_tree(source, volume, volume.attributes_file, kAttributesFileId);
    if (!tree) return std::unexpected(tree.error().within("attributes tree"));
    attributes = std::move(*tree);
    return &*attributes;
}

}  // namespace hfsplus
