// vorel_server.cpp - life cycle of a vorel server, its "NSIPC" and
// "VORELCTL" handlers, its internal queue and the queue's consumer.
#include "vorel_server.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include <vorel.hpp>

#include "control.h"
#include "send_meter.h"
#include "server_core.h"

namespace vorel::server {

namespace {

// Records that the server posts to its own consumer carry this tag instead of
// the library's VOREL_REQ_TAG.
constexpr uint8_t kServerTag = 0x5E;
constexpr uint8_t kMarkDrain = 1; // param1/param1_hi: the drain's sequence number
constexpr uint8_t kMarkStop = 2;  // the consumer ends after this record

// The library delivers updates to client types 0 and 1 (both at "PSIPC");
// every other type is skipped without a send.
constexpr bool receives_updates(uint32_t type) { return type == 0 || type == 1; }

// ---- which server serves which switch instance of this process -------------------

std::mutex g_table_mutex;
std::shared_ptr<Core> g_table[VOREL_MAX_SWITCHES];

std::shared_ptr<Core> core_for(int instance)
{
    std::lock_guard lock(g_table_mutex);
    return instance >= 0 && instance < VOREL_MAX_SWITCHES ? g_table[instance] : nullptr;
}

// ---- heap records in the form the library takes ------------------------------------

// One block: the payload and, right after it, its destination array.
devconpld *make_payload(const Device &d, uint32_t update_type)
{
    const std::size_t n = d.destinations.size();
    auto *bytes = static_cast<unsigned char *>(std::calloc(1, sizeof(devconpld) + n * sizeof(DevInfo)));
    if (bytes == nullptr)
        return nullptr;
    auto *p = reinterpret_cast<devconpld *>(bytes);
    p->update_type = static_cast<int32_t>(update_type);
    p->src_dev = d.dev;
    p->num_dstdevices = static_cast<int32_t>(n);
    if (n > 0) {
        p->dst_devices = reinterpret_cast<DevInfo *>(bytes + sizeof(devconpld));
        std::memcpy(p->dst_devices, d.destinations.data(), n * sizeof(DevInfo));
    }
    return p;
}

// Releases a list the way the library's queued bulk operations hand it over:
// every non-NULL destination array, then the device array, then the list.
void release_list(bulkconpld *list)
{
    if (list == nullptr)
        return;
    if (list->devices != nullptr)
        for (int32_t i = 0; i < list->num_devices; ++i)
            std::free(list->devices[i].dst_devices);
    std::free(list->devices);
    std::free(list);
}

bulkconpld *make_list(std::size_t n, uint32_t update_type, const std::function<bool(devconpld &, std::size_t)> &fill)
{
    auto *list = static_cast<bulkconpld *>(std::calloc(1, sizeof(bulkconpld)));
    if (list == nullptr)
        return nullptr;
    if (n > 0) {
        list->devices = static_cast<devconpld *>(std::calloc(n, sizeof(devconpld)));
        if (list->devices == nullptr) {
            std::free(list);
            return nullptr;
        }
    }
    list->num_devices = static_cast<int32_t>(n);
    for (std::size_t i = 0; i < n; ++i) {
        list->devices[i].update_type = static_cast<int32_t>(update_type);
        if (!fill(list->devices[i], i)) {
            release_list(list);
            return nullptr;
        }
    }
    return list;
}

// ---- what the library leaves to its caller ---------------------------------------------
//
// These run in the server's switch instance with lib_mutex held: the server
// is the only writer, so nothing changes between a check and the update.

std::string pid_text(uint32_t pid)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%06x", static_cast<unsigned>(pid));
    return buf;
}

// The header's words (sync_done, total_pids) as the segment holds them, or
// nullptr when the server is not attached.  The caller holds the lock.
const uint32_t *header_words()
{
    const VorelPartCtx *c = part_vorel_glbl_array[getMySwitch()];
    gadd_t g = 0;
    void *p = nullptr;
    if (c == nullptr || c->initialized <= 0 || get_basic_block(c->shm_handle, 0, &g) < 0 ||
        gadd2ladd(c->shm_handle, g, &p) < 0)
        return nullptr;
    return static_cast<const uint32_t *>(p);
}

// A lookup whose "not stored" is an answer, not an error: the library's
// error record for it is kept out of the trace (the level is restored at
// once; library calls are serialized by lib_mutex).  A level set meanwhile
// (through the ring or a signal, applied at the library's next trace check)
// is kept: the old level comes back only over the 0 put here.
std::optional<Payload> stored(uint32_t pid, int32_t *status = nullptr)
{
    const uint32_t level = __atomic_exchange_n(&mod_VORELLIB.level, 0u, __ATOMIC_RELAXED);
    auto p = vorel::lookup(pid, status);
    uint32_t quiet = 0;
    (void)__atomic_compare_exchange_n(&mod_VORELLIB.level, &quiet, level, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
    return p;
}

// Why an initial load of `pids` would break the store (it inserts records as
// they are, so a PID stored already would be stored twice), or "".
std::string initial_load_problem(const std::vector<uint32_t> &pids)
{
    vorel::ReadLock lock;
    if (const uint32_t *h = header_words(); h != nullptr && h[0] != 0)
        return "the initial load (type 8) is over: sync done was announced; use the update mode (--type 0)";
    std::unordered_set<uint32_t> seen;
    for (const uint32_t pid : pids) {
        if (!seen.insert(pid).second)
            return "PID " + pid_text(pid) + " is listed twice";
        if (stored(pid))
            return "PID " + pid_text(pid) + " is already stored, and an initial load (type 8) only adds PIDs that " +
                   "are not; use the update mode (--type 0) to replace stored devices";
    }
    return {};
}

std::vector<uint32_t> pids_of(std::span<const Device> devices)
{
    std::vector<uint32_t> out;
    out.reserve(devices.size());
    for (const Device &d : devices)
        out.push_back(d.dev.pid);
    return out;
}

std::string size_text(uint64_t bytes)
{
    if (bytes % (1024 * 1024) == 0)
        return std::to_string(bytes / (1024 * 1024)) + " MiB";
    if (bytes % 1024 == 0)
        return std::to_string(bytes / 1024) + " KiB";
    return std::to_string(bytes) + " bytes";
}

// Why `pid` is not stored as asked.  The store grows by blocks of at most
// kStoreBlock bytes (a domain block, the largest of its shared records); when
// the segment cannot give one more, it is full.  Otherwise the library refused the device (its trace says why).
std::string not_stored_reason(uint32_t pid)
{
    constexpr uint32_t kStoreBlock = 2060;
    const VorelPartCtx *c = part_vorel_glbl_array[getMySwitch()];
    gshm_stats_t st{};
    gadd_t probe = 0;
    if (c != nullptr && gshm_get_stats(c->shm_handle, &st) == 0) {
        if (gshm_alloc(c->shm_handle, &probe, kStoreBlock) < 0)
            return "segment full: limit " + size_text(st.bytes_limit);
        (void)gshm_free(c->shm_handle, probe);
    }
    return "PID " + pid_text(pid) + " is not stored as asked (see the server's trace)";
}

// Counts the devices stored with at least the destinations they were given.
void check_stored(std::span<const Device> devices, Outcome &out)
{
    out.requested = devices.size();
    out.stored = 0;
    uint32_t first_missing = 0;
    bool missing = false;
    {
        vorel::ReadLock lock;
        std::vector<uint32_t> have;
        for (const Device &d : devices) {
            const auto p = stored(d.dev.pid);
            bool ok = p.has_value();
            if (ok) {
                have.clear();
                for (const DevInfo &x : p->destinations())
                    have.push_back(x.pid);
                std::sort(have.begin(), have.end());
                for (const DevInfo &x : d.destinations)
                    ok = ok && std::binary_search(have.begin(), have.end(), x.pid);
            }
            if (ok)
                ++out.stored;
            else if (!missing) {
                missing = true;
                first_missing = d.dev.pid;
            }
        }
    }
    if (missing)
        out.error = not_stored_reason(first_missing);
}

// ---- the consumer ------------------------------------------------------------------

// Releases what a request hands over without carrying it out.
void release_request(const VorelQueueReq &req)
{
    switch (req.req_kind) {
    case VOREL_REQ_NOTIFICATION:
        std::free(vorel_req_ptr2(&req));
        break;
    case VOREL_REQ_BULK_ADD:
    case VOREL_REQ_BULK_DEL:
        release_list(static_cast<bulkconpld *>(vorel_req_ptr1(&req)));
        break;
    case VOREL_REQ_ONLINE:
        std::free(vorel_req_ptr1(&req));
        break;
    default:
        break;
    }
}

// The direct call that a posted request stands for; then what it handed
// over is released (a notification's message is released by the call).
// False for a kind the library does not post.
bool carry_out(const VorelQueueReq &req)
{
    switch (req.req_kind) {
    case VOREL_REQ_NOTIFICATION:
        ProcessClientNotification(vorel_req_ptr2(&req), req.param3, 0, req.param1);
        return true;
    case VOREL_REQ_BULK_ADD: {
        auto *list = static_cast<bulkconpld *>(vorel_req_ptr1(&req));
        // An initial load is checked again when it runs: another one may
        // have stored its PIDs, or sync done come, since it was posted.
        std::vector<uint32_t> pids;
        for (int32_t i = 0; req.param2 == VOREL_UPD_SYNC && i < list->num_devices; ++i)
            pids.push_back(list->devices[i].src_dev.pid);
        if (req.param2 != VOREL_UPD_SYNC || initial_load_problem(pids).empty())
            (void)addPidListToVorel(list, req.param2, 0);
        release_list(list);
        return true;
    }
    case VOREL_REQ_BULK_DEL: {
        auto *list = static_cast<bulkconpld *>(vorel_req_ptr1(&req));
        (void)delPidListToVorel(list, req.param2, 0);
        release_list(list);
        return true;
    }
    case VOREL_REQ_ONLINE: {
        auto *payload = static_cast<devconpld *>(vorel_req_ptr1(&req));
        (void)addPidToVorel(payload, req.param2, 0);
        std::free(payload);
        return true;
    }
    case VOREL_REQ_DELETE:
        (void)delPidFromVorel(req.param1, 0);
        return true;
    case VOREL_REQ_DELETE_DOMAIN:
        (void)delDomainFromVorel(req.param1, 0);
        return true;
    case VOREL_REQ_SYNC:
        (void)vorelSyncDone(0);
        return true;
    default:
        return false;
    }
}

uint64_t marker_seq(const VorelQueueReq &req) { return (uint64_t{req.param1_hi} << 32) | req.param1; }

VorelQueueReq make_marker(uint8_t kind, uint64_t seq)
{
    VorelQueueReq m{};
    m.req_tag = kServerTag;
    m.req_kind = kind;
    m.param1 = static_cast<uint32_t>(seq);
    m.param1_hi = static_cast<uint32_t>(seq >> 32);
    return m;
}

void consume(const std::shared_ptr<Core> &core)
{
    SwitchScope in_instance(core->options.instance);
    for (;;) {
        VorelQueueReq req{};
        const int n = msgQReceive(core->queue, &req, sizeof req, -1);
        if (n < 0)
            return; // the queue was deleted under us
        if (n == static_cast<int>(sizeof req) && req.req_tag == kServerTag) {
            if (req.req_kind == kMarkStop)
                return;
            std::lock_guard lock(core->mutex);
            if (req.req_kind == kMarkDrain && marker_seq(req) > core->drain_reached)
                core->drain_reached = marker_seq(req);
            core->changed.notify_all();
            continue;
        }
        bool done = false;
        if (n == static_cast<int>(sizeof req) && req.req_tag == VOREL_REQ_TAG) {
            std::lock_guard lib(core->lib_mutex);
            detail::SendMeter meter(core->receivers(), core->options.send_wait);
            done = carry_out(req);
        }
        std::lock_guard lock(core->mutex);
        ++(done ? core->handled : core->malformed);
        core->changed.notify_all();
    }
}

// ---- the service handlers -----------------------------------------------------------

void reply_status(const IPCAddr *requester, uint32_t reply_code, int32_t rc)
{
    (void)ipcSend(requester, reply_code, &rc, sizeof rc, nullptr);
}

// "NSIPC": the library's request handler, serialized with everything else the
// server runs through the library.
int32_t nsipc_handler(const IPCAddr *requester, uint32_t reply_code, const void *request, uint32_t request_len,
                      uint32_t request_code)
{
    const std::shared_ptr<Core> core = core_for(getMySwitch());
    if (!core || !core->wait_running()) {
        reply_status(requester, reply_code, VOREL_E_UNINIT);
        return 0;
    }
    std::lock_guard lib(core->lib_mutex);
    const int32_t rc = ns_vorel_callback(requester, reply_code, request, request_len, request_code);
    if (request_code == IPC_REQ_ENABLE || request_code == IPC_REQ_DISABLE) {
        std::lock_guard lock(core->mutex);
        core->disabled = request_code == IPC_REQ_DISABLE;
    }
    return rc;
}

// "VORELCTL": the request buffer is the code word followed by the JSON body.
int32_t control_handler(const IPCAddr *requester, uint32_t reply_code, const void *request, uint32_t request_len,
                        uint32_t request_code)
{
    std::string reply;
    const std::shared_ptr<Core> core = core_for(getMySwitch());
    if (!core || !core->wait_running()) {
        reply = R"({"rc":-4,"error":"the server is not running"})";
    } else {
        std::string_view body;
        if (request != nullptr && request_len > sizeof(uint32_t))
            body =
                std::string_view(static_cast<const char *>(request) + sizeof(uint32_t), request_len - sizeof(uint32_t));
        reply = handle_control(core->owner, request_code, body);
        if (reply.size() > control::kMaxReply)
            reply = R"({"rc":-100,"error":"the reply does not fit in one message"})";
    }
    (void)ipcSend(requester, reply_code, reply.data(), static_cast<uint32_t>(reply.size()), nullptr);
    return 0;
}

} // namespace

// ---- Core ---------------------------------------------------------------------------

bool Core::wait_running()
{
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return state != State::Starting; });
    return state == State::Running;
}

