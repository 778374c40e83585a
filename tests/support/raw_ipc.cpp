#include "raw_ipc.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace vtest {

namespace {
constexpr int kWaitMs = 10000;
}

WireHeader request_header(const char *service, uint32_t code, uint32_t length, uint32_t seq)
{
    WireHeader h;
    h.code = code;
    h.length = length;
    h.seq = seq;
    std::strncpy(h.service, service, sizeof h.service - 1);
    return h;
}

RawConn::RawConn(const std::string &path)
{
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    connected_ = fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
}

RawConn::~RawConn()
{
    if (fd_ >= 0)
        close(fd_);
}

bool RawConn::put(const void *p, size_t n) { return send(fd_, p, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n); }

void RawConn::end_writes() { shutdown(fd_, SHUT_WR); }

bool RawConn::get(void *p, size_t n)
{
    auto *b = static_cast<uint8_t *>(p);
    for (size_t have = 0; have < n;) {
        pollfd pf{fd_, POLLIN, 0};
        if (poll(&pf, 1, kWaitMs) <= 0)
            return false;
        const ssize_t r = recv(fd_, b + have, n - have, 0);
        if (r <= 0)
            return false;
        have += static_cast<size_t>(r);
    }
    return true;
}

bool RawConn::closed_by_peer()
{
    pollfd pf{fd_, POLLIN, 0};
    if (poll(&pf, 1, kWaitMs) <= 0)
        return false;
    uint8_t b;
    return recv(fd_, &b, 1, 0) <= 0;
}

} // namespace vtest
