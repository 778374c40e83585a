// ipc.cpp - the sending side of the IPC service: ipcSend and ipcSendRcv.
//
// ipcSend (one-way) hands its message to the outbox of its destination and
// returns once the whole message is there.  The outbox keeps one connection
// per destination and writes into it what the socket takes at once; what is
// left waits in the outbox, in order, and the platform's I/O thread writes it
// out as the receiver reads, whole messages only.  Each destination may hold
// up to VOREL_IPC_OUTBUF bytes (default 64 MiB; a message always fits an
// empty outbox).  A message that does not fit waits up to the caller's
// time-out for room; when none comes, the send fails with PLAT_ERR_TIMEOUT
// and the destination is cut off: what waited in its outbox is dropped, its
// connection is closed, and a fresh connection carries IPC_CODE_CUT_OFF to the
// receiver.  A message the cut caught half written (the socket took part of
// it) is written out whole first, by the I/O thread, for up to 30 s, so the
// receiver reads whole messages, then the end of that stream.  A cached
// connection that turns out to be dead (its service was restarted) is
// replaced once by a fresh one.  ipcSend to a requester address ("@...", as a
// handler receives it) writes the reply on the requester's connection
// instead.
//
// Every one-way message may carry a tag (ipcSendTagged); the platform counts
// per tag the messages sent, delivered (written out whole), failed (refused,
// or dropped with a connection that was cut off or lost) and queued, so that
// delivered + failed + queued = sent at all times.  A message that leaves the
// outbox moves from queued to its fate in one step under the counters' lock,
// so that a reader never sees it in both or in neither.
//
// ipcSendRcv opens a connection of its own for each call, so any number of
// threads may wait for replies at once; it waits for the reply frame, and the
// end of the stream (the service went away) ends the wait at once.
//
// Time-outs apply to the whole call (connecting, waiting for room and, for
// ipcSendRcv, waiting for the reply); NULL waits without limit, (0, 0) does
// not wait at all.  Results: 0, or PLAT_ERR_INVAL (bad argument or name),
// PLAT_ERR_TOOBIG (body beyond 64 MiB), PLAT_ERR_NOENT (nobody serves the
// name), PLAT_ERR_PEERGONE (the service closed the connection), PLAT_ERR_TIMEOUT,
// PLAT_ERR_IO (malformed reply, failed system call), PLAT_ERR_INJECTED.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "fail.h"
#include "immortal.h"
#include "ipc_frame.h"
#include "ipc_service.h"

namespace plat::ipc {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kNoTag = IPC_TAG_NONE;
constexpr size_t kDefaultOutbuf = size_t{64} << 20;
constexpr auto kFinishWithin = std::chrono::seconds(30);

// One message in an outbox: its whole frame, and how much of it is written.
struct Outgoing {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
    size_t done = 0;
    Clock::time_point since;
    uint32_t tag = kNoTag;
};

struct Dest {
    Dest(std::string p, std::string n) : path(std::move(p)), name(std::move(n)) {}
    const std::string path;
    const std::string name;

