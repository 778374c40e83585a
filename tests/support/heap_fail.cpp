// heap_fail.cpp - see heap_fail.h.
#include "heap_fail.h"

#include <dlfcn.h>

#include <cstring>

extern "C" {
// Bounds of the program's own code, from the linker.
extern char __executable_start[];
extern char etext[];
// The AddressSanitizer's allocator, used directly when present.
void *__interceptor_malloc(std::size_t) __attribute__((weak));
void *__interceptor_calloc(std::size_t, std::size_t) __attribute__((weak));
void *__interceptor_realloc(void *, std::size_t) __attribute__((weak));
void __interceptor_free(void *) __attribute__((weak));
}

// The allocation path runs before the sanitizer is set up: not instrumented.
#define VTEST_UNSANITIZED __attribute__((no_sanitize("address", "undefined")))

namespace vtest::heap {
namespace {

using MallocFn = void *(*)(std::size_t);
using CallocFn = void *(*)(std::size_t, std::size_t);
using ReallocFn = void *(*)(void *, std::size_t);
using FreeFn = void (*)(void *);

// Plain words with atomic built-ins (std::atomic's members are instrumented).
MallocFn g_malloc = nullptr;
CallocFn g_calloc = nullptr;
ReallocFn g_realloc = nullptr;
FreeFn g_free = nullptr;
bool g_available = false;

// Allocations made while dlsym looks the real functions up; never freed.
alignas(16) char g_arena[64 * 1024];
std::size_t g_arena_used = 0;

bool g_counting = false;
uint64_t g_calls = 0;
uint64_t g_fail_at = 0; // 0: nothing armed
int64_t g_live = 0;

template <class T> VTEST_UNSANITIZED inline __attribute__((always_inline)) T load(const T &v)
{
    return __atomic_load_n(&v, __ATOMIC_ACQUIRE);
}
template <class T> VTEST_UNSANITIZED inline __attribute__((always_inline)) void store(T &v, T x)
{
    __atomic_store_n(&v, x, __ATOMIC_RELEASE);
}
thread_local int t_paused = 0;
thread_local bool t_resolving = false;

VTEST_UNSANITIZED bool in_arena(const void *p)
{
    const char *c = static_cast<const char *>(p);
    return c >= g_arena && c < g_arena + sizeof g_arena;
}

VTEST_UNSANITIZED void *arena_alloc(std::size_t n)
{
    const std::size_t size = (n + 15) & ~static_cast<std::size_t>(15);
    const std::size_t at = __atomic_fetch_add(&g_arena_used, size, __ATOMIC_RELAXED);
    return at + size > sizeof g_arena ? nullptr : g_arena + at; // zero: static and never reused
}

VTEST_UNSANITIZED void resolve()
{
    if (load(g_free) != nullptr || t_resolving)
        return;
    if (__interceptor_malloc != nullptr && __interceptor_calloc != nullptr && __interceptor_realloc != nullptr &&
        __interceptor_free != nullptr) {
        store<MallocFn>(g_malloc, __interceptor_malloc);
        store<CallocFn>(g_calloc, __interceptor_calloc);
        store<ReallocFn>(g_realloc, __interceptor_realloc);
        store<FreeFn>(g_free, __interceptor_free);
        return;
    }
    t_resolving = true;
    store(g_malloc, reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc")));
    store(g_calloc, reinterpret_cast<CallocFn>(dlsym(RTLD_NEXT, "calloc")));
    store(g_realloc, reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc")));
    store(g_free, reinterpret_cast<FreeFn>(dlsym(RTLD_NEXT, "free")));
    t_resolving = false;
}

VTEST_UNSANITIZED bool from_program(const void *caller)
{
    const char *c = static_cast<const char *>(caller);
    return c >= __executable_start && c < etext;
}

// True when this allocation is counted and is the one armed to fail.
VTEST_UNSANITIZED bool fail_now(const void *caller)
{
    if (!load(g_counting) || t_paused > 0 || !from_program(caller))
        return false;
    return __atomic_add_fetch(&g_calls, 1, __ATOMIC_ACQ_REL) == load(g_fail_at);
}

// Live blocks of the program's own code, by address (open addressing).
constexpr std::size_t kSlots = 1u << 17;
uintptr_t g_slots[kSlots];

VTEST_UNSANITIZED std::size_t slot_of(uintptr_t a) { return (a >> 4) * 2654435761u % kSlots; }

VTEST_UNSANITIZED void *counted(void *p, const void *caller)
{
    if (p == nullptr || !from_program(caller))
        return p;
    const auto a = reinterpret_cast<uintptr_t>(p);
    for (std::size_t i = slot_of(a), n = 0; n < kSlots; i = (i + 1) % kSlots, ++n) {
        uintptr_t v = __atomic_load_n(&g_slots[i], __ATOMIC_ACQUIRE); // 0 empty, 1 freed
        if (v <= 1 && __atomic_compare_exchange_n(&g_slots[i], &v, a, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) {
            __atomic_add_fetch(&g_live, 1, __ATOMIC_RELAXED);
            break;
        }
    }
    return p;
}

// Forgets a block that is freed (nothing when it is not in the table).
VTEST_UNSANITIZED void uncounted(void *p)
{
    const auto a = reinterpret_cast<uintptr_t>(p);
    for (std::size_t i = slot_of(a), n = 0; n < kSlots; i = (i + 1) % kSlots, ++n) {
        const uintptr_t v = __atomic_load_n(&g_slots[i], __ATOMIC_ACQUIRE);
        if (v == 0)
            return;
        uintptr_t expect = a;
        if (v == a && __atomic_compare_exchange_n(&g_slots[i], &expect, uintptr_t{1}, false, __ATOMIC_ACQ_REL,
                                                  __ATOMIC_RELAXED)) {
            __atomic_sub_fetch(&g_live, 1, __ATOMIC_RELAXED);
            return;
        }
    }
}

} // namespace

void mark_available() { store(g_available, true); }
bool available() { return load(g_available); }

void arm(uint32_t n)
{
    store<uint64_t>(g_calls, 0);
    store<uint64_t>(g_fail_at, n);
    store(g_counting, true);
}

void disarm()
{
    store(g_counting, false);
    store<uint64_t>(g_fail_at, 0);
}

uint64_t calls() { return load(g_calls); }
int64_t live() { return load(g_live); }

Pause::Pause() { ++t_paused; }
Pause::~Pause() { --t_paused; }

VTEST_UNSANITIZED void *do_malloc(std::size_t n, const void *caller)
{
    resolve();
    const MallocFn real = load(g_malloc);
    if (real == nullptr)
        return arena_alloc(n);
    return fail_now(caller) ? nullptr : counted(real(n), caller);
}

VTEST_UNSANITIZED void *do_calloc(std::size_t n, std::size_t size, const void *caller)
{
    resolve();
    const CallocFn real = load(g_calloc);
    if (real == nullptr)
        return size != 0 && n > sizeof g_arena / size ? nullptr : arena_alloc(n * size);
    return fail_now(caller) ? nullptr : counted(real(n, size), caller);
}

VTEST_UNSANITIZED void *do_realloc(void *p, std::size_t n, const void *caller)
{
    resolve();
    const ReallocFn real = load(g_realloc);
    if (real == nullptr || in_arena(p)) {
        // A block of the arena moves to the real heap (copied within the arena).
        void *q = real == nullptr ? arena_alloc(n) : counted(load(g_malloc)(n), caller);
        if (q != nullptr && p != nullptr) {
            const std::size_t room = static_cast<std::size_t>(g_arena + sizeof g_arena - static_cast<char *>(p));
            std::memcpy(q, p, n < room ? n : room);
        }
        return q;
    }
    if (fail_now(caller))
        return nullptr;
    void *q = real(p, n);
    if (p != nullptr && (q != nullptr || n == 0))
        uncounted(p);
    return counted(q, caller);
}

VTEST_UNSANITIZED void do_free(void *p)
{
    if (p == nullptr || in_arena(p))
        return;
    resolve();
    if (const FreeFn real = load(g_free); real != nullptr) {
        uncounted(p);
        real(p);
    }
}

} // namespace vtest::heap