std::vector<uint32_t> Core::receivers() const
{
    std::vector<uint32_t> out;
    if (const VorelPartCtx *c = part_vorel_glbl_array[options.instance]; c != nullptr)
        for (int32_t i = 0; i < c->num_clients && i < VOREL_MAX_CLIENTS; ++i)
            if (receives_updates(c->registeredClients[i]))
                out.push_back(c->registeredClients[i]);
    return out;
}

// ---- Server -------------------------------------------------------------------------

namespace {

// Undoes whatever start() got done, in the reverse order.  Called without
// lib_mutex: a handler may be waiting for it, and unregistering a service
// waits for its handler.
void teardown(Core &c, bool library_started)
{
    SwitchScope in_instance(c.options.instance);
    if (c.control_service > 0)
        (void)ipcUnregisterService(c.control_service);
    if (c.nsipc_service > 0)
        (void)ipcUnregisterService(c.nsipc_service);
    c.control_service = c.nsipc_service = 0;
    {
        std::lock_guard lock(g_table_mutex);
        if (auto &slot = g_table[c.options.instance]; slot.get() == &c)
            slot.reset();
    }
    if (c.consumer.joinable()) {
        // Everything queued before the stop record is carried out.
        const VorelQueueReq stop = make_marker(kMarkStop, 0);
        if (msgQSend(c.queue, &stop, sizeof stop, -1, 1) == 0)
            c.consumer.join();
        else
            c.consumer.detach(); // cannot happen while the queue exists
    }
    if (c.queue != 0) {
        // Posted after the stop record: nobody will carry it out.
        VorelQueueReq req{};
        while (msgQReceive(c.queue, &req, sizeof req, 0) == static_cast<int>(sizeof req))
            if (req.req_tag == VOREL_REQ_TAG)
                release_request(req);
        (void)msgQDelete(c.queue);
    }
    // Update messages still queued for slow receivers get a bounded time to
    // drain; then their connections close.
    const auto drain_ms = static_cast<uint64_t>(c.options.stop_drain.count());
    const ipc_timeout_t drain{static_cast<uint32_t>(drain_ms / 1000), static_cast<uint32_t>(drain_ms % 1000 * 1000)};
    (void)ipcSendDrain(&drain);
    if (library_started) {
        std::lock_guard lib(c.lib_mutex);
        (void)vorellibUnInit();
    }
}

} // namespace

