// bench_notify.cpp - updates that reach a client in another process, against
// a baseline measured in the same run (see harness.h):
//
//   update/N        addPidToVorel(payload, update type 0, queue 0) giving an
//                   initiator a new list of 4 targets, until the watcher has
//                   decoded its DEV_ONLINE message.  Limit 1.5x.
//   remove_readd/N  delPidFromVorel of an initiator, then addPidToVorel of it
//                   with a new list, until the watcher has decoded both
//                   messages.  Limit 1.5x.
//   latency/10000   one update at a time: from addPidToVorel being called
//                   (and from its return) in the server to the message
//                   decoded in the watcher; p99 below 50 us.
//
// The baseline keeps the same devices in an in-process
// std::unordered_map<uint32_t, std::vector<DevInfo>>, makes the same
// symmetric replacement, works out the same delta, builds the same message
// and sends it with the same ipcSend to the same watcher.  The watcher adds
// up a digest of every message it decodes; each round checks that the
// library and the baseline delivered the same messages.
//
// The watcher is a process forked before anything else runs; it owns
// "PSIPC", decodes every message and writes its count, its digest and the
// CLOCK_MONOTONIC time of the last arrival into a page shared with this
// process.  N is 1,000, 10,000 and 100,000 devices (workload.h).
#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include <vorel.h>

#include "decode.h"
#include "harness.h"
#include "workload.h"

