// The B-trees an opened volume reads through.
#pragma once

#include <optional>

#include "btree.hpp"
#include "hfsplus/hfsplus.hpp"

namespace hfsplus {

struct HfsVolume::Trees {
    BTreeHeader catalog;
    BTreeHeader extents;
    std::optional<BTreeHeader> attributes;  // absent when the volume has no attributes file
};

}  // namespace hfsplus
