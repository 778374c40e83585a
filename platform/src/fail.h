// fail.h - failure injection shared by every service of the stand-in.
#pragma once

namespace plat {

// True when the armed failure of `service` is due on this call; the call then
// returns PLAT_ERR_INJECTED (heap-backed services may also return NULL).
bool should_fail(const char *service);

} // namespace plat
