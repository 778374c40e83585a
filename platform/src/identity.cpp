// identity.cpp - switch identity: which logical switch instance the calling
// thread serves, and the node number of the IPC service.
#include <cstdlib>

#include "vorel_platform.h"

namespace {
thread_local int t_switch_override = -1;

// The process's instance from VOREL_SWITCH (0..127), default 0.
int process_switch()
{
    static const int instance = [] {
        const char *env = std::getenv("VOREL_SWITCH");
        const int v = env != nullptr ? std::atoi(env) : 0;
        return v >= 0 && v < FCSW_MAX_INSTANCES ? v : 0;
    }();
    return instance;
}
} // namespace

extern "C" {

int getMySwitch(void) { return t_switch_override >= 0 ? t_switch_override : process_switch(); }

void setMySwitch(int instance) { t_switch_override = instance >= 0 && instance < FCSW_MAX_INSTANCES ? instance : -1; }

// In the stand-in every logical switch instance is its own IPC node, so each
// instance's server owns its own "NSIPC".
uint32_t myNode(void) { return static_cast<uint32_t>(getMySwitch()); }

} // extern "C"