Server::Server(Options options) : core_(std::make_shared<Core>(*this, options)) {}

Server::~Server() { stop(); }

int32_t Server::start()
{
    Core &c = *core_;
    const int inst = c.options.instance;
    {
        std::lock_guard lock(c.mutex);
        if (c.state != State::Stopped) {
            c.error = "the server is already running";
            return PLAT_ERR_BUSY;
        }
        c.state = State::Starting;
        c.error.clear();
        c.handled = c.posted = c.malformed = c.drain_asked = c.drain_reached = 0;
        c.disabled = false;
        for (uint32_t t = 0; t < IPC_SEND_TAGS; ++t)
            (void)ipcSendStats(t, &c.counts_at_start[t]);
    }
    bool library_started = false;
    auto fail = [&](int32_t rc, std::string why) {
        {
            std::lock_guard lock(c.mutex);
            c.state = State::Stopping; // handlers waiting for the start give up
            c.error = std::move(why);
            c.changed.notify_all();
        }
        teardown(c, library_started);
        std::lock_guard lock(c.mutex);
        c.queue = 0;
        c.state = State::Stopped;
        c.changed.notify_all();
        return rc;
    };
    const std::string where = "switch instance " + std::to_string(inst);
    if (inst < 0 || inst >= VOREL_MAX_SWITCHES)
        return fail(PLAT_ERR_INVAL, "no " + where + " (0 to 127)");

    // Handlers register with the switch instance of the registering thread.
    SwitchScope in_instance(inst);
    bool taken = false;
    {
        std::lock_guard lock(g_table_mutex);
        taken = g_table[inst] != nullptr;
        if (!taken)
            g_table[inst] = core_;
    }
    if (taken)
        return fail(PLAT_ERR_BUSY, "a vorel server is already running for " + where + " in this process");
    // "NSIPC" first: owning it is what makes this the one server of the
    // instance, and nothing may touch the database before that is settled.
    const int nsipc = ipcRegisterService(VOREL_SERVER_SVC_NAME, nsipc_handler);
    if (nsipc < 0) {
        if (nsipc == PLAT_ERR_BUSY)
            return fail(nsipc, "a vorel server is already running for " + where + ": another process owns \"" +
                                   VOREL_SERVER_SVC_NAME + "\"");
        return fail(nsipc, "cannot register \"" + std::string(VOREL_SERVER_SVC_NAME) +
                               "\" (rc=" + std::to_string(nsipc) + ")");
    }
    c.nsipc_service = nsipc;
    // The one server of the instance replaces a trace ring that readers refuse.
    if (log_ring_renew(inst) == 1)
        std::fprintf(stderr,
                     "vorel server: trace ring of switch instance %d was from another version or corrupt; "
                     "replaced\n",
                     inst);

    int32_t init_rc = 0;
    int32_t create_rc = 0;
    {
        std::lock_guard lib(c.lib_mutex);
        init_rc = vorellibInit();
        library_started = init_rc == 0;
        if (library_started && c.options.create_database)
            create_rc = initVorelSrvr();
    }
    if (init_rc != 0)
        return fail(init_rc, "vorellibInit failed for " + where + " (rc=" + std::to_string(init_rc) + ")");
    if (create_rc != 0)
        return fail(create_rc, "initVorelSrvr failed for " + where + " (rc=" + std::to_string(create_rc) + ")");

    uint32_t q = 0;
    if (const int rc = msgQCreate(c.options.queue_capacity, sizeof(VorelQueueReq), &q); rc != 0)
        return fail(rc, "cannot create the internal queue (rc=" + std::to_string(rc) + ")");
    c.queue = q;
    c.consumer = std::thread(consume, core_);

    if (c.options.control_service) {
        const int ctl = ipcRegisterService(control::kServiceName, control_handler);
        if (ctl < 0)
            return fail(ctl, "cannot register \"" + std::string(control::kServiceName) +
                                 "\" (rc=" + std::to_string(ctl) + ")");
        c.control_service = ctl;
    }

    std::lock_guard lock(c.mutex);
    c.state = State::Running;
    c.changed.notify_all();
    return 0;
}