namespace {

constexpr int kInstance = 111;
constexpr std::size_t kOpsPerRound = 64;
constexpr std::size_t kSequence = 4096; // updates generated per size, replayed in order

int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// ---- the watcher ----------------------------------------------------------------------------

struct Shared {
    std::atomic<uint64_t> received;
    std::atomic<uint64_t> digest;
    std::atomic<int64_t> last_arrival_ns;
    std::atomic<uint32_t> malformed;
};
static_assert(std::atomic<uint64_t>::is_always_lock_free);

Shared *g_shared = nullptr;
pid_t g_watcher = -1;

uint64_t digest_of(uint32_t code, const uint8_t *body, uint32_t len)
{
    uint64_t h = 0xcbf29ce484222325ull ^ code; // FNV-1a
    for (uint32_t i = 0; i < len; ++i) {
        h ^= body[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

int32_t watch_handler(const IPCAddr *, uint32_t, const void *request, uint32_t request_len, uint32_t code)
{
    const uint32_t n = request_len >= 4 ? request_len - 4 : 0;
    const auto *body = static_cast<const uint8_t *>(request) + 4;
    const auto r = vorel::decode::decode(code, body, n);
    const int64_t t = now_ns();
    if (!r.ok()) {
        g_shared->malformed.fetch_add(1);
        return 0;
    }
    g_shared->digest.fetch_add(digest_of(code, body, n), std::memory_order_relaxed);
    g_shared->last_arrival_ns.store(t, std::memory_order_relaxed);
    g_shared->received.fetch_add(1, std::memory_order_release);
    return 0;
}

[[noreturn]] void watcher_main(int ready_fd)
{
    setMySwitch(kInstance);
    const int svc = ipcRegisterService(VOREL_CLIENT_SVC_NAME, watch_handler);
    const char ok = svc > 0 ? 1 : 0;
    (void)!write(ready_fd, &ok, 1);
    for (;;)
        pause(); // ended by SIGTERM from the parent
}

bool start_watcher()
{
    void *page = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED)
        return false;
    g_shared = new (page) Shared{};
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    g_watcher = fork();
    if (g_watcher == 0)
        watcher_main(fds[1]);
    char ok = 0;
    const bool up = g_watcher > 0 && read(fds[0], &ok, 1) == 1 && ok == 1;
    close(fds[0]);
    close(fds[1]);
    return up;
}

void stop_watcher()
{
    if (g_watcher > 0) {
        kill(g_watcher, SIGTERM);
        waitpid(g_watcher, nullptr, 0);
    }
}

// Waits until the watcher has decoded `n` messages in all; the time of the
// last arrival, or -1 when they do not come.
int64_t wait_arrivals(uint64_t n)
{
    const int64_t give_up = now_ns() + 30'000'000'000;
    while (g_shared->received.load(std::memory_order_acquire) < n) {
        if (now_ns() > give_up)
            return -1;
        sched_yield();
    }
    return g_shared->last_arrival_ns.load(std::memory_order_relaxed);
}

// ---- the two contenders ---------------------------------------------------------------------

// The library's server side for the calling instance: a fresh database with
// the fabric loaded in the initial-load mode (no messages), client type 0
// registered at the watcher's address.
void start_store(vbench::DeviceList &list)
{
    static bool started = false;
    setMySwitch(kInstance);
    if (!started && vorellibInit() != 0)
        std::abort();
    VorelPartCtx *c = part_vorel_glbl_array[kInstance];
    if (c->initialized > 0)
        detachVorelSrvr();
    (void)gshm_remove(c->shm_key);
    bulkconpld l = list.list();
    if (initVorelSrvr() != 0 || addPidListToVorel(&l, VOREL_UPD_SYNC, 0) != 0)
        std::abort();
    // Once client type 0 is registered (from the first size on), the watcher
    // receives the sync notice too: it must have arrived before any round
    // counts messages.
    const uint64_t before = g_shared->received.load(std::memory_order_acquire);
    if (vorelSyncDone(0) != 0 || (started && wait_arrivals(before + 1) < 0))
        std::abort();
    // Registered after the sync notice, which therefore went to nobody.
    if (!started && registerVorelClientToSrvr(0) != VOREL_E_INSYNC)
        std::abort();
    started = true;
}

class Baseline {
  public:
    explicit Baseline(const vbench::Fabric &f)
    {
        map_.reserve(f.devices);
        for (uint32_t i = 0; i < f.devices; ++i) {
            std::vector<DevInfo> &v = map_[vbench::pid_of(i)];
            for (const uint32_t p : f.links[i])
                v.push_back(vbench::dev_of(p));
        }
        addr_.node = static_cast<uint16_t>(myNode() & 0xFFFF);
        addr_.svc = VOREL_IPC_SVC;
        std::strcpy(addr_.name, VOREL_CLIENT_SVC_NAME);
    }

    // Replaces the device's destinations; the delta follows the library's
    // order rules: new PIDs in payload order, removed ones in stored order.
    [[gnu::noinline]] int32_t update(const vbench::Update &u)
    {
        std::vector<DevInfo> &cur = map_[u.src.pid];
        std::vector<uint32_t> added, removed;
        for (const DevInfo &d : u.dests)
            if (std::none_of(cur.begin(), cur.end(), [&](const DevInfo &c) { return c.pid == d.pid; }))
                added.push_back(d.pid);
        for (const DevInfo &c : cur)
            if (std::none_of(u.dests.begin(), u.dests.end(), [&](const DevInfo &d) { return c.pid == d.pid; }))
                removed.push_back(c.pid);
        unlink_peers(u.src.pid, cur);
        cur = u.dests;
        link_peers(u);
        const vorel::decode::OnlineDelta delta{u.src.pid, std::move(added), std::move(removed)};
        return send(VOREL_MSG_DEV_ONLINE, vorel::decode::encode_dev_online(std::span(&delta, 1)));
    }

    // Removes the device (DEV_OFFLINE with its former destinations), then
    // adds it with the update's list (everything new).
    [[gnu::noinline]] int32_t remove_readd(const vbench::Update &u)
    {
        auto it = map_.find(u.src.pid);
        vorel::decode::OfflineDevice gone{u.src.pid, {}};
        for (const DevInfo &d : it->second)
            gone.disconn_pids.push_back(d.pid);
        unlink_peers(u.src.pid, it->second);
        map_.erase(it);
        if (const int32_t rc = send(VOREL_MSG_OFFLINE, vorel::decode::encode_offline(std::span(&gone, 1))); rc != 0)
            return rc;
        return update(u);
    }

  private:
    void unlink_peers(uint32_t src, const std::vector<DevInfo> &peers)
    {
        for (const DevInfo &c : peers)
            if (auto it = map_.find(c.pid); it != map_.end()) {
                auto &v = it->second;
                if (auto at = std::find_if(v.begin(), v.end(), [&](const DevInfo &x) { return x.pid == src; });
                    at != v.end())
                    v.erase(at);
            }
    }
    void link_peers(const vbench::Update &u)
    {
        for (const DevInfo &d : u.dests)
            if (auto it = map_.find(d.pid); it != map_.end())
                if (std::none_of(it->second.begin(), it->second.end(),
                                 [&](const DevInfo &x) { return x.pid == u.src.pid; }))
                    it->second.push_back(u.src);
    }
    int32_t send(uint32_t code, const std::vector<uint32_t> &msg)
    {
        const ipc_timeout_t timeout{30, 0};
        const int rc = ipcSend(&addr_, code, msg.data(), static_cast<uint32_t>(msg.size() * 4), &timeout);
        return rc < 0 ? rc : 0;
    }

    std::unordered_map<uint32_t, std::vector<DevInfo>> map_;
    IPCAddr addr_{};
};

// Both contenders for one size, in the same state: the same fabric, and the
// same operations applied to both in the same order.
struct Setup {
    explicit Setup(uint32_t devices)
        : fabric(vbench::make_fabric(devices)), list(fabric), baseline(fabric),
          updates(vbench::make_updates(fabric, kSequence, devices + 2))
    {
        start_store(list);
        for (const vbench::Update &u : updates)
            payloads.push_back(u.payload());
    }
    static Setup &at(uint32_t devices)
    {
        static std::unique_ptr<Setup> current;
        if (!current || current->fabric.devices != devices) {
            current.reset();
            current = std::make_unique<Setup>(devices);
        }
        return *current;
    }

    vbench::Fabric fabric;
    vbench::DeviceList list;
    Baseline baseline;
    std::vector<vbench::Update> updates;
    std::vector<devconpld> payloads;
    std::size_t next = 0; // position in the sequence, shared by both contenders
};

// Runs `ops` operations through `apply(k)` and waits for their `messages`
// messages; the seconds from the first call to the last arrival, and the
// digest of what arrived.  -1 seconds when something failed.  `issued` gets
// the seconds until the last call returned: the sender's own share.
template <class Apply>
double timed_round(std::size_t first, std::size_t ops, uint64_t messages, Apply apply, uint64_t &digest, double &issued)
{
    const uint64_t before = g_shared->received.load(std::memory_order_acquire);
    const uint64_t digest_before = g_shared->digest.load(std::memory_order_acquire);
    const int64_t t0 = now_ns();
    for (std::size_t k = 0; k < ops; ++k)
        if (apply((first + k) % kSequence) != 0)
            return -1;
    issued = static_cast<double>(now_ns() - t0) / 1e9;
    const int64_t t1 = wait_arrivals(before + messages);
    if (t1 < 0)
        return -1;
    digest = g_shared->digest.load(std::memory_order_acquire) - digest_before;
    return static_cast<double>(t1 - t0) / 1e9;
}

enum class Op { Update, RemoveReadd };

void run_contest(benchmark::State &state, Op op, const char *name)
{
    const auto devices = static_cast<uint32_t>(state.range(0));
    Setup &s = Setup::at(devices);
    setMySwitch(kInstance);
    const uint64_t per_op = op == Op::Update ? 1 : 2;
    vbench::Contest contest;
    std::vector<double> issued_ns, base_issued_ns; // per operation, until the calls returned
    for (auto _ : state) {
        // Both contenders apply the same slice of the sequence in turn; each
        // store is in the same state before its turn.
        const std::size_t first = s.next;
        s.next = (s.next + kOpsPerRound) % kSequence;
        uint64_t vorel_digest = 0;
        uint64_t base_digest = 0;
        double vorel_s = 0;
        double base_s = 0;
        double vorel_issued = 0;
        double base_issued = 0;
        vbench::round(
            contest, contest.rounds(), kOpsPerRound,
            [&] {
                vorel_s = timed_round(
                    first, kOpsPerRound, kOpsPerRound * per_op,
                    [&](std::size_t k) {
                        devconpld *p = &s.payloads[k];
                        if (op == Op::RemoveReadd && delPidFromVorel(p->src_dev.pid, 0) != 0)
                            return -1;
                        return addPidToVorel(p, VOREL_UPD_DEV_ONLINE, 0);
                    },
                    vorel_digest, vorel_issued);
                return vorel_s;
            },
            [&] {
                base_s = timed_round(
                    first, kOpsPerRound, kOpsPerRound * per_op,
                    [&](std::size_t k) {
                        return op == Op::Update ? s.baseline.update(s.updates[k])
                                                : s.baseline.remove_readd(s.updates[k]);
                    },
                    base_digest, base_issued);
                return base_s;
            });
        if (vorel_s < 0 || base_s < 0) {
            state.SkipWithError("an operation failed or its message did not arrive");
            break;
        }
        if (vorel_digest != base_digest) {
            state.SkipWithError("the library and the baseline delivered different messages");
            break;
        }
        issued_ns.push_back(vorel_issued / kOpsPerRound * 1e9);
        base_issued_ns.push_back(base_issued / kOpsPerRound * 1e9);
        state.SetIterationTime(vorel_s);
    }
    if (g_shared->malformed.load() != 0)
        state.SkipWithError("the watcher could not decode a message");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kOpsPerRound));
    // The update's limit is set for 10,000 devices and more; the removal's for every size.
    const double limit = op == Op::Update && devices < 10000 ? 0 : 1.5;
    contest.report(state, vbench::row_name(name, state), limit);
    state.counters["issue_ns_per_op"] = vbench::median(issued_ns);
    state.counters["base_issue_ns_per_op"] = vbench::median(base_issued_ns);
}

void BM_Update(benchmark::State &state) { run_contest(state, Op::Update, "update"); }
void BM_RemoveReadd(benchmark::State &state) { run_contest(state, Op::RemoveReadd, "remove_readd"); }

double percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
}

