// Names as the writer puts them into the property list's XML text.
#pragma once

#include <string>
#include <string_view>

namespace udif::detail {

// The name as character data: "&", "<" and ">" escaped, a carriage return
// as a character reference, so that any name check_partition_name accepts
// parses again to the same bytes.
std::string xml_escape(std::string_view s);

}  // namespace udif::detail
