// proc.cpp - forked children and pipe events for multi-process tests.
#include "proc.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

namespace vtest {
namespace {

int decode_status(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return kTimedOut;
}

} // namespace

Child::Child(const std::function<int()> &fn)
{
    pid_ = fork();
    if (pid_ == 0) {
        int rc = 125; // kept on an exception
        try {
            rc = fn();
        } catch (...) {
        }
        _exit(rc & 0xff);
    }
    if (pid_ < 0)
        std::abort();
}

Child::~Child()
{
    if (!reaped_)
        (void)kill(SIGKILL);
}

int Child::wait(std::chrono::milliseconds timeout)
{
    if (reaped_)
        return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = decode_status(status);
            return status_;
        }
        if (r < 0 && errno != EINTR) {
            reaped_ = true; // not our child any more
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return kTimedOut;
        std::this_thread::sleep_for(pause);
        if (pause < std::chrono::milliseconds(10))
            pause *= 2;
    }
}

int Child::kill(int sig)
{
    if (reaped_)
        return status_;
    (void)::kill(pid_, sig);
    // A SIGKILLed process always ends: waited for without a real limit.
    return wait(sig == SIGKILL ? std::chrono::hours(24) : std::chrono::milliseconds(0));
}

Event::Event()
{
    if (pipe2(fd_, O_CLOEXEC) != 0)
        std::abort();
}

Event::~Event()
{
    close(fd_[0]);
    close(fd_[1]);
}

void Event::post(uint32_t value)
{
    // A write of 4 bytes to a pipe is atomic.
    while (write(fd_[1], &value, sizeof value) < 0 && errno == EINTR) {
    }
}

bool Event::wait(std::chrono::milliseconds timeout, uint32_t *value)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd_[0], POLLIN, 0};
        const int r = poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        uint32_t v = 0;
        const ssize_t n = read(fd_[0], &v, sizeof v);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != static_cast<ssize_t>(sizeof v))
            return false;
        if (value != nullptr)
            *value = v;
        return true;
    }
}

int run_in_child(const std::function<int()> &fn, std::chrono::milliseconds timeout)
{
    Child child(fn);
    const int rc = child.wait(timeout);
    if (rc == kTimedOut)
        (void)child.kill();
    return rc;
}

} // namespace vtest
