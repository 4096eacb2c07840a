// The regular files of one CPIO extraction, the names of a link set made hard
// links of one file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <sys/types.h>
#include <unordered_map>

#include "core/dest_dir.hpp"
#include "core/io.hpp"

namespace pbzx::detail {

// The names of a link set become hard links of one file, as cpio and bsdtar
// make them (a copy where the file system refuses links).  Each file is
// written as a new one, replacing what stands at its name, so that writing
// one name leaves the others as they are.
class FileWriter {
public:
    explicit FileWriter(core::DestDir& dest) : dest_(dest) {}

    // Writes `data` to `path` (below the destination) with the permission
    // bits `permissions`; for a link set (the offset of its data), links
    // `path` to the set's file when one is already written.  An existing
    // symbolic link at `path` is not followed.
    core::PlaceResult<void> write(const std::string& path, std::span<const uint8_t> data, uint32_t permissions,
                                  std::optional<size_t> link_set);

private:
    struct FileId {
        dev_t dev;
        ino_t ino;
        friend bool operator==(const FileId&, const FileId&) = default;
    };

    struct Written {
        std::string path;
        FileId id;
    };

    // Creates the file at `path`, replacing what stands there, and writes it.
    core::PlaceResult<core::File> create(const std::string& path, std::span<const uint8_t> data,
                                         uint32_t permissions);

    // Makes `path` a hard link of `first`, replacing what stands there.  False
    // when `first` no longer holds the set's file, when a folder or a symbolic
    // link stands at `path`, or when the file system refuses the link: the
    // caller writes the data.
    core::PlaceResult<bool> link(const Written& first, const std::string& path, uint32_t permissions);

    core::DestDir& dest_;
    std::unordered_map<size_t, Written> sets_;  // link set -> the file written for it
};

}  // namespace pbzx::detail
