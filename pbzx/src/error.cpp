#include "pbzx/error.hpp"

#include <string>

namespace pbzx {

PbzxError PbzxError::invalid_magic(std::array<uint8_t, 4> magic) {
    std::string list;
    for (uint8_t b : magic) list += (list.empty() ? "" : ", ") + std::to_string(b);
    return {Kind::InvalidMagic, "[" + list + "]"};
}

std::string PbzxError::message() const {
    switch (kind()) {
    case Kind::InvalidMagic: return "Invalid PBZX magic: expected 'pbzx', got " + text();
    case Kind::Io: return "I/O error: " + io_error()->message();
    case Kind::Decompression: return "Decompression error: " + text();
    case Kind::InvalidChunk: return "Invalid chunk at offset " + text();
    case Kind::UnexpectedEof: return "Unexpected end of file at offset " + text();
    case Kind::InvalidCpio: return "Invalid CPIO archive: " + text();
    case Kind::FileNotFound: return "File not found: " + text();
    case Kind::InvalidPath: return "Invalid path: " + text();
    case Kind::Compression: return "Compression error: " + text();
    case Kind::Unsupported: return "Unsupported: " + text();
    }
    return {};
}

}  // namespace pbzx
