// trace.cpp - the trace facility: records into the switch instance's trace
// ring (or, on request, one line per record to a file), and the trace level
// of the library's module, changed on request, by SIGUSR1 (up) / SIGUSR2
// (down), or for every process of an instance through the ring's level word.
//
// Nothing runs at load time.  The first isDebugLevelChanged() of a process
// reports a pending change, so the level of VOREL_TRACE_LEVEL (default 1,
// errors only) is applied lazily by the caller's processDebugLevelChange(),
// which also maps the instance's ring.  Records go to the ring, or to
// standard error when VOREL_TRACE_FILE is "-", or are appended to the file it
// names.
#include <fcntl.h>
#include <pthread.h>
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

#include "identity.h"
#include "rundir.h"
#include "trace_ring.h"
#include "vorel_platform.h"

// The module of libvorel.  Level 1: errors only, until the trace facility
// changes it.
extern "C" {
mod_desc_t mod_VORELLIB = {0, 0, 1, 0};
}

namespace {

using plat::ring::SlotHeader;
using plat::ring::View;

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

void apply(int level) { __atomic_store_n(&mod_VORELLIB.level, static_cast<uint32_t>(level), __ATOMIC_RELAXED); }

// The ring of each instance as this process writes it.  Mapped on the first
// level check of the instance, kept for the life of the process.
enum RingState : int { kUnmapped = 0, kMapped = 1, kRefused = 2 };
struct WriterRing {
    std::atomic<int> state{kUnmapped};
    View view;
    std::atomic<uint32_t> seen_level{0}; // the ring's level word as last applied
};
WriterRing g_rings[FCSW_MAX_INSTANCES];
std::mutex g_attach_mutex;

WriterRing *ring_of(int instance)
{
    return instance >= 0 && instance < FCSW_MAX_INSTANCES ? &g_rings[instance] : nullptr;
}

// Maps the instance's ring, making it when there is none.  A ring that is
// refused stays refused in this process: its records are dropped, and the
// next server start replaces it.
WriterRing *attach(int instance)
{
    WriterRing *w = ring_of(instance);
    if (w == nullptr || w->state.load(std::memory_order_acquire) != kUnmapped)
        return w;
    std::lock_guard lock(g_attach_mutex);
    if (w->state.load(std::memory_order_relaxed) == kUnmapped) {
        View view;
        const bool ok = plat::ring::open_or_create(instance, &view) == 0;
        if (ok) {
            w->view = view;
            w->seen_level.store(view.hdr->level_word.load(std::memory_order_acquire), std::memory_order_relaxed);
        }
        w->state.store(ok ? kMapped : kRefused, std::memory_order_release);
    }
    return w;
}

// The process id, read once and again in a forked child.
std::atomic<uint32_t> g_pid{0};
uint32_t my_pid()
{
    uint32_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        static const int registered = pthread_atfork(nullptr, nullptr, [] { g_pid.store(0); });
        (void)registered;
        pid = static_cast<uint32_t>(getpid());
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

void on_signal(int sig)
{
    g_signal_steps.fetch_add(sig == SIGUSR1 ? 1 : -1, std::memory_order_relaxed);
    // Release without an acquiring partner: isDebugLevelChanged reads the flag
    // relaxed.  The steps need none: they travel in g_signal_steps, whose
    // exchange in processDebugLevelChange reads the latest count.
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

// VOREL_TRACE_FILE as getenv would give it, asked before every record.  The
// place of the variable in the environment is remembered (per thread):
// while the environment's array and that entry are the
// ones seen last, the entry is read again without a search; any setenv,
// unsetenv or putenv that replaces, moves or adds an entry changes one of
// them, and the variable is searched for afresh.
const char *trace_file_variable()
{
    static constexpr char kName[] = "VOREL_TRACE_FILE=";
    static constexpr size_t kNameLen = sizeof kName - 1;
    struct Seen {
        char **env = nullptr;
        size_t index = 0;            // the entry's place, or the end of the array when absent
        const char *entry = nullptr; // the entry; when absent, the last entry (or nullptr)
        bool present = false;
    };
    static thread_local Seen seen;
    char **env = environ;
    if (env != nullptr && env == seen.env) {
        if (seen.present && env[seen.index] == seen.entry)
            return seen.entry + kNameLen;
        if (!seen.present && env[seen.index] == nullptr &&
            (seen.index == 0 ? seen.entry == nullptr : env[seen.index - 1] == seen.entry))
            return nullptr;
    }
    seen = Seen{};
    seen.env = env;
    if (env == nullptr)
        return nullptr;
    size_t i = 0;
    for (; env[i] != nullptr; ++i) {
        if (std::strncmp(env[i], kName, kNameLen) == 0) {
            seen.index = i;
            seen.entry = env[i];
            seen.present = true;
            return env[i] + kNameLen;
        }
    }
    seen.index = i;
    seen.entry = i == 0 ? nullptr : env[i - 1];
    return nullptr;
}

// The descriptor for VOREL_TRACE_FILE as it is now ("-" is standard error);
// the file is reopened when the variable changes.  The caller holds
// g_output_mutex.
int output_fd(const char *want)
{
    if (g_output.chosen && std::strcmp(want, g_output.path) == 0)
        return g_output.fd;
    if (g_output.fd != STDERR_FILENO)
        close(g_output.fd);
    g_output.fd = STDERR_FILENO;
    g_output.chosen = true;
    std::snprintf(g_output.path, sizeof g_output.path, "%s", want);
    if (std::strcmp(want, "-") != 0) {
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

// The digits of u, written backwards so that they end at `end`; returns
// how many.  Two digits per division.
size_t to_decimal(unsigned long long u, char *end)
{
    static constexpr char kPairs[] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                                     "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                                     "8081828384858687888990919293949596979899";
    char *p = end;
    while (u >= 100) {
        const auto pair = static_cast<unsigned>(u % 100);
        u /= 100;
        *--p = kPairs[2 * pair + 1];
        *--p = kPairs[2 * pair];
    }
    if (u >= 10) {
        *--p = kPairs[2 * u + 1];
        *--p = kPairs[2 * u];
    } else {
        *--p = static_cast<char>('0' + u);
    }
    return static_cast<size_t>(end - p);
}

size_t to_hex(unsigned long long u, char *end, bool upper)
{
    const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char *p = end;
    do {
        *--p = set[u & 0xF];
        u >>= 4;
    } while (u != 0);
    return static_cast<size_t>(end - p);
}

// The C library's copy, kept a call: where the compiler can bound the size
// (a copy from a small array) it would otherwise copy byte by byte.
[[gnu::noinline]] void copy_bytes(char *dst, const char *src, size_t n) { std::memcpy(dst, src, n); }

// Appends text to a fixed buffer, cutting what does not fit.
class Line {
  public:
    Line(char *buf, size_t size) : buf_(buf), size_(size) {}
    void put(const char *s, size_t n)
    {
        const size_t room = size_ - len_;
        const size_t k = n < room ? n : room;
        copy_bytes(buf_ + len_, s, k);
        len_ += k;
    }
    void put(const char *s) { put(s, std::strlen(s)); }
    void put(char c)
    {
        if (len_ < size_)
            buf_[len_++] = c;
    }
    void put_repeated(char c, size_t n)
    {
        const size_t room = size_ - len_;
        const size_t k = n < room ? n : room;
        std::memset(buf_ + len_, c, k);
        len_ += k;
    }
    // Decimal, at least `width` digits (zero-padded).
    void put_number(long v, int width = 1)
    {
        char digits[24];
        const bool negative = v < 0;
        const unsigned long long u =
            negative ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        size_t n = to_decimal(u, digits + sizeof digits);
        while (n < static_cast<size_t>(width) && n < sizeof digits - 1)
            digits[sizeof digits - ++n] = '0';
        if (negative)
            put('-');
        put(digits + sizeof digits - n, n);
    }
    size_t size() const { return len_; }
    size_t room() const { return size_ - len_; }
    char *end() { return buf_ + len_; }
    void grow(size_t n) { len_ += n < room() ? n : room(); }
    void truncate(size_t n) { len_ = n < len_ ? n : len_; }

  private:
    char *buf_;
    size_t size_;
    size_t len_ = 0;
};

// The header of a record, "2024-05-01 12:34:56.123456 sw3 L1 file:12 ".
// The calendar part is worked out once per second, and the part from " sw"
// to the colon while the instance, level and source stay those of the
// record before; a record then only adds the fraction of the second and the
// line number.  The caller holds g_output_mutex.
void put_header(Line &out, const char *file, int line, int level)
{
    static time_t s_second = -1;
    static char s_calendar[32];
    static size_t s_calendar_len = 0;
    static int s_instance = -1;
    static int s_level = -1;
    static char s_file[128] = {};
    static bool s_file_fits = false; // s_file holds the whole name
    static char s_middle[160];
    static size_t s_middle_len = 0;

    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec != s_second) {
        tm local{};
        localtime_r(&ts.tv_sec, &local);
        s_calendar_len = strftime(s_calendar, sizeof s_calendar, "%Y-%m-%d %H:%M:%S", &local);
        s_second = ts.tv_sec;
    }
    out.put(s_calendar, s_calendar_len);
    char fraction[8];
    fraction[0] = '.';
    const auto micros = static_cast<unsigned>(ts.tv_nsec / 1000);
    char *end = fraction + 7;
    const size_t digits = to_decimal(micros, end);
    std::memset(fraction + 1, '0', 6 - digits);
    out.put(fraction, 7);

    const int instance = plat::current_switch();
    const char *name = file != nullptr ? file : "?";
    // The name is compared, not its address: a caller may pass different
    // names from one buffer.
    if (instance != s_instance || level != s_level || !s_file_fits || std::strcmp(name, s_file) != 0) {
        Line middle(s_middle, sizeof s_middle);
        middle.put(" sw");
        middle.put_number(instance);
        middle.put(" L");
        middle.put_number(level);
        middle.put(' ');
        middle.put(name);
        middle.put(':');
        s_middle_len = middle.size();
        s_instance = instance;
        s_level = level;
        const size_t n = std::strlen(name);
        s_file_fits = n < sizeof s_file && s_middle_len < sizeof s_middle;
        if (s_file_fits)
            std::memcpy(s_file, name, n + 1);
    }
    out.put(s_middle, s_middle_len);
    out.put_number(line);
    out.put(' ');
}

// One conversion of a format: flags, width, length and the conversion.
struct Conversion {
    bool left = false;
    bool zero = false;
    int width = 0;
    int length = 0; // 0 int, 1 long, 2 long long, -1 short, -2 char, 3 size_t
    char conv = 0;
};

// Reads the conversion after a '%'; false when it uses anything the fast
// formatter does not do the way vsnprintf does (other flags, a precision, a
// '*' width, %p, %n, floating point...).
bool parse_conversion(const char *&f, Conversion &conv)
{
    for (;; ++f) {
        if (*f == '-')
            conv.left = true;
        else if (*f == '0')
            conv.zero = true;
        else
            break;
    }
    while (*f >= '0' && *f <= '9')
        conv.width = conv.width * 10 + (*f++ - '0');
    if (conv.width > 64)
        return false;
    if (*f == 'l') {
        conv.length = f[1] == 'l' ? 2 : 1;
        f += conv.length;
    } else if (*f == 'h') {
        conv.length = f[1] == 'h' ? -2 : -1;
        f += -conv.length;
    } else if (*f == 'z') {
        conv.length = 3;
        ++f;
    }
    conv.conv = *f;
    if (conv.conv == '\0')
        return false;
    ++f;
    switch (conv.conv) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
        return true;
    case 's':
    case 'c':
        return !conv.zero && conv.length == 0;
    case '%':
        return conv.width == 0 && !conv.left && !conv.zero && conv.length == 0;
    default:
        return false;
    }
}

void put_padded(Line &line, const Conversion &conv, const char *s, size_t n, bool number_sign = false)
{
    const size_t width = static_cast<size_t>(conv.width);
    const size_t pad = width > n ? width - n : 0;
    if (!conv.left && conv.zero) {
        // Zeros go between the sign and the digits.
        if (number_sign) {
            line.put(*s++);
            --n;
        }
        line.put_repeated('0', pad);
    } else if (!conv.left) {
        line.put_repeated(' ', pad);
    }
    line.put(s, n);
    if (conv.left)
        line.put_repeated(' ', pad);
}

void put_integer(Line &line, const Conversion &conv, va_list *args)
{
    const bool is_signed = conv.conv == 'd' || conv.conv == 'i';
    unsigned long long u = 0;
    bool negative = false;
    if (is_signed) {
        long long v = 0;
        switch (conv.length) {
        case 1:
            v = va_arg(*args, long);
            break;
        case 2:
            v = va_arg(*args, long long);
            break;
        case 3:
            v = static_cast<long long>(va_arg(*args, ssize_t));
            break;
        case -1:
            v = static_cast<short>(va_arg(*args, int));
            break;
        case -2:
            v = static_cast<signed char>(va_arg(*args, int));
            break;
        default:
            v = va_arg(*args, int);
            break;
        }
        negative = v < 0;
        u = negative ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    } else {
        switch (conv.length) {
        case 1:
            u = va_arg(*args, unsigned long);
            break;
        case 2:
            u = va_arg(*args, unsigned long long);
            break;
        case 3:
            u = va_arg(*args, size_t);
            break;
        case -1:
            u = static_cast<unsigned short>(va_arg(*args, unsigned int));
            break;
        case -2:
            u = static_cast<unsigned char>(va_arg(*args, unsigned int));
            break;
        default:
            u = va_arg(*args, unsigned int);
            break;
        }
    }
    char text[24];
    char *end = text + sizeof text;
    size_t len = conv.conv == 'x' || conv.conv == 'X' ? to_hex(u, end, conv.conv == 'X') : to_decimal(u, end);
    if (negative) {
        *(end - len - 1) = '-';
        ++len;
    }
    put_padded(line, conv, end - len, len, negative);
}

// The record's text after the header.  The conversions the library's
// records use are formatted here; any other format, or a text longer than
// the line's room, goes through vsnprintf (into a heap buffer when long).
void put_text(Line &line, std::string &overflow, const char *fmt, va_list args)
{
    va_list slow;  // for vsnprintf into the line
    va_list heavy; // for vsnprintf into the heap
    va_list fast;  // for the conversions done here
    va_copy(slow, args);
    va_copy(heavy, args);
    va_copy(fast, args);
    // One pass; a conversion the pass does not do sends the whole text to
    // vsnprintf, as does a text that does not fit.
    const size_t start = line.size();
    bool done = true;
    for (const char *f = fmt; *f != '\0';) {
        const char *lit = f;
        f = strchrnul(f, '%');
        line.put(lit, static_cast<size_t>(f - lit));
        if (*f == '\0')
            break;
        ++f;
        Conversion conv;
        if (!parse_conversion(f, conv)) {
            done = false;
            break;
        }
        if (conv.conv == '%') {
            line.put('%');
        } else if (conv.conv == 's') {
            const char *str = va_arg(fast, const char *);
            if (str == nullptr)
                str = "(null)";
            put_padded(line, conv, str, std::strlen(str));
        } else if (conv.conv == 'c') {
            const char c = static_cast<char>(va_arg(fast, int));
            put_padded(line, conv, &c, 1);
        } else {
            put_integer(line, conv, &fast);
        }
    }
    done = done && line.room() > 0;
    if (!done)
        line.truncate(start);
    if (!done) {
        const int n = std::vsnprintf(line.end(), line.room(), fmt, slow);
        if (n >= 0 && static_cast<size_t>(n) < line.room()) {
            line.grow(static_cast<size_t>(n));
        } else if (n >= 0) {
            overflow.resize(static_cast<size_t>(n) + 1);
            std::vsnprintf(overflow.data(), overflow.size(), fmt, heavy);
            overflow.resize(static_cast<size_t>(n));
        }
    }
    va_end(fast);
    va_end(heavy);
    va_end(slow);
}

// One line to standard error or the file of VOREL_TRACE_FILE:
// "<time> sw<instance> L<level> <file>:<line> <text>\n".  A newline that
// ends the text is dropped and one is added.
void write_line(const char *want, const char *file, int line, int level, const char *fmt, va_list args)
{
    char buf[1024];
    Line out(buf, sizeof buf - 1); // room for the final newline
    std::lock_guard lock(g_output_mutex);
    put_header(out, file, line, level);
    std::string overflow;
    put_text(out, overflow, fmt, args);

    const char *data = buf;
    size_t len = out.size();
    if (!overflow.empty()) {
        if (overflow.back() == '\n')
            overflow.pop_back();
        overflow.insert(0, buf, len);
        overflow.push_back('\n');
        data = overflow.data();
        len = overflow.size();
    } else {
        if (len > 0 && buf[len - 1] == '\n')
            --len;
        buf[len++] = '\n';
    }
    write_all(output_fd(want), data, len);
}

// Copies at most `max` bytes of a name into the record; returns how many.
size_t put_name(uint8_t *at, const char *name, size_t max)
{
    const size_t n = strnlen(name, max);
    std::memcpy(at, name, n);
    return n;
}

// One record into the ring: the header words, the source and module names,
// then the text (formatted in place; a newline that ends it is dropped).
void write_to_ring(const View &view, const char *file, int line, const mod_desc_t *mod, int level, const char *fmt,
                   va_list args)
{
    alignas(8) uint8_t rec[plat::ring::kMaxRecord];
    SlotHeader h{};
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    h.meta = static_cast<uint32_t>(level & 0xff) << 8 | static_cast<uint32_t>(plat::current_switch() & 0xff) << 16;
    h.pid = my_pid();
    h.sec = static_cast<uint32_t>(ts.tv_sec);
    h.nsec = static_cast<uint32_t>(ts.tv_nsec);
    h.line = line;
    uint8_t *p = rec + sizeof h;
    h.source_len = static_cast<uint8_t>(put_name(p, file != nullptr ? file : "?", LOG_SOURCE_MAX - 1));
    p += h.source_len;
    char module[LOG_MODULE_MAX] = "VORELLIB";
    if (mod != &mod_VORELLIB)
        std::snprintf(module, sizeof module, "mod%u", mod != nullptr ? static_cast<unsigned>(mod->id) : 0u);
    h.module_len = static_cast<uint8_t>(put_name(p, module, LOG_MODULE_MAX - 1));
    p += h.module_len;

    char *text = reinterpret_cast<char *>(p);
    Line out(text, LOG_TEXT_MAX - 1);
    std::string overflow;
    put_text(out, overflow, fmt, args);
    size_t len = out.size();
    if (!overflow.empty()) {
        len = overflow.size() < LOG_TEXT_MAX - 1 ? overflow.size() : LOG_TEXT_MAX - 1;
        std::memcpy(text, overflow.data(), len);
    }
    if (len > 0 && text[len - 1] == '\n')
        --len;
    h.text_len = static_cast<uint16_t>(len);
    std::memcpy(rec, &h, sizeof h);
    plat::ring::append(view, rec, sizeof h + h.source_len + h.module_len + len);
}

} // namespace

extern "C" {

// The fast path, asked before every record: a pending change of this
// process, or a new level word in the instance's ring.
int isDebugLevelChanged(void)
{
    if (const int pending = g_pending.load(std::memory_order_relaxed))
        return pending;
    const WriterRing *w = ring_of(plat::current_switch());
    if (w == nullptr)
        return 0;
    switch (w->state.load(std::memory_order_acquire)) {
    case kUnmapped:
        return 1; // map it, and take its level word as seen
    case kMapped:
        return w->view.hdr->level_word.load(std::memory_order_relaxed) != w->seen_level.load(std::memory_order_relaxed)
                   ? 1
                   : 0;
    default:
        return 0;
    }
}

void processDebugLevelChange(int change)
{
    if (change == 0)
        return;
    g_pending.store(0, std::memory_order_relaxed);
    int level = g_level.load(std::memory_order_relaxed);
    if (level < 0)
        level = environment_level();
    // A level set through the ring replaces the process's own.
    if (WriterRing *w = attach(plat::current_switch());
        w != nullptr && w->state.load(std::memory_order_acquire) == kMapped) {
        const uint32_t word = w->view.hdr->level_word.load(std::memory_order_acquire);
        if (w->seen_level.exchange(word, std::memory_order_relaxed) != word)
            level = static_cast<int>(word & 0xff);
    }
    // Acquire without a releasing partner: on_signal adds its steps with a
    // relaxed read-modify-write; the exchange sees every one of them anyway.
    level = clamp(level + g_signal_steps.exchange(0, std::memory_order_acquire));
    g_level.store(level, std::memory_order_relaxed);
    apply(level);
}

void log_set_level(int level)
{
    level = clamp(level);
    g_level.store(level, std::memory_order_relaxed);
    apply(level);
    // Release without an acquiring partner (isDebugLevelChanged reads the flag
    // relaxed); this thread has applied the level already.
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
    // The caller has decided that the record is due.
    if (fmt == nullptr)
        return;
    va_list args;
    va_start(args, fmt);
    if (const char *want = trace_file_variable(); want != nullptr && *want != '\0')
        write_line(want, file, line, level, fmt, args);
    else if (const WriterRing *w = attach(plat::current_switch());
             w != nullptr && w->state.load(std::memory_order_acquire) == kMapped)
        write_to_ring(w->view, file, line, mod, level, fmt, args);
    va_end(args);
}

int log_ring_renew(int instance)
{
    WriterRing *w = ring_of(instance);
    if (w == nullptr)
        return PLAT_ERR_INVAL;
    View view;
    const int rc = plat::ring::open_view(instance, false, &view);
    if (rc == 0) {
        const bool keep = !plat::ring::size_configured() || view.count == plat::ring::configured_slots();
        plat::ring::close_view(&view);
        if (keep)
            return 0;
    } else if (rc == PLAT_ERR_NOENT || rc == PLAT_ERR_IO) {
        return rc == PLAT_ERR_NOENT ? 0 : rc; // a missing ring is made by the first record
    }
    std::lock_guard lock(g_attach_mutex);
    // A ring this process already writes into stays: other threads may be
    // writing into it now.
    if (w->state.load(std::memory_order_relaxed) == kMapped)
        return 0;
    if (plat::ring::create_view(instance, plat::ring::configured_slots(), &view) != 0)
        return PLAT_ERR_IO;
    w->view = view;
    w->seen_level.store(0, std::memory_order_relaxed);
    w->state.store(kMapped, std::memory_order_release);
    return 1;
}

} // extern "C"
