// trace.h - the one trace mechanism of libvorel.  Every record goes through
// the platform's log_debug with the source name "vorel_public" and the module
// mod_VORELLIB; a record of level L is written only when the module's level
// is at least L, and the platform is asked for a pending level change before
// each record.  Entry and exit records are single records at level 4; errors
// (level 1) and informational records (level 5) are pairs: "%s():" with the
// function's name, then the message with its own format and arguments.
#pragma once

#include "vorel.h"

namespace vorel::trace {

constexpr int kError = 1;
constexpr int kFlow = 4;
constexpr int kInfo = 5;
constexpr const char *kSource = "vorel_public";

// Applies a pending level change, then says whether level `level` is on.
inline bool on(int level)
{
    if (const int change = isDebugLevelChanged())
        processDebugLevelChange(change);
    return mod_VORELLIB.level >= static_cast<uint32_t>(level);
}

} // namespace vorel::trace

#define VTRACE_RECORD_(level, ...)                                                                                     \
    do {                                                                                                               \
        if (::vorel::trace::on(level))                                                                                 \
            log_debug(::vorel::trace::kSource, __LINE__, &mod_VORELLIB, (level), __VA_ARGS__);                         \
    } while (0)

#define VTRACE_PAIR_(level, name, ...)                                                                                 \
    do {                                                                                                               \
        VTRACE_RECORD_(level, "%s():", name);                                                                          \
        VTRACE_RECORD_(level, __VA_ARGS__);                                                                            \
    } while (0)

// Entry and exit records under the enclosing function's name, or under `name`.
#define VTRACE_ENTER() VTRACE_RECORD_(::vorel::trace::kFlow, "%s()->Enter\n", __func__)
#define VTRACE_EXIT() VTRACE_RECORD_(::vorel::trace::kFlow, "%s()->Exit\n", __func__)
#define VTRACE_ENTER_AS(name) VTRACE_RECORD_(::vorel::trace::kFlow, "%s()->Enter\n", name)
#define VTRACE_EXIT_AS(name) VTRACE_RECORD_(::vorel::trace::kFlow, "%s()->Exit\n", name)
// Error (level 1) and informational (level 5) pairs.
#define VTRACE_ERR(...) VTRACE_PAIR_(::vorel::trace::kError, __func__, __VA_ARGS__)
#define VTRACE_INFO(...) VTRACE_PAIR_(::vorel::trace::kInfo, __func__, __VA_ARGS__)
#define VTRACE_ERR_AS(name, ...) VTRACE_PAIR_(::vorel::trace::kError, name, __VA_ARGS__)
#define VTRACE_INFO_AS(name, ...) VTRACE_PAIR_(::vorel::trace::kInfo, name, __VA_ARGS__)