void Server::stop()
{
    Core &c = *core_;
    {
        std::lock_guard lock(c.mutex);
        if (c.state != State::Running)
            return;
        c.state = State::Stopping;
        c.changed.notify_all();
    }
    teardown(c, true);
    std::lock_guard lock(c.mutex);
    c.queue = 0;
    c.state = State::Stopped;
    c.changed.notify_all();
}

bool Server::running() const
{
    std::lock_guard lock(core_->mutex);
    return core_->state == State::Running;
}

std::string Server::error() const
{
    std::lock_guard lock(core_->mutex);
    return core_->error;
}

int Server::instance() const { return core_->options.instance; }

uint32_t Server::queue() const
{
    std::lock_guard lock(core_->mutex);
    return core_->state == State::Running ? core_->queue : 0;
}

void Server::run_locked(const std::function<void()> &fn)
{
    std::lock_guard lib(core_->lib_mutex);
    SwitchScope in_instance(core_->options.instance);
    detail::SendMeter meter(core_->receivers(), core_->options.send_wait);
    fn();
}

namespace {

// Runs one library operation for a Server method: refused when the server is
// not running (the library's context may not exist then).
template <class F> int32_t checked(Server &s, Core &c, F &&op)
{
    int32_t rc = VOREL_E_UNINIT;
    s.run([&] {
        bool up;
        {
            std::lock_guard lock(c.mutex);
            up = c.state == State::Running;
        }
        if (up)
            rc = op();
    });
    return rc;
}

// After a queued call: a record the library accepted belongs to the consumer;
// one it refused is still ours.
template <class T, class Release> int32_t settle(Core &c, T *record, int32_t rc, bool queued, Release release)
{
    if (queued && rc == 0) {
        std::lock_guard lock(c.mutex);
        ++c.posted;
    } else {
        release(record);
    }
    return rc;
}

} // namespace

