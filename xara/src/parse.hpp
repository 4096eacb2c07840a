// Reading an archive's header and table of contents.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/io.hpp"
#include "xara/error.hpp"
#include "xara/header.hpp"
#include "xara/toc.hpp"

namespace xara {

namespace header {

// Reads and checks the header from the source's current position; leaves the
// source right after the header (past any extra declared header bytes).
Result<XarHeader> parse_header(core::ByteSource& reader);

}  // namespace header

namespace toc {

// The entry list and where the heap begins.
struct Toc {
    std::vector<XarFile> files;
    uint64_t heap_start = 0;
};

// Inflates and parses the table of contents.  The reader must stand right
// after the header bytes; it is left right after the compressed TOC extent.
Result<Toc> parse_toc(core::ByteSource& reader, const XarHeader& header);

// Parses the inflated TOC XML into entries in post-order (every entry comes
// after all entries nested in it).  Every failure is XmlParse.
Result<std::vector<XarFile>> parse_toc_xml(std::span<const uint8_t> xml);

}  // namespace toc
}  // namespace xara
