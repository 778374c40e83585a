// trace.cpp - the trace facility: one line per record, and the trace level of
// the library's module, changed on request or by SIGUSR1 (up) / SIGUSR2 (down).
//
// Nothing runs at load time.  The first isDebugLevelChanged() of a process
// reports a pending change, so the level of VOREL_TRACE_LEVEL (default 1,
// errors only) is applied lazily by the caller's processDebugLevelChange().
// Records go to stderr, or are appended to the file named by
// VOREL_TRACE_FILE.
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "rundir.h"
#include "vorel_platform.h"

// The library's module; absent when the library is not loaded.
extern "C" mod_desc_t mod_VORELLIB __attribute__((weak));

namespace {

constexpr int kMinLevel = 0;
constexpr int kMaxLevel = 9;
constexpr int kDefaultLevel = 1;

std::atomic<int> g_pending{1};      // a level change waits; 1 at start: the environment's level
std::atomic<int> g_level{-1};       // level in force; -1 until the first change is applied
std::atomic<int> g_signal_steps{0}; // level steps asked for by signals since the last change

int clamp(int level) { return level < kMinLevel ? kMinLevel : level > kMaxLevel ? kMaxLevel : level; }

int environment_level()
{
    const char *env = std::getenv("VOREL_TRACE_LEVEL");
    if (env == nullptr || *env == '\0')
        return kDefaultLevel;
    char *end = nullptr;
    const long v = std::strtol(env, &end, 10);
    return *end == '\0' ? clamp(static_cast<int>(v)) : kDefaultLevel;
}

void apply(int level)
{
    if (&mod_VORELLIB != nullptr)
        __atomic_store_n(&mod_VORELLIB.level, static_cast<uint32_t>(level), __ATOMIC_RELAXED);
}

void on_signal(int sig)
{
    g_signal_steps.fetch_add(sig == SIGUSR1 ? 1 : -1, std::memory_order_relaxed);
    g_pending.store(1, std::memory_order_release);
}

// Where records go.  Kept in trivially destructible storage so that records
// written while the process exits still find it.
struct Output {
    int fd = STDERR_FILENO;
    bool chosen = false;
    char path[512] = {};
};
Output g_output;
std::mutex g_output_mutex;

// The descriptor for VOREL_TRACE_FILE as it is now; the file is reopened when
// the variable changes.  The caller holds g_output_mutex.
int output_fd()
{
    const char *env = std::getenv("VOREL_TRACE_FILE");
    const char *want = env != nullptr ? env : "";
    if (g_output.chosen && std::strcmp(want, g_output.path) == 0)
        return g_output.fd;
    if (g_output.fd != STDERR_FILENO)
        close(g_output.fd);
    g_output.fd = STDERR_FILENO;
    g_output.chosen = true;
    std::snprintf(g_output.path, sizeof g_output.path, "%s", want);
    if (*want != '\0') {
        const int fd = open(want, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, plat::file_mode());
        if (fd >= 0) {
            (void)plat::apply_mode(fd);
            g_output.fd = fd;
        }
    }
    return g_output.fd;
}

void write_all(int fd, const char *data, size_t len)
{
    while (len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        len -= static_cast<size_t>(n);
    }
}

// "2024-05-01 12:34:56.123456"
void format_time(char *buf, size_t size)
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    const size_t n = strftime(buf, size, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(buf + n, size - n, ".%06ld", static_cast<long>(ts.tv_nsec / 1000));
}

std::string format_text(const char *fmt, va_list args)
{
    va_list again;
    va_copy(again, args);
    char small[512];
    const int n = std::vsnprintf(small, sizeof small, fmt, args);
    std::string text;
    if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
        text.assign(small, static_cast<size_t>(n));
    } else if (n >= 0) {
        text.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(text.data(), text.size(), fmt, again);
        text.resize(static_cast<size_t>(n));
    }
    va_end(again);
    return text;
}

} // namespace

extern "C" {

// The fast path, asked before every record: one relaxed load.
int isDebugLevelChanged(void) { return g_pending.load(std::memory_order_relaxed); }

void processDebugLevelChange(int change)
{
    if (change == 0)
        return;
    g_pending.store(0, std::memory_order_relaxed);
    int level = g_level.load(std::memory_order_relaxed);
    if (level < 0)
        level = environment_level();
    level = clamp(level + g_signal_steps.exchange(0, std::memory_order_acquire));
    g_level.store(level, std::memory_order_relaxed);
    apply(level);
}

void log_set_level(int level)
{
    level = clamp(level);
    g_level.store(level, std::memory_order_relaxed);
    apply(level);
    g_pending.store(1, std::memory_order_release);
}

int log_install_signal_handlers(void)
{
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    if (sigaction(SIGUSR1, &sa, nullptr) != 0 || sigaction(SIGUSR2, &sa, nullptr) != 0)
        return PLAT_ERR_IO;
    return 0;
}

void log_debug(const char *file, int line, mod_desc_t *mod, int level, const char *fmt, ...)
{
    (void)mod; // the caller has decided that the record is due
    if (fmt == nullptr)
        return;
    va_list args;
    va_start(args, fmt);
    std::string text = format_text(fmt, args);
    va_end(args);
    if (!text.empty() && text.back() == '\n')
        text.pop_back(); // one record, one line

    char stamp[40];
    format_time(stamp, sizeof stamp);
    char head[256];
    std::snprintf(head, sizeof head, "%s sw%d L%d %s:%d ", stamp, getMySwitch(), level, file != nullptr ? file : "?",
                  line);
    std::string record(head);
    record.append(text).append("\n");

    std::lock_guard lock(g_output_mutex);
    write_all(output_fd(), record.data(), record.size());
}

} // extern "C"
