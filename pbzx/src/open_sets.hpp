// The files of link sets held open while the later names of each set come.
#pragma once

#include <cstddef>
#include <list>
#include <unordered_map>

#include "core/io.hpp"

namespace pbzx::detail {

// Holds the open file of each link set lately written.  The descriptor keeps
// the file's inode alive, so its number cannot pass to another file while it
// is held.  Past the capacity the least recently used set is closed and
// forgotten; the capacity stays well below the process's descriptor limit.
class OpenSets {
public:
    // At most 128 sets, fewer when RLIMIT_NOFILE is low.
    OpenSets();

    // The file held for `set`, now the most recently used; null when none.
    core::File* find(size_t set);
    // Holds `file` for `set`, in place of any held before.
    void hold(size_t set, core::File file);

private:
    struct Held {
        size_t set;
        core::File file;
    };

    size_t capacity_;
    std::list<Held> order_;  // the most recently used first
    std::unordered_map<size_t, std::list<Held>::iterator> where_;
};

}  // namespace pbzx::detail