int32_t Server::add_device(const Device &device, uint32_t update_type, bool queued, Outcome *outcome)
{
    devconpld *p = make_payload(device, update_type);
    if (p == nullptr)
        return VOREL_E_NOMEM;
    Outcome out;
    const int32_t rc = checked(*this, *core_, [&] {
        const int32_t r = addPidToVorel(p, update_type, queued ? queue() : 0);
        if (r != 0 || queued)
            return r;
        check_stored(std::span(&device, 1), out);
        return out.stored == out.requested ? 0 : control::kErrNotStored;
    });
    if (outcome != nullptr)
        *outcome = std::move(out);
    return settle(*core_, p, rc, queued, [](devconpld *r) { std::free(r); });
}

int32_t Server::delete_device(uint32_t pid, bool queued, Outcome *outcome)
{
    Outcome out;
    out.requested = 1;
    const int32_t rc = checked(*this, *core_, [&] {
        {
            // Refused only when the store answers "not stored"; any other
            // failure is the library's to report below.
            vorel::ReadLock lock;
            int32_t found = 0;
            if (!stored(pid, &found) && found == VOREL_E_FAIL) {
                out.error = "PID " + pid_text(pid) + " is not stored";
                return control::kErrRefused;
            }
        }
        const int32_t r = delPidFromVorel(pid, queued ? queue() : 0);
        if (r != 0 || queued)
            return r;
        vorel::ReadLock lock;
        if (stored(pid)) {
            out.error = "PID " + pid_text(pid) + " is still stored";
            return control::kErrNotStored;
        }
        out.stored = 1;
        return int32_t{0};
    });
    if (outcome != nullptr)
        *outcome = std::move(out);
    if (queued && rc == 0) {
        std::lock_guard lock(core_->mutex);
        ++core_->posted;
    }
    return rc;
}

