#include "shared_view.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

namespace kiv::detail {
namespace {

class MemoryView final : public core::ByteSource {
public:
    explicit MemoryView(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

    core::IoResult<size_t> read(std::span<uint8_t> buf) override {
        if (pos_ >= bytes_.size()) return 0;
        size_t take = size_t(std::min<uint64_t>(buf.size(), bytes_.size() - pos_));
        std::memcpy(buf.data(), bytes_.data() + pos_, take);
        pos_ += take;
        return take;
    }
    core::IoResult<uint64_t> seek(uint64_t pos) override { return pos_ = pos; }
    uint64_t position() const override { return pos_; }
    core::IoResult<uint64_t> size() override { return bytes_.size(); }
    const std::vector<uint8_t>* memory() const override { return &bytes_; }

private:
    const std::vector<uint8_t>& bytes_;
    uint64_t pos_ = 0;
};

// Reads through positional reads, keeping the last small aligned reads:
// the volume libraries read whole B-tree nodes (sizes and offsets in
// multiples of 512 bytes) and look every path up from the root again, so
// the same upper nodes are read for every file.
class PositionalView final : public core::ByteSource {
public:
    PositionalView(const core::PositionalReader& base, uint64_t size) : base_(base), size_(size) {}

    core::IoResult<size_t> read(std::span<uint8_t> buf) override {
        if (pos_ >= size_) return 0;
        size_t take = size_t(std::min<uint64_t>(buf.size(), size_ - pos_));
        Kept* kept = nullptr;
        if (take % 512 == 0 && pos_ % 512 == 0 && take <= kMaxKept) {
            kept = &kept_[(pos_ / 512 * 0x9E3779B97F4A7C15ull) >> (64 - kKeptBits)];
            if (!kept->bytes) kept->bytes.reset(new (std::nothrow) uint8_t[kMaxKept]);
            if (!kept->bytes) kept = nullptr;  // short of memory: read straight through
        }
        if (kept) {
            if (kept->offset != pos_ || kept->length != take) {
                kept->offset = UINT64_MAX;
                if (auto r = base_.pread_exact(pos_, {kept->bytes.get(), take}); !r) return core::io_fail(r.error());
                kept->offset = pos_;
                kept->length = take;
            }
            std::memcpy(buf.data(), kept->bytes.get(), take);
        } else if (auto r = base_.pread_exact(pos_, buf.first(take)); !r) {
            return core::io_fail(r.error());
        }
        pos_ += take;
        return take;
    }
    core::IoResult<uint64_t> seek(uint64_t pos) override { return pos_ = pos; }
    uint64_t position() const override { return pos_; }
    core::IoResult<uint64_t> size() override { return size_; }
    const core::PositionalReader* positional() const override { return &base_; }

private:
    static constexpr size_t kMaxKept = 8192;
    static constexpr unsigned kKeptBits = 7;  // 128 reads kept: at most 1 MiB
    struct Kept {
        uint64_t offset = UINT64_MAX;
        size_t length = 0;
        std::unique_ptr<uint8_t[]> bytes;
    };

    const core::PositionalReader& base_;
    uint64_t size_;
    uint64_t pos_ = 0;
    std::array<Kept, size_t(1) << kKeptBits> kept_;
};

}  // namespace

std::unique_ptr<core::ByteSource> shared_view(core::ByteSource& base) {
    if (const auto* bytes = base.memory()) return std::make_unique<MemoryView>(*bytes);
    const auto* positional = base.positional();
    if (!positional) return nullptr;
    auto size = base.size();
    if (!size) return nullptr;
    return std::make_unique<PositionalView>(*positional, *size);
}

}  // namespace kiv::detail