    std::mutex mutex;             // guards everything below
    std::condition_variable room; // notified when the outbox shrinks
    UniqueFd fd;                  // the cached connection
    std::deque<Outgoing> queue;   // front is being written
    size_t queued_bytes = 0;
    // A connection cut off with its front message half written, and that
    // message: the rest goes out before the connection closes, until finish_by.
    UniqueFd finishing_fd;
    std::optional<Outgoing> finishing;
    Clock::time_point finish_by;
};

struct DestCache {
    std::mutex mutex;
    std::unordered_map<std::string, std::shared_ptr<Dest>> by_path;
};

// Counters per tag; guarded by one mutex (64-bit counters on every target).
struct TagCounters {
    std::mutex mutex;
    std::array<ipc_send_stats_t, IPC_SEND_TAGS> by_tag{};
};

struct IoThread {
    std::mutex mutex;
    bool started = false;
    UniqueFd wake_rd;
    UniqueFd wake_wr;
};

DestCache &dest_cache() { return immortal<DestCache>(); }
TagCounters &tag_counters() { return immortal<TagCounters>(); }
IoThread &io_thread() { return immortal<IoThread>(); }

// A forked child must not write into its parent's connections: it drops its
// copies, starts without an I/O thread and connects afresh when it sends.
void fork_prepare()
{
    io_thread().mutex.lock();
    dest_cache().mutex.lock();
    tag_counters().mutex.lock();
}
void fork_parent()
{
    tag_counters().mutex.unlock();
    dest_cache().mutex.unlock();
    io_thread().mutex.unlock();
}
void fork_child()
{
    tag_counters().mutex.unlock();
    tag_counters().by_tag = {};
    DestCache &c = dest_cache();
    c.mutex.unlock();
    for (auto &[path, dest] : c.by_path)
        dest->fd.reset();
    c.by_path.clear();
    IoThread &io = io_thread();
    io.mutex.unlock();
    io.started = false;
    io.wake_rd.reset();
    io.wake_wr.reset();
}

[[maybe_unused]] const int g_fork_guard = [] {
    dest_cache();
    tag_counters();
    io_thread();
    return pthread_atfork(fork_prepare, fork_parent, fork_child);
}();

uint32_t next_seq()
{
    static std::atomic<uint32_t> seq{0};
    return seq.fetch_add(1, std::memory_order_relaxed) + 1;
}

// ---- counters -----------------------------------------------------------------------

enum class Fate { Sent, Queued, Delivered, Failed, CutOff };

// Counts one message of `tag` reaching `fate`.  `queued` is the message
// itself when it enters the outbox (Fate::Queued) or leaves it for its fate.
void count(uint32_t tag, Fate fate, const Outgoing *queued = nullptr)
{
    if (tag >= IPC_SEND_TAGS)
        return;
    TagCounters &t = tag_counters();
    std::lock_guard lock(t.mutex);
    ipc_send_stats_t &s = t.by_tag[tag];
    if (queued != nullptr) {
        const bool enters = fate == Fate::Queued;
        s.queued = enters ? s.queued + 1 : s.queued - 1;
        s.queued_bytes = enters ? s.queued_bytes + queued->size : s.queued_bytes - queued->size;
    }
    constexpr uint64_t n = 1;
    switch (fate) {
    case Fate::Sent:
        s.sent += n;
        break;
    case Fate::Queued:
        break;
    case Fate::Delivered:
        s.delivered += n;
        break;
    case Fate::Failed:
        s.failed += n;
        break;
    case Fate::CutOff:
        s.cutoffs += n;
        break;
    }
}

// ---- outboxes -----------------------------------------------------------------------

} // namespace

size_t outbuf_limit()
{
    const char *v = std::getenv("VOREL_IPC_OUTBUF");
    if (v == nullptr || *v == '\0')
        return kDefaultOutbuf;
    char *end = nullptr;
    unsigned long long n = std::strtoull(v, &end, 10);
    switch (*end) {
    case 'k':
    case 'K':
        n <<= 10;
        break;
    case 'm':
    case 'M':
        n <<= 20;
        break;
    case 'g':
    case 'G':
        n <<= 30;
        break;
    default:
        break;
    }
    return n == 0 ? kDefaultOutbuf : static_cast<size_t>(std::min<unsigned long long>(n, SIZE_MAX / 2));
}

