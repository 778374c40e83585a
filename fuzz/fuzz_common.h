// fuzz_common.h - what the fuzz targets share: a private runtime directory,
// a silent trace, the start-up before the first input (the library started
// for the target's switch instance), and abort() on a wrong result, which
// libFuzzer (and the replay in ctest) records as a crash with the input.
#pragma once

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "vorel.h"
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

namespace detail {
inline std::string &own_run_dir()
{
    static std::string dir;
    return dir;
}
inline int &library_instance()
{
    static int instance = -1;
    return instance;
}
inline void remove_own_run_dir()
{
    std::error_code ec;
    if (own_run_dir().empty())
        return;
    (void)gshm_remove_all(); // shared-memory objects of the directory: the trace ring
    std::filesystem::remove_all(own_run_dir(), ec);
}
} // namespace detail

// The first time (then true): a private runtime directory (unless
// VOREL_RUN_DIR names one), no trace, `instance`; false afterwards.
inline bool start_process(int instance)
{
    static bool started = false;
    if (started)
        return false;
    started = true;
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
    return true;
}

// The context of the target's switch instance (once start_library ran).
inline VorelPartCtx *context() { return part_vorel_glbl_array[detail::library_instance()]; }

// Removes the segment of the target's switch instance, if there is one.
inline void remove_segment() { (void)gshm_remove(context()->shm_key); }

// start_process, then the library started and an old segment removed (again at exit).
inline bool start_library(int instance)
{
    if (!start_process(instance))
        return false;
    detail::library_instance() = instance;
    VFUZZ_CHECK(vorellibInit() == 0, "vorellibInit failed");
    remove_segment();
    std::atexit(remove_segment);
    return true;
}

} // namespace vfuzz
