// Pieces shared by the library's sources; not part of the public interface.
#pragma once

#include <string>

#include "codec/stream.hpp"
#include "core/io.hpp"
#include "core/text.hpp"

namespace xara::detail {

// A decoder's failure as this library words it (the source's own text for
// an I/O failure).
std::string decoder_message(codec::Format format, const codec::SourceDecoder::Failure& failure);

}  // namespace xara::detail
