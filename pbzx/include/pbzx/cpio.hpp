// Reading CPIO archives held in memory: newc ("070701"), newc with checksum
// ("070702", checksum not verified) and odc ("070707").
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pbzx/error.hpp"
#include "pbzx/format.hpp"

namespace pbzx {

// A read position over borrowed CPIO bytes.
class CpioReader {
public:
    explicit CpioReader(std::span<const uint8_t> data) : data_(data) {}

    // Bytes consumed so far.
    uint64_t offset() const { return pos_; }
    void rewind() { pos_ = 0; }

    // The next member header, or nothing when fewer than 6 bytes are left.
    Result<std::optional<CpioEntry>> read_header();
    // The member's data (and, for newc, the padding after it).
    Result<std::vector<uint8_t>> read_data(uint64_t size);
    Result<void> skip_data(uint64_t size);

    // Data that are not empty and do not start with a CPIO magic (an Apple
    // Archive, a binary CPIO, fewer than 6 bytes) fail each of the three with
    // the magic error at offset 0, before anything is written: they are no
    // empty archive.  Empty data hold no member.
    //
    // Every member up to the trailer.
    Result<std::vector<FileEntry>> list();
    // The data of the member whose name equals `path` byte for byte.
    Result<std::vector<uint8_t>> extract_file(std::string_view path);
    // Writes the members under `base_path` ("" or "/" for all) below `dest`,
    // with `base_path` stripped from their paths.  Symbolic links are counted,
    // never created; a ".." component fails the call.
    Result<ExtractStats> extract_path(std::string_view base_path, const std::string& dest);

private:
    // Empty data, or data that start with a CPIO magic.
    Result<void> check_start() const;
    Result<std::span<const uint8_t>> take(uint64_t n);
    uint64_t data_padding(uint64_t size) const;

    std::span<const uint8_t> data_;
    size_t pos_ = 0;
    CpioFormat format_ = CpioFormat::Newc;
};
}  // namespace pbzx
