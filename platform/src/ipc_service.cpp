// ipc_service.cpp - registered IPC services and their dispatch threads.
//
// A process owns a service name on its node by holding an flock() on
// "<socket>.lock" beside the service socket: the kernel drops the lock when
// the owner ends in any way, so a crashed owner never keeps the name, and the
// next owner replaces the stale socket file.  The listening socket is bound
// under a temporary name, given the platform's file mode and then renamed into
// place, so it is never reachable with a wider mode.
//
// Each service has one dispatch thread.  It accepts connections, reads frames
// from every connection and calls the handler for each complete request or
// one-way frame, with the switch instance of the registering thread as its
// getMySwitch().  A connection that sends a malformed frame (bad magic,
// unknown kind, body beyond the limit, another service's name, or a frame cut
// short by the end of the stream) is dropped; the others are served on.
//
// A frame's buffer grows with what has arrived, not with what its header
// announces, and reaches the handler at least 8 bytes long, zero-filled past
// what was received.  A reply that the socket does not take at once waits on
// its connection; the dispatch thread writes it out and reads nothing more
// from that connection meanwhile, and a connection whose replies are not read
// within VOREL_IPC_REPLY_MS (default 5000) is closed.  A service serves at
// most VOREL_IPC_MAXCONN connections (default 1024, at most half the
// descriptor limit); further ones are closed at once with a line on standard
// error.  Out of descriptors, a spare one is given up to take the waiting
// connection off the backlog and close it, so that the loop never spins.
//
// The handler learns who asked through a requester address whose name is
// "@<connection id>.<sequence>" (hex); ipcSend to that address writes the
// reply on the requester's connection.  A one-way frame comes with the
// requester name "@", to which nothing can be sent.
#include "ipc_service.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "immortal.h"
#include "rundir.h"

namespace plat::ipc {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kStageSize = 64 * 1024;    // read buffer of a dispatch thread between frames
constexpr size_t kBodyChunk = 256 * 1024;   // a body grows by at most this much per read
constexpr size_t kTurnBudget = 1 << 20;     // bytes read from one connection before the others get a turn
constexpr size_t kMinRequestBuffer = 8;     // a handler may read the word after the request code
constexpr uint32_t kDefaultMaxConns = 1024; // connections one service serves at once
constexpr uint32_t kDefaultReplyMs = 5000;  // a reply not read by then closes its connection
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

// One accepted connection of a service.
struct Conn {
    Conn(uint32_t conn_id, UniqueFd conn_fd, int wake) : id(conn_id), fd(std::move(conn_fd)), wake_fd(wake) {}

    const uint32_t id;
    UniqueFd fd;       // closed when the last reference goes
    const int wake_fd; // the dispatch thread's wake pipe, for replies left to write

    // Replies the socket did not take at once, written by the dispatch thread.
    std::mutex out_mutex;
    std::vector<uint8_t> out;
    size_t out_done = 0;
    Clock::time_point out_since;

