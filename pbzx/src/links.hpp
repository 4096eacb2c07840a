// Hard links of newc archives: which member holds the data of a size-0 name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>

namespace pbzx::detail {

// Where a link set's data lie in the archive bytes.
struct SharedData {
    size_t offset = 0;
    uint64_t size = 0;
};

// GNU cpio and bsdtar write a multiply-linked file once in newc: the data go
// with the last name of the link set, the other names have size 0.  The index
// gives each such size-0 name the data of the next member of its set that has
// data, or, when none follows, of the last one before it.
class LinkIndex {
public:
    // Walks the member headers from the start of `cpio` to the trailer.
    // Damage ends the walk quietly: the caller's own pass reports it.
    static LinkIndex build(std::span<const uint8_t> cpio);

    // The shared data of the size-0 member whose header starts at `header_offset`.
    std::optional<SharedData> shared(size_t header_offset) const;

private:
    std::unordered_map<size_t, SharedData> shared_;
};

}  // namespace pbzx::detail
