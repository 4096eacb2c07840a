#include "xara/error.hpp"

#include <cstdio>

namespace xara {

XarError XarError::invalid_magic(uint32_t magic) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", unsigned(magic));
    return {Kind::InvalidMagic, buf};
}

std::string XarError::message() const {
    switch (kind()) {
        case Kind::Io: return "I/O error: " + io_error()->message();
        case Kind::InvalidMagic: return "invalid XAR magic: " + text() + " (expected 0x78617221)";
        case Kind::InvalidToc: return "invalid TOC: " + text();
        case Kind::XmlParse: return "XML parse error: " + text();
        case Kind::FileNotFound: return "file not found: " + text();
        case Kind::UnsupportedEncoding: return "unsupported encoding: " + text();
        case Kind::DecompressionFailed: return "decompression failed: " + text();
        case Kind::InvalidPath: return "invalid path: " + text();
    }
    return text();
}

}  // namespace xara
