// fuzz_common.h - what the fuzz targets of vorel share: a private runtime
// directory for the process, a silent trace, and the way a target reports a
// wrong result (a message, then abort(), which libFuzzer records as a crash
// together with the input).
#pragma once

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "vorel_platform.h"

namespace vfuzz {

[[noreturn]] inline void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

[[noreturn]] inline void fail(const char *fmt, ...)
{
    std::fputs("vorel fuzz: ", stderr);
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::abort();
}

// Checks one expectation of a target.
#define VFUZZ_CHECK(cond, ...)                                                                                         \
    do {                                                                                                               \
        if (!(cond))                                                                                                   \
            ::vfuzz::fail(__VA_ARGS__);                                                                                \
    } while (0)

// True when VFUZZ_KNOWN_BUGS is set: each target then steps around the
// faults of the code under test that it has already found and that are not
// fixed yet (each place says which), so that a run can look for others.
// Without it a target stops at them, as it should.
inline bool skip_known_bugs()
{
    static const bool skip = std::getenv("VFUZZ_KNOWN_BUGS") != nullptr;
    return skip;
}

namespace detail {
inline std::string &own_run_dir()
{
    static std::string dir;
    return dir;
}
inline void remove_own_run_dir()
{
    std::error_code ec;
    if (!own_run_dir().empty())
        std::filesystem::remove_all(own_run_dir(), ec);
}
} // namespace detail

// Prepares the process before its first input: a runtime directory of its
// own (removed at exit) unless VOREL_RUN_DIR names one, the trace silenced
// (expected failures trace at error level by the thousand), and `instance`
// as the switch instance of the process and of the calling thread.
inline void init_process(int instance)
{
    if (std::getenv("VOREL_RUN_DIR") == nullptr) {
        char tmpl[] = "/tmp/vorel-fuzz-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            fail("cannot make a runtime directory");
        detail::own_run_dir() = tmpl;
        setenv("VOREL_RUN_DIR", tmpl, 1);
        std::atexit(detail::remove_own_run_dir);
    }
    setenv("VOREL_TRACE_LEVEL", "0", 1);
    setenv("VOREL_SWITCH", std::to_string(instance).c_str(), 1);
    if (const int change = isDebugLevelChanged())
        processDebugLevelChange(change);
    log_set_level(0);
    setMySwitch(instance);
}

} // namespace vfuzz
