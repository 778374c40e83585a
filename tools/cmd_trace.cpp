// cmd_trace.cpp - `vorel trace`: the records of the switch instance's trace
// ring, oldest first, read without the server (also after it was killed);
// and the ring's two changes, emptying it and setting the trace level of the
// instance's running processes.
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "commands.h"
#include "tool.h"

namespace vorel::tool {

namespace {

constexpr int kOncePatienceMs = 200;    // a record still being written, when reading once
constexpr int kFollowPatienceMs = 2000; // ... when following
constexpr useconds_t kFollowPollUs = 50000;

std::string ring_error(int rc, int instance)
{
    const std::string which = "switch instance " + std::to_string(instance);
    switch (rc) {
    case PLAT_ERR_NOENT:
        return "no trace ring for " + which + " (nothing has been traced yet)";
    case PLAT_ERR_BADSEG:
        return "the trace ring of " + which +
               " is from another version of vorel or has a corrupt header; it is refused, and the next server start "
               "replaces it";
    default:
        return "cannot open the trace ring of " + which + " (rc=" + std::to_string(rc) + ")";
    }
}

int ring_failure_code(int rc) { return rc == PLAT_ERR_BADSEG ? kExitInput : kExitServer; }

// "<date> <time>.<micros>" in local time.
std::string local_time(uint32_t sec, uint32_t nsec)
{
    const time_t t = static_cast<time_t>(sec);
    tm local{};
    localtime_r(&t, &local);
    char text[48];
    const size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%06u", static_cast<unsigned>(nsec / 1000));
    return text;
}

// Seconds since the epoch for --since: "30s", "5m", "2h", "1d" ago; "@<seconds>";
// "YYYY-MM-DD HH:MM[:SS]" (or with a "T"); "HH:MM[:SS]" today.  Local time.
uint32_t since_arg(const std::string &text)
{
    const time_t now = time(nullptr);
    char unit = 0;
    unsigned long n = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%lu%c%n", &n, &unit, &used) == 2 && static_cast<size_t>(used) == text.size()) {
        const unsigned long scale = unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600 : unit == 'd' ? 86400 : 0;
        if (scale != 0)
            return static_cast<uint32_t>(now - static_cast<time_t>(n * scale));
    }
    if (text.size() > 1 && text[0] == '@' && std::sscanf(text.c_str() + 1, "%lu%n", &n, &used) == 1 &&
        static_cast<size_t>(used) + 1 == text.size())
        return static_cast<uint32_t>(n);
    tm when{};
    localtime_r(&now, &when);
    when.tm_sec = 0;
    std::string spaced = text;
    if (spaced.size() > 10 && spaced[10] == 'T')
        spaced[10] = ' ';
    for (const char *format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%H:%M:%S", "%H:%M"}) {
        tm parsed = when;
        const char *end = strptime(spaced.c_str(), format, &parsed);
        if (end != nullptr && *end == '\0') {
            parsed.tm_isdst = -1;
            return static_cast<uint32_t>(mktime(&parsed));
        }
    }
    throw Failure(kExitInput, "--since: \"" + text +
                                  "\" is not a time (30s, 5m, 2h, 1d, @<seconds>, "
                                  "YYYY-MM-DD HH:MM[:SS] or HH:MM[:SS])");
}

class Printer {
  public:
    Printer(const TraceOptions &opt, uint32_t since) : opt_(opt), since_(since) {}

    void record(const log_record_t &r) const
    {
        if ((opt_.level >= 0 && r.level > opt_.level) || r.sec < since_ ||
            (!opt_.grep.empty() && std::strstr(r.text, opt_.grep.c_str()) == nullptr))
            return;
        if (opt_.json) {
            const nlohmann::json j{{"seq", r.seq},       {"time", local_time(r.sec, r.nsec)},
                                   {"sec", r.sec},       {"nsec", r.nsec},
                                   {"pid", r.pid},       {"instance", r.instance},
                                   {"level", r.level},   {"module", r.module},
                                   {"source", r.source}, {"line", r.line},
                                   {"text", r.text}};
            std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        } else {
            std::printf("%s sw%d L%d %u %s %s:%d %s\n", local_time(r.sec, r.nsec).c_str(), r.instance, r.level, r.pid,
                        r.module, r.source, r.line, r.text);
        }
    }

    // Says how many records were lost or skipped since the last call.
    void losses(const log_reader_t *reader)
    {
        uint32_t lost = 0;
        uint32_t torn = 0;
        log_reader_losses(reader, &lost, &torn);
        if (lost != lost_)
            notice("lost", lost - lost_, "overwritten before they were read");
        if (torn != torn_)
            notice("torn", torn - torn_, "torn (their writer stopped in the middle) and skipped");
        lost_ = lost;
        torn_ = torn;
    }

  private:
    void notice(const char *key, uint32_t n, const char *what) const
    {
        if (opt_.json)
            std::printf("%s\n", nlohmann::json{{key, n}}.dump().c_str());
        else
            std::printf("-- %u record%s %s --\n", n, n == 1 ? "" : "s", what);
    }

    const TraceOptions &opt_;
    uint32_t since_;
    uint32_t lost_ = 0;
    uint32_t torn_ = 0;
};

using ReaderPtr = std::unique_ptr<log_reader_t, decltype(&log_reader_close)>;

} // namespace

int cmd_trace(const TraceOptions &opt)
{
    const int instance = getMySwitch();
    if (opt.level_set >= 0 || opt.clear) {
        if (opt.level_set >= 0)
            if (const int rc = log_ring_set_level(instance, opt.level_set); rc != 0)
                throw Failure(ring_failure_code(rc), ring_error(rc, instance));
        if (opt.clear)
            if (const int rc = log_ring_clear(instance); rc != 0)
                throw Failure(ring_failure_code(rc), ring_error(rc, instance));
        return kExitOk;
    }
    const uint32_t since = opt.since.empty() ? 0 : since_arg(opt.since);
    log_reader_t *raw = nullptr;
    if (const int rc = log_reader_open(instance, opt.follow ? kFollowPatienceMs : kOncePatienceMs, &raw); rc != 0)
        throw Failure(ring_failure_code(rc), ring_error(rc, instance));
    const ReaderPtr reader(raw, &log_reader_close);
    Printer printer(opt, since);
    auto record = std::make_unique<log_record_t>();
    for (;;) {
        const int rc = log_reader_next(reader.get(), record.get());
        printer.losses(reader.get());
        if (rc == 1) {
            printer.record(*record);
            continue;
        }
        if (rc == 0 && !opt.follow)
            return kExitOk;
        std::fflush(stdout);
        usleep(opt.follow ? kFollowPollUs : kFollowPollUs / 5);
    }
}

} // namespace vorel::tool
