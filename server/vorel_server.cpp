// vorel_server.cpp - life cycle of a vorel server, its "NSIPC" and
// "VORELCTL" handlers, its internal queue and the queue's consumer.
#include "vorel_server.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
            detail::SendMeter meter;
            done = carry_out(req);
            core->account(meter.results());
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
    return ns_vorel_callback(requester, reply_code, request, request_len, request_code);
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

void Core::account(const std::vector<int> &send_results)
{
    if (send_results.empty())
        return;
    // Each delivery sends to the types that can receive updates, in registry
    // order, so the k-th send of a call went to the (k mod n)-th of them.
    std::vector<uint32_t> receivers;
    if (const VorelPartCtx *c = part_vorel_glbl_array[options.instance]; c != nullptr)
        for (int32_t i = 0; i < c->num_clients && i < VOREL_MAX_CLIENTS; ++i)
            if (receives_updates(c->registeredClients[i]))
                receivers.push_back(c->registeredClients[i]);
    if (receivers.empty())
        return;
    std::lock_guard lock(mutex);
    for (std::size_t k = 0; k < send_results.size(); ++k) {
        ClientStats &s = clients[receivers[k % receivers.size()]];
        s.type = receivers[k % receivers.size()];
        ++(send_results[k] < 0 ? s.failed : s.delivered);
    }
    changed.notify_all();
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
        c.clients.clear();
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
    detail::SendMeter meter;
    fn();
    core_->account(meter.results());
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

int32_t Server::add_device(const Device &device, uint32_t update_type, bool queued)
{
    devconpld *p = make_payload(device, update_type);
    if (p == nullptr)
        return VOREL_E_NOMEM;
    const int32_t rc = checked(*this, *core_, [&] { return addPidToVorel(p, update_type, queued ? queue() : 0); });
    return settle(*core_, p, rc, queued, [](devconpld *r) { std::free(r); });
}

int32_t Server::delete_device(uint32_t pid, bool queued)
{
    const int32_t rc = checked(*this, *core_, [&] { return delPidFromVorel(pid, queued ? queue() : 0); });
    if (queued && rc == 0) {
        std::lock_guard lock(core_->mutex);
        ++core_->posted;
    }
    return rc;
}

int32_t Server::delete_domain(uint32_t domain, bool queued)
{
    const int32_t rc = checked(*this, *core_, [&] { return delDomainFromVorel(domain, queued ? queue() : 0); });
    if (queued && rc == 0) {
        std::lock_guard lock(core_->mutex);
        ++core_->posted;
    }
    return rc;
}

int32_t Server::add_list(std::span<const Device> devices, uint32_t update_type, bool queued)
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
    const int32_t rc =
        checked(*this, *core_, [&] { return addPidListToVorel(list, update_type, queued ? queue() : 0); });
    return settle(*core_, list, rc, queued, release_list);
}

int32_t Server::delete_list(std::span<const uint32_t> pids, uint32_t update_type, bool queued)
{
    bulkconpld *list = make_list(pids.size(), update_type, [&](devconpld &rec, std::size_t i) {
        rec.src_dev.pid = pids[i];
        return true;
    });
    if (list == nullptr)
        return VOREL_E_NOMEM;
    const int32_t rc =
        checked(*this, *core_, [&] { return delPidListToVorel(list, update_type, queued ? queue() : 0); });
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
    std::map<uint32_t, ClientStats> clients = c.clients;
    for (const uint32_t t : s.registered) {
        clients[t].type = t;
        clients[t].registered = true;
    }
    for (const auto &entry : clients)
        s.clients.push_back(entry.second);
    s.handled = c.handled;
    s.queue_depth = c.posted > c.handled ? c.posted - c.handled : 0;
    s.malformed = c.malformed;
    return s;
}

std::string Server::control(uint32_t code, std::string_view body) { return handle_control(*this, code, body); }

} // namespace vorel::server
