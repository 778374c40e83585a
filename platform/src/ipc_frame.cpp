// ipc_frame.cpp - frame headers, service socket paths and time-bounded
// socket I/O for the IPC service.
#include "ipc_frame.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

#include "rundir.h"

namespace plat::ipc {

FrameHeader make_header(FrameKind kind, uint32_t code, uint32_t length, uint32_t seq, std::string_view service)
{
    FrameHeader h{};
    h.magic = kFrameMagic;
    h.kind = static_cast<uint16_t>(kind);
    h.code = code;
    h.length = length;
    h.seq = seq;
    if (!service.empty())
        std::memcpy(h.service, service.data(), std::min(service.size(), kNameMax));
    return h;
}

std::string_view addr_name(const IPCAddr &addr) { return {addr.name, strnlen(addr.name, kNameMax)}; }

bool valid_service_name(std::string_view name)
{
    if (name.empty() || name.size() >= kNameMax || name.front() == kReplyPrefix)
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 0x7f && c != '/'; });
}

std::string service_path(uint16_t node, std::string_view name)
{
    std::string path = run_dir() + "/ipc." + std::to_string(node) + "." + std::string(name);
    // Leave room for the ".new" suffix that registration binds first.
    if (path.size() + 5 > sizeof(sockaddr_un::sun_path))
        return {};
    return path;
}

Deadline::Deadline(const ipc_timeout_t *timeout)
{
    if (timeout != nullptr)
        at_ = Clock::now() + std::chrono::seconds(timeout->sec) + std::chrono::microseconds(timeout->usec);
}

int Deadline::poll_ms() const
{
    if (!at_)
        return -1;
    const auto left = *at_ - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<decltype(ms)>(ms, 1 << 30));
}

UniqueFd &UniqueFd::operator=(UniqueFd &&o) noexcept
{
    if (this != &o)
        reset(o.release());
    return *this;
}

int UniqueFd::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset(int fd)
{
    if (fd_ >= 0)
        (void)::close(fd_);
    fd_ = fd;
}

int errno_result(int err)
{
    switch (err) {
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN:
        return PLAT_ERR_PEERGONE;
    case ENOENT:
    case ECONNREFUSED:
        return PLAT_ERR_NOENT;
    case EAGAIN:
    case ETIMEDOUT:
        return PLAT_ERR_TIMEOUT;
    case ENOMEM:
    case ENOBUFS:
        return PLAT_ERR_NOMEM;
    default:
        return PLAT_ERR_IO;
    }
}

namespace {

// Waits until `fd` is ready for `events`.  0, PLAT_ERR_TIMEOUT, or the
// failure of poll.  A hang-up counts as ready: the next call reports it.
int wait_ready(int fd, short events, const Deadline &deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, deadline.poll_ms());
        if (r > 0)
            return 0;
        if (r == 0)
            return PLAT_ERR_TIMEOUT;
        if (errno != EINTR)
            return errno_result(errno);
    }
}

} // namespace

int connect_service(const std::string &path, const Deadline &deadline, UniqueFd &out)
{
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof sa.sun_path)
        return PLAT_ERR_INVAL;
    std::memcpy(sa.sun_path, path.data(), path.size());

    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd)
        return errno_result(errno);
    auto pause = std::chrono::microseconds(100);
    for (;;) {
        if (::connect(fd.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0)
            break;
        const int err = errno;
        if (err == EINTR)
            continue;
        if (err == EINPROGRESS) {
            const int rc = wait_ready(fd.get(), POLLOUT, deadline);
            if (rc != 0)
                return rc;
            int so_error = 0;
            socklen_t len = sizeof so_error;
            if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &so_error, &len) != 0)
                return errno_result(errno);
            if (so_error != 0)
                return errno_result(so_error);
            break;
        }
        if (err != EAGAIN)
            return errno_result(err);
        // The listener's backlog is full: its owner is not accepting.  Unix
        // sockets give no readiness event for that, so retry until the deadline.
        if (deadline.expired())
            return PLAT_ERR_TIMEOUT;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, decltype(pause)(10000));
    }
    out = std::move(fd);
    return 0;
}

int send_frame(int fd, const FrameHeader &hdr, std::span<const uint8_t> body, const Deadline &deadline, size_t *sent)
{
    std::array<iovec, 2> iov{
        {{const_cast<FrameHeader *>(&hdr), sizeof hdr}, {const_cast<uint8_t *>(body.data()), body.size()}}};
    size_t first = 0; // first iovec with bytes left
    size_t total = 0;
    if (sent != nullptr)
        *sent = 0;
    while (first < iov.size()) {
        msghdr msg{};
        msg.msg_iov = &iov[first];
        msg.msg_iovlen = iov.size() - first;
        const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return errno_result(errno);
            const int rc = wait_ready(fd, POLLOUT, deadline);
            if (rc != 0)
                return rc;
            continue;
        }
        total += static_cast<size_t>(n);
        if (sent != nullptr)
            *sent = total;
        for (size_t left = static_cast<size_t>(n); first < iov.size();) {
            if (left < iov[first].iov_len) {
                iov[first].iov_base = static_cast<uint8_t *>(iov[first].iov_base) + left;
                iov[first].iov_len -= left;
                break;
            }
            left -= iov[first].iov_len;
            ++first;
        }
    }
    return 0;
}

int recv_exact(int fd, std::span<uint8_t> buf, const Deadline &deadline)
{
    size_t have = 0;
    while (have < buf.size()) {
        const ssize_t n = ::recv(fd, buf.data() + have, buf.size() - have, MSG_DONTWAIT);
        if (n > 0) {
            have += static_cast<size_t>(n);
            continue;
        }
        if (n == 0)
            return PLAT_ERR_PEERGONE;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return errno_result(errno);
        const int rc = wait_ready(fd, POLLIN, deadline);
        if (rc != 0)
            return rc;
    }
    return 0;
}

} // namespace plat::ipc
