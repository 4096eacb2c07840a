// The body of both volume targets: walk the volume, then stat, list and read
// every entry, streamed and into memory, within the output budget.
#pragma once

#include <algorithm>
#include <cstdint>

#include "support.hpp"

namespace kiv_fuzz {

template <class Volume>
void exercise_volume(Volume& volume, uint64_t input_size) {
    (void)volume.list_directory("/");
    auto entries = volume.walk();
    if (!entries) return;
    uint64_t budget = 4 * kMaxOutput;
    for (const auto& e : *entries) {
        using Kind = decltype(e.entry.kind);
        auto stat = volume.stat(e.path);
        if (e.entry.kind == Kind::Directory) {
            (void)volume.list_directory(e.path);
            continue;
        }
        if constexpr (requires { volume.symlink_target(e.entry.id); }) {
            if (e.entry.kind == Kind::Symlink) (void)volume.symlink_target(e.entry.id);
        }
        BoundedSink sink(std::min(kMaxOutput, budget));
        (void)volume.read_file_to(e.path, sink);
        budget -= sink.written();
        // Holes aside, a file longer than the volume is not backed by it:
        // reading it into memory must fail before its declared size is taken.
        if (stat && (stat->size > input_size || stat->size <= std::min(kMaxOutput, budget))) {
            auto bytes = volume.read_file(e.path);
            if (bytes) budget -= std::min(budget, uint64_t(bytes->size()));
        }
        if (budget == 0) break;
    }
}

}  // namespace kiv_fuzz
