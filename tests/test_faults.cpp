// Platform failures at every call site.  A scripted server workload (segment
// creation, client requests over the platform's IPC, initial load, sync done,
// replacements, removals, bulk add and delete, queued requests through a
// queue consumer, domain removal, queries and the dump) runs in a forked
// child once per N = 1, 2, ... with the N-th call of one service failing,
// until a run makes fewer than N calls of it.  Each run must end without a
// crash, with every result one that the failing operation may give, with a
// store that the verifier can walk and whose findings agree with what the
// library reports, with no shared block lost where no failure can lose one,
// and the same workload must then succeed on a fresh segment.  Targeted cases
// below check the exact state that single failures leave.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "heap_fail.h"
#include "ipc_double.h"
#include "lock.h"
#include "proc.h"
#include "store_fixture.h"
#include "vorel_db.h"

// The verifier behind `vorel check`, compiled into this program.
#include "../tools/pid.cpp"
#include "../tools/verify.cpp"

VTEST_HEAP_FAIL();

// LeakSanitizer's check, present when the program is sanitized.  A forked
// child leaves with _exit(), which skips the check made at exit: children
// ask for it themselves.
extern "C" int __lsan_do_recoverable_leak_check(void) __attribute__((weak));

namespace {

// ---- the services, counted on their way to the platform -------------------------------

enum Svc : int { kAlloc, kFree, kAvail, kG2L, kGetBB, kSetBB, kIpcSend, kIpcSendRcv, kMsgQSend, kHeap, kNumSvc };
constexpr std::array<const char *, kNumSvc> kSvcName = {
    "gshm_alloc",      "gshm_free", "gshm_availability", "gadd2ladd", "get_basic_block",
    "set_basic_block", "ipcSend",   "ipcSendRcv",        "msgQSend",  "heap"};

std::atomic<bool> g_counting{false};
std::array<std::atomic<uint32_t>, kNumSvc> g_calls{};
// ipcSend call numbers (while counting) that answered a request.
std::vector<uint32_t> g_reply_sends;
// A gadd whose resolution fails (0: none), and how many more times.
std::atomic<gadd_t> g_fail_gadd{0};
std::atomic<int> g_fail_gadd_times{0};

uint32_t count(Svc s)
{
    if (!g_counting.load(std::memory_order_relaxed))
        return 0;
    return g_calls[s].fetch_add(1) + 1;
}

template <class Fn> Fn next_fn(const char *name) { return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name)); }

} // namespace

extern "C" {

int gshm_alloc(gshm_handle_t h, gadd_t *gadd, uint32_t size)
{
    static const auto real = next_fn<int (*)(gshm_handle_t, gadd_t *, uint32_t)>("gshm_alloc");
    count(kAlloc);
    return real(h, gadd, size);
}

int gshm_free(gshm_handle_t h, gadd_t gadd)
{
    static const auto real = next_fn<int (*)(gshm_handle_t, gadd_t)>("gshm_free");
    count(kFree);
    return real(h, gadd);
}

int gshm_availability(gshm_handle_t h)
{
    static const auto real = next_fn<int (*)(gshm_handle_t)>("gshm_availability");
    count(kAvail);
    return real(h);
}

int gadd2ladd(gshm_handle_t h, gadd_t gadd, void **ladd)
{
    static const auto real = next_fn<int (*)(gshm_handle_t, gadd_t, void **)>("gadd2ladd");
    count(kG2L);
    if (gadd != 0 && gadd == g_fail_gadd.load() && g_fail_gadd_times.load() > 0) {
        if (g_fail_gadd_times.fetch_sub(1) == 1)
            g_fail_gadd.store(0);
        return PLAT_ERR_INJECTED;
    }
    return real(h, gadd, ladd);
}

int get_basic_block(gshm_handle_t h, uint32_t block, gadd_t *gadd)
{
    static const auto real = next_fn<int (*)(gshm_handle_t, uint32_t, gadd_t *)>("get_basic_block");
    count(kGetBB);
    return real(h, block, gadd);
}

int set_basic_block(gshm_handle_t h, uint32_t block, const gadd_t *gadd)
{
    static const auto real = next_fn<int (*)(gshm_handle_t, uint32_t, const gadd_t *)>("set_basic_block");
    count(kSetBB);
    return real(h, block, gadd);
}

int ipcSend(const IPCAddr *addr, uint32_t code, const void *body, uint32_t len, const ipc_timeout_t *timeout)
{
    static const auto real =
        next_fn<int (*)(const IPCAddr *, uint32_t, const void *, uint32_t, const ipc_timeout_t *)>("ipcSend");
    const uint32_t n = count(kIpcSend);
    if (n != 0 && addr != nullptr && addr->name[0] == '@') {
        vtest::heap::Pause pause;
        g_reply_sends.push_back(n);
    }
    return real(addr, code, body, len, timeout);
}

int ipcSendRcv(const IPCAddr *addr, uint32_t code, const void *body, uint32_t len, void *reply, uint32_t *reply_len,
               const ipc_timeout_t *timeout)
{
    static const auto real =
        next_fn<int (*)(const IPCAddr *, uint32_t, const void *, uint32_t, void *, uint32_t *, const ipc_timeout_t *)>(
            "ipcSendRcv");
    count(kIpcSendRcv);
    return real(addr, code, body, len, reply, reply_len, timeout);
}

int msgQSend(uint32_t queue, const void *msg, uint32_t len, int32_t timeout, int32_t priority)
{
    static const auto real = next_fn<int (*)(uint32_t, const void *, uint32_t, int32_t, int32_t)>("msgQSend");
    count(kMsgQSend);
    return real(queue, msg, len, timeout, priority);
}

} // extern "C"