    // Reader state, used by the dispatch thread only.  The body buffer grows
    // with what arrives, never with what a header announces.
    std::array<uint8_t, sizeof(FrameHeader)> head{};
    size_t head_have = 0;
    FrameHeader cur{};
    std::vector<uint8_t> msg; // [request code][body], handed to the handler
    size_t body_left = 0;
    bool in_body = false;
    bool closing = false; // read no more: dropped once its replies are out
};

struct Service {
    int handle = 0;
    std::string name;
    uint16_t node = 0;
    int instance = 0;
    ipc_handler_t handler = nullptr;
    std::string sock_path;
    UniqueFd lock_fd;
    UniqueFd listen_fd;
    UniqueFd wake_rd;
    UniqueFd wake_wr;
    UniqueFd spare_fd; // given up to accept-and-close when out of descriptors
    std::atomic<bool> stopping{false};
    bool bound = false; // the socket file at sock_path is this service's
    pthread_t thread{};
    std::vector<std::shared_ptr<Conn>> conns; // dispatch thread only
    std::vector<uint8_t> stage = std::vector<uint8_t>(kStageSize);
    Clock::time_point accept_after;  // accepting paused until then
    Clock::time_point quiet_until{}; // limit reports are not repeated before then
};

// Live connections of every service of the process, by id, for reply routing.
struct ConnTable {
    std::mutex mutex;
    std::unordered_map<uint32_t, std::weak_ptr<Conn>> by_id;
    uint32_t last_id = 0;
};

struct ServiceTable {
    std::mutex mutex;
    std::map<int, std::shared_ptr<Service>> by_handle;
    int last_handle = 0;
};

// The tables are never destroyed: a dispatch thread may still be serving
// while the process exits and runs its static destructors.

ConnTable &conn_table() { return immortal<ConnTable>(); }

ServiceTable &service_table() { return immortal<ServiceTable>(); }

// A forked child has none of the dispatch threads: it gives up its copies of
// every descriptor of the services (without unlocking the names, which stay
// with the parent) so that no socket or name lives on through the child.
void fork_prepare()
{
    service_table().mutex.lock();
    conn_table().mutex.lock();
}

void fork_parent()
{
    conn_table().mutex.unlock();
    service_table().mutex.unlock();
}

void fork_child()
{
    ConnTable &ct = conn_table();
    ServiceTable &st = service_table();
    ct.mutex.unlock();
    st.mutex.unlock();
    for (auto &[handle, svc] : st.by_handle) {
        for (auto &conn : svc->conns)
            conn->fd.reset();
        svc->conns.clear();
        svc->listen_fd.reset();
        svc->lock_fd.reset();
        svc->wake_rd.reset();
        svc->wake_wr.reset();
        svc->spare_fd.reset();
    }
    st.by_handle.clear();
    ct.by_id.clear();
}

[[maybe_unused]] const int g_fork_guard = [] {
    conn_table();
    service_table();
    return pthread_atfork(fork_prepare, fork_parent, fork_child);
}();

uint32_t env_number(const char *name, uint32_t fallback)
{
    const char *v = std::getenv(name);
    if (v == nullptr || *v == '\0')
        return fallback;
    char *end = nullptr;
    const unsigned long n = std::strtoul(v, &end, 10);
    return *end == '\0' && n > 0 && n <= UINT32_MAX ? static_cast<uint32_t>(n) : fallback;
}

// The connection cap leaves room under the descriptor limit for the
// process's own files and outgoing connections.
uint32_t max_connections()
{
    uint32_t cap = env_number("VOREL_IPC_MAXCONN", kDefaultMaxConns);
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        cap = std::min<uint32_t>(cap, static_cast<uint32_t>(std::max<rlim_t>(rl.rlim_cur / 2, 4)));
    return cap;
}

std::chrono::milliseconds reply_deadline()
{
    return std::chrono::milliseconds(env_number("VOREL_IPC_REPLY_MS", kDefaultReplyMs));
}

void report(const Service &svc, const char *what)
{
    std::fprintf(stderr, "vorel platform: IPC service \"%s\" on node %u: %s\n", svc.name.c_str(),
                 static_cast<unsigned>(svc.node), what);
}

// For conditions a misbehaving peer can repeat at will: one line a second.
void report_limited(Service &svc, const char *what)
{
    const auto now = Clock::now();
    if (now < svc.quiet_until)
        return;
    svc.quiet_until = now + std::chrono::seconds(1);
    report(svc, what);
}

void poke(int wake_fd)
{
    const char byte = 1;
    if (wake_fd >= 0)
        (void)!::write(wake_fd, &byte, 1); // a full pipe is awake enough
}

// ---- connections --------------------------------------------------------------

std::shared_ptr<Conn> add_conn(UniqueFd fd, int wake_fd)
{
    ConnTable &t = conn_table();
    std::lock_guard lock(t.mutex);
    uint32_t id = t.last_id;
    do {
        ++id;
    } while (id == 0 || t.by_id.contains(id));
    t.last_id = id;
    auto conn = std::make_shared<Conn>(id, std::move(fd), wake_fd);
    t.by_id.emplace(id, conn);
    return conn;
}

// The peer sees the end of the stream at once, even while a reply writer
// still holds a reference to the connection.
void drop_conn(Conn &conn)
{
    (void)::shutdown(conn.fd.get(), SHUT_RDWR);
    ConnTable &t = conn_table();
    std::lock_guard lock(t.mutex);
    t.by_id.erase(conn.id);
}

std::shared_ptr<Conn> find_conn(uint32_t id)
{
    ConnTable &t = conn_table();
    std::lock_guard lock(t.mutex);
    auto it = t.by_id.find(id);
    return it == t.by_id.end() ? nullptr : it->second.lock();
}

// Since when replies wait on the connection; nullopt when none does.
std::optional<Clock::time_point> replies_waiting(Conn &conn)
{
    std::lock_guard lock(conn.out_mutex);
    if (conn.out.empty())
        return std::nullopt;
    return conn.out_since;
}

// Writes what the socket takes of the waiting replies; false when the
// connection failed.
bool flush_replies(Conn &conn)
{
    std::lock_guard lock(conn.out_mutex);
    while (conn.out_done < conn.out.size()) {
        const ssize_t n = ::send(conn.fd.get(), conn.out.data() + conn.out_done, conn.out.size() - conn.out_done,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        conn.out_done += static_cast<size_t>(n);
    }
    std::vector<uint8_t>().swap(conn.out); // a large reply gives its memory back
    conn.out_done = 0;
    return true;
}

// ---- the dispatch thread ------------------------------------------------------

const char *check_header(const Service &svc, const FrameHeader &h)
{
    if (h.magic != kFrameMagic)
        return "bad frame magic";
    if (h.kind != static_cast<uint16_t>(FrameKind::OneWay) && h.kind != static_cast<uint16_t>(FrameKind::Request))
        return "unexpected frame kind";
    if (h.reserved != 0)
        return "bad frame header";
    if (h.length > kMaxBody)
        return "frame body beyond the limit";
    if (std::string_view(h.service, strnlen(h.service, kNameMax)) != svc.name)
        return "frame for an unknown service";
    return nullptr;
}

void deliver(const Service &svc, Conn &conn)
{
    IPCAddr requester{};
    requester.node = svc.node;
    if (conn.cur.kind == static_cast<uint16_t>(FrameKind::Request))
        std::snprintf(requester.name, sizeof requester.name, "%c%08x.%08x", kReplyPrefix,
                      static_cast<unsigned>(conn.id), static_cast<unsigned>(conn.cur.seq));
    else
        requester.name[0] = kReplyPrefix;
    std::vector<uint8_t> msg;
    msg.swap(conn.msg); // released after the handler, whatever its size
    const auto len = static_cast<uint32_t>(msg.size());
    if (msg.size() < kMinRequestBuffer)
        msg.resize(kMinRequestBuffer); // zero-filled past what was received
    conn.in_body = false;
    conn.head_have = 0;
    (void)svc.handler(&requester, conn.cur.code, msg.data(), len, conn.cur.code);
}

// Starts the frame whose header has arrived; nullptr, or why the connection
// is to be dropped.
const char *begin_frame(const Service &svc, Conn &conn)
{
    std::memcpy(&conn.cur, conn.head.data(), sizeof conn.cur);
    if (const char *why = check_header(svc, conn.cur))
        return why;
    conn.msg.clear();
    conn.msg.reserve(sizeof(uint32_t) + std::min<size_t>(conn.cur.length, kStageSize));
    const auto *code = reinterpret_cast<const uint8_t *>(&conn.cur.code);
    conn.msg.insert(conn.msg.end(), code, code + sizeof conn.cur.code);
    conn.body_left = conn.cur.length;
    conn.in_body = true;
    return nullptr;
}

// Takes in bytes read from the connection, delivering every frame they
// complete.  Returns the reason to drop the connection, or nullptr.
const char *feed(const Service &svc, Conn &conn, std::span<const uint8_t> data)
{
    while (!data.empty() || (conn.in_body && conn.body_left == 0)) {
        if (!conn.in_body) {
            const size_t n = std::min(data.size(), conn.head.size() - conn.head_have);
            std::memcpy(conn.head.data() + conn.head_have, data.data(), n);
            conn.head_have += n;
            data = data.subspan(n);
            if (conn.head_have < conn.head.size())
                return nullptr;
            if (const char *why = begin_frame(svc, conn))
                return why;
        }
        const size_t n = std::min(data.size(), conn.body_left);
        conn.msg.insert(conn.msg.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
        conn.body_left -= n;
        data = data.subspan(n);
        if (conn.body_left == 0)
            deliver(svc, conn);
    }
    return nullptr;
}

// One read from the connection: into the body being received, or into the
// dispatch thread's stage.  Bytes read, 0 at the end of the stream, -1 when
// nothing is there (or it failed: errno tells).
ssize_t read_some(Service &svc, Conn &conn, const char *&why)
{
    if (conn.in_body && conn.body_left > 0) {
        const size_t old = conn.msg.size();
        const size_t chunk = std::min(conn.body_left, kBodyChunk);
        conn.msg.resize(old + chunk);
        const ssize_t n = ::recv(conn.fd.get(), conn.msg.data() + old, chunk, MSG_DONTWAIT);
        conn.msg.resize(old + static_cast<size_t>(std::max<ssize_t>(n, 0)));
        if (n > 0 && (conn.body_left -= static_cast<size_t>(n)) == 0)
            deliver(svc, conn);
        return n;
    }
    const ssize_t n = ::recv(conn.fd.get(), svc.stage.data(), svc.stage.size(), MSG_DONTWAIT);
    if (n > 0)
        why = feed(svc, conn, std::span(svc.stage).first(static_cast<size_t>(n)));
    return n;
}

// Reads what the connection has; false when it is to be dropped.  Stops
// early when a reply could not be written at once: the connection is read
// again once its replies are out.
bool serve(Service &svc, Conn &conn)
{
    const char *why = nullptr;
    try {
        for (size_t budget = kTurnBudget; budget > 0 && why == nullptr && !replies_waiting(conn);) {
            const ssize_t n = read_some(svc, conn, why);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return errno == EAGAIN || errno == EWOULDBLOCK;
            }
            if (n == 0) {
                if (conn.in_body || conn.head_have > 0)
                    report(svc, "frame cut short by the end of the stream, connection dropped");
                return false;
            }
            budget -= std::min(budget, static_cast<size_t>(n));
        }
    } catch (const std::bad_alloc &) {
        why = "no memory for the frame";
    }
    if (why == nullptr)
        return true;
    const std::string what = std::string(why) + ", connection dropped";
    report(svc, what.c_str());
    return false;
}

// Out of descriptors: the spare one is given up to take the next waiting
// connection off the backlog and close it, so that the listener does not
// stay readable; without a spare, accepting pauses a moment.
void shed_connection(Service &svc)
{
    report_limited(svc, "out of descriptors, new connections refused");
    if (svc.spare_fd) {
        svc.spare_fd.reset();
        UniqueFd(::accept4(svc.listen_fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
        svc.spare_fd.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    }
    if (!svc.spare_fd)
        svc.accept_after = Clock::now() + kAcceptPause;
}

void accept_all(Service &svc)
{
    const uint32_t cap = max_connections();
    for (;;) {
        UniqueFd fd(::accept4(svc.listen_fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                shed_connection(svc);
            return; // EAGAIN: nobody else is waiting
        }
        if (svc.conns.size() >= cap) {
            const std::string what = "connection limit (" + std::to_string(cap) + ") reached, new connection refused";
            report_limited(svc, what.c_str());
            continue; // closed at once: the peer sees the end of the stream
        }
        svc.conns.push_back(add_conn(std::move(fd), svc.wake_wr.get()));
    }
}

int ms_until(Clock::time_point at)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(at - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, 1 << 30));
}

// True when the loop ended because the service is being unregistered.
bool dispatch_loop(Service &svc)
{
    const auto reply_limit = reply_deadline();
    std::vector<pollfd> fds;
    std::vector<bool> writing;
    for (;;) {
        fds.clear();
        writing.clear();
        int timeout = -1;
        fds.push_back({svc.wake_rd.get(), POLLIN, 0});
        const bool accepting = Clock::now() >= svc.accept_after;
        fds.push_back({accepting ? svc.listen_fd.get() : -1, POLLIN, 0});
        if (!accepting)
            timeout = ms_until(svc.accept_after);
        for (const auto &conn : svc.conns) {
            const auto since = replies_waiting(*conn);
            writing.push_back(since.has_value());
            fds.push_back({conn->fd.get(), static_cast<short>(since ? POLLOUT : POLLIN), 0});
            if (since) {
                const int ms = ms_until(*since + reply_limit);
                timeout = timeout < 0 ? ms : std::min(timeout, ms);
            }
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR || errno == ENOMEM)
                continue;
            report(svc, "poll failed, service stopped");
            return false;
        }
        if (fds[0].revents != 0) {
            std::array<char, 256> sink;
            while (::read(svc.wake_rd.get(), sink.data(), sink.size()) > 0) {
            }
            if (svc.stopping.load())
                return true;
        }
        const size_t count = svc.conns.size();
        std::vector<bool> keep(count, true);
        const auto now = Clock::now();
        for (size_t i = 0; i < count; ++i) {
            Conn &conn = *svc.conns[i];
            if (writing[i]) {
                keep[i] = fds[i + 2].revents == 0 || flush_replies(conn);
                const auto since = replies_waiting(conn);
                if (keep[i] && since && now >= *since + reply_limit) {
                    report_limited(svc, "replies not read in time, connection dropped");
                    keep[i] = false;
                }
                keep[i] = keep[i] && !(conn.closing && !since);
            } else if (fds[i + 2].revents != 0) {
                // A connection that ended or failed still gets the replies it asked for.
                keep[i] = serve(svc, conn) || (conn.closing = replies_waiting(conn).has_value());
            }
        }
        for (size_t i = count; i-- > 0;)
            if (!keep[i]) {
                drop_conn(*svc.conns[i]);
                svc.conns.erase(svc.conns.begin() + static_cast<std::ptrdiff_t>(i));
            }
        if ((fds[1].revents & POLLIN) != 0)
            accept_all(svc);
    }
}

void *dispatch_main(void *arg)
{
    auto &svc = *static_cast<Service *>(arg);
    setMySwitch(svc.instance);
    bool stopping = false;
    try {
        stopping = dispatch_loop(svc);
    } catch (const std::bad_alloc &) {
        report(svc, "out of memory, service stopped");
    }
    if (!stopping) {
        // Nobody serves the name any more: refuse new clients at once.
        svc.listen_fd.reset();
    }
    for (auto &conn : svc.conns)
        drop_conn(*conn);
    svc.conns.clear();
    return nullptr;
}

// ---- registration -----------------------------------------------------------------

int take_name(Service &svc)
{
    const std::string lock_path = svc.sock_path + ".lock";
    UniqueFd fd(::open(lock_path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, file_mode()));
    if (!fd) {
        report(svc, "cannot open the lock file of the name");
        return PLAT_ERR_IO;
    }
    (void)apply_mode(fd.get()); // fails harmlessly on a lock file another user made
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        if (errno == EWOULDBLOCK) {
            report(svc, "name already owned by another registration, refused");
            return PLAT_ERR_BUSY;
        }
        report(svc, "cannot lock the name");
        return PLAT_ERR_IO;
    }
    svc.lock_fd = std::move(fd);
    return 0;
}

int open_listener(Service &svc)
{
    const std::string tmp = svc.sock_path + ".new";
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, tmp.data(), tmp.size()); // service_path() left room for it

    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd)
        return errno_result(errno);
    (void)::unlink(tmp.c_str()); // left by an owner that crashed while registering
    if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
        report(svc, "cannot bind the service socket");
        return PLAT_ERR_IO;
    }
    if (apply_mode(tmp.c_str()) != 0 || ::listen(fd.get(), SOMAXCONN) != 0 ||
        ::rename(tmp.c_str(), svc.sock_path.c_str()) != 0) {
        report(svc, "cannot set up the service socket");
        (void)::unlink(tmp.c_str());
        return PLAT_ERR_IO;
    }
    svc.listen_fd = std::move(fd);
    svc.bound = true;
    return 0;
}

