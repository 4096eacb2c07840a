// Conversions from the pipeline's file-system-neutral records to the value classes.
#pragma once

#include "pipeline/pipeline.hpp"
#include "types.hpp"

namespace kiv_python {

inline std::string kind_text(kiv::FsEntryKind kind) { return std::string(core::entry_kind_lower_name(kind)); }

inline const char* fs_type_text(kiv::FsType type) { return type == kiv::FsType::HfsPlus ? "hfsplus" : "apfs"; }

inline PyDirEntry to_value(const kiv::FsDirEntry& e) { return {e.name, kind_text(e.kind), e.size}; }

inline PyWalkEntry to_value(const kiv::FsWalkEntry& e) {
    return {e.path, e.name, kind_text(e.kind), e.size};
}

inline PyFileStat to_value(const kiv::FsFileStat& s) {
    return {fs_type_text(s.fs_type), s.id,          kind_text(s.kind), s.size,
            s.uid,                   s.gid,         s.mode,                      s.create_time,
            s.modify_time,           s.nlink,       s.data_fork_extents,         s.resource_fork_size};
}

inline PyVolumeInfo to_value(const kiv::FsVolumeInfo& v) {
    return {fs_type_text(v.fs_type), v.block_size,   v.file_count,  v.directory_count, v.name,
            v.symlink_count,         v.total_blocks, v.free_blocks, v.version,         v.is_hfsx};
}

inline PyExtractStats to_value(const kiv::ExtractStats& s) { return {s.files, s.dirs, s.symlinks_skipped, s.bytes}; }

template <class Records>
nb::list values_of(const Records& records) {
    nb::list out;
    for (const auto& r : records) out.append(nb::cast(to_value(r)));
    return out;
}

}  // namespace kiv_python