namespace {

std::shared_ptr<Dest> get_dest(const std::string &path, std::string_view name)
{
    DestCache &c = dest_cache();
    std::lock_guard lock(c.mutex);
    auto &slot = c.by_path[path];
    if (!slot)
        slot = std::make_shared<Dest>(path, std::string(name));
    return slot;
}

// Drops what waits in the outbox, counting it failed.  Caller holds d.mutex.
void drop_queue(Dest &d)
{
    for (const Outgoing &m : d.queue)
        count(m.tag, Fate::Failed, &m);
    d.queue.clear();
    d.queued_bytes = 0;
    d.room.notify_all();
}

// The connection is lost: nothing more can be written into it.
void lose_connection(Dest &d)
{
    d.fd.reset();
    drop_queue(d);
}

Outgoing make_outgoing(const FrameHeader &hdr, std::span<const uint8_t> body, size_t done, uint32_t tag)
{
    Outgoing m;
    m.size = sizeof hdr + body.size();
    m.bytes = std::make_unique_for_overwrite<uint8_t[]>(m.size);
    std::memcpy(m.bytes.get(), &hdr, sizeof hdr);
    if (!body.empty())
        std::memcpy(m.bytes.get() + sizeof hdr, body.data(), body.size());
    m.done = done;
    m.since = Clock::now();
    m.tag = tag;
    return m;
}

void wake_io();

// The caller wakes the I/O thread once it has let go of d.mutex, so that the
// thread finds the destination free.
void enqueue(Dest &d, Outgoing m)
{
    count(m.tag, Fate::Queued, &m);
    d.queued_bytes += m.size;
    d.queue.push_back(std::move(m));
}

// Closes the finishing connection, its message counted `fate`.  Caller holds
// d.mutex.
void end_finishing(Dest &d, Fate fate)
{
    if (d.finishing)
        count(d.finishing->tag, fate, &*d.finishing);
    d.finishing.reset();
    d.finishing_fd.reset();
}

// Cuts the destination off: drops its outbox, closes its connection once a
// half-written message is out, and opens a fresh connection whose first
// frame tells the receiver.  Caller holds d.mutex.
void cut_off(Dest &d, uint32_t tag)
{
    end_finishing(d, Fate::Failed); // an earlier cut's message still not out
    if (d.fd && !d.queue.empty() && d.queue.front().done > 0) {
        d.finishing = std::move(d.queue.front());
        d.queued_bytes -= d.finishing->size;
        d.queue.pop_front();
        d.finishing_fd = std::move(d.fd);
        d.finish_by = Clock::now() + kFinishWithin;
    } else if (d.fd) {
        (void)::shutdown(d.fd.get(), SHUT_RDWR);
    }
    lose_connection(d);
    count(tag, Fate::CutOff);
    const ipc_timeout_t now{0, 0};
    const Deadline no_wait(&now);
    if (connect_service(d.path, no_wait, d.fd) != 0)
        return;
    const FrameHeader hdr = make_header(FrameKind::OneWay, IPC_CODE_CUT_OFF, 0, next_seq(), d.name);
    size_t sent = 0;
    const int rc = send_frame(d.fd.get(), hdr, {}, no_wait, &sent);
    if (rc == PLAT_ERR_TIMEOUT)
        enqueue(d, make_outgoing(hdr, {}, sent, kNoTag));
    else if (rc != 0)
        d.fd.reset();
}

enum class Wrote { All, Blocked, Lost };

// Writes what the socket takes of the rest of `m`.
Wrote write_some(int fd, Outgoing &m)
{
    while (m.done < m.size) {
        const ssize_t n = ::send(fd, m.bytes.get() + m.done, m.size - m.done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? Wrote::Blocked : Wrote::Lost;
        }
        m.done += static_cast<size_t>(n);
    }
    return Wrote::All;
}

// Writes what the socket takes of the half-written message of a cut-off
// connection; closes it once the message is out, or cannot be.  Caller holds
// d.mutex.
void finish(Dest &d)
{
    if (!d.finishing)
        return;
    const Wrote w = write_some(d.finishing_fd.get(), *d.finishing);
    if (w == Wrote::All)
        end_finishing(d, Fate::Delivered);
    else if (w == Wrote::Lost || Clock::now() >= d.finish_by)
        end_finishing(d, Fate::Failed);
}

// Writes what the socket takes from the front of the outbox.  Caller holds
// d.mutex.
void flush(Dest &d)
{
    while (!d.queue.empty() && d.fd) {
        Outgoing &m = d.queue.front();
        const Wrote w = write_some(d.fd.get(), m);
        if (w == Wrote::Lost)
            lose_connection(d);
        if (w != Wrote::All)
            return;
        count(m.tag, Fate::Delivered, &m);
        d.queued_bytes -= m.size;
        d.queue.pop_front();
        d.room.notify_all();
    }
}

// ---- the I/O thread -------------------------------------------------------------------

void wake_io()
{
    IoThread &io = io_thread();
    const char poke = 1;
    if (io.wake_wr)
        (void)!::write(io.wake_wr.get(), &poke, 1); // a full pipe is awake enough
}

void io_loop()
{
    IoThread &io = io_thread();
    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<Dest>> dests;
    for (;;) {
        fds.assign(1, pollfd{io.wake_rd.get(), POLLIN, 0});
        dests.clear();
        bool busy = false;      // a destination was locked by a sender
        bool finishing = false; // a cut-off connection has a message to finish
        {
            DestCache &c = dest_cache();
            std::lock_guard lock(c.mutex);
            for (auto &[path, d] : c.by_path) {
                std::unique_lock dl(d->mutex, std::try_to_lock);
                if (!dl.owns_lock()) {
                    busy = true;
                    continue;
                }
                if (!d->queue.empty() && d->fd) {
                    fds.push_back({d->fd.get(), POLLOUT, 0});
                    dests.push_back(d);
                }
                if (d->finishing) {
                    fds.push_back({d->finishing_fd.get(), POLLOUT, 0});
                    dests.push_back(d);
                    finishing = true;
                }
            }
        }
        // A sender that held a destination has just queued for it or is
        // about to: look again at once rather than wait for the next wake-up.
        // A message being finished is given up on time.
        const int wait_ms = busy ? 1 : finishing ? 100 : -1;
        if (::poll(fds.data(), fds.size(), wait_ms) < 0 && errno != EINTR && errno != ENOMEM)
            return;
        if ((fds[0].revents & POLLIN) != 0) {
            std::array<char, 256> sink;
            while (::read(io.wake_rd.get(), sink.data(), sink.size()) > 0) {
            }
        }
        for (size_t i = 0; i < dests.size(); ++i) {
            if (fds[i + 1].revents == 0 && !finishing)
                continue;
            std::lock_guard dl(dests[i]->mutex);
            if (fds[i + 1].revents != 0)
                flush(*dests[i]);
            finish(*dests[i]);
        }
    }
}

void *io_main(void *)
{
    try {
        io_loop();
    } catch (const std::bad_alloc &) {
    }
    return nullptr;
}

// Starts the I/O thread once per process (and once more in a forked child).
int ensure_io_thread()
{
    IoThread &io = io_thread();
    std::lock_guard lock(io.mutex);
    if (io.started)
        return 0;
    int p[2];
    if (::pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0)
        return errno_result(errno);
    io.wake_rd.reset(p[0]);
    io.wake_wr.reset(p[1]);
    sigset_t all, old;
    sigfillset(&all);
    (void)::pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t t{};
    const int rc = ::pthread_create(&t, nullptr, io_main, nullptr);
    (void)::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0)
        return PLAT_ERR_IO;
    (void)::pthread_detach(t);
    io.started = true;
    return 0;
}

