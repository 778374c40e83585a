// fail.h - failure injection shared by every service of the stand-in.
#pragma once

#include <atomic>

namespace plat {

namespace fail_detail {
// True while any failure is armed; every service asks it on each call, so
// the unarmed case is one load.
extern std::atomic<bool> g_armed;
bool due(const char *service);
} // namespace fail_detail

// True when the armed failure of `service` is due on this call; the call then
// returns PLAT_ERR_INJECTED (heap-backed services may also return NULL).
inline bool should_fail(const char *service)
{
    return fail_detail::g_armed.load(std::memory_order_relaxed) && fail_detail::due(service);
}

} // namespace plat
