// Views of a decoded partition for volumes opened once per worker: each
// view keeps a position of its own and reads its base without moving the
// base's position, so several threads may read one partition at once.
#pragma once

#include <memory>

#include "core/io.hpp"

namespace kiv::detail {

// A view of `base`, which must outlive it: straight from memory when base
// is held in memory, else through its positional reads.  nullptr when base
// offers neither.
std::unique_ptr<core::ByteSource> shared_view(core::ByteSource& base);

}  // namespace kiv::detail
