// The process-wide work-stealing pool and order-preserving parallel maps.
//
// The pool is created on first use with one worker per available processor,
// or as many as "RAYON_NUM_THREADS" (failing it, "RAYON_RS_NUM_CPUS") asks for.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <expected>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace core {

// Number of workers of the process-wide pool.
size_t worker_count();

// Runs body(0) .. body(n-1) on the pool and waits for all of them.  The body
// must not throw.
void parallel_for(size_t n, const std::function<void(size_t)>& body);

// Maps f over 0..n-1 in parallel and returns the results in index order.
// When items fail, the error of the lowest failing index is returned; items
// after a known failure are skipped.  f returns std::expected<T, E>.
template <class T, class E, class F>
std::expected<std::vector<T>, E> parallel_map(size_t n, F&& f) {
    std::vector<std::optional<std::expected<T, E>>> slots(n);
    std::atomic<size_t> first_failure{n};
    parallel_for(n, [&](size_t i) {
        if (i > first_failure.load(std::memory_order_relaxed)) return;
        auto r = f(i);
        if (!r) {
            size_t cur = first_failure.load(std::memory_order_relaxed);
            while (i < cur && !first_failure.compare_exchange_weak(cur, i)) {}
        }
        slots[i].emplace(std::move(r));
    });
    size_t failed = first_failure.load();
    if (failed < n) return std::unexpected(std::move(slots[failed]->error()));
    std::vector<T> out;
    out.reserve(n);
    for (auto& s : slots) out.push_back(std::move(**s));
    return out;
}

// Like parallel_map for bodies that produce no value: f returns std::expected<void, E>.
template <class E, class F>
std::expected<void, E> parallel_try(size_t n, F&& f) {
    std::vector<std::optional<E>> errors(n);
    std::atomic<size_t> first_failure{n};
    parallel_for(n, [&](size_t i) {
        if (i > first_failure.load(std::memory_order_relaxed)) return;
        auto r = f(i);
        if (!r) {
            errors[i].emplace(std::move(r.error()));
            size_t cur = first_failure.load(std::memory_order_relaxed);
            while (i < cur && !first_failure.compare_exchange_weak(cur, i)) {}
        }
    });
    size_t failed = first_failure.load();
    if (failed < n) return std::unexpected(std::move(*errors[failed]));
    return {};
}

// Like parallel_try, on `lanes` tasks (at most n) that each take the next
// index in turn: f(lane, i) may keep state of its own in slot `lane`,
// which no other task touches meanwhile.  Indices are taken in increasing
// order, or in the order `order` lists them (each index once).  After a
// failure no higher index is started, and the error of the lowest failing
// index is returned.
template <class E, class F>
std::expected<void, E> parallel_try_lanes(size_t n, size_t lanes, F&& f, std::span<const size_t> order = {}) {
    std::atomic<size_t> next{0}, first_failure{n};
    std::optional<E> error;
    std::mutex error_mutex;
    parallel_for(std::min(n, lanes), [&](size_t lane) {
        for (size_t k; (k = next.fetch_add(1)) < n;) {
            const size_t i = order.empty() ? k : order[k];
            if (i > first_failure.load(std::memory_order_relaxed)) {
                if (order.empty()) return;
                continue;
            }
            auto r = f(lane, i);
            if (r) continue;
            std::lock_guard lock(error_mutex);
            if (i < first_failure.load()) {
                first_failure.store(i);
                error.emplace(std::move(r.error()));
            }
        }
    });
    if (error) return std::unexpected(std::move(*error));
    return {};
}

}  // namespace core
