// The mechanics every extraction to a directory shares: directories, output
// files and the counts.  Each library keeps its own path rules and messages.
#pragma once

#include <cstdint>
#include <filesystem>
#include <type_traits>
#include <utility>

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

// Creates `dir` and its missing parents (0777 before the umask).  An existing
// directory is fine; anything else in its place fails ("File exists").  A
// name holding a NUL byte is refused before any system call.
IoResult<void> create_directories(const std::filesystem::path& dir);

// Opens the output file `path` for writing, created with mode 0666 before the
// umask, never through a symbolic link standing in its place (that fails
// with "Too many levels of symbolic links").  `truncate` empties a file that
// is already there.
IoResult<File> open_output_file(const std::filesystem::path& path, bool truncate = true);

// Sets the permission bits (mode & 07777) of an open file.
IoResult<void> set_permissions(File& file, uint32_t mode);

// Removes a file, ignoring failure.
void remove_output_file(const std::filesystem::path& path);

// What becomes of an output file that could not be written whole.
enum class Partial : bool { Keep, Remove };

// Creates the parents of `path`, then the output file, and hands a sink over
// it (8 KiB buffer, holes for skipped zeros) to `fill`, which returns
// std::expected<uint64_t, E> with E convertible from IoError.
template <class Fill>
auto write_output_file(const std::filesystem::path& path, Partial partial, Fill&& fill)
    -> std::invoke_result_t<Fill, ByteSink&> {
    KIV_TRY(core::create_directories(path.parent_path()));
    BufferedFileWriter writer(KIV_TRY(core::open_output_file(path)));
    auto written = fill(static_cast<ByteSink&>(writer));
    if (auto flushed = writer.flush(); written && !flushed) written = std::unexpected(flushed.error());
    if (!written && partial == Partial::Remove) core::remove_output_file(path);
    return written;
}

}  // namespace core
