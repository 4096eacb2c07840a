// Text helpers shared by the error messages of every library.
#pragma once

#include <string>
#include <string_view>

namespace core {

// The text in double quotes with backslash escapes, as a debug print shows a
// string: quotes, backslashes and control characters are escaped ("a\"b\n").
std::string debug_quote(std::string_view text);

}  // namespace core
