// identity.cpp - switch identity: which logical switch instance the calling
// thread serves, and the node number of the IPC service.
#include <cstdlib>

#include "identity.h"
#include "vorel_platform.h"

namespace plat {

__thread int t_switch_override __attribute__((tls_model("initial-exec"))) = -1;

int process_switch()
{
    static const int instance = [] {
        const char *env = std::getenv("VOREL_SWITCH");
        const int v = env != nullptr ? std::atoi(env) : 0;
        return v >= 0 && v < FCSW_MAX_INSTANCES ? v : 0;
    }();
    return instance;
}

} // namespace plat

using plat::t_switch_override;

extern "C" {

int getMySwitch(void) { return plat::current_switch(); }

void setMySwitch(int instance) { t_switch_override = instance >= 0 && instance < FCSW_MAX_INSTANCES ? instance : -1; }

// In the stand-in every logical switch instance is its own IPC node, so each
// instance's server owns its own "NSIPC".
uint32_t myNode(void) { return static_cast<uint32_t>(getMySwitch()); }

} // extern "C"
