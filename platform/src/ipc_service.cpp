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
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "rundir.h"

namespace plat::ipc {

namespace {

constexpr size_t kStageSize = 64 * 1024; // read buffer of a connection between frames
constexpr size_t kTurnBudget = 1 << 20;  // bytes read from one connection before the others get a turn

// One accepted connection of a service.
struct Conn {
    Conn(uint32_t conn_id, UniqueFd conn_fd) : id(conn_id), fd(std::move(conn_fd)) {}

    const uint32_t id;
    UniqueFd fd;                  // closed when the last reference goes
    std::timed_mutex write_mutex; // one reply frame at a time

    // Reader state, used by the dispatch thread only.
    std::vector<uint8_t> stage = std::vector<uint8_t>(kStageSize);
    size_t stage_len = 0;
    FrameHeader cur{};
    std::unique_ptr<uint8_t[]> msg; // [request code][body], handed to the handler
    size_t msg_size = 0;
    size_t msg_have = 0;
    bool in_body = false;
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
    bool bound = false; // the socket file at sock_path is this service's
    pthread_t thread{};
    std::vector<std::shared_ptr<Conn>> conns; // dispatch thread only
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
template <class T> T &immortal()
{
    alignas(T) static unsigned char storage[sizeof(T)];
    static T *const object = std::construct_at(reinterpret_cast<T *>(storage));
    return *object;
}

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
    }
    st.by_handle.clear();
    ct.by_id.clear();
}

[[maybe_unused]] const int g_fork_guard = [] {
    conn_table();
    service_table();
    return pthread_atfork(fork_prepare, fork_parent, fork_child);
}();

void report(const Service &svc, const char *what)
{
    std::fprintf(stderr, "vorel platform: IPC service \"%s\" on node %u: %s\n", svc.name.c_str(),
                 static_cast<unsigned>(svc.node), what);
}

// ---- connections --------------------------------------------------------------

std::shared_ptr<Conn> add_conn(UniqueFd fd)
{
    ConnTable &t = conn_table();
    std::lock_guard lock(t.mutex);
    uint32_t id = t.last_id;
    do {
        ++id;
    } while (id == 0 || t.by_id.contains(id));
    t.last_id = id;
    auto conn = std::make_shared<Conn>(id, std::move(fd));
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
    const auto msg = std::move(conn.msg); // released after the handler, whatever its size
    const auto len = static_cast<uint32_t>(conn.msg_size);
    conn.msg_size = conn.msg_have = 0;
    (void)svc.handler(&requester, conn.cur.code, msg.get(), len, conn.cur.code);
}

// Starts the frame whose header is `h`; true when its body is complete.
bool begin_frame(Conn &conn, const FrameHeader &h, std::span<const uint8_t> available)
{
    conn.cur = h;
    conn.msg_size = sizeof(uint32_t) + h.length;
    conn.msg = std::make_unique_for_overwrite<uint8_t[]>(conn.msg_size);
    std::memcpy(conn.msg.get(), &h.code, sizeof h.code);
    const size_t n = std::min<size_t>(available.size(), h.length);
    std::memcpy(conn.msg.get() + sizeof(uint32_t), available.data(), n);
    conn.msg_have = sizeof(uint32_t) + n;
    return conn.msg_have == conn.msg_size;
}

// Delivers every complete frame in the stage buffer; a frame whose body is
// still on its way is read straight into its own buffer from then on.
// Returns the reason to drop the connection, or nullptr.
const char *parse_stage(const Service &svc, Conn &conn)
{
    size_t off = 0;
    while (!conn.in_body && conn.stage_len - off >= sizeof(FrameHeader)) {
        FrameHeader h;
        std::memcpy(&h, conn.stage.data() + off, sizeof h);
        if (const char *why = check_header(svc, h))
            return why;
        off += sizeof h;
        const bool complete = begin_frame(conn, h, std::span(conn.stage).subspan(off, conn.stage_len - off));
        off += conn.msg_have - sizeof(uint32_t);
        if (complete)
            deliver(svc, conn);
        else
            conn.in_body = true;
    }
    std::memmove(conn.stage.data(), conn.stage.data() + off, conn.stage_len - off);
    conn.stage_len -= off;
    return nullptr;
}

// Reads what the connection has; false when it is to be dropped.
bool serve(const Service &svc, Conn &conn)
{
    const char *why = nullptr;
    try {
        for (size_t budget = kTurnBudget; budget > 0 && why == nullptr;) {
            uint8_t *dst = conn.in_body ? conn.msg.get() + conn.msg_have : conn.stage.data() + conn.stage_len;
            const size_t room = conn.in_body ? conn.msg_size - conn.msg_have : conn.stage.size() - conn.stage_len;
            const ssize_t n = ::recv(conn.fd.get(), dst, room, MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return errno == EAGAIN || errno == EWOULDBLOCK;
            }
            if (n == 0) {
                if (conn.in_body || conn.stage_len > 0)
                    report(svc, "frame cut short by the end of the stream, connection dropped");
                return false;
            }
            budget -= std::min(budget, static_cast<size_t>(n));
            if (!conn.in_body) {
                conn.stage_len += static_cast<size_t>(n);
                why = parse_stage(svc, conn);
            } else if ((conn.msg_have += static_cast<size_t>(n)) == conn.msg_size) {
                conn.in_body = false;
                deliver(svc, conn);
            }
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

void accept_all(Service &svc)
{
    for (;;) {
        UniqueFd fd(::accept4(svc.listen_fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return; // EAGAIN, or out of descriptors: the rest waits in the backlog
        }
        svc.conns.push_back(add_conn(std::move(fd)));
    }
}

// True when the loop ended because the service is being unregistered.
bool dispatch_loop(Service &svc)
{
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({svc.wake_rd.get(), POLLIN, 0});
        fds.push_back({svc.listen_fd.get(), POLLIN, 0});
        for (const auto &conn : svc.conns)
            fds.push_back({conn->fd.get(), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR || errno == ENOMEM)
                continue;
            report(svc, "poll failed, service stopped");
            return false;
        }
        if (fds[0].revents != 0)
            return true;
        const size_t count = svc.conns.size();
        std::vector<bool> keep(count, true);
        for (size_t i = 0; i < count; ++i)
            if (fds[i + 2].revents != 0)
                keep[i] = serve(svc, *svc.conns[i]);
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
    std::unique_lock lock(conn->write_mutex, std::defer_lock);
    if (deadline.unlimited())
        lock.lock();
    else if (!lock.try_lock_until(deadline.time_point()))
        return PLAT_ERR_TIMEOUT;
    size_t sent = 0;
    const int rc =
        send_frame(conn->fd.get(), make_header(FrameKind::Reply, code, static_cast<uint32_t>(body.size()), seq, {}),
                   body, deadline, &sent);
    if (rc != 0 && sent > 0)
        (void)::shutdown(conn->fd.get(), SHUT_RDWR); // half a frame: the stream is unusable
    return rc;
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
    const char stop = 1;
    while (::write(svc->wake_wr.get(), &stop, 1) < 0 && errno == EINTR) {
    }
    (void)::pthread_join(svc->thread, nullptr);
    release_name(*svc);
    return 0;
}

} // extern "C"
