// identity.h - the calling thread's switch instance, for the platform's own
// hot paths (the trace level check before every record): read inline,
// without a call through the exported getMySwitch.
#pragma once

namespace plat {

// The instance set by setMySwitch on this thread, or -1.  Initial-exec: the
// platform library is loaded with the program, and the read is then one load.
extern __thread int t_switch_override __attribute__((tls_model("initial-exec")));

// The process's instance from VOREL_SWITCH (0..127), default 0.
int process_switch();

inline int current_switch() { return t_switch_override >= 0 ? t_switch_override : process_switch(); }

} // namespace plat