// ---- one-way sends --------------------------------------------------------------------

// Waits until the message fits the outbox; false when the deadline passed.
bool wait_room(Dest &d, std::unique_lock<std::mutex> &lock, size_t need, const Deadline &deadline)
{
    const size_t limit = outbuf_limit(); // read at each send: a process may change it
    const auto fits = [&] { return d.queue.empty() || d.queued_bytes + need <= limit; };
    if (deadline.unlimited()) {
        d.room.wait(lock, fits);
        return true;
    }
    return d.room.wait_until(lock, deadline.time_point(), fits);
}

int queue_one_way(Dest &d, std::unique_lock<std::mutex> &lock, const FrameHeader &hdr, std::span<const uint8_t> body,
                  const Deadline &deadline, uint32_t tag)
{
    if (!wait_room(d, lock, sizeof hdr + body.size(), deadline)) {
        cut_off(d, tag);
        return PLAT_ERR_TIMEOUT;
    }
    for (;;) {
        const bool cached = static_cast<bool>(d.fd);
        if (!cached)
            if (const int rc = connect_service(d.path, deadline, d.fd); rc != 0)
                return rc;
        if (!d.queue.empty()) {
            enqueue(d, make_outgoing(hdr, body, 0, tag));
            return 0;
        }
        // Nothing waits: write what the socket takes now, queue the rest.
        const ipc_timeout_t now{0, 0};
        size_t sent = 0;
        const int rc = send_frame(d.fd.get(), hdr, body, Deadline(&now), &sent);
        if (rc == 0) {
            count(tag, Fate::Delivered);
            return 0;
        }
        if (rc == PLAT_ERR_TIMEOUT) {
            enqueue(d, make_outgoing(hdr, body, sent, tag));
            return 0;
        }
        d.fd.reset(); // a frame cut short leaves the stream unusable
        if (!cached || sent > 0 || rc != PLAT_ERR_PEERGONE)
            return rc;
        // The cached connection died with an earlier owner of the name; once more on a fresh one.
    }
}