namespace {

using vtest::dev_of;
constexpr int kInstance = 21;

bool slow_target() { return std::getenv("VOREL_SLOW_TARGET") != nullptr; }

// ---- heap records as the server hands them over ------------------------------------------

// A payload in one heap block, destinations inside it (what a queued
// addPidToVorel may release with one free()).
devconpld *heap_payload(uint32_t pid, const std::vector<uint32_t> &dests)
{
    vtest::heap::Pause pause;
    const size_t n = dests.size();
    auto *p = static_cast<devconpld *>(std::calloc(1, sizeof(devconpld) + n * sizeof(DevInfo)));
    p->src_dev = dev_of(pid);
    p->num_dstdevices = static_cast<int32_t>(n);
    p->dst_devices = n > 0 ? reinterpret_cast<DevInfo *>(p + 1) : nullptr;
    for (size_t i = 0; i < n; ++i)
        p->dst_devices[i] = dev_of(dests[i]);
    return p;
}

struct DeviceLinks {
    uint32_t pid;
    std::vector<uint32_t> dests;
};

// A list as separate heap blocks: the list, its devices, each destination array.
bulkconpld *heap_list(const std::vector<DeviceLinks> &devs)
{
    vtest::heap::Pause pause;
    auto *l = static_cast<bulkconpld *>(std::calloc(1, sizeof(bulkconpld)));
    l->num_devices = static_cast<int32_t>(devs.size());
    l->devices = static_cast<devconpld *>(std::calloc(devs.size() + 1, sizeof(devconpld)));
    for (size_t i = 0; i < devs.size(); ++i) {
        devconpld &d = l->devices[i];
        d.src_dev = dev_of(devs[i].pid);
        d.num_dstdevices = static_cast<int32_t>(devs[i].dests.size());
        if (!devs[i].dests.empty()) {
            d.dst_devices = static_cast<DevInfo *>(std::calloc(devs[i].dests.size(), sizeof(DevInfo)));
            for (size_t k = 0; k < devs[i].dests.size(); ++k)
                d.dst_devices[k] = dev_of(devs[i].dests[k]);
        }
    }
    return l;
}

void free_list(bulkconpld *l)
{
    if (l == nullptr)
        return;
    for (int32_t i = 0; i < l->num_devices; ++i)
        std::free(l->devices[i].dst_devices);
    std::free(l->devices);
    std::free(l);
}

// The server's queue consumer: carries out every posted request with queue 0
// and releases what the request handed over.
void consume(uint32_t queue)
{
    for (;;) {
        VorelQueueReq r{};
        if (msgQReceive(queue, &r, sizeof r, 0) != static_cast<int>(sizeof r))
            return;
        switch (r.req_kind) {
        case VOREL_REQ_NOTIFICATION:
            ProcessClientNotification(vorel_req_ptr2(&r), r.param3, 0, r.param1);
            break;
        case VOREL_REQ_BULK_ADD: {
            auto *l = static_cast<bulkconpld *>(vorel_req_ptr1(&r));
            (void)addPidListToVorel(l, r.param2, 0);
            vtest::heap::Pause pause;
            free_list(l);
            break;
        }
        case VOREL_REQ_BULK_DEL: {
            auto *l = static_cast<bulkconpld *>(vorel_req_ptr1(&r));
            (void)delPidListToVorel(l, r.param2, 0);
            vtest::heap::Pause pause;
            free_list(l);
            break;
        }
        case VOREL_REQ_ONLINE: {
            auto *p = static_cast<devconpld *>(vorel_req_ptr1(&r));
            (void)addPidToVorel(p, r.param2, 0);
            vtest::heap::Pause pause;
            std::free(p);
            break;
        }
        case VOREL_REQ_DELETE:
            (void)delPidFromVorel(r.param1, 0);
            break;
        case VOREL_REQ_DELETE_DOMAIN:
            (void)delDomainFromVorel(r.param1, 0);
            break;
        case VOREL_REQ_SYNC:
            (void)vorelSyncDone(0);
            break;
        default:
            break;
        }
    }
}

// ---- the workload -------------------------------------------------------------------------

// A device PID of domain d, port p.
constexpr uint32_t P(uint32_t d, uint32_t p) { return d << 16 | p << 8; }

int count_cb(devconpld *p, void *arg)
{
    auto *pids = static_cast<std::vector<uint32_t> *>(arg);
    vtest::heap::Pause pause;
    pids->push_back(p->src_dev.pid);
    return 0;
}

// One operation's result and the results it may give.
struct Result {
    const char *op;
    int32_t rc;
    std::vector<int32_t> allowed; // empty: any PLAT_ERR_* or 0 (a request's send result)
};

struct Run {
    std::vector<Result> results;
    bool started = false; // initVorelSrvr succeeded
};

bool is_platform_error(int32_t rc) { return rc <= PLAT_ERR_INVAL && rc >= PLAT_ERR_INJECTED; }

// Runs the scripted workload as the server of kInstance, whose NSIPC service
// and queue exist already.
Run workload(uint32_t queue)
{
    Run run;
    auto rec = [&](const char *op, int32_t rc, std::vector<int32_t> allowed) {
        vtest::heap::Pause pause;
        run.results.push_back(Result{op, rc, std::move(allowed)});
    };
    const int32_t init = initVorelSrvr();
    rec("initVorelSrvr", init, {0, VOREL_E_HDRALLOC, VOREL_E_SETBLOCK, VOREL_E_MAP, VOREL_E_SEGMENT});
    if (init != 0)
        return run;
    run.started = true;

    // Client types: 0 and 1 receive at "PSIPC", 2 has no address, 4 is never told.
    for (const uint32_t type : {0u, 1u, 2u, 4u})
        rec("registerVorelClient", registerVorelClient(type), {});

    // Initial load: 12 devices in three domains; one with 70 destinations
    // (two blocks), several of them not stored.
    std::vector<DeviceLinks> load = {
        {P(1, 1), {P(1, 2), P(1, 3), P(2, 1)}},
        {P(1, 2), {P(1, 1), P(2, 2)}},
        {P(1, 3), {P(1, 1)}},
        {P(1, 4), {}},
        {P(1, 5), {P(2, 1), P(3, 1)}},
        {P(2, 1), {P(1, 1), P(1, 5)}},
        {P(2, 2), {P(1, 2), P(2, 3)}},
        {P(2, 3), {P(2, 2)}},
        {P(3, 1), {P(1, 5), P(3, 2)}},
        {P(3, 2), {P(3, 1)}},
        {P(3, 3), {}},
        {P(1, 6), {}},
    };
    for (uint32_t i = 0; i < 70; ++i)
        load[11].dests.push_back(P(4, i + 1));
    bulkconpld *initial = heap_list(load);
    rec("addPidListToVorel(8)", addPidListToVorel(initial, VOREL_UPD_SYNC, 0), {0, VOREL_E_NOMEM, VOREL_E_NOHDR});
    {
        vtest::heap::Pause pause;
        free_list(initial);
    }
    rec("vorelSyncDone", vorelSyncDone(0), {0, VOREL_E_NOHDR});

    // Replacement and a new device.
    vtest::Payload repl(P(1, 2), {P(1, 3), P(2, 3), P(1, 6)});
    rec("addPidToVorel(replace)", addPidToVorel(repl.get(), VOREL_UPD_DEV_ONLINE, 0), {0, VOREL_E_NOMEM, VOREL_E_FAIL});
    vtest::Payload fresh(P(1, 7), {P(1, 1), P(2, 1)});
    rec("addPidToVorel(new)", addPidToVorel(fresh.get(), VOREL_UPD_DEV_ONLINE_ALT, 0),
        {0, VOREL_E_NOMEM, VOREL_E_FAIL});
    rec("delPidFromVorel", delPidFromVorel(P(2, 2), 0), {0});

    // Bulk add (one replacement, one new) and bulk delete (one absent).
    bulkconpld *add = heap_list({{P(3, 1), {P(3, 2), P(3, 3)}}, {P(3, 4), {P(3, 1), P(1, 4)}}});
    rec("addPidListToVorel(0)", addPidListToVorel(add, VOREL_UPD_DEV_ONLINE, 0), {0, VOREL_E_NOMEM, VOREL_E_NOHDR});
    bulkconpld *del = heap_list({{P(3, 2), {}}, {P(3, 0x7F), {}}});
    rec("delPidListToVorel", delPidListToVorel(del, VOREL_UPD_LIST_OFFLINE, 0), {0, VOREL_E_NOMEM});
    {
        vtest::heap::Pause pause;
        free_list(add);
        free_list(del);
    }

    // Queued requests, carried out by the consumer.
    rec("addPidToVorel(queued)", addPidToVorel(heap_payload(P(1, 8), {P(1, 1), P(1, 4)}), VOREL_UPD_DEV_ONLINE, queue),
        {0});
    rec("delPidFromVorel(queued)", delPidFromVorel(P(1, 3), queue), {0});
    rec("addPidListToVorel(queued)",
        addPidListToVorel(heap_list({{P(2, 4), {P(2, 1)}}, {P(1, 9), {P(2, 4)}}}), VOREL_UPD_DEV_ONLINE, queue), {0});
    rec("delPidListToVorel(queued)", delPidListToVorel(heap_list({{P(1, 9), {}}}), VOREL_UPD_DOM_OFFLINE, queue), {0});
    rec("delDomainFromVorel(queued)", delDomainFromVorel(2, queue), {0});
    rec("vorelSyncDone(queued)", vorelSyncDone(queue), {0});
    consume(queue);

    // A whole domain at once.
    rec("delDomainFromVorel", delDomainFromVorel(3, 0), {0});

    // Queries and the dump, under the read lock as a client would run them.
    {
        vorel::ReadLock lock(vorel::ctx()->rwlock);
        uint32_t n = 0;
        rec("getCountFromVorel", getCountFromVorel(&n), {0, VOREL_E_NOHDR});
        std::vector<uint32_t> seen;
        {
            vtest::heap::Pause pause;
            seen.reserve(64);
        }
        rec("getEachPidFromVorel", getEachPidFromVorel(count_cb, &seen), {0, VOREL_E_FAIL});
        devconpld **local = nullptr;
        int32_t num = 0;
        int32_t runs = 0;
        const int32_t rc = getAllLocalPidsFromVorel(&local, &num, &runs);
        rec("getAllLocalPidsFromVorel", rc, {0, VOREL_E_READ, VOREL_E_NOMEM});
        if (local != nullptr) {
            for (int32_t i = 0; i < num; ++i)
                std::free(local[i]);
            std::free(local);
        }
        for (const uint32_t pid : {P(1, 1), P(1, 6), P(1, 3)}) {
            devconpld *p = nullptr;
            rec("getPidFromVorel", getPidFromVorel(pid, &p), {0, VOREL_E_FAIL, VOREL_E_MAP});
            std::free(p);
        }
        printEachPidFromVorel();
    }

    // Client requests that end the attachment come last: this process is
    // the server, so unregistering detaches it (and disable finds it so).
    rec("enableVorel", enableVorel(0), {});
    rec("unregisterVorelClient", unregisterVorelClient(1), {});
    rec("disableVorel", disableVorel(), {});
    return run;
}

// ---- what a run leaves --------------------------------------------------------------------

uint64_t fnv(uint64_t h, const void *data, size_t n)
{
    const auto *b = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < n; ++i)
        h = (h ^ b[i]) * 1099511628211ull;
    return h;
}

