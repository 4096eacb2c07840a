// Temporary files: anonymous ones, created under a random name in "TMPDIR"
// (else "/tmp") and unlinked at once, so they vanish when their descriptor
// closes; and files that take the place of a path only once complete.
#pragma once

#include <string>

#include "core/io.hpp"

namespace core {

// The directory for temporary files.
std::string temp_dir();

// A new, empty, already unlinked file open for reading and writing.
IoResult<File> anonymous_tempfile();

// A new, empty file that takes the place of `path` only when committed.  It
// is written under a hidden random name (".NAME.part-" and random characters,
// NAME cut short to keep within NAME_MAX) in the folder of `path` and renamed
// over it by commit(), so that until then an existing file stays as it was;
// one never committed is removed.  A symbolic link at `path` is followed as
// opening the path would: the file at the end of its chain is the one
// replaced, or made where it is missing, and the hidden file goes beside it.
// The new file gets the permission bits of the file it replaces, else 0666
// before the umask.
class ReplacementFile {
public:
    // Fails at once where `path` names a folder, or holds a NUL byte, or its
    // links loop (ELOOP after 40).
    static IoResult<ReplacementFile> create(const std::string& path);

    ReplacementFile(ReplacementFile&& other) noexcept;
    ReplacementFile& operator=(ReplacementFile&&) = delete;
    ~ReplacementFile();

    File& file() { return file_; }
    // Closes the file and renames it over the path.
    IoResult<void> commit();

private:
    ReplacementFile(File file, std::string temp, std::string target)
        : file_(std::move(file)), temp_(std::move(temp)), target_(std::move(target)) {}

    File file_;
    std::string temp_;    // the hidden name, empty once committed
    std::string target_;  // the path it replaces
};

}  // namespace core
