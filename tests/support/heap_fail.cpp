// heap_fail.cpp - see heap_fail.h.
#include "heap_fail.h"

#include <dlfcn.h>

#include <atomic>
#include <cstring>

extern "C" {
// Bounds of the program's own code, from the linker.
extern char __executable_start[];
extern char etext[];
}

namespace vtest::heap {

namespace {

using MallocFn = void *(*)(std::size_t);
using CallocFn = void *(*)(std::size_t, std::size_t);
using ReallocFn = void *(*)(void *, std::size_t);
using FreeFn = void (*)(void *);

std::atomic<MallocFn> g_malloc{nullptr};
std::atomic<CallocFn> g_calloc{nullptr};
std::atomic<ReallocFn> g_realloc{nullptr};
std::atomic<FreeFn> g_free{nullptr};
std::atomic<bool> g_available{false};

// Allocations made while the real functions are being looked up (dlsym may
// allocate) come from here and are never given back.
alignas(16) char g_arena[64 * 1024];
std::atomic<std::size_t> g_arena_used{0};

std::atomic<bool> g_counting{false};
std::atomic<uint64_t> g_calls{0};
std::atomic<uint64_t> g_fail_at{0}; // 0: nothing armed
std::atomic<bool> g_fired{false};
thread_local int t_paused = 0;
thread_local bool t_resolving = false;

bool in_arena(const void *p)
{
    const char *c = static_cast<const char *>(p);
    return c >= g_arena && c < g_arena + sizeof g_arena;
}

void *arena_alloc(std::size_t n)
{
    const std::size_t size = (n + 15) & ~static_cast<std::size_t>(15);
    const std::size_t at = g_arena_used.fetch_add(size);
    if (at + size > sizeof g_arena)
        return nullptr;
    return g_arena + at; // zero: the arena is static and never reused
}

void resolve()
{
    if (g_free.load(std::memory_order_acquire) != nullptr || t_resolving)
        return;
    t_resolving = true;
    g_malloc.store(reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc")));
    g_calloc.store(reinterpret_cast<CallocFn>(dlsym(RTLD_NEXT, "calloc")));
    g_realloc.store(reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc")));
    g_free.store(reinterpret_cast<FreeFn>(dlsym(RTLD_NEXT, "free")), std::memory_order_release);
    t_resolving = false;
}

bool from_program(const void *caller)
{
    const char *c = static_cast<const char *>(caller);
    return c >= __executable_start && c < etext;
}

// True when this allocation is counted and is the one armed to fail.
bool fail_now(const void *caller)
{
    if (!g_counting.load(std::memory_order_relaxed) || t_paused > 0 || !from_program(caller))
        return false;
    const uint64_t n = g_calls.fetch_add(1) + 1;
    if (n != g_fail_at.load())
        return false;
    g_fired.store(true);
    return true;
}

} // namespace

void mark_available() { g_available.store(true); }
bool available() { return g_available.load(); }

void arm(uint32_t n)
{
    g_calls.store(0);
    g_fired.store(false);
    g_fail_at.store(n);
    g_counting.store(true);
}

void disarm()
{
    g_counting.store(false);
    g_fail_at.store(0);
}

uint64_t calls() { return g_calls.load(); }
bool fired() { return g_fired.load(); }

Pause::Pause() { ++t_paused; }
Pause::~Pause() { --t_paused; }

void *do_malloc(std::size_t n, const void *caller)
{
    resolve();
    const MallocFn real = g_malloc.load(std::memory_order_acquire);
    if (real == nullptr)
        return arena_alloc(n);
    return fail_now(caller) ? nullptr : real(n);
}

void *do_calloc(std::size_t n, std::size_t size, const void *caller)
{
    resolve();
    const CallocFn real = g_calloc.load(std::memory_order_acquire);
    if (real == nullptr)
        return size != 0 && n > sizeof g_arena / size ? nullptr : arena_alloc(n * size);
    return fail_now(caller) ? nullptr : real(n, size);
}

void *do_realloc(void *p, std::size_t n, const void *caller)
{
    resolve();
    const ReallocFn real = g_realloc.load(std::memory_order_acquire);
    if (real == nullptr || in_arena(p)) {
        // A block of the arena moves to the real heap (its size is unknown:
        // copy what the new size asks for, within the arena).
        void *q = real == nullptr ? arena_alloc(n) : g_malloc.load()(n);
        if (q != nullptr && p != nullptr) {
            const std::size_t room = static_cast<std::size_t>(g_arena + sizeof g_arena - static_cast<char *>(p));
            std::memcpy(q, p, n < room ? n : room);
        }
        return q;
    }
    return fail_now(caller) ? nullptr : real(p, n);
}

void do_free(void *p)
{
    if (p == nullptr || in_arena(p))
        return;
    resolve();
    if (const FreeFn real = g_free.load(std::memory_order_acquire); real != nullptr)
        real(p);
}

} // namespace vtest::heap
