// Decoding entry data out of the heap.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/io.hpp"
#include "xara/error.hpp"
#include "xara/toc.hpp"

namespace xara::heap {

// Copies the entry's decoded bytes to the sink and returns how many were
// written.  Moves the reader; bytes already written stay in the sink when the
// call fails.  An entry without data writes nothing and returns 0.
Result<uint64_t> read_entry(core::ByteSource& reader, uint64_t heap_start, const XarFile& entry,
                            core::ByteSink& sink);

}  // namespace xara::heap