int32_t Server::delete_domain(uint32_t domain, bool queued, Outcome *outcome)
{
    Outcome out;
    const int32_t rc = checked(*this, *core_, [&] {
        uint32_t before = 0;
        uint32_t after = 0;
        (void)getCountFromVorel(&before);
        const int32_t r = delDomainFromVorel(domain, queued ? queue() : 0);
        if (r == 0 && !queued && getCountFromVorel(&after) == 0 && after <= before)
            out.requested = out.stored = before - after;
        return r;
    });
    if (outcome != nullptr)
        *outcome = std::move(out);
    if (queued && rc == 0) {
        std::lock_guard lock(core_->mutex);
        ++core_->posted;
    }
    return rc;
}

int32_t Server::add_list(std::span<const Device> devices, uint32_t update_type, bool queued, Outcome *outcome)
{
    bulkconpld *list = make_list(devices.size(), update_type, [&](devconpld &rec, std::size_t i) {
        const Device &d = devices[i];
        rec.src_dev = d.dev;
        rec.num_dstdevices = static_cast<int32_t>(d.destinations.size());
        if (d.destinations.empty())
            return true;
        rec.dst_devices = static_cast<DevInfo *>(std::malloc(d.destinations.size() * sizeof(DevInfo)));
        if (rec.dst_devices == nullptr)
            return false;
        std::memcpy(rec.dst_devices, d.destinations.data(), d.destinations.size() * sizeof(DevInfo));
        return true;
    });
    if (list == nullptr)
        return VOREL_E_NOMEM;
    Outcome out;
    out.requested = devices.size();
    const int32_t rc = checked(*this, *core_, [&] {
        if (update_type == VOREL_UPD_SYNC)
            if (out.error = initial_load_problem(pids_of(devices)); !out.error.empty())
                return control::kErrRefused;
        const int32_t r = addPidListToVorel(list, update_type, queued ? queue() : 0);
        if (r != 0 || queued)
            return r;
        check_stored(devices, out);
        return out.stored == out.requested ? 0 : control::kErrNotStored;
    });
    if (outcome != nullptr)
        *outcome = std::move(out);
    return settle(*core_, list, rc, queued, release_list);
}