struct Outcome {
    uint32_t calls[kNumSvc] = {};
    uint32_t reply_sends[64] = {};
    uint32_t num_reply_sends = 0;
    int32_t results[64] = {};
    uint32_t num_results = 0;
    uint64_t digest = 0;
    uint32_t received = 0;
    uint32_t revision = 0;
    uint32_t violations = 0;
    uint32_t orphans = 0;
    uint32_t fired = 0; // the injected failure happened
    char failure[512] = {};
};

// Fails the outcome with a message (the first one is kept).
void fail(Outcome &o, const std::string &what)
{
    if (o.failure[0] == '\0')
        std::snprintf(o.failure, sizeof o.failure, "%s", what.c_str());
}

// Walks the store with the verifier and checks what it reports against the
// library's own view.  Returns the digest of the stored devices.
uint64_t check_store(Outcome &o, bool require_clean, const std::vector<uint8_t> &domains)
{
    const vorel::tool::VerifyReport r = vorel::tool::verify_store(true);
    if (r.status != 0) {
        fail(o, "the verifier cannot walk the store: " + std::to_string(r.status));
        return 0;
    }
    o.violations = static_cast<uint32_t>(r.violations());
    bool total_finding = false;
    bool unreadable = false;
    std::set<uint32_t> dest_count_bad;
    for (const auto &f : r.findings) {
        total_finding |= f.kind == vorel::tool::FindingKind::TotalPids;
        unreadable |= f.kind == vorel::tool::FindingKind::Unreadable;
        if (f.kind == vorel::tool::FindingKind::DestCount)
            dest_count_bad.insert(f.pid);
    }
    if (total_finding != (r.total_pids != r.stored_pids))
        fail(o, "the verifier's total-pids finding disagrees with its counts");
    if (unreadable)
        fail(o, "a block is unreadable with no failure armed");
    if (require_clean && r.violations() != 0)
        fail(o, "violation where the failure cannot corrupt: " + r.findings.front().message);

    vorel::ReadLock lock(vorel::ctx()->rwlock);
    uint32_t count = 0;
    if (getCountFromVorel(&count) != 0 || count != r.total_pids)
        fail(o, "getCountFromVorel disagrees with the header the verifier read");
    // Every device the verifier found reads back through the lookup; where
    // the chain is whole, with the same destinations.
    uint64_t h = 1469598103934665603ull;
    h = fnv(h, &r.total_pids, sizeof r.total_pids);
    h = fnv(h, &r.sync_done, sizeof r.sync_done);
    std::vector<vorel::tool::StoredDevice> devs = r.devices;
    std::sort(devs.begin(), devs.end(), [](const auto &a, const auto &b) { return a.pid < b.pid; });
    std::vector<uint32_t> stored;
    for (const auto &d : devs) {
        stored.push_back(d.pid);
        h = fnv(h, &d.info, sizeof d.info);
        for (const DevInfo &x : d.dests)
            h = fnv(h, &x, sizeof x);
        devconpld *p = nullptr;
        if (getPidFromVorel(d.pid, &p) != 0) {
            fail(o, "a stored device does not read back: " + vorel::tool::pid_hex(d.pid));
            continue;
        }
        if (!dest_count_bad.contains(d.pid) &&
            (static_cast<size_t>(p->num_dstdevices) != d.dests.size() ||
             (p->num_dstdevices > 0 &&
              std::memcmp(p->dst_devices, d.dests.data(), d.dests.size() * sizeof(DevInfo)) != 0)))
            fail(o, "lookup and verifier disagree on " + vorel::tool::pid_hex(d.pid));
        std::free(p);
    }
    // The enumeration hands out exactly the devices of the listed domains.
    std::vector<uint32_t> listed;
    listed.reserve(64);
    if (getEachPidFromVorel(count_cb, &listed) != 0)
        fail(o, "the enumeration fails with no failure armed");
    std::vector<uint32_t> expect;
    for (uint32_t pid : stored)
        if (std::find(domains.begin(), domains.end(), vorel::domain_of(pid)) != domains.end())
            expect.push_back(pid);
    std::sort(listed.begin(), listed.end());
    if (r.violations() == 0 && listed != expect)
        fail(o, "the enumeration and the verifier see different devices");

    // Shared blocks: everything allocated is reachable, or was lost on a
    // failure path.
    gshm_stats_t st{};
    if (gshm_get_stats(vorel::shm(), &st) == 0) {
        const uint64_t reachable = 1 + r.domdb_blocks + r.destdb_blocks;
        o.orphans = st.blocks_in_use > reachable ? static_cast<uint32_t>(st.blocks_in_use - reachable) : 0;
        if (st.blocks_in_use < reachable)
            fail(o, "the verifier reached more blocks than are allocated");
    }
    return h;
}

