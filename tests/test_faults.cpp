// Platform failures at every call site: a scripted server workload runs in a
// forked child once per N = 1, 2, ... with the N-th call of one service (or
// of the heap) failing, until a run makes fewer than N calls.  Each run must
// end without a crash or hang, with results the failing operation may give,
// a store the verifier walks in agreement with the lookups, enumeration,
// local collection and dump, and no heap or (unjustly) shared blocks lost.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "heap_fail.h"
#include "lock.h"
#include "proc.h"
#include "store_fixture.h"
#include "vorel_db.h"

// The verifier behind `vorel check`, compiled into this program.
#include "../tools/pid.cpp"
#include "../tools/verify.cpp"

VTEST_HEAP_FAIL();

// LeakSanitizer's check (sanitized builds): children leave with _exit() and ask for it.
extern "C" int __lsan_do_recoverable_leak_check(void) __attribute__((weak));

namespace {
enum Svc : int { kAlloc, kFree, kAvail, kG2L, kGetBB, kSetBB, kIpcSend, kIpcSendRcv, kMsgQSend, kHeap, kNumSvc };
constexpr std::array<const char *, kNumSvc> kSvcName = {
    "gshm_alloc",      "gshm_free", "gshm_availability", "gadd2ladd", "get_basic_block",
    "set_basic_block", "ipcSend",   "ipcSendRcv",        "msgQSend",  "heap"};

std::atomic<bool> g_counting{false};
std::array<std::atomic<uint32_t>, kNumSvc> g_calls{};
// ipcSend call numbers (while counting) that answered a request.
std::vector<uint32_t> g_reply_sends;

uint32_t count(Svc s) { return g_counting.load(std::memory_order_relaxed) ? g_calls[s].fetch_add(1) + 1 : 0; }

} // namespace