int32_t Server::delete_list(std::span<const uint32_t> pids, uint32_t update_type, bool queued, Outcome *outcome)
{
    bulkconpld *list = make_list(pids.size(), update_type, [&](devconpld &rec, std::size_t i) {
        rec.src_dev.pid = pids[i];
        return true;
    });
    if (list == nullptr)
        return VOREL_E_NOMEM;
    Outcome out;
    out.requested = pids.size();
    const int32_t rc = checked(*this, *core_, [&] {
        // A PID that is not stored before the call is not removed by it.
        std::vector<uint32_t> absent;
        if (!queued) {
            vorel::ReadLock lock;
            for (const uint32_t pid : pids)
                if (!stored(pid))
                    absent.push_back(pid);
        }
        const int32_t r = delPidListToVorel(list, update_type, queued ? queue() : 0);
        if (r != 0 || queued)
            return r;
        uint64_t left = 0;
        {
            vorel::ReadLock lock;
            for (const uint32_t pid : pids)
                left += stored(pid) ? 1 : 0;
        }
        out.stored = out.requested - left - absent.size();
        if (!absent.empty())
            out.error = "PID " + pid_text(absent.front()) + " is not stored";
        else if (left != 0)
            out.error = std::to_string(left) + " of the PIDs are still stored";
        return out.stored == out.requested ? int32_t{0} : control::kErrNotStored;
    });
    if (outcome != nullptr)
        *outcome = std::move(out);
    return settle(*core_, list, rc, queued, release_list);
}

int32_t Server::sync_done(bool queued)
{
    const int32_t rc = checked(*this, *core_, [&] { return vorelSyncDone(queued ? queue() : 0); });
    if (queued && rc == 0) {
        std::lock_guard lock(core_->mutex);
        ++core_->posted;
    }
    return rc;
}

void Server::set_fabric_loader(FabricLoader loader)
{
    std::lock_guard lib(core_->lib_mutex);
    core_->loader = std::move(loader);
}

