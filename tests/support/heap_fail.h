// heap_fail.h - heap-failure injection and live-block counting.  A program
// opts in with VTEST_HEAP_FAIL(); once at namespace scope, which defines malloc,
// calloc, realloc and free in it (forwarding to the C library's or the
// sanitizer's); only allocations by code linked into the program are counted
// and failed, not the C++ runtime's or the platform's.  Not under ThreadSanitizer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vtest::heap {
// True when the program opted in and the interposition is active.
bool available();

// Counts allocations from 0 and fails the n-th (n = 0: count only).
void arm(uint32_t n);
// Stops counting and disarms.
void disarm();
// Counted allocations since arm().
uint64_t calls();
// Live heap blocks allocated by the program's own code (armed or not).
int64_t live();

// While a Pause lives, the calling thread's allocations are not counted.
class Pause {
  public:
    Pause();
    ~Pause();
    Pause(const Pause &) = delete;
    Pause &operator=(const Pause &) = delete;
};

// What VTEST_HEAP_FAIL()'s definitions call; `caller`: the return address.
void *do_malloc(std::size_t n, const void *caller);
void *do_calloc(std::size_t n, std::size_t size, const void *caller);
void *do_realloc(void *p, std::size_t n, const void *caller);
void do_free(void *p);
void mark_available();

} // namespace vtest::heap

#if defined(__SANITIZE_THREAD__)
#define VTEST_HEAP_FAIL_ENABLED 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VTEST_HEAP_FAIL_ENABLED 0
#endif
#endif
#ifndef VTEST_HEAP_FAIL_ENABLED
#define VTEST_HEAP_FAIL_ENABLED 1
#endif

#if VTEST_HEAP_FAIL_ENABLED
#define VTEST_HEAP_FAIL()                                                                                              \
    extern "C" __attribute__((no_sanitize("address"))) void *malloc(std::size_t n) noexcept                            \
    {                                                                                                                  \
        return vtest::heap::do_malloc(n, __builtin_return_address(0));                                                 \
    }                                                                                                                  \
    extern "C" __attribute__((no_sanitize("address"))) void *calloc(std::size_t n, std::size_t size) noexcept          \
    {                                                                                                                  \
        return vtest::heap::do_calloc(n, size, __builtin_return_address(0));                                           \
    }                                                                                                                  \
    extern "C" __attribute__((no_sanitize("address"))) void *realloc(void *p, std::size_t n) noexcept                  \
    {                                                                                                                  \
        return vtest::heap::do_realloc(p, n, __builtin_return_address(0));                                             \
    }                                                                                                                  \
    extern "C" __attribute__((no_sanitize("address"))) void free(void *p) noexcept { vtest::heap::do_free(p); }        \
    [[maybe_unused]] static const bool vtest_heap_fail_marked = (vtest::heap::mark_available(), true)
#else
#define VTEST_HEAP_FAIL() static_assert(true)
#endif