int open_wake_pipe(Service &svc)
{
    int p[2];
    if (::pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0)
        return errno_result(errno);
    svc.wake_rd.reset(p[0]);
    svc.wake_wr.reset(p[1]);
    svc.spare_fd.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    return 0;
}

int start(const std::shared_ptr<Service> &svc)
{
    ServiceTable &t = service_table();
    std::lock_guard lock(t.mutex);
    int handle = t.last_handle;
    do {
        handle = handle == INT32_MAX ? 1 : handle + 1;
    } while (t.by_handle.contains(handle));
    svc->handle = handle;
    // The dispatch thread takes no signals: the process's own threads handle them.
    sigset_t all, old;
    sigfillset(&all);
    (void)::pthread_sigmask(SIG_SETMASK, &all, &old);
    const int rc = ::pthread_create(&svc->thread, nullptr, dispatch_main, svc.get());
    (void)::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0) {
        report(*svc, "cannot start the dispatch thread");
        return PLAT_ERR_IO;
    }
    t.last_handle = handle;
    t.by_handle.emplace(handle, svc);
    return handle;
}

// Leaves the name for the next owner: the socket file goes first, then the lock.
void release_name(Service &svc)
{
    if (svc.bound)
        (void)::unlink(svc.sock_path.c_str());
    (void)::flock(svc.lock_fd.get(), LOCK_UN);
}