int send_one_way(const std::string &path, std::string_view name, uint32_t code, std::span<const uint8_t> body,
                 const Deadline &deadline, uint32_t tag)
{
    if (const int rc = ensure_io_thread(); rc != 0)
        return rc;
    const std::shared_ptr<Dest> dest = get_dest(path, name);
    const FrameHeader hdr = make_header(FrameKind::OneWay, code, static_cast<uint32_t>(body.size()), next_seq(), name);
    std::unique_lock lock(dest->mutex);
    const int rc = queue_one_way(*dest, lock, hdr, body, deadline, tag);
    const bool waiting = !dest->queue.empty() || dest->finishing;
    lock.unlock();
    if (waiting)
        wake_io();
    return rc;
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

// Every destination, for the calls that look at all of them.
std::vector<std::shared_ptr<Dest>> all_dests()
{
    DestCache &c = dest_cache();
    std::lock_guard lock(c.mutex);
    std::vector<std::shared_ptr<Dest>> out;
    out.reserve(c.by_path.size());
    for (auto &[path, d] : c.by_path)
        out.push_back(d);
    return out;
}

bool all_drained()
{
    for (const auto &d : all_dests()) {
        std::lock_guard lock(d->mutex);
        if ((!d->queue.empty() && d->fd) || d->finishing)
            return false;
    }
    return true;
}

int send_tagged(const IPCAddr *addr, uint32_t code, const void *body, uint32_t len, const ipc_timeout_t *timeout,
                uint32_t tag)
{
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
        return send_one_way(path, name, code, bytes, deadline, tag);
    } catch (const std::bad_alloc &) {
        return PLAT_ERR_NOMEM;
    }
}

} // namespace

} // namespace plat::ipc

extern "C" {

int ipcSend(const IPCAddr *addr, uint32_t code, const void *body, uint32_t len, const ipc_timeout_t *timeout)
{
    return plat::ipc::send_tagged(addr, code, body, len, timeout, IPC_TAG_NONE);
}

int ipcSendTagged(const IPCAddr *addr, uint32_t code, const void *body, uint32_t len, const ipc_timeout_t *timeout,
                  uint32_t tag)
{
    using namespace plat::ipc;
    count(tag, Fate::Sent);
    const int rc = send_tagged(addr, code, body, len, timeout, tag);
    if (rc != 0)
        count(tag, Fate::Failed);
    return rc;
}

int ipcSendStats(uint32_t tag, ipc_send_stats_t *stats)
{
    using namespace plat::ipc;
    if (stats == nullptr || tag >= IPC_SEND_TAGS)
        return PLAT_ERR_INVAL;
    try {
        {
            TagCounters &t = tag_counters();
            std::lock_guard lock(t.mutex);
            *stats = t.by_tag[tag];
        }
        stats->oldest_ms = 0;
        const auto now = Clock::now();
        for (const auto &d : all_dests()) {
            std::lock_guard lock(d->mutex);
            const auto note_age = [&](const Outgoing &m) {
                if (m.tag != tag)
                    return;
                const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(now - m.since).count();
                stats->oldest_ms = std::max<uint64_t>(stats->oldest_ms, static_cast<uint64_t>(age));
            };
            for (const Outgoing &m : d->queue)
                note_age(m);
            if (d->finishing)
                note_age(*d->finishing);
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return PLAT_ERR_NOMEM;
    }
}

int ipcSendDrain(const ipc_timeout_t *timeout)
{
    using namespace plat::ipc;
    try {
        const Deadline deadline(timeout);
        while (!all_drained()) {
            if (deadline.expired()) {
                for (const auto &d : all_dests()) {
                    std::lock_guard lock(d->mutex);
                    end_finishing(*d, Fate::Failed);
                    if (!d->queue.empty() && d->fd) {
                        (void)::shutdown(d->fd.get(), SHUT_RDWR);
                        lose_connection(*d);
                    }
                }
                return PLAT_ERR_TIMEOUT;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return 0;
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
