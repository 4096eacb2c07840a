// The body of both UDIF targets: open an image, query it, decode every
// partition in memory and streamed.
#pragma once

#include <functional>
#include <memory>

#include "core/io.hpp"

namespace kiv_fuzz {

// `open_source` makes a fresh source over the same image bytes at each call.
void exercise_image(const std::function<std::unique_ptr<core::ByteSource>()>& open_source);

}  // namespace kiv_fuzz