// ---- one run in a child --------------------------------------------------------------------

const std::vector<uint8_t> kDomains = {1, 2, 3};

struct Reference {
    Outcome outcome;
    std::vector<int32_t> results;
};
Reference g_ref; // the healthy run, known to every child forked after it

// Sets the process up as the server of kInstance, runs the workload with
// `svc` failing at its n-th call (n = 0: nothing fails), checks what the run
// left, and runs the workload again, healthy, on a fresh segment.
Outcome run_once(Svc svc, uint32_t n, bool reference)
{
    Outcome o;
    setenv("VOREL_TRACE_FILE", "/dev/null", 1);
    setMySwitch(kInstance);
    if (vorellibInit() != 0) {
        fail(o, "vorellibInit");
        return o;
    }
    const key_t key = vorel::ctx()->shm_key;
    (void)gshm_remove(key);
    fabricSetView(kInstance, 1, kDomains.data(), static_cast<int>(kDomains.size()));
    vtest::ipc::Receiver watcher(VOREL_CLIENT_SVC_NAME);
    const int nsipc = ipcRegisterService(VOREL_SERVER_SVC_NAME, ns_vorel_callback);
    uint32_t queue = 0;
    if (!watcher.registered() || nsipc <= 0 || msgQCreate(64, sizeof(VorelQueueReq), &queue) != 0) {
        fail(o, "services");
        return o;
    }
    // The dump goes nowhere.
    std::fflush(stdout);
    const int saved = dup(1);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);

    for (auto &c : g_calls)
        c.store(0);
    g_reply_sends.clear();
    g_reply_sends.reserve(64);
    if (n > 0 && svc == kHeap)
        vtest::heap::arm(n);
    else if (n > 0)
        plat_fail_after(kSvcName[svc], n);
    else
        vtest::heap::arm(0);
    g_counting = true;
    Run run = workload(queue);
    g_counting = false;
    vtest::heap::disarm();
    plat_fail_reset();
    std::fflush(stdout);

    for (int s = 0; s < kNumSvc; ++s)
        o.calls[s] = s == kHeap ? static_cast<uint32_t>(vtest::heap::calls()) : g_calls[s].load();
    o.fired = n > 0 && o.calls[svc] >= n;
    for (uint32_t r : g_reply_sends)
        if (o.num_reply_sends < std::size(o.reply_sends))
            o.reply_sends[o.num_reply_sends++] = r;
    for (const Result &r : run.results) {
        if (o.num_results < std::size(o.results))
            o.results[o.num_results++] = r.rc;
        const bool ok = r.allowed.empty()
                            ? (r.rc <= 0 && (r.rc == 0 || r.rc >= VOREL_E_REGFULL || is_platform_error(r.rc)))
                            : std::find(r.allowed.begin(), r.allowed.end(), r.rc) != r.allowed.end();
        if (!ok)
            fail(o, std::string(r.op) + " returned " + std::to_string(r.rc));
    }
    {
        const auto got = watcher.sync();
        o.received = static_cast<uint32_t>(got.size());
    }
    o.revision = vorel::ctx()->revision_num;

    if (run.started) {
        // The workload ends detached; look at what it left as a client would.
        if (vorel::ctx()->initialized <= 0 && initVorelClient() != 0)
            fail(o, "cannot attach to the segment the run left");
        // Delivery and queue failures never change the store wrongly; the
        // store changes of a dropped queued request are simply missing.
        const bool clean = n == 0 || svc == kIpcSend || svc == kIpcSendRcv || svc == kMsgQSend;
        o.digest = check_store(o, clean, kDomains);
        if (clean && o.orphans != 0)
            fail(o, std::to_string(o.orphans) + " shared blocks lost where no failure may lose one");
    } else if (vorel::ctx()->initialized > 0) {
        fail(o, "attached after a failed initVorelSrvr");
    }

    if (!reference) {
        const Outcome &ref = g_ref.outcome;
        if ((svc == kIpcSend || svc == kIpcSendRcv) && o.digest != ref.digest)
            fail(o, "a failed send changed what the store holds");
        if (svc == kIpcSend && o.fired && (o.received + 1 != ref.received || o.revision != ref.revision))
            fail(o, "a failed delivery should cost exactly that message: received " + std::to_string(o.received) +
                        " of " + std::to_string(ref.received) + ", revision " + std::to_string(o.revision) + " of " +
                        std::to_string(ref.revision));

        // The same workload, healthy, on a fresh segment.
        (void)vorellibUnInit();
        (void)gshm_remove(key);
        if (vorellibInit() != 0) {
            fail(o, "vorellibInit after the run");
        } else {
            watcher.clear();
            Run again = workload(queue);
            std::vector<int32_t> rcs;
            for (const Result &r : again.results)
                rcs.push_back(r.rc);
            if (rcs != g_ref.results)
                fail(o, "the healthy run after the failure gives other results");
            if (vorel::ctx()->initialized <= 0)
                (void)initVorelClient();
            Outcome fresh;
            if (check_store(fresh, true, kDomains) != ref.digest || fresh.failure[0] != '\0')
                fail(o, "the healthy run after the failure leaves another store");
            if (watcher.sync().size() != ref.received)
                fail(o, "the healthy run after the failure delivers other messages");
        }
    }
    dup2(saved, 1);
    close(saved);
    close(null_fd);
    (void)vorellibUnInit();
    (void)gshm_remove(key);
    (void)ipcUnregisterService(nsipc);
    (void)msgQDelete(queue);
    if (__lsan_do_recoverable_leak_check != nullptr && __lsan_do_recoverable_leak_check() != 0)
        fail(o, "heap blocks leaked (LeakSanitizer's report is on standard error)");
    return o;
}

