// A decoded payload: the CPIO bytes of a PBZX stream, listed and extracted.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/io.hpp"
#include "pbzx/bytes.hpp"
#include "pbzx/error.hpp"
#include "pbzx/format.hpp"

namespace pbzx {

class Archive {
public:
    Archive() = default;

    // Reads a PBZX file and decodes all its chunks (in parallel).
    static Result<Archive> open(const std::string& path);
    // The same from a source at its current position; the source is read to
    // its end (or to an end header) and not kept.
    static Result<Archive> from_reader(core::ByteSource& source);
    // An archive holding raw CPIO bytes, no decoding, nothing validated.
    static Archive from_cpio(std::span<const uint8_t> cpio);
    static Archive from_cpio(std::vector<uint8_t>&& cpio);

    // The CPIO bytes.
    const Bytes& data() const { return data_; }
    size_t size() const { return data_.size(); }
    Bytes take_data() { return std::move(data_); }

    // Each runs a fresh CpioReader from the start of the data.
    Result<std::vector<FileEntry>> list() const;
    Result<std::vector<uint8_t>> extract_file(std::string_view path) const;
    Result<ExtractStats> extract_path(std::string_view base_path, const std::string& dest) const;
    Result<ExtractStats> extract_all(const std::string& dest) const { return extract_path("/", dest); }

private:
    explicit Archive(Bytes data) : data_(std::move(data)) {}

    Bytes data_;
};

}  // namespace pbzx
