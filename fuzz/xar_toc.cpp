// The text of a XAR table of contents, parsed as the archive reader does
// once it has inflated it.
#include "parse.hpp"
#include "support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto files = xara::toc::parse_toc_xml({data, size});
    if (!files) return 0;
    for (const xara::XarFile& f : *files) (void)xara::toc::find_by_path(*files, f.path);
    return 0;
}
