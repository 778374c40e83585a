// ipc.cpp - the sending side of the IPC service: ipcSend and ipcSendRcv.
//
// ipcSend (one-way) keeps one connection per destination in the process and
// reuses it, so a notification costs one write; sends to one destination are
// serialised on that connection, which keeps their order.  A cached
// connection that turns out to be dead (its service was restarted) is
// replaced once by a fresh one.  ipcSend to a requester address ("@...", as a
// handler receives it) writes the reply on the requester's connection instead.
//
// ipcSendRcv opens a connection of its own for each call, so any number of
// threads may wait for replies at once; it waits for the reply frame, and the
// end of the stream (the service went away) ends the wait at once.
//
// Time-outs apply to the whole call (connecting, writing and, for
// ipcSendRcv, waiting for the reply); NULL waits without limit, (0, 0) does
// not wait at all.  Results: 0, or PLAT_ERR_INVAL (bad argument or name),
// PLAT_ERR_TOOBIG (body beyond 64 MiB), PLAT_ERR_NOENT (nobody serves the
// name), PLAT_ERR_PEERGONE (the service closed the connection), PLAT_ERR_TIMEOUT,
// PLAT_ERR_IO (malformed reply, failed system call), PLAT_ERR_INJECTED.
#include <pthread.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "fail.h"
#include "ipc_frame.h"
#include "ipc_service.h"