// One update at a time, each awaited in the watcher.  Latencies in
// microseconds, from the call and from the return.
void BM_Latency(benchmark::State &state)
{
    const auto devices = static_cast<uint32_t>(state.range(0));
    Setup &s = Setup::at(devices);
    setMySwitch(kInstance);
    std::vector<double> call_us, ret_us, base_call_us, base_ret_us;
    const auto one = [&](auto &&apply, std::vector<double> &from_call, std::vector<double> &from_ret) {
        const uint64_t before = g_shared->received.load(std::memory_order_acquire);
        const int64_t t0 = now_ns();
        const int32_t rc = apply();
        const int64_t t1 = now_ns();
        const int64_t arrived = wait_arrivals(before + 1);
        if (rc != 0 || arrived < 0)
            return false;
        from_call.push_back(static_cast<double>(arrived - t0) / 1e3);
        from_ret.push_back(static_cast<double>(arrived - t1) / 1e3);
        return true;
    };
    for (auto _ : state) {
        const std::size_t k = s.next;
        s.next = (s.next + 1) % kSequence;
        const auto t0 = vbench::Clock::now();
        const bool ok = one([&] { return addPidToVorel(&s.payloads[k], VOREL_UPD_DEV_ONLINE, 0); }, call_us, ret_us) &&
                        one([&] { return s.baseline.update(s.updates[k]); }, base_call_us, base_ret_us);
        if (!ok) {
            state.SkipWithError("an update failed or its message did not arrive");
            break;
        }
        state.SetIterationTime(vbench::seconds(t0, vbench::Clock::now()));
    }
    vbench::Row row;
    row.ns_per_op = percentile(call_us, 0.99) * 1e3;
    row.base_ns_per_op = percentile(base_call_us, 0.99) * 1e3;
    row.ratio = percentile(call_us, 0.99); // the target is absolute: p99 in microseconds
    row.limit = 50;
    vbench::report(state, vbench::row_name("latency_p99_us", state), row);
    state.counters["p50_us"] = percentile(call_us, 0.50);
    state.counters["p99_us"] = percentile(call_us, 0.99);
    state.counters["p99_from_return_us"] = percentile(ret_us, 0.99);
    state.counters["p50_from_return_us"] = percentile(ret_us, 0.50);
    state.counters["base_p50_us"] = percentile(base_call_us, 0.50);
    state.counters["base_p99_us"] = percentile(base_call_us, 0.99);
}

} // namespace

