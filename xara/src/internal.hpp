// Pieces shared by the library's sources; not part of the public interface.
#pragma once

#include "core/text.hpp"

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/io.hpp"

namespace xara::detail {


// Inflates a zlib stream (or, when asked to, a gzip member) read from at most
// `limit` bytes of a source, pulling input in 32 KiB blocks.  When the input
// ends before the stream does, reads simply return 0, like a reader at its end.
class LimitedInflater {
public:
    enum class Format : uint8_t {
        Zlib,        // RFC 1950
        ZlibOrGzip,  // an RFC 1952 member when the data begin 1F 8B, else RFC 1950
    };
    static constexpr size_t kInputBuffer = 32 * 1024;

    LimitedInflater(core::ByteSource& source, uint64_t limit, Format format);
    ~LimitedInflater();
    LimitedInflater(const LimitedInflater&) = delete;
    LimitedInflater& operator=(const LimitedInflater&) = delete;

    // Up to out.size() decoded bytes; 0 at the end of the stream or the input.
    // A failure carries the decoder's (or the source's) own text.
    std::expected<size_t, std::string> read(std::span<uint8_t> out);

    // Bytes of the limit not yet pulled from the source.
    uint64_t unread() const { return limit_; }

private:
    std::expected<void, std::string> fill();
    std::expected<void, std::string> start();

    struct Stream;
    core::ByteSource& source_;
    uint64_t limit_;
    Format format_;
    std::unique_ptr<uint8_t[]> input_;
    std::unique_ptr<Stream> stream_;
    bool started_ = false;
    bool input_ended_ = false;
    bool finished_ = false;
};

}  // namespace xara::detail
