// Streaming decoders of zlib, gzip, bzip2 and xz data, shared by the format
// libraries.  Failures carry the decoder's own status code (and zlib's own
// text); each library turns them into its own messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

namespace codec {

enum class Format : uint8_t {
    Zlib,   // RFC 1950
    Gzip,   // one RFC 1952 member
    Bzip2,  // one bzip2 stream
    Xz,     // one .xz stream, no memory limit
};

struct DecodeFailure {
    int code = 0;         // zlib's, libbz2's or liblzma's status
    std::string message;  // zlib's text for the failure (empty for the others)
};

// One compressed stream, decoded piece by piece.
class Decoder {
public:
    explicit Decoder(Format format);
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    struct Step {
        size_t consumed = 0;
        size_t produced = 0;
        bool finished = false;  // the stream has ended
    };
    // Decodes what it can of `in` into `out`.  A step that neither consumes
    // nor produces means the decoder needs input or room it was not given.
    std::expected<Step, DecodeFailure> step(std::span<const uint8_t> in, std::span<uint8_t> out);

private:
    struct Streams;
    Format format_;
    std::unique_ptr<Streams> streams_;
    bool started_ = false;
};

// Decodes `in` into `out` until `out` is full, the stream ends or the input
// runs out; returns the bytes produced.  Decoded data beyond `out` is never
// produced, and bytes after the stream are ignored.
std::expected<size_t, DecodeFailure> decode_into(Format format, std::span<const uint8_t> in, std::span<uint8_t> out);

// liblzma's description of a status, in lower case ("compressed data is corrupt").
std::string xz_message(int code);

}  // namespace codec
