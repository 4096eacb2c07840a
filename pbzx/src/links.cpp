#include "links.hpp"

#include <vector>

#include "pbzx/cpio.hpp"

namespace pbzx::detail {
namespace {

// Device and inode numbers: what the names of one link set share.
struct LinkKey {
    uint32_t devmajor, devminor, ino;
    friend bool operator==(const LinkKey&, const LinkKey&) = default;
};

struct LinkKeyHash {
    size_t operator()(const LinkKey& k) const {
        uint64_t h = (uint64_t(k.devmajor) << 32 | k.devminor) * 0x9E3779B97F4A7C15ull;
        return size_t(h ^ (uint64_t(k.ino) * 0xC2B2AE3D27D4EB4Full));
    }
};

struct SetState {
    std::vector<size_t> waiting;      // size-0 names not yet given data
    std::optional<SharedData> last;  // the latest member with data
};

}  // namespace

LinkIndex LinkIndex::build(std::span<const uint8_t> cpio) {
    LinkIndex index;
    std::unordered_map<LinkKey, SetState, LinkKeyHash> sets;
    CpioReader reader(cpio);
    for (;;) {
        const size_t header_offset = size_t(reader.offset());
        auto header = reader.read_header();
        if (!header || !*header || (*header)->is_trailer()) break;
        const CpioEntry& e = **header;
        const size_t data_offset = size_t(reader.offset());
        if (!reader.skip_data(e.filesize)) break;  // data cut short: not a source for anyone
        if (!e.is_newc_link()) continue;
        SetState& set = sets[{e.devmajor, e.devminor, e.ino}];
        if (e.filesize == 0) {
            set.waiting.push_back(header_offset);
            continue;
        }
        set.last = SharedData{data_offset, e.filesize};
        for (size_t waiting : set.waiting) index.shared_.emplace(waiting, *set.last);
        set.waiting.clear();
    }
    for (auto& [key, set] : sets) {
        if (!set.last) continue;
        for (size_t waiting : set.waiting) index.shared_.emplace(waiting, *set.last);
    }
    return index;
}

std::optional<SharedData> LinkIndex::shared(size_t header_offset) const {
    auto it = shared_.find(header_offset);
    if (it == shared_.end()) return std::nullopt;
    return it->second;
}

}  // namespace pbzx::detail