// Runs run_once in a child; false when the child crashed or hung.
bool run_child(Svc svc, uint32_t n, bool reference, Outcome &out, std::string &crash)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    int status = 0;
    {
        vtest::Child child([&] {
            close(fds[0]);
            const Outcome o = run_once(svc, n, reference);
            const char *p = reinterpret_cast<const char *>(&o);
            size_t left = sizeof o;
            while (left > 0) {
                const ssize_t w = write(fds[1], p, left);
                if (w <= 0)
                    return 3;
                p += w;
                left -= static_cast<size_t>(w);
            }
            return 0;
        });
        close(fds[1]);
        char *p = reinterpret_cast<char *>(&out);
        size_t got = 0;
        while (got < sizeof out) {
            const ssize_t r = read(fds[0], p + got, sizeof out - got);
            if (r <= 0)
                break;
            got += static_cast<size_t>(r);
        }
        close(fds[0]);
        status = child.wait(std::chrono::seconds(60));
        if (got == sizeof out && status == 0)
            return true;
    }
    crash = status == vtest::kTimedOut ? "hung" : "ended with status " + std::to_string(status);
    return false;
}

// The N values of a sweep over `calls` calls (N = calls + 1 makes no call fail).
std::vector<uint32_t> sweep_points(uint32_t calls, const std::set<uint32_t> &skip)
{
    std::vector<uint32_t> all;
    for (uint32_t n = 1; n <= calls + 1; ++n)
        if (!skip.contains(n))
            all.push_back(n);
    if (!slow_target() || all.size() <= 24)
        return all;
    // On an emulated target: the first calls, then an even spread, and the end.
    std::vector<uint32_t> some(all.begin(), all.begin() + 8);
    const size_t rest = all.size() - 8;
    for (size_t i = 1; i <= 16; ++i)
        some.push_back(all[8 + (rest - 1) * i / 16]);
    some.erase(std::unique(some.begin(), some.end()), some.end());
    return some;
}

