// The values an APFS volume hands out: inodes and directory entries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/entry_kind.hpp"

namespace apfs {

inline constexpr uint64_t kRootDirectoryId = 2;

using EntryKind = core::EntryKind;

// The kind of a mode's file-type bits.
EntryKind kind_from_mode(uint16_t mode);

struct InodeVal {
    uint64_t parent_id = 0;
    uint64_t private_id = 0;  // the data stream whose extents hold the bytes
    uint64_t create_time = 0;
    uint64_t mod_time = 0;
    uint64_t change_time = 0;
    uint64_t access_time = 0;
    uint64_t internal_flags = 0;
    uint32_t nlink = 0;  // child count for a directory
    uint32_t protection_class = 0;
    uint32_t write_generation = 0;
    uint32_t bsd_flags = 0;
    uint32_t owner = 0;
    uint32_t group = 0;
    uint16_t mode = 0;
    uint64_t uncompressed_size = 0;
    std::optional<uint64_t> dstream_size;  // from the data-stream extended field

    // The data-stream size when present, else the uncompressed size.
    uint64_t size() const { return dstream_size.value_or(uncompressed_size); }
};

struct DirEntry {
    std::string name;
    uint64_t id = 0;
    uint64_t size = 0;
    uint64_t create_time = 0;
    uint64_t mod_time = 0;
    EntryKind kind = EntryKind::File;
};

}  // namespace apfs
