// An owned byte buffer that can be made without zero-filling it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace pbzx {

// Decoded payloads live here.  A large buffer is a fresh anonymous mapping
// whose pages the system provides as they are first written: nothing is
// zero-filled up front, parallel decoders each touch their own part, and
// untouched pages cost no memory.
class Bytes {
public:
    using value_type = uint8_t;
    using iterator = uint8_t*;
    using const_iterator = const uint8_t*;

    Bytes() = default;
    // Takes over a vector's bytes.
    explicit Bytes(std::vector<uint8_t> bytes);
    Bytes(Bytes&& other) noexcept;
    Bytes& operator=(Bytes&& other) noexcept;
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    ~Bytes();

    // `size` bytes whose contents are undefined until written; nothing when
    // the system has no room for them.
    static std::optional<Bytes> uninitialized(size_t size);
    static Bytes copy_of(std::span<const uint8_t> bytes);

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    uint8_t* begin() { return data_; }
    uint8_t* end() { return data_ + size_; }
    const uint8_t* begin() const { return data_; }
    const uint8_t* end() const { return data_ + size_; }
    std::span<uint8_t> span() { return {data_, size_}; }
    operator std::span<const uint8_t>() const { return {data_, size_}; }
    std::vector<uint8_t> to_vector() const { return {begin(), end()}; }

    friend bool operator==(const Bytes& a, const Bytes& b);
    friend bool operator==(const Bytes& a, const std::vector<uint8_t>& b);

private:
    void release();

    std::vector<uint8_t> vector_;  // the storage of small buffers and adopted vectors
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t mapped_ = 0;  // length of the mapping, 0 when the bytes live in vector_
};

// Makes the pages of `region` present before they are written: one call
// instead of a page fault per page.  Nothing happens where the system does
// not offer it.
void prefault(std::span<uint8_t> region);

}  // namespace pbzx
