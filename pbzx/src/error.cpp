#include "pbzx/error.hpp"

#include <string>

namespace pbzx {

PbzxError PbzxError::with_text(Kind kind, std::string text) {
    PbzxError e(kind);
    e.text_ = std::move(text);
    return e;
}

PbzxError PbzxError::invalid_magic(std::array<uint8_t, 4> magic) {
    PbzxError e(Kind::InvalidMagic);
    e.magic_ = magic;
    return e;
}

PbzxError PbzxError::io(core::IoError error) {
    PbzxError e(Kind::Io);
    e.io_.emplace(std::move(error));
    return e;
}

PbzxError PbzxError::decompression(std::string text) { return with_text(Kind::Decompression, std::move(text)); }

PbzxError PbzxError::invalid_chunk(uint64_t offset, std::string text) {
    PbzxError e(Kind::InvalidChunk);
    e.offset_ = offset;
    e.text_ = std::move(text);
    return e;
}

PbzxError PbzxError::unexpected_eof(uint64_t offset) {
    PbzxError e(Kind::UnexpectedEof);
    e.offset_ = offset;
    return e;
}

PbzxError PbzxError::invalid_cpio(std::string text) { return with_text(Kind::InvalidCpio, std::move(text)); }

PbzxError PbzxError::file_not_found(std::string path) { return with_text(Kind::FileNotFound, std::move(path)); }

PbzxError PbzxError::invalid_path(std::string text) { return with_text(Kind::InvalidPath, std::move(text)); }

PbzxError PbzxError::compression(std::string text) { return with_text(Kind::Compression, std::move(text)); }

PbzxError PbzxError::unsupported(std::string text) { return with_text(Kind::Unsupported, std::move(text)); }

std::string PbzxError::message() const {
    switch (kind_) {
    case Kind::InvalidMagic:
    {
        std::string list;
        for (uint8_t b : magic_) list += (list.empty() ? "" : ", ") + std::to_string(b);
        return "Invalid PBZX magic: expected 'pbzx', got [" + list + "]";
    }
    case Kind::Io: return "I/O error: " + io_->message();
    case Kind::Decompression: return "Decompression error: " + text_;
    case Kind::InvalidChunk: return "Invalid chunk at offset " + std::to_string(offset_) + ": " + text_;
    case Kind::UnexpectedEof: return "Unexpected end of file at offset " + std::to_string(offset_);
    case Kind::InvalidCpio: return "Invalid CPIO archive: " + text_;
    case Kind::FileNotFound: return "File not found: " + text_;
    case Kind::InvalidPath: return "Invalid path: " + text_;
    case Kind::Compression: return "Compression error: " + text_;
    case Kind::Unsupported: return "Unsupported: " + text_;
    }
    return {};
}

}  // namespace pbzx
