// A volume's catalog B-tree read on its own, for tests that look below what
// HfsVolume shows.
#pragma once

#include <vector>

#include "btree.hpp"
#include "catalog.hpp"
#include "volume.hpp"

namespace hfs_test {

struct CatalogOf {
    explicit CatalogOf(std::vector<uint8_t> image)
        : source(std::move(image)), header(hfsplus::volume::read_header(source).value()),
          tree(hfsplus::btree::read_btree_header(source, header.catalog_file, header.block_size).value()) {}

    core::MemorySource source;
    hfsplus::VolumeHeader header;
    hfsplus::BTreeHeader tree;
};

}  // namespace hfs_test
