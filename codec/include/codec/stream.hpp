// Streaming decoders of zlib, gzip, bzip2 and xz data, shared by the format
// libraries.  Failures carry the decoder's own status code (and zlib's own
// text); each library turns them into its own messages.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <variant>

#include "core/io.hpp"

namespace codec {

enum class Format : uint8_t {
    Zlib,        // RFC 1950
    Gzip,        // one RFC 1952 member
    ZlibOrGzip,  // a gzip member when the data begin 1F 8B, else zlib
    Bzip2,       // one bzip2 stream
    Xz,          // one .xz stream, no memory limit
};

// The code of a decoder that made no progress with input and room at hand.
inline constexpr int kStalled = INT32_MIN;

struct DecodeFailure {
    int code = 0;         // zlib's, libbz2's or liblzma's status, or kStalled
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
    Format format_;  // ZlibOrGzip is settled by the first bytes
    std::unique_ptr<Streams> streams_;
    bool started_ = false;
};

// One stream read from at most `limit` bytes of a source through a 32 KiB
// input buffer.  When the input ends before the stream does, reads return 0,
// like a reader at its end.
class SourceDecoder {
public:
    static constexpr size_t kInputBuffer = 32 * 1024;
    using Failure = std::variant<core::IoError, DecodeFailure>;

    SourceDecoder(core::ByteSource& source, uint64_t limit, Format format);

    // Up to out.size() decoded bytes; 0 at the end of the stream or the input.
    std::expected<size_t, Failure> read(std::span<uint8_t> out);
    // Bytes of the limit not yet pulled from the source.
    uint64_t unread() const { return limit_; }

private:
    core::IoResult<void> fill();

    core::ByteSource& source_;
    uint64_t limit_;
    Decoder decoder_;
    std::unique_ptr<uint8_t[]> input_;
    size_t start_ = 0, end_ = 0;  // the buffered input not yet decoded
    bool primed_ = false;
    bool input_ended_ = false;
    bool finished_ = false;
};

// Decodes `in` into `out` until `out` is full, the stream ends or the input
// runs out; returns the bytes produced.  Decoded data beyond `out` is never
// produced, and bytes after the stream are ignored.
std::expected<size_t, DecodeFailure> decode_into(Format format, std::span<const uint8_t> in, std::span<uint8_t> out);

// liblzma's description of a status, in lower case ("compressed data is corrupt").
std::string xz_message(int code);

}  // namespace codec
