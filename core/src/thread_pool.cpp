#include "core/thread_pool.hpp"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <sched.h>
#include <string>
#include <thread>

#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace core {
namespace {

// A positive whole number from the environment, or 0.
size_t env_count(const char* name) {
    const char* v = std::getenv(name);
    if (!v || !*v) return 0;
    char* end = nullptr;
    unsigned long long n = std::strtoull(v, &end, 10);
    if (*end != '\0' || n == 0 || n > 4096) return 0;
    return size_t(n);
}

size_t available_processors() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return size_t(n);
    }
    unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

struct Pool {
    size_t workers;
    std::unique_ptr<tbb::task_arena> arena;
};

Pool& pool() {
    static Pool p = [] {
        size_t n = env_count("RAYON_NUM_THREADS");
        if (n == 0) n = env_count("RAYON_RS_NUM_CPUS");
        if (n == 0) n = available_processors();
        Pool made{n, std::make_unique<tbb::task_arena>(int(n), 1)};
        return made;
    }();
    return p;
}

}  // namespace

size_t worker_count() { return pool().workers; }

void parallel_for(size_t n, const std::function<void(size_t)>& body) {
    if (n == 0) return;
    Pool& p = pool();
    if (n == 1 || p.workers == 1) {
        for (size_t i = 0; i < n; ++i) body(i);
        return;
    }
    p.arena->execute([&] {
        tbb::parallel_for(tbb::blocked_range<size_t>(0, n, 1), [&](const tbb::blocked_range<size_t>& r) {
            for (size_t i = r.begin(); i != r.end(); ++i) body(i);
        }, tbb::simple_partitioner());
    });
}

}  // namespace core
