// timebase.cpp - the 64-bit time base, read in two 32-bit halves: monotonic
// nanoseconds, so a tick is a nanosecond.
#include <time.h>

#include <cstdint>

#include "vorel_platform.h"

namespace {

uint64_t ticks()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

} // namespace

extern "C" {

int32_t tb_ticks_p_msec = 1000000;

uint32_t tb_read_upper(void) { return static_cast<uint32_t>(ticks() >> 32); }

uint32_t tb_read_lower(void) { return static_cast<uint32_t>(ticks()); }

} // extern "C"
