// Replaces the global operator new of the test binary so that a test can make
// one chosen allocation fail with std::bad_alloc.  The nothrow form is
// replaced too, and first, so that all memory comes from and goes back to malloc.
#include <atomic>
#include <cstdlib>
#include <new>

#include "support.hpp"

static std::atomic<long> countdown{-1};

void xara_test::fail_allocation(long n) { countdown.store(n); }

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (countdown.load(std::memory_order_relaxed) >= 0 && countdown.fetch_sub(1) == 0) return nullptr;
    return std::malloc(size ? size : 1);
}
void* operator new(std::size_t size) {
    if (void* p = operator new(size, std::nothrow)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