TEST(FaultSweep, EveryCallSiteOfEveryServiceFailsOnce)
{
    if (!vtest::heap::available())
        GTEST_LOG_(INFO) << "heap-failure injection is not available in this build; the heap is not swept";
    std::string crash;
    ASSERT_TRUE(run_child(kHeap, 0, true, g_ref.outcome, crash)) << "healthy run " << crash;
    const Outcome &ref = g_ref.outcome;
    ASSERT_STREQ(ref.failure, "") << "healthy run";
    ASSERT_EQ(ref.violations, 0u);
    ASSERT_EQ(ref.orphans, 0u);
    ASSERT_GT(ref.received, 0u);
    g_ref.results.assign(ref.results, ref.results + ref.num_results);
    for (const int32_t rc : g_ref.results)
        EXPECT_LE(rc, 0);

    struct Tally {
        uint32_t injected = 0, survived = 0, skipped = 0;
        uint32_t violated = 0; // runs whose store the verifier reports broken
        uint32_t lost = 0;     // runs that lost shared blocks
    };
    std::map<int, Tally> tally;
    for (int s = 0; s < kNumSvc; ++s) {
        const Svc svc = static_cast<Svc>(s);
        if (svc == kHeap && !vtest::heap::available())
            continue;
        std::set<uint32_t> skip;
        if (svc == kIpcSend) {
            // A lost answer to a request leaves its requester waiting without
            // a time-out (enable, disable, unregister pass none); those calls
            // are left out and counted apart.
            skip.insert(ref.reply_sends, ref.reply_sends + ref.num_reply_sends);
            tally[s].skipped = static_cast<uint32_t>(skip.size());
        }
        bool ended = false;
        for (const uint32_t n : sweep_points(ref.calls[s], skip)) {
            Outcome o;
            if (!run_child(svc, n, false, o, crash)) {
                ADD_FAILURE() << kSvcName[s] << " failing at call " << n << ": the run " << crash;
                ++tally[s].injected;
                continue;
            }
            if (!o.fired) {
                ended = true;
                EXPECT_EQ(n, ref.calls[s] + 1) << kSvcName[s] << ": the run made fewer calls than the healthy one";
                break;
            }
            ++tally[s].injected;
            if (o.failure[0] != '\0') {
                ADD_FAILURE() << kSvcName[s] << " failing at call " << n << ": " << o.failure;
                continue;
            }
            ++tally[s].survived;
            tally[s].violated += o.violations > 0 ? 1 : 0;
            tally[s].lost += o.orphans > 0 ? 1 : 0;
        }
        EXPECT_TRUE(ended) << kSvcName[s] << ": the sweep did not reach a run without a failure";
    }
    uint32_t total_injected = 0, total_survived = 0;
    std::printf("%-18s %8s %8s %8s %8s %8s %8s\n", "service", "calls", "injected", "survived", "skipped", "broken",
                "lost");
    for (int s = 0; s < kNumSvc; ++s) {
        std::printf("%-18s %8u %8u %8u %8u %8u %8u\n", kSvcName[s], ref.calls[s], tally[s].injected, tally[s].survived,
                    tally[s].skipped, tally[s].violated, tally[s].lost);
        total_injected += tally[s].injected;
        total_survived += tally[s].survived;
    }
    std::printf("%-18s %8s %8u %8u\n", "total", "", total_injected, total_survived);
    EXPECT_EQ(total_injected, total_survived);
}

} // namespace

