// spawn.h - child processes of the tool itself (the demo's server, watcher
// and client commands) with their output read through pipes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vorel::tool {

// Lines from a descriptor, read as they come.
class LineReader {
  public:
    explicit LineReader(int fd) : fd_(fd) {}
    // The next line (without its line feed), or nothing at the end of the
    // stream or when the time-out passes first.
    std::optional<std::string> next(std::chrono::milliseconds timeout);
    // Everything up to the end of the stream, or what came before the
    // time-out.
    std::string rest(std::chrono::milliseconds timeout);

  private:
    // Waits until `deadline` for data and adds one read of it to the
    // buffer (the end of the stream sets eof_); false when nothing came.
    bool fill(std::chrono::steady_clock::time_point deadline);

    int fd_;
    std::string buf_;
    bool eof_ = false;
};

// A running copy of the tool.  stdout (and stderr, when not sent to a file)
// are pipes; the destructor kills a child that still runs.
class Spawned {
  public:
    // Runs `exe` with `args`; stderr goes to `stderr_file` when given.
    // `in_child`, when given, runs in the child just before the program
    // starts (to change its environment, umask or credentials); it may end
    // the child with _exit().
    Spawned(const std::string &exe, const std::vector<std::string> &args, const std::string &stderr_file = "",
            const std::function<void()> &in_child = {});
    ~Spawned();
    Spawned(const Spawned &) = delete;
    Spawned &operator=(const Spawned &) = delete;

    pid_t pid() const { return pid_; }
    LineReader &out() { return out_; }
    LineReader &err() { return err_; }
    // Sends a signal.
    void signal(int sig);
    // Exit status (128 + signal when killed), or nothing when it did not end in time.
    std::optional<int> wait(std::chrono::milliseconds timeout);

  private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    LineReader out_{-1};
    LineReader err_{-1};
    std::optional<int> status_;
};

// Runs the tool to its end and collects what it wrote.
struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};
RunResult run_to_end(const std::string &exe, const std::vector<std::string> &args,
                     std::chrono::milliseconds timeout = std::chrono::seconds(60),
                     const std::function<void()> &in_child = {});

} // namespace vorel::tool
