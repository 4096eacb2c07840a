// Reading the volume header at byte 1024 and fork records.
#pragma once

#include "core/io.hpp"
#include "hfsplus/error.hpp"
#include "hfsplus/records.hpp"

namespace hfsplus::volume {

// Reads the header from byte 1024 of the partition image.  Checks the
// signature, then the version (4 or 5); nothing else is validated.
Result<VolumeHeader> read_header(core::ByteSource& source);

// Reads one 80-byte fork record at the source's current position.
Result<ForkData> read_fork_data(core::ByteSource& source);

}  // namespace hfsplus::volume