// ---- the state that single failures leave ---------------------------------------------------

class FaultState : public vtest::StoreFixture {
  protected:
    int instance() const override { return kInstance + 1; }
    void TearDown() override
    {
        g_fail_gadd = 0;
        g_fail_gadd_times = 0;
        vtest::heap::disarm();
        StoreFixture::TearDown();
    }

    // The head DestDb block of a stored PID, read from its domain's chain.
    gadd_t head_of(uint32_t pid)
    {
        for (const DomDb *b : domain_chain(vorel::domain_of(pid)))
            for (uint32_t i = 0; i < b->num_pids; ++i)
                if (b->pid_tbl[i].pid == pid)
                    return b->pid_tbl[i].gadd;
        return 0;
    }
    bool lists(uint32_t pid, uint32_t peer)
    {
        const auto d = vtest::pids_of(chain_of(pid).flat());
        return std::find(d.begin(), d.end(), peer) != d.end();
    }
    vorel::tool::VerifyReport verify() { return vorel::tool::verify_store(); }
    static bool has(const vorel::tool::VerifyReport &r, vorel::tool::FindingKind k, uint32_t pid)
    {
        return std::any_of(r.findings.begin(), r.findings.end(),
                           [&](const auto &f) { return f.kind == k && f.pid == pid; });
    }
    // A connected pair A <-> B and A <-> C, stored with peers in step.
    void three()
    {
        vtest::Payload b(kB, {}), c(kC, {}), a(kA, {kB, kC});
        ASSERT_EQ(insert(b), 0);
        ASSERT_EQ(insert(c), 0);
        ASSERT_EQ(insert(a), 0);
        ASSERT_TRUE(lists(kB, kA) && lists(kC, kA));
    }
    // The removal of A fails as `arm` arranges; the entry is out of its
    // domain, its chain is not freed, its peers keep it and the total stays:
    // the verifier reports the header's total as broken.
    void expect_removal_left_entry_out(const std::function<void()> &arm)
    {
        three();
        const uint32_t blocks = stats().blocks_in_use;
        arm();
        EXPECT_EQ(remove(kA), std::nullopt);
        const auto pids = domain_pids(1);
        EXPECT_EQ(std::count(pids.begin(), pids.end(), kA), 0) << "the entry is out of the DomDb chain";
        EXPECT_EQ(stats().blocks_in_use, blocks) << "the chain is not freed";
        EXPECT_EQ(header()->total_pids, 3u);
        EXPECT_TRUE(lists(kB, kA) && lists(kC, kA));
        const auto r = verify();
        EXPECT_TRUE(has(r, vorel::tool::FindingKind::TotalPids, 0));
        EXPECT_TRUE(has(r, vorel::tool::FindingKind::PeerAbsent, kB));
        EXPECT_EQ(r.stored_pids, 2u);
    }

    static constexpr uint32_t kA = P(1, 1), kB = P(1, 2), kC = P(2, 1);
};

TEST_F(FaultState, RemovalWhoseHeadCannotBeResolvedOrWhoseMessageCannotBeAllocated)
{
    expect_removal_left_entry_out([&] {
        g_fail_gadd = head_of(kA);
        g_fail_gadd_times = 1;
    });
    TearDown();
    SetUp();
    if (!vtest::heap::available())
        GTEST_SKIP() << "no heap-failure injection in this build";
    // The message is the removal's first heap allocation.
    expect_removal_left_entry_out([] { vtest::heap::arm(1); });
    EXPECT_TRUE(vtest::heap::fired());
}

TEST_F(FaultState, RemovalWhoseSecondBlockCannotBeFreedKeepsTheRestOfTheChain)
{
    // A has 130 destinations in three blocks; B is the first of them, C the
    // 129th (block 2).  Only the head block is freed and only B unlinked.
    std::vector<uint32_t> dests;
    for (uint32_t i = 0; i < 130; ++i)
        dests.push_back(i == 0 ? kB : i == 128 ? kC : P(9, i));
    vtest::Payload b(kB, {}), c(kC, {}), a(kA, dests);
    ASSERT_EQ(insert(b), 0);
    ASSERT_EQ(insert(c), 0);
    ASSERT_EQ(insert(a), 0);
    ASSERT_EQ(chain_of(kA).blocks.size(), 3u);
    const uint32_t blocks = stats().blocks_in_use;
    plat_fail_after("gshm_free", 2);
    EXPECT_EQ(remove(kA), std::nullopt);
    EXPECT_EQ(stats().blocks_in_use, blocks - 1);
    EXPECT_FALSE(lists(kB, kA));
    EXPECT_TRUE(lists(kC, kA));
    EXPECT_EQ(header()->total_pids, 3u);
    EXPECT_TRUE(has(verify(), vorel::tool::FindingKind::TotalPids, 0));
}

