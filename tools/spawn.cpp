// spawn.cpp - child processes with piped output.
#include "spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "tool.h"

namespace vorel::tool {

using Clock = std::chrono::steady_clock;

namespace {

int remaining_ms(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

int decode_status(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); }

} // namespace

bool LineReader::fill(Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const int rc = ::poll(&p, 1, remaining_ms(deadline));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            return false;
        char chunk[4096];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            eof_ = true;
        else
            buf_.append(chunk, static_cast<size_t>(n));
        return true;
    }
}

std::optional<std::string> LineReader::next(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (const auto nl = buf_.find('\n'); nl != std::string::npos) {
            std::string line = buf_.substr(0, nl);
            buf_.erase(0, nl + 1);
            return line;
        }
        if (eof_ || fd_ < 0 || !fill(deadline))
            return std::nullopt;
    }
}

std::string LineReader::rest(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!eof_ && fd_ >= 0 && fill(deadline)) {
    }
    std::string all;
    all.swap(buf_);
    return all;
}

Spawned::Spawned(const std::string &exe, const std::vector<std::string> &args, const std::string &stderr_file,
                 const std::function<void()> &in_child)
{
    int out[2];
    int err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || (stderr_file.empty() && ::pipe2(err, O_CLOEXEC) != 0))
        throw Failure(kExitDatabase, "cannot create a pipe");
    std::vector<std::string> argv_store{exe};
    argv_store.insert(argv_store.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argv_store)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0)
        throw Failure(kExitDatabase, "cannot fork");
    if (pid_ == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        if (stderr_file.empty()) {
            ::dup2(err[1], STDERR_FILENO);
        } else {
            const int fd = ::open(stderr_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (fd >= 0)
                ::dup2(fd, STDERR_FILENO);
        }
        // The child starts with no signal blocked, whatever its parent blocks.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (in_child)
            in_child();
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    out_fd_ = out[0];
    out_ = LineReader(out_fd_);
    if (err[0] >= 0) {
        ::close(err[1]);
        err_fd_ = err[0];
        err_ = LineReader(err_fd_);
    }
}

Spawned::~Spawned()
{
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int st = 0;
        while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
        }
    }
    if (out_fd_ >= 0)
        ::close(out_fd_);
    if (err_fd_ >= 0)
        ::close(err_fd_);
}

void Spawned::signal(int sig)
{
    if (!status_ && pid_ > 0)
        ::kill(pid_, sig);
}

std::optional<int> Spawned::wait(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!status_) {
        int st = 0;
        const pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = decode_status(st);
            break;
        }
        if (r < 0 && errno != EINTR)
            break;
        if (Clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

RunResult run_to_end(const std::string &exe, const std::vector<std::string> &args, std::chrono::milliseconds timeout,
                     const std::function<void()> &in_child)
{
    Spawned child(exe, args, "", in_child);
    RunResult r;
    // Read both pipes to their end so the child never blocks on a full one.
    std::thread err_reader([&] { r.err = child.err().rest(timeout); });
    r.out = child.out().rest(timeout);
    err_reader.join();
    const auto st = child.wait(timeout);
    r.status = st ? *st : -1;
    return r;
}

} // namespace vorel::tool