int register_service(std::string_view name, ipc_handler_t handler)
{
    auto svc = std::make_shared<Service>();
    svc->name = std::string(name);
    svc->handler = handler;
    svc->instance = getMySwitch();
    svc->node = static_cast<uint16_t>(myNode() & 0xFFFFu);
    svc->sock_path = service_path(svc->node, name);
    if (svc->sock_path.empty()) {
        report(*svc, "socket path too long for the runtime directory");
        return PLAT_ERR_INVAL;
    }
    int rc = take_name(*svc);
    if (rc == 0)
        rc = open_listener(*svc);
    if (rc == 0)
        rc = open_wake_pipe(*svc);
    if (rc == 0)
        rc = start(svc);
    if (rc < 0)
        release_name(*svc);
    return rc;
}

} // namespace

int send_reply(std::string_view requester, uint32_t code, std::span<const uint8_t> body, const Deadline &deadline)
{
    // "@<8 hex digits>.<8 hex digits>"
    uint32_t conn_id = 0;
    uint32_t seq = 0;
    if (requester.size() != 18 || requester[0] != kReplyPrefix || requester[9] != '.')
        return PLAT_ERR_NOENT;
    const char *p = requester.data();
    if (std::from_chars(p + 1, p + 9, conn_id, 16).ptr != p + 9 ||
        std::from_chars(p + 10, p + 18, seq, 16).ptr != p + 18)
        return PLAT_ERR_NOENT;

    const std::shared_ptr<Conn> conn = find_conn(conn_id);
    if (!conn)
        return PLAT_ERR_PEERGONE;
    (void)deadline; // a reply never waits: what the socket does not take now waits on the connection
    const FrameHeader hdr = make_header(FrameKind::Reply, code, static_cast<uint32_t>(body.size()), seq, {});
    std::lock_guard lock(conn->out_mutex);
    size_t sent = 0;
    if (conn->out.empty()) {
        const ipc_timeout_t now{0, 0};
        const int rc = send_frame(conn->fd.get(), hdr, body, Deadline(&now), &sent);
        if (rc == 0)
            return 0;
        if (rc != PLAT_ERR_TIMEOUT) {
            if (sent > 0)
                (void)::shutdown(conn->fd.get(), SHUT_RDWR); // half a frame: the stream is unusable
            return rc;
        }
        conn->out_since = Clock::now();
    }
    // The dispatch thread writes the rest and reads no more requests of this
    // connection until it is out.
    const auto *h = reinterpret_cast<const uint8_t *>(&hdr);
    if (sent < sizeof hdr)
        conn->out.insert(conn->out.end(), h + sent, h + sizeof hdr);
    const size_t body_sent = sent > sizeof hdr ? sent - sizeof hdr : 0;
    conn->out.insert(conn->out.end(), body.begin() + static_cast<std::ptrdiff_t>(body_sent), body.end());
    poke(conn->wake_fd);
    return 0;
}

} // namespace plat::ipc

