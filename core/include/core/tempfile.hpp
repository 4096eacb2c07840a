// Anonymous temporary files: created under a random name in "TMPDIR" (else
// "/tmp") and unlinked at once, so they vanish when their descriptor closes.
#pragma once

#include <string>

#include "core/io.hpp"

namespace core {

// The directory for temporary files.
std::string temp_dir();

// A new, empty, already unlinked file open for reading and writing.
IoResult<File> anonymous_tempfile();

}  // namespace core
