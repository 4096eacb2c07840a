// The regular files of one CPIO extraction, the names of a link set made hard
// links of one file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/dest_dir.hpp"
#include "core/io.hpp"
#include "open_sets.hpp"

namespace pbzx::detail {

// The names of a link set become hard links of one file, as cpio and bsdtar
// make them (a copy where the file system refuses links).  Each file is
// written as a new one, replacing what stands at its name, so that writing
// one name leaves the others as they are.
//
// The set's file is known by the descriptor it was written through, never by
// a name: a later name is linked to exactly that file, and its permission
// bits are set through the descriptor, so no entry swapped in at a name can
// redirect either.  A set whose names have all been replaced meanwhile, or
// whose file is no longer held, has its data written anew, that new file
// serving the names after it.
class FileWriter {
public:
    explicit FileWriter(core::DestDir& dest) : dest_(dest) {}

    // Writes `data` to `path` (below the destination) with the permission
    // bits `permissions`; for a link set (the offset of its data), links
    // `path` to the set's file when one is held.  An existing symbolic link
    // at `path` is not followed.
    core::PlaceResult<void> write(const std::string& path, std::span<const uint8_t> data, uint32_t permissions,
                                  std::optional<size_t> link_set);

private:
    // Creates the file at `path`, replacing what stands there, and writes it.
    core::PlaceResult<core::File> create(const std::string& path, std::span<const uint8_t> data,
                                         uint32_t permissions);

    // Makes `path` a name of the open file `file`, replacing what stands
    // there, and sets the file's permission bits.  False when `file` has no
    // name left, when a folder or a symbolic link stands at `path`, or when
    // the link cannot be made: the caller writes the data.
    core::PlaceResult<bool> link(core::File& file, const std::string& path, uint32_t permissions);

    core::DestDir& dest_;
    OpenSets sets_;
};

}  // namespace pbzx::detail