void Server::set_domain_hook(DomainHook hook)
{
    std::lock_guard lib(core_->lib_mutex);
    core_->domain_hook = std::move(hook);
}

void Server::add_domains(const std::vector<uint8_t> &domains)
{
    std::lock_guard lib(core_->lib_mutex);
    if (core_->domain_hook && !domains.empty())
        core_->domain_hook(domains);
}

bool Server::disabled() const
{
    std::lock_guard lock(core_->mutex);
    return core_->disabled;
}

int32_t Server::load_file(const std::string &path, uint32_t update_type, bool queued, std::string &error)
{
    FabricLoader loader;
    {
        std::lock_guard lib(core_->lib_mutex);
        loader = core_->loader;
    }
    if (!loader) {
        error = "this server has no fabric-file loader";
        return control::kErrFabricFile;
    }
    std::vector<Device> devices;
    if (const int32_t rc = loader(path, devices, error); rc != 0) {
        if (error.empty())
            error = "cannot load " + path;
        return rc < 0 ? rc : control::kErrFabricFile;
    }
    return add_list(devices, update_type, queued);
}

bool Server::drain(std::chrono::milliseconds timeout)
{
    Core &c = *core_;
    uint64_t seq = 0;
    uint32_t q = 0;
    {
        std::lock_guard lock(c.mutex);
        if (c.state != State::Running)
            return false;
        seq = ++c.drain_asked;
        q = c.queue;
    }
    const VorelQueueReq mark = make_marker(kMarkDrain, seq);
    if (msgQSend(q, &mark, sizeof mark, static_cast<int32_t>(timeout.count()), 1) != 0)
        return false;
    std::unique_lock lock(c.mutex);
    return c.changed.wait_for(lock, timeout, [&] { return c.drain_reached >= seq; });
}

uint64_t Server::handled() const
{
    std::lock_guard lock(core_->mutex);
    return core_->handled;
}

bool Server::wait_handled(uint64_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(core_->mutex);
    return core_->changed.wait_for(lock, timeout, [&] { return core_->handled >= n; });
}

Stats Server::stats() const
{
    Core &c = *core_;
    Stats s;
    {
        std::lock_guard lib(c.lib_mutex);
        bool up;
        {
            std::lock_guard lock(c.mutex);
            up = c.state == State::Running;
        }
        if (up) {
            SwitchScope in_instance(c.options.instance);
            s.revision = getCurrentRevisionNum();
            if (const VorelPartCtx *ctx = part_vorel_glbl_array[c.options.instance]; ctx != nullptr)
                for (int32_t i = 0; i < ctx->num_clients && i < VOREL_MAX_CLIENTS; ++i)
                    s.registered.push_back(ctx->registeredClients[i]);
        }
    }
    std::lock_guard lock(c.mutex);
    std::map<uint32_t, ClientStats> clients;
    for (uint32_t t = 0; t < IPC_SEND_TAGS; ++t) {
        ipc_send_stats_t now{};
        if (ipcSendStats(t, &now) != 0)
            continue;
        const ipc_send_stats_t &base = c.counts_at_start[t];
        if (now.sent == base.sent && now.queued == 0)
            continue;
        ClientStats &cs = clients[t];
        cs.type = t;
        cs.delivered = now.delivered - base.delivered;
        cs.failed = now.failed - base.failed;
        cs.queued = now.queued;
        cs.queued_bytes = now.queued_bytes;
        cs.oldest_ms = now.oldest_ms;
        cs.cutoffs = now.cutoffs - base.cutoffs;
    }
    for (const uint32_t t : s.registered) {
        clients[t].type = t;
        clients[t].registered = true;
    }
    (void)ipcLimits(&s.limits);
    for (const auto &entry : clients)
        s.clients.push_back(entry.second);
    s.handled = c.handled;
    s.queue_depth = c.posted > c.handled ? c.posted - c.handled : 0;
    s.malformed = c.malformed;
    return s;
}

std::string Server::control(uint32_t code, std::string_view body) { return handle_control(*this, code, body); }

} // namespace vorel::server
