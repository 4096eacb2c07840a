#include "open_sets.hpp"

#include <algorithm>
#include <sys/resource.h>

namespace pbzx::detail {
namespace {

constexpr size_t kMaxSets = 128;

// An eighth of the descriptors the process may open, at least one.
size_t capacity_for_limit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kMaxSets;
    return std::clamp<size_t>(size_t(limit.rlim_cur / 8), 1, kMaxSets);
}

}  // namespace

OpenSets::OpenSets() : capacity_(capacity_for_limit()) {}

core::File* OpenSets::find(size_t set) {
    auto it = where_.find(set);
    if (it == where_.end()) return nullptr;
    order_.splice(order_.begin(), order_, it->second);
    return &it->second->file;
}

void OpenSets::hold(size_t set, core::File file) {
    if (core::File* held = find(set)) {
        *held = std::move(file);
        return;
    }
    if (order_.size() >= capacity_) {
        where_.erase(order_.back().set);
        order_.pop_back();
    }
    order_.push_front(Held{set, std::move(file)});
    where_.emplace(set, order_.begin());
}

}  // namespace pbzx::detail
