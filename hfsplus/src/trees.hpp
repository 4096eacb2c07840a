// The B-trees an opened volume reads through.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "btree.hpp"
#include "hfsplus/hfsplus.hpp"

namespace hfsplus {

// The file ids of the B-tree files: their overflow records are keyed by them.
inline constexpr uint32_t kExtentsFileId = 3;
inline constexpr uint32_t kCatalogFileId = 4;
inline constexpr uint32_t kAttributesFileId = 8;

struct HfsVolume::Trees {
    // Reads the catalog and extents tree headers and gathers the catalog's
    // extents beyond the inline ones.
    static Result<std::unique_ptr<Trees>> open(core::ByteSource& source, const VolumeHeader& volume);

    // The attributes tree, opened on first use; nullptr when the volume has
    // no attributes file.  A failure names the attributes tree.
    Result<const BTreeHeader*> attributes_tree(core::ByteSource& source, const VolumeHeader& volume);

    BTreeHeader catalog;
    BTreeHeader extents;
    // Opened when an attribute is first needed, so that a damaged attributes
    // tree fails only what needs it.  Set once, by the operations that already
    // take the volume exclusively.
    std::optional<BTreeHeader> attributes;

private:
    // A tree header read through the inline extents, then given all its extents.
    Result<BTreeHeader> open_tree(core::ByteSource& source, const VolumeHeader& volume, const ForkData& fork,
                                  uint32_t file_id) const;
};

}  // namespace hfsplus
