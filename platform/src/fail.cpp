// fail.cpp - failure injection: arm the n-th next call of a named service to
// fail, so tests can drive every error path of the library.
#include "fail.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "vorel_platform.h"

namespace {

struct Registry {
    std::mutex mutex;
    std::unordered_map<std::string, uint32_t> countdown; // calls left until the failure
};

Registry &registry()
{
    static Registry r;
    return r;
}

} // namespace

namespace plat::fail_detail {

// Constant-initialised, so it is valid before any constructor runs.
std::atomic<bool> g_armed{false};

bool due(const char *service)
{
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.countdown.find(service);
    if (it == r.countdown.end())
        return false;
    if (--it->second != 0)
        return false;
    r.countdown.erase(it);
    g_armed.store(!r.countdown.empty(), std::memory_order_relaxed);
    return true;
}

} // namespace plat::fail_detail

extern "C" {

int plat_fail_after(const char *service, uint32_t n)
{
    if (service == nullptr)
        return PLAT_ERR_INVAL;
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    if (n == 0)
        r.countdown.erase(service);
    else
        r.countdown[service] = n;
    plat::fail_detail::g_armed.store(!r.countdown.empty(), std::memory_order_relaxed);
    return 0;
}

void plat_fail_reset(void)
{
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    r.countdown.clear();
    plat::fail_detail::g_armed.store(false, std::memory_order_relaxed);
}

} // extern "C"