int main(int argc, char **argv)
{
    // A runtime directory of its own, so that its IPC services and segments
    // meet nobody else's.
    char run_dir[] = "/tmp/vorel-bench-XXXXXX";
    const bool own_dir = std::getenv("VOREL_RUN_DIR") == nullptr && mkdtemp(run_dir) != nullptr;
    if (own_dir)
        setenv("VOREL_RUN_DIR", run_dir, 1);
    setenv("VOREL_TRACE_LEVEL", "1", 0);
    // The instance of the server side and of the baseline's sends.
    setMySwitch(kInstance);
    // Forked first, while this process has no threads.
    if (!start_watcher()) {
        std::fprintf(stderr, "cannot start the watcher process\n");
        return 1;
    }
    for (const int64_t n : {1000, 10000, 100000}) {
        benchmark::RegisterBenchmark("update", BM_Update)->Arg(n)->UseManualTime()->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("remove_readd", BM_RemoveReadd)
            ->Arg(n)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
        if (n == 10000)
            benchmark::RegisterBenchmark("latency", BM_Latency)
                ->Arg(n)
                ->Iterations(3000)
                ->UseManualTime()
                ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    vbench::print_rows("notifications: library against its baselines (latency: p99 in us against 50)");
    if (VorelPartCtx *c = part_vorel_glbl_array[kInstance]; c != nullptr) {
        setMySwitch(kInstance);
        const key_t key = c->shm_key;
        (void)vorellibUnInit();
        (void)gshm_remove(key);
    }
    stop_watcher();
    if (own_dir) {
        (void)gshm_remove_all(); // the trace ring too
        std::filesystem::remove_all(run_dir);
    }
    return 0;
}
