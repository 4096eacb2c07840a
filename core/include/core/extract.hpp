// The mechanics every extraction to a directory shares: directories, output
// files and the counts.  Each library keeps its own path rules and messages.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/dest_dir.hpp"
#include "core/io.hpp"
#include "core/try.hpp"

namespace core {

// Counts of one extraction to a directory.
struct ExtractStats {
    uint64_t files = 0;             // regular files written
    uint64_t dirs = 0;              // directories created, or present as the subtree root
    uint64_t symlinks_skipped = 0;  // symbolic links met (never created)
    uint64_t bytes = 0;             // bytes written into files

    friend bool operator==(const ExtractStats&, const ExtractStats&) = default;
};

// Creates `dir` and its missing parents (0777 before the umask), following
// symbolic links: for the destination itself, never for what goes below it
// (see DestDir).  An existing directory is fine; anything else in its place
// fails ("File exists").  A name holding a NUL byte is refused before any
// system call.
IoResult<void> create_directories(const std::filesystem::path& dir);

// Refuses a name holding a NUL byte, which a system call would cut short.
IoResult<void> check_name(const std::filesystem::path& path);

// Creates the output file `name` in the folder `dir` for writing, mode 0666
// before the umask, always as a new file.  Whatever else stands in its place
// (a regular file, a hard link, a FIFO, a socket, a device) is removed first,
// never opened, so nothing outside the destination changes.  A symbolic link
// there fails as a link in the way, named by the path on disk of `rel`, the
// file's path below `dest`; a folder there fails ("Is a directory").
PlaceResult<File> open_output_file_at(int dir, const std::string& name, const DestDir& dest, std::string_view rel);

// Sets the permission bits (mode & 07777) of an open file.
IoResult<void> set_permissions(File& file, uint32_t mode);

// Removes the file `name` of the folder `dir`, ignoring failure.
void remove_output_file_at(int dir, const std::string& name);

// What becomes of an output file that could not be written whole.
enum class Partial : bool { Keep, Remove };

// Creates (or replaces) the output file `name` in the folder `dir` and hands
// a sink over it (8 KiB buffer, holes for skipped zeros) to `fill`, which
// returns std::expected<uint64_t, E> with E convertible from IoError and
// PlaceError.  `rel`, the file's path below `dest`, names it in messages.
template <class Fill>
auto write_output_file_at(int dir, const std::string& name, const DestDir& dest, std::string_view rel,
                          Partial partial, Fill&& fill) -> std::invoke_result_t<Fill, ByteSink&> {
    BufferedFileWriter writer(KIV_TRY(core::open_output_file_at(dir, name, dest, rel)));
    auto written = fill(static_cast<ByteSink&>(writer));
    if (auto flushed = writer.flush(); written && !flushed) written = std::unexpected(flushed.error());
    if (!written && partial == Partial::Remove) core::remove_output_file_at(dir, name);
    return written;
}

// The same for the file `rel` below the destination, its parents made first.
template <class Fill>
auto write_output_file(DestDir& dest, std::string_view rel, Partial partial, Fill&& fill)
    -> std::invoke_result_t<Fill, ByteSink&> {
    const auto place = KIV_TRY(dest.place_of(rel));
    return write_output_file_at(place.dir, place.name, dest, rel, partial, std::forward<Fill>(fill));
}

}  // namespace core