// Each service counted, then carried out (or failed, as armed) by the platform.
#define VTEST_COUNTED(svc, name, params, args)                                                                         \
    extern "C" int name params                                                                                         \
    {                                                                                                                  \
        static const auto real = reinterpret_cast<int(*) params>(dlsym(RTLD_NEXT, #name));                             \
        count(svc);                                                                                                    \
        return real args;                                                                                              \
    }
VTEST_COUNTED(kAlloc, gshm_alloc, (gshm_handle_t h, gadd_t *g, uint32_t size), (h, g, size))
VTEST_COUNTED(kFree, gshm_free, (gshm_handle_t h, gadd_t g), (h, g))
VTEST_COUNTED(kAvail, gshm_availability, (gshm_handle_t h), (h))
VTEST_COUNTED(kG2L, gadd2ladd, (gshm_handle_t h, gadd_t g, void **l), (h, g, l))
VTEST_COUNTED(kGetBB, get_basic_block, (gshm_handle_t h, uint32_t b, gadd_t *g), (h, b, g))
VTEST_COUNTED(kSetBB, set_basic_block, (gshm_handle_t h, uint32_t b, const gadd_t *g), (h, b, g))
VTEST_COUNTED(kIpcSendRcv, ipcSendRcv,
              (const IPCAddr *a, uint32_t c, const void *b, uint32_t n, void *r, uint32_t *rn, const ipc_timeout_t *t),
              (a, c, b, n, r, rn, t))
VTEST_COUNTED(kMsgQSend, msgQSend, (uint32_t q, const void *m, uint32_t n, int32_t t, int32_t p), (q, m, n, t, p))

// ipcSend also notes the calls that answer a request (to a "@" address).
extern "C" int ipcSend(const IPCAddr *addr, uint32_t code, const void *body, uint32_t len, const ipc_timeout_t *timeout)
{
    static const auto real =
        reinterpret_cast<int (*)(const IPCAddr *, uint32_t, const void *, uint32_t, const ipc_timeout_t *)>(
            dlsym(RTLD_NEXT, "ipcSend"));
    const uint32_t n = count(kIpcSend);
    if (n != 0 && addr != nullptr && addr->name[0] == '@') {
        vtest::heap::Pause pause;
        g_reply_sends.push_back(n);
    }
    return real(addr, code, body, len, timeout);
}

namespace {
using vtest::dev_of;
constexpr int kInstance = 21;

// A payload in one heap block, as a queued addPidToVorel releases it.
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

// The server's queue consumer: carries out each request and releases its records.
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
        case VOREL_REQ_BULK_ADD:
        case VOREL_REQ_BULK_DEL: {
            auto *l = static_cast<bulkconpld *>(vorel_req_ptr1(&r));
            (void)(r.req_kind == VOREL_REQ_BULK_ADD ? addPidListToVorel : delPidListToVorel)(l, r.param2, 0);
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

// The scripted workload, as the server of kInstance (NSIPC and the queue exist).
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

    // Initial load: 12 devices in three domains, one with 70 destinations.
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
    {
        // A message an outside caller hands to the queue is the consumer's to release, once.
        void *msg = nullptr;
        {
            vtest::heap::Pause pause;
            msg = std::calloc(1, 8);
        }
        ProcessClientNotification(msg, 8, queue, VOREL_UPD_SYNC);
    }
    consume(queue);

    // A whole domain at once.
    rec("delDomainFromVorel", delDomainFromVorel(3, 0), {0});
    // A device whose chain has two blocks.
    rec("delPidFromVorel(two blocks)", delPidFromVorel(P(1, 6), 0), {0});

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
        int32_t num = 0, runs = 0;
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

    // Requests that end the attachment (this process is the server) come last.
    rec("enableVorel", enableVorel(0), {});
    rec("unregisterVorelClient", unregisterVorelClient(1), {});
    rec("disableVorel", disableVorel(), {});
    return run;
}

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
    uint32_t fired = 0;    // the injected failure happened
    int64_t heap_kept = 0; // heap blocks the workload left allocated
    char failure[512] = {};
};

// Fails the outcome with a message (the first one is kept).
void fail(Outcome &o, const std::string &what)
{
    if (o.failure[0] == '\0')
        std::snprintf(o.failure, sizeof o.failure, "%s", what.c_str());
}

// The verifier's walk against the library's own reads; the digest of the store.
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
    // Every device the verifier found reads back, with its destinations where whole.
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

    // The local collection: each device of domain 1 once, as the verifier read it.
    std::map<uint32_t, size_t> local_want, local_got;
    size_t dump_lines = 0; // PID lines the dump must print
    for (const auto &d : devs) {
        if (vorel::domain_of(d.pid) == 1)
            local_want[d.pid] = d.dests.size();
        if (std::find(domains.begin(), domains.end(), vorel::domain_of(d.pid)) != domains.end())
            dump_lines += 1 + d.dests.size();
    }
    devconpld **local = nullptr;
    int32_t num = 0, runs = 0;
    if (getAllLocalPidsFromVorel(&local, &num, &runs) != 0) {
        fail(o, "the local collection fails with no failure armed");
    } else {
        for (int32_t i = 0; i < num; ++i) {
            local_got[local[i]->src_dev.pid] = static_cast<size_t>(local[i]->num_dstdevices);
            std::free(local[i]);
        }
        std::free(local);
        if (r.violations() == 0 && (local_got != local_want || static_cast<size_t>(num) != local_want.size() ||
                                    (num > 0) != (runs > 0) || runs > num))
            fail(o, "the local collection and the verifier see different devices");
    }
    // The dump prints every device of the listed domains with its
    // destinations, and reports no error on a sound store.
    std::fflush(stdout);
    FILE *out = std::tmpfile();
    const std::string errors = std::string(std::getenv("VOREL_RUN_DIR")) + "/dump-errors." + std::to_string(getpid());
    setenv("VOREL_TRACE_FILE", errors.c_str(), 1);
    dup2(fileno(out), 1); // in place of /dev/null, to the child's end
    printEachPidFromVorel();
    std::fflush(stdout);
    setenv("VOREL_TRACE_FILE", "/dev/null", 1);
    std::rewind(out);
    size_t printed = 0;
    for (char line[256]; std::fgets(line, sizeof line, out) != nullptr;)
        printed += std::strncmp(line, "PID:", 4) == 0 ? 1 : 0;
    std::fclose(out);
    struct stat err_st {};
    const bool traced = stat(errors.c_str(), &err_st) == 0 && err_st.st_size > 0;
    unlink(errors.c_str());
    if (r.violations() == 0 && (printed != dump_lines || traced))
        fail(o, "the dump prints " + std::to_string(printed) + " devices of " + std::to_string(dump_lines) +
                    (traced ? ", with errors" : ""));

    // Shared blocks: allocated ones are reachable, or were lost on a failure path.
    gshm_stats_t st{};
    if (gshm_get_stats(vorel::shm(), &st) == 0) {
        const uint64_t reachable = 1 + r.domdb_blocks + r.destdb_blocks;
        o.orphans = st.blocks_in_use > reachable ? static_cast<uint32_t>(st.blocks_in_use - reachable) : 0;
        if (st.blocks_in_use < reachable)
            fail(o, "the verifier reached more blocks than are allocated");
    }
    return h;
}

// "PSIPC" of this process counts the update messages it receives.
std::mutex g_watch_mutex;
std::condition_variable g_watch_arrived;
uint32_t g_received = 0, g_markers = 0;
constexpr uint32_t kMarker = 0x7E57AA01;

int32_t watch(const IPCAddr *, uint32_t, const void *, uint32_t, uint32_t code)
{
    std::lock_guard lock(g_watch_mutex);
    ++(code == kMarker ? g_markers : g_received);
    g_watch_arrived.notify_all();
    return 0;
}

// The messages received, once a marker sent after them has arrived too.
uint32_t received()
{
    std::unique_lock lock(g_watch_mutex);
    const uint32_t want = g_markers + 1;
    lock.unlock();
    IPCAddr to{};
    to.node = static_cast<uint16_t>(myNode() & 0xFFFFu);
    to.svc = VOREL_IPC_SVC;
    std::snprintf(to.name, sizeof to.name, "%s", VOREL_CLIENT_SVC_NAME);
    const ipc_timeout_t timeout{10, 0};
    if (ipcSend(&to, kMarker, nullptr, 0, &timeout) < 0)
        return UINT32_MAX;
    lock.lock();
    g_watch_arrived.wait_for(lock, std::chrono::seconds(20), [&] { return g_markers >= want; });
    return g_received;
}

const std::vector<uint8_t> kDomains = {1, 2, 3};

Outcome g_ref; // the healthy run, known to every child forked after it

// The workload with `svc` failing at its n-th call (0: none), and what it left.
Outcome run_once(Svc svc, uint32_t n, bool reference)
{
    Outcome o;
    setenv("VOREL_TRACE_FILE", "/dev/null", 1);
    setMySwitch(kInstance);
    if (vorellibInit() != 0) {
        fail(o, "vorellibInit");
        return o;
    }
    // Clients read the key file's path from the exported context.
    struct stat key_st {};
    if (stat(vorel::ctx()->key_path, &key_st) != 0 || !S_ISREG(key_st.st_mode)) {
        fail(o, "key_path names no key file");
        return o;
    }
    const key_t key = vorel::ctx()->shm_key;
    (void)gshm_remove(key);
    fabricSetView(kInstance, 1, kDomains.data(), static_cast<int>(kDomains.size()));
    const int psipc = ipcRegisterService(VOREL_CLIENT_SVC_NAME, watch);
    const int nsipc = ipcRegisterService(VOREL_SERVER_SVC_NAME, ns_vorel_callback);
    uint32_t queue = 0;
    if (psipc <= 0 || nsipc <= 0 || msgQCreate(64, sizeof(VorelQueueReq), &queue) != 0) {
        fail(o, "services");
        return o;
    }
    // The dump goes nowhere, to the end of this child.
    std::fflush(stdout);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    close(null_fd);

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
    const int64_t heap_before = vtest::heap::live();
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
    o.received = received();
    // Heap blocks lost: more kept than the healthy run keeps (looked at again
    // for a while: a service thread may still be letting go of a buffer).
    for (int tries = 0; tries < 100; ++tries) {
        o.heap_kept = vtest::heap::live() - heap_before;
        if (reference || o.heap_kept <= g_ref.heap_kept)
            break;
        usleep(10000);
    }
    if (!reference && vtest::heap::available() && o.heap_kept > g_ref.heap_kept)
        fail(o, std::to_string(o.heap_kept - g_ref.heap_kept) + " heap blocks lost");
    o.revision = vorel::ctx()->revision_num;

    if (run.started) {
        // Unregistering detached the process, whatever its send gave; it
        // looks at what the run left as a client would.
        if (vorel::ctx()->initialized > 0)
            fail(o, "still attached after unregistering");
        else if (initVorelClient() != 0)
            fail(o, "cannot attach to the segment the run left");
        // Delivery and queue failures never corrupt the store.
        const bool clean = n == 0 || svc == kIpcSend || svc == kIpcSendRcv || svc == kMsgQSend;
        o.digest = check_store(o, clean, kDomains);
        // An unreadable chain, or a removal stopped halfway, leaves blocks out of
        // reach by design; any other failure gives back all it took.
        const bool may_lose = n != 0 && (svc == kG2L || svc == kGetBB || svc == kFree || svc == kHeap);
        if (o.orphans != 0 && !may_lose)
            fail(o, std::to_string(o.orphans) + " shared blocks lost");
    } else if (vorel::ctx()->initialized > 0) {
        fail(o, "attached after a failed initVorelSrvr");
    }

    if (!reference) {
        const Outcome &ref = g_ref;
        if ((svc == kIpcSend || svc == kIpcSendRcv) && o.digest != ref.digest)
            fail(o, "a failed send changed what the store holds");
        if (svc == kIpcSend && o.fired && (o.received + 1 != ref.received || o.revision != ref.revision))
            fail(o, "a failed delivery should cost exactly that message: received " + std::to_string(o.received) +
                        " of " + std::to_string(ref.received) + ", revision " + std::to_string(o.revision) + " of " +
                        std::to_string(ref.revision));
    }
    // Leaving the library detaches the process from the segment.
    const gshm_handle_t attached = vorel::ctx()->shm_handle;
    (void)vorellibUnInit();
    if (gadd_t g = 0; run.started && get_basic_block(attached, 0, &g) == 0)
        fail(o, "still attached after vorellibUnInit");
    (void)gshm_remove(key);
    (void)ipcUnregisterService(nsipc);
    (void)ipcUnregisterService(psipc);
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
            static_assert(sizeof o <= PIPE_BUF); // one write, whole
            return write(fds[1], &o, sizeof o) == static_cast<ssize_t>(sizeof o) ? 0 : 3;
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
    if (std::getenv("VOREL_SLOW_TARGET") == nullptr || all.size() <= 24)
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
    ASSERT_TRUE(run_child(kHeap, 0, true, g_ref, crash)) << "healthy run " << crash;
    const Outcome &ref = g_ref;
    ASSERT_STREQ(ref.failure, "") << "healthy run";
    ASSERT_EQ(ref.violations, 0u);
    ASSERT_EQ(ref.orphans, 0u);
    ASSERT_GT(ref.received, 0u);
    for (uint32_t i = 0; i < ref.num_results; ++i)
        EXPECT_LE(ref.results[i], 0);
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
            // A lost answer leaves a requester without time-out waiting: skipped.
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