extern "C" {

int ipcRegisterService(const char *name, ipc_handler_t handler)
{
    if (name == nullptr || handler == nullptr)
        return PLAT_ERR_INVAL;
    const std::string_view nm(name, strnlen(name, plat::ipc::kNameMax));
    if (!plat::ipc::valid_service_name(nm))
        return PLAT_ERR_INVAL;
    try {
        return plat::ipc::register_service(nm, handler);
    } catch (const std::bad_alloc &) {
        return PLAT_ERR_NOMEM;
    }
}

int ipcUnregisterService(int service)
{
    using namespace plat::ipc;
    std::shared_ptr<Service> svc;
    {
        ServiceTable &t = service_table();
        std::lock_guard lock(t.mutex);
        auto it = t.by_handle.find(service);
        if (it == t.by_handle.end())
            return PLAT_ERR_NOENT;
        if (::pthread_equal(it->second->thread, ::pthread_self()))
            return PLAT_ERR_BUSY; // a handler cannot stop its own dispatch thread
        svc = std::move(it->second);
        t.by_handle.erase(it);
    }
    svc->stopping.store(true);
    const char stop = 1;
    while (::write(svc->wake_wr.get(), &stop, 1) < 0 && errno == EINTR) {
    }
    (void)::pthread_join(svc->thread, nullptr);
    release_name(*svc);
    return 0;
}

} // extern "C"

extern "C" int ipcLimits(ipc_limits_t *limits)
{
    if (limits == nullptr)
        return PLAT_ERR_INVAL;
    limits->outbuf = plat::ipc::outbuf_limit();
    limits->max_connections = plat::ipc::max_connections();
    limits->reply_deadline_ms = static_cast<uint32_t>(plat::ipc::reply_deadline().count());
    return 0;
}
