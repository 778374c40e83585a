// proc.h - forked children and pipe events for multi-process tests.  A Child
// runs a function in the forked test program (no exec: qemu-user) and _exits
// with its result (0 = success, distinct codes otherwise, no gtest assertions);
// processes synchronise on Events (pipes made before the fork), never on sleeps.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>

namespace vtest {
using namespace std::chrono_literals;

inline constexpr std::chrono::milliseconds kDefaultTimeout = 20s;

// Result of Child::wait when the child did not end in time.
inline constexpr int kTimedOut = -1;

class Child {
  public:
    // Forks; the child leaves with _exit(fn() & 0xff), 125 on an exception.
    explicit Child(const std::function<int()> &fn);
    // A child still running is killed (SIGKILL) and reaped.
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; }

    // The exit status (0..255), 128 + signal, or kTimedOut (still running).
    int wait(std::chrono::milliseconds timeout = kDefaultTimeout);

    // Sends `sig` (SIGKILL: and reaps); returns what wait() returns.
    int kill(int sig = SIGKILL);

  private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = kTimedOut;
};

// A one-way event between processes; each post() satisfies one wait().
class Event {
  public:
    Event();
    ~Event();
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;

    void post(uint32_t value = 0);
    // True when a post() arrived in time (its value in *value).
    bool wait(std::chrono::milliseconds timeout = kDefaultTimeout, uint32_t *value = nullptr);

  private:
    int fd_[2] = {-1, -1};
};

// Runs `fn` in a child process and returns its result (see Child::wait).
int run_in_child(const std::function<int()> &fn, std::chrono::milliseconds timeout = kDefaultTimeout);

} // namespace vtest