TEST_F(FaultState, InsertionThatCannotExtendItsOwnChain)
{
    vtest::Payload b(kB, {});
    ASSERT_EQ(insert(b), 0);
    std::vector<uint32_t> dests{kB};
    for (uint32_t i = 1; i < 70; ++i)
        dests.push_back(P(9, i));
    vtest::Payload a(kA, dests);
    const uint32_t revision = vorel::ctx()->revision_num;
    // The first availability check is the domain step's, the second the
    // one before the chain's second block.
    plat_fail_after("gshm_availability", 2);
    EXPECT_EQ(addPidToVorel(a.get(), VOREL_UPD_DEV_ONLINE, 0), VOREL_E_FAIL);
    const vtest::StoredChain c = chain_of(kA);
    ASSERT_EQ(c.blocks.size(), 1u) << "the PID is filed with the block filled so far";
    EXPECT_EQ(c.blocks[0].size(), 64u);
    EXPECT_EQ(c.head_total, 70) << "the head keeps the full total";
    EXPECT_EQ(header()->total_pids, 1u);
    EXPECT_FALSE(lists(kB, kA)) << "no reverse links";
    EXPECT_EQ(vorel::ctx()->revision_num, revision) << "no message";
    const auto r = verify();
    EXPECT_TRUE(has(r, vorel::tool::FindingKind::DestCount, kA));
    EXPECT_TRUE(has(r, vorel::tool::FindingKind::TotalPids, 0));
}

TEST_F(FaultState, DomainRemovalStopsAtAnUnreadableBlock)
{
    for (uint32_t i = 0; i < 300; ++i) {
        vtest::Payload p(P(5, 0) + i + 1, {});
        ASSERT_EQ(insert(p, 0), 0);
    }
    const auto chain = domain_chain(5);
    ASSERT_EQ(chain.size(), 2u);
    const gadd_t second = chain[0]->next_gadd;
    const uint32_t revision = vorel::ctx()->revision_num;
    g_fail_gadd = second;
    g_fail_gadd_times = 1000;
    EXPECT_EQ(delDomainFromVorel(5, 0), 0);
    g_fail_gadd = 0;
    EXPECT_EQ(vorel::ctx()->revision_num, revision + 1) << "the first block is handled and reported";
    const auto after = domain_chain(5);
    ASSERT_EQ(after.size(), 2u) << "the chain is not shortened";
    EXPECT_EQ(after[0]->num_pids, 0u);
    EXPECT_EQ(after[0]->next_gadd, second);
    EXPECT_EQ(after[1]->num_pids, 44u);
    EXPECT_EQ(header()->total_pids, 44u);
    EXPECT_TRUE(verify().passed(true));
}

TEST_F(FaultState, AFailedPostChangesNothingAndReleasesWhatItWasHanded)
{
    three();
    uint32_t queue = 0;
    ASSERT_EQ(msgQCreate(8, sizeof(VorelQueueReq), &queue), 0);
    const uint32_t blocks = stats().blocks_in_use;
    vtest::TraceCapture trace(1);
    struct Poster {
        const char *message;
        std::function<int32_t()> post;
    };
    const std::vector<Poster> posters = {
        {"unable to post online requestfor PID    10900 in internal queue",
         [&] { return addPidToVorel(heap_payload(P(1, 9), {kA}), VOREL_UPD_DEV_ONLINE, queue); }},
        {"unable to post delete requestfor PID    10100 in internal queue", [&] { return delPidFromVorel(kA, queue); }},
        {"unable to post bulk_add request",
         [&] {
             return addPidListToVorel(heap_list({{P(1, 9), {kA, kB}}, {P(1, 10), {}}}), 0, queue);
         }},
        {"unable to post bulk_del request",
         [&] {
             return delPidListToVorel(heap_list({{kA, {kB}}}), VOREL_UPD_LIST_OFFLINE, queue);
         }},
        {"unable to post delete domain1 from vorel", [&] { return delDomainFromVorel(1, queue); }},
        {"Unable to post sync_vorel ininternal queue", [&] { return vorelSyncDone(queue); }},
    };
    for (const Poster &p : posters) {
        plat_fail_after("msgQSend", 1);
        EXPECT_EQ(p.post(), 0) << p.message;
        EXPECT_TRUE(trace.has(1, p.message)) << p.message;
    }
    // A notification whose post fails is released with nothing said.
    plat_fail_after("msgQSend", 1);
    ProcessClientNotification(std::malloc(16), 16, queue, VOREL_UPD_DEV_ONLINE);
    VorelQueueReq r{};
    EXPECT_EQ(msgQReceive(queue, &r, sizeof r, 0), PLAT_ERR_TIMEOUT) << "nothing was queued";
    EXPECT_EQ(stats().blocks_in_use, blocks);
    EXPECT_EQ(header()->total_pids, 3u);
    EXPECT_EQ(header()->sync_done, 0u);
    EXPECT_TRUE(lists(kB, kA) && lists(kC, kA));
    (void)msgQDelete(queue);
}

TEST_F(FaultState, AFailedDeliveryCostsOnlyThatClientTypesMessage)
{
    vtest::ipc::Receiver watcher(VOREL_CLIENT_SVC_NAME);
    ASSERT_TRUE(watcher.registered());
    ASSERT_EQ(registerVorelClientToSrvr(0), 0);
    ASSERT_EQ(registerVorelClientToSrvr(1), 0);
    const uint32_t revision = vorel::ctx()->revision_num;
    vtest::Payload a(kA, {kB});
    plat_fail_after("ipcSend", 1);
    EXPECT_EQ(addPidToVorel(a.get(), VOREL_UPD_DEV_ONLINE, 0), 0);
    EXPECT_EQ(vorel::ctx()->revision_num, revision + 1);
    const auto got = watcher.sync();
    ASSERT_EQ(got.size(), 1u) << "client type 1 still receives";
    EXPECT_EQ(got[0].code, static_cast<uint32_t>(VOREL_MSG_DEV_ONLINE));
    EXPECT_TRUE(lists(kA, kB));
}
