// Big- and little-endian integer access over byte spans.
#pragma once

#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <string_view>

#include "core/io.hpp"

namespace core {

inline uint16_t load_be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t load_be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint64_t load_be64(const uint8_t* p) { return uint64_t(load_be32(p)) << 32 | load_be32(p + 4); }
inline uint16_t load_le16(const uint8_t* p) { return uint16_t(p[1] << 8 | p[0]); }
inline uint32_t load_le32(const uint8_t* p) {
    return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}
inline uint64_t load_le64(const uint8_t* p) { return uint64_t(load_le32(p + 4)) << 32 | load_le32(p); }

inline void store_be16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
inline void store_be32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}
inline void store_be64(uint8_t* p, uint64_t v) { store_be32(p, uint32_t(v >> 32)); store_be32(p + 4, uint32_t(v)); }
inline void store_le16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void store_le32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}
inline void store_le64(uint8_t* p, uint64_t v) { store_le32(p, uint32_t(v)); store_le32(p + 4, uint32_t(v >> 32)); }

// A bounds-checked cursor over a byte span.  Every read past the end fails
// with the unexpected-end error and leaves the cursor where it was.
class SpanReader {
public:
    explicit SpanReader(std::span<const uint8_t> data) : data_(data) {}

    size_t position() const { return pos_; }
    size_t remaining() const { return data_.size() - pos_; }
    std::span<const uint8_t> rest() const { return data_.subspan(pos_); }

    IoResult<void> seek(size_t pos) {
        if (pos > data_.size()) return eof_fail();
        pos_ = pos;
        return {};
    }
    IoResult<void> skip(size_t n) {
        if (n > remaining()) return eof_fail();
        pos_ += n;
        return {};
    }
    IoResult<std::span<const uint8_t>> bytes(size_t n) {
        if (n > remaining()) return eof_fail();
        auto s = data_.subspan(pos_, n);
        pos_ += n;
        return s;
    }
    IoResult<uint8_t> u8() {
        if (remaining() < 1) return eof_fail();
        return data_[pos_++];
    }
    IoResult<uint16_t> be16() { return take<uint16_t>(load_be16); }
    IoResult<uint32_t> be32() { return take<uint32_t>(load_be32); }
    IoResult<uint64_t> be64() { return take<uint64_t>(load_be64); }
    IoResult<uint16_t> le16() { return take<uint16_t>(load_le16); }
    IoResult<uint32_t> le32() { return take<uint32_t>(load_le32); }
    IoResult<uint64_t> le64() { return take<uint64_t>(load_le64); }

private:
    template <class T>
    IoResult<T> take(T (*load)(const uint8_t*)) {
        if (remaining() < sizeof(T)) return eof_fail();
        T v = load(data_.data() + pos_);
        pos_ += sizeof(T);
        return v;
    }

    std::span<const uint8_t> data_;
    size_t pos_ = 0;
};

// Appends big-endian integers to a byte vector.
inline void append_be16(std::vector<uint8_t>& out, uint16_t v) { uint8_t b[2]; store_be16(b, v); out.insert(out.end(), b, b + 2); }
inline void append_be32(std::vector<uint8_t>& out, uint32_t v) { uint8_t b[4]; store_be32(b, v); out.insert(out.end(), b, b + 4); }
inline void append_be64(std::vector<uint8_t>& out, uint64_t v) { uint8_t b[8]; store_be64(b, v); out.insert(out.end(), b, b + 8); }

inline std::span<const uint8_t> as_bytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

}  // namespace core