namespace plat::ipc {

namespace {

struct Dest {
    std::timed_mutex mutex; // held for a whole frame
    UniqueFd fd;            // the cached connection, guarded by mutex
};

struct DestCache {
    std::mutex mutex;
    std::unordered_map<std::string, std::shared_ptr<Dest>> by_path;
};

DestCache &dest_cache()
{
    static DestCache c;
    return c;
}

// A forked child must not write into its parent's connections: it drops its
// copies and connects afresh when it sends.
void fork_prepare() { dest_cache().mutex.lock(); }
void fork_parent() { dest_cache().mutex.unlock(); }
void fork_child()
{
    DestCache &c = dest_cache();
    c.mutex.unlock();
    for (auto &[path, dest] : c.by_path)
        dest->fd.reset();
    c.by_path.clear();
}

[[maybe_unused]] const int g_fork_guard = [] {
    dest_cache();
    return pthread_atfork(fork_prepare, fork_parent, fork_child);
}();

uint32_t next_seq()
{
    static std::atomic<uint32_t> seq{0};
    return seq.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::shared_ptr<Dest> get_dest(const std::string &path)
{
    DestCache &c = dest_cache();
    std::lock_guard lock(c.mutex);
    auto &slot = c.by_path[path];
    if (!slot)
        slot = std::make_shared<Dest>();
    return slot;
}

template <typename Mutex> bool lock_by(std::unique_lock<Mutex> &lock, const Deadline &deadline)
{
    if (deadline.unlimited()) {
        lock.lock();
        return true;
    }
    return lock.try_lock_until(deadline.time_point());
}

int send_one_way(const std::string &path, std::string_view name, uint32_t code, std::span<const uint8_t> body,
                 const Deadline &deadline)
{
    const std::shared_ptr<Dest> dest = get_dest(path);
    std::unique_lock lock(dest->mutex, std::defer_lock);
    if (!lock_by(lock, deadline))
        return PLAT_ERR_TIMEOUT;
    const FrameHeader hdr = make_header(FrameKind::OneWay, code, static_cast<uint32_t>(body.size()), next_seq(), name);
    for (;;) {
        const bool cached = static_cast<bool>(dest->fd);
        if (!cached) {
            const int rc = connect_service(path, deadline, dest->fd);
            if (rc != 0)
                return rc;
        }
        size_t sent = 0;
        const int rc = send_frame(dest->fd.get(), hdr, body, deadline, &sent);
        if (rc == 0)
            return 0;
        // A frame cut short leaves the stream unusable: never reuse it.
        dest->fd.reset();
        if (!cached || sent > 0 || rc != PLAT_ERR_PEERGONE)
            return rc;
        // The cached connection died with an earlier owner of the name; once more on a fresh one.
    }
}

// Reads and throws away `n` bytes.
int skip_bytes(int fd, size_t n, const Deadline &deadline)
{
    std::array<uint8_t, 4096> scratch;
    while (n > 0) {
        const size_t chunk = std::min(n, scratch.size());
        const int rc = recv_exact(fd, std::span(scratch).first(chunk), deadline);
        if (rc != 0)
            return rc;
        n -= chunk;
    }
    return 0;
}

int request(const std::string &path, std::string_view name, uint32_t code, std::span<const uint8_t> body,
            std::span<uint8_t> reply, uint32_t *reply_len, const Deadline &deadline)
{
    UniqueFd fd;
    int rc = connect_service(path, deadline, fd);
    if (rc != 0)
        return rc;
    const uint32_t seq = next_seq();
    rc = send_frame(fd.get(), make_header(FrameKind::Request, code, static_cast<uint32_t>(body.size()), seq, name),
                    body, deadline);
    if (rc != 0)
        return rc;

    FrameHeader h{};
    rc = recv_exact(fd.get(), std::span(reinterpret_cast<uint8_t *>(&h), sizeof h), deadline);
    if (rc != 0)
        return rc;
    if (h.magic != kFrameMagic || h.kind != static_cast<uint16_t>(FrameKind::Reply) || h.seq != seq ||
        h.length > kMaxBody)
        return PLAT_ERR_IO;
    const size_t copy = std::min<size_t>(h.length, reply.size());
    rc = recv_exact(fd.get(), reply.first(copy), deadline);
    if (rc == 0)
        rc = skip_bytes(fd.get(), h.length - copy, deadline);
    if (rc != 0)
        return rc;
    if (reply_len != nullptr)
        *reply_len = h.length;
    return 0;
}

} // namespace

} // namespace plat::ipc

extern "C" {

int ipcSend(const IPCAddr *addr, uint32_t code, const void *body, uint32_t len, const ipc_timeout_t *timeout)
{
    using namespace plat::ipc;
    if (plat::should_fail("ipcSend"))
        return PLAT_ERR_INJECTED;
    if (addr == nullptr || (body == nullptr && len > 0))
        return PLAT_ERR_INVAL;
    if (len > kMaxBody)
        return PLAT_ERR_TOOBIG;
    try {
        const Deadline deadline(timeout);
        const std::span bytes(static_cast<const uint8_t *>(body), len);
        const std::string_view name = addr_name(*addr);
        if (!name.empty() && name.front() == kReplyPrefix)
            return send_reply(name, code, bytes, deadline);
        if (!valid_service_name(name))
            return PLAT_ERR_INVAL;
        const std::string path = service_path(addr->node, name);
        if (path.empty())
            return PLAT_ERR_INVAL;
        return send_one_way(path, name, code, bytes, deadline);
    } catch (const std::bad_alloc &) {
        return PLAT_ERR_NOMEM;
    }
}

int ipcSendRcv(const IPCAddr *addr, uint32_t code, const void *body, uint32_t len, void *reply, uint32_t *reply_len,
               const ipc_timeout_t *timeout)
{
    using namespace plat::ipc;
    if (plat::should_fail("ipcSendRcv"))
        return PLAT_ERR_INJECTED;
    const uint32_t room = reply_len != nullptr ? *reply_len : 0;
    if (addr == nullptr || (body == nullptr && len > 0) || (reply == nullptr && room > 0))
        return PLAT_ERR_INVAL;
    if (len > kMaxBody)
        return PLAT_ERR_TOOBIG;
    try {
        const Deadline deadline(timeout);
        const std::string_view name = addr_name(*addr);
        if (!valid_service_name(name))
            return PLAT_ERR_INVAL;
        const std::string path = service_path(addr->node, name);
        if (path.empty())
            return PLAT_ERR_INVAL;
        return request(path, name, code, std::span(static_cast<const uint8_t *>(body), len),
                       std::span(static_cast<uint8_t *>(reply), room), reply_len, deadline);
    } catch (const std::bad_alloc &) {
        return PLAT_ERR_NOMEM;
    }
}

} // extern "C"
