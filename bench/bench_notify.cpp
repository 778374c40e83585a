// Notification benchmark: how fast the server side applies device updates
// and how long their messages take to reach a client in another process.
//
// Fabric: 10,000 devices in 64 domains, 20% of them targets; every initiator
// is connected to 4 targets, and connectivity is symmetric.  The database is
// loaded without notifications before timing.  Each update moves one
// initiator from one of its targets to another (a symmetric replacement whose
// delta is one new and one removed PID), so every update yields one 28-byte
// DEV_ONLINE message.  The update sequence is generated before timing.
//
// A watcher process, forked before anything else runs, owns "PSIPC" and
// decodes every message it receives, writing its CLOCK_MONOTONIC arrival time
// into a page shared with this process.
//
//   BM_VorelUpdate     addPidToVorel(payload, 0, 0) through libvorel
//   BM_BaselineUpdate  the same replacement and delta in an in-process
//                      std::unordered_map<uint32_t, std::vector<DevInfo>>,
//                      the same message built and sent with the same ipcSend
//
// Reported per benchmark: updates_per_s (first call to last arrival),
// latency from the update returning to the message decoded in the watcher
// (lat_ret_p50/p99_us; negative when the message is decoded before the call
// returns, which happens because delivery is part of the call) and from the
// update's call (lat_call_p50/p99_us).  The ratios vorel / baseline are
// printed at the end.
#include <benchmark/benchmark.h>
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
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <vorel.h>

#include "decode.h"

namespace {

constexpr int kInstance = 11;
constexpr uint32_t kDevices = 10000;
constexpr uint32_t kDomains = 64;
constexpr uint32_t kTargetEvery = 5; // 20% targets
constexpr uint32_t kLinksPerInitiator = 4;
constexpr uint32_t kUpdates = 20000;        // back to back
constexpr uint32_t kPaced = 5000;           // one at a time, each awaited in the watcher
constexpr uint32_t kMaxArrivals = kUpdates; // per benchmark run

int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// ---- the page shared with the watcher --------------------------------------------------

struct Shared {
    std::atomic<uint32_t> received;
    std::atomic<uint32_t> malformed;
    std::atomic<uint32_t> stop;
    int64_t arrival_ns[kMaxArrivals];
};
static_assert(std::atomic<uint32_t>::is_always_lock_free);

Shared *g_shared = nullptr;
pid_t g_watcher = -1;

int32_t watch_handler(const IPCAddr *, uint32_t, const void *request, uint32_t request_len, uint32_t code)
{
    const uint32_t n = request_len >= 4 ? request_len - 4 : 0;
    const auto r = vorel::decode::decode(code, static_cast<const char *>(request) + 4, n);
    const int64_t t = now_ns();
    if (!r.ok()) {
        g_shared->malformed.fetch_add(1);
        return 0;
    }
    const uint32_t i = g_shared->received.load(std::memory_order_relaxed);
    if (i < kMaxArrivals)
        g_shared->arrival_ns[i] = t;
    g_shared->received.store(i + 1, std::memory_order_release);
    return 0;
}

[[noreturn]] void watcher_main(int ready_fd)
{
    setMySwitch(kInstance);
    const int svc = ipcRegisterService(VOREL_CLIENT_SVC_NAME, watch_handler);
    const char ok = svc > 0 ? 1 : 0;
    (void)!write(ready_fd, &ok, 1);
    while (g_shared->stop.load() == 0)
        pause(); // ended by SIGTERM from the parent
    _exit(0);
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
        g_shared->stop.store(1);
        kill(g_watcher, SIGTERM);
        waitpid(g_watcher, nullptr, 0);
    }
}

// Waits until the watcher has decoded `n` messages of this run.
bool wait_arrivals(uint32_t n)
{
    const int64_t give_up = now_ns() + 60'000'000'000;
    while (g_shared->received.load(std::memory_order_acquire) < n) {
        if (now_ns() > give_up)
            return false;
        sched_yield();
    }
    return true;
}

// ---- the fabric and the update sequence -------------------------------------------------

DevInfo dev_of(uint32_t pid)
{
    DevInfo d{};
    d.pid = pid;
    d.ind = static_cast<int16_t>(pid & 0x7FFF);
    d.spd = 32;
    d.devflags = (pid & 1) ? 0x10 : 0x20;
    return d;
}

uint32_t pid_of(uint32_t i) { return ((1 + i % kDomains) << 16) | (1 + i / kDomains); }

struct Update {
    uint32_t src = 0;
    std::vector<DevInfo> dests; // the initiator's complete new list
};

struct Fabric {
    std::vector<uint32_t> initiators, targets;
    std::unordered_map<uint32_t, std::vector<uint32_t>> links; // symmetric
    std::vector<Update> updates;
};

const Fabric &fabric()
{
    static const Fabric f = [] {
        Fabric fab;
        std::mt19937 rng(7);
        for (uint32_t i = 0; i < kDevices; ++i)
            (i % kTargetEvery == 0 ? fab.targets : fab.initiators).push_back(pid_of(i));
        auto pick = [&](const std::vector<uint32_t> &have) {
            for (;;) {
                const uint32_t t = fab.targets[rng() % fab.targets.size()];
                if (std::find(have.begin(), have.end(), t) == have.end())
                    return t;
            }
        };
        for (uint32_t s : fab.initiators) {
            auto &mine = fab.links[s];
            while (mine.size() < kLinksPerInitiator) {
                const uint32_t t = pick(mine);
                mine.push_back(t);
                fab.links[t].push_back(s);
            }
        }
        for (uint32_t t : fab.targets)
            (void)fab.links[t];
        // The sequence, on a copy of the initiators' lists.
        std::unordered_map<uint32_t, std::vector<uint32_t>> now;
        for (uint32_t s : fab.initiators)
            now[s] = fab.links[s];
        for (uint32_t k = 0; k < kUpdates + kPaced; ++k) {
            const uint32_t s = fab.initiators[rng() % fab.initiators.size()];
            auto &mine = now[s];
            mine[rng() % mine.size()] = pick(mine);
            Update u{s, {}};
            for (uint32_t d : mine)
                u.dests.push_back(dev_of(d));
            fab.updates.push_back(std::move(u));
        }
        return fab;
    }();
    return f;
}

// ---- results of the two runs, for the ratios -----------------------------------------------

struct RunResult {
    double updates_per_s = 0;
    double lat_ret_p50 = 0, lat_ret_p99 = 0, lat_call_p50 = 0, lat_call_p99 = 0;
    bool done = false;
};
RunResult g_vorel, g_baseline, g_vorel_paced, g_baseline_paced;

double percentile_us(std::vector<int64_t> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())));
    return static_cast<double>(v[i]) / 1000.0;
}

// The updates of a run: the back-to-back runs take the first kUpdates of
// the sequence, the paced runs the kPaced after them.
struct Slice {
    uint32_t first;
    uint32_t count;
    bool paced;
};
constexpr Slice kBackToBack{0, kUpdates, false};
constexpr Slice kOneAtATime{kUpdates, kPaced, true};

// Runs a slice of the update sequence with `apply(update index)` and reports
// against the arrivals.  Paced, each update waits for its message to be
// decoded before the next one starts.
template <class Apply> void measure(benchmark::State &state, RunResult &out, Slice slice, Apply apply)
{
    const uint32_t n = slice.count;
    std::vector<int64_t> call_ns(n), ret_ns(n);
    g_shared->received.store(0);
    g_shared->malformed.store(0);
    uint32_t k = 0;
    for (auto _ : state) {
        call_ns[k] = now_ns();
        const int32_t rc = apply(slice.first + k);
        ret_ns[k] = now_ns();
        if (rc != 0) {
            state.SkipWithError("update failed");
            break;
        }
        ++k;
        if ((slice.paced || k == n) && !wait_arrivals(k)) {
            state.SkipWithError("messages did not arrive");
            break;
        }
    }
    if (k != n || g_shared->malformed.load() != 0) {
        if (g_shared->malformed.load() != 0)
            state.SkipWithError("the watcher could not decode a message");
        return;
    }
    std::vector<int64_t> from_ret(k), from_call(k);
    for (uint32_t i = 0; i < k; ++i) {
        from_ret[i] = g_shared->arrival_ns[i] - ret_ns[i];
        from_call[i] = g_shared->arrival_ns[i] - call_ns[i];
    }
    out.updates_per_s = k / (static_cast<double>(g_shared->arrival_ns[k - 1] - call_ns[0]) / 1e9);
    out.lat_ret_p50 = percentile_us(from_ret, 0.50);
    out.lat_ret_p99 = percentile_us(from_ret, 0.99);
    out.lat_call_p50 = percentile_us(from_call, 0.50);
    out.lat_call_p99 = percentile_us(from_call, 0.99);
    out.done = true;
    state.SetItemsProcessed(k);
    state.counters["updates_per_s"] = out.updates_per_s;
    state.counters["lat_ret_p50_us"] = out.lat_ret_p50;
    state.counters["lat_ret_p99_us"] = out.lat_ret_p99;
    state.counters["lat_call_p50_us"] = out.lat_call_p50;
    state.counters["lat_call_p99_us"] = out.lat_call_p99;
}

// ---- libvorel ---------------------------------------------------------------------------

bool g_vorel_ready = false;

// The server side in this process: database created, the fabric loaded in
// the initial-load mode (no messages), client type 0 registered.
bool setup_vorel()
{
    setMySwitch(kInstance);
    if (vorellibInit() != 0 || initVorelSrvr() != 0)
        return false;
    const Fabric &fab = fabric();
    std::vector<std::vector<DevInfo>> dsts;
    std::vector<devconpld> recs;
    for (uint32_t i = 0; i < kDevices; ++i) {
        const uint32_t pid = pid_of(i);
        std::vector<DevInfo> d;
        for (uint32_t p : fab.links.at(pid))
            d.push_back(dev_of(p));
        dsts.push_back(std::move(d));
    }
    for (uint32_t i = 0; i < kDevices; ++i) {
        devconpld r{};
        r.src_dev = dev_of(pid_of(i));
        r.num_dstdevices = static_cast<int32_t>(dsts[i].size());
        r.dst_devices = dsts[i].data();
        recs.push_back(r);
    }
    bulkconpld list{};
    list.num_devices = static_cast<int32_t>(recs.size());
    list.devices = recs.data();
    if (addPidListToVorel(&list, VOREL_UPD_SYNC, 0) != 0 || vorelSyncDone(0) != 0)
        return false;
    uint32_t count = 0;
    if (getCountFromVorel(&count) != 0 || count != kDevices)
        return false;
    // The sync notice went out before anyone was registered.
    return registerVorelClientToSrvr(0) == VOREL_E_INSYNC;
}

void BM_VorelUpdate(benchmark::State &state)
{
    if (!g_vorel_ready) {
        state.SkipWithError("setup failed");
        for (auto _ : state) {
        }
        return;
    }
    const auto &ups = fabric().updates;
    // Payloads built before timing; the library only reads them.
    std::vector<devconpld> pl(ups.size());
    for (std::size_t i = 0; i < ups.size(); ++i) {
        pl[i].src_dev = dev_of(ups[i].src);
        pl[i].num_dstdevices = static_cast<int32_t>(ups[i].dests.size());
        pl[i].dst_devices = const_cast<DevInfo *>(ups[i].dests.data());
    }
    const uint32_t rev0 = getCurrentRevisionNum();
    const Slice slice = state.range(0) ? kOneAtATime : kBackToBack;
    measure(state, state.range(0) ? g_vorel_paced : g_vorel, slice,
            [&](uint32_t k) { return addPidToVorel(&pl[k], VOREL_UPD_DEV_ONLINE, 0); });
    state.counters["revisions"] = static_cast<double>(getCurrentRevisionNum() - rev0);
}

// ---- the baseline --------------------------------------------------------------------------

// A device's destinations in a hash map, kept symmetric like the store.
class Baseline {
  public:
    Baseline()
    {
        const Fabric &fab = fabric();
        for (const auto &[pid, links] : fab.links) {
            auto &v = map_[pid];
            for (uint32_t p : links)
                v.push_back(dev_of(p));
        }
        addr_.node = static_cast<uint16_t>(myNode() & 0xFFFF);
        addr_.svc = VOREL_IPC_SVC;
        std::strcpy(addr_.name, VOREL_CLIENT_SVC_NAME);
    }

    int32_t update(const Update &u)
    {
        std::vector<DevInfo> &cur = map_[u.src];
        // Delta, in the same order rules as the store's: new ones in payload
        // order, removed ones in stored order.
        std::vector<uint32_t> added, removed;
        for (const DevInfo &d : u.dests)
            if (std::none_of(cur.begin(), cur.end(), [&](const DevInfo &c) { return c.pid == d.pid; }))
                added.push_back(d.pid);
        for (const DevInfo &c : cur)
            if (std::none_of(u.dests.begin(), u.dests.end(), [&](const DevInfo &d) { return c.pid == d.pid; }))
                removed.push_back(c.pid);
        // Symmetric replacement: out of every old peer's list, into every new one's.
        for (const DevInfo &c : cur)
            if (auto it = map_.find(c.pid); it != map_.end())
                std::erase_if(it->second, [&](const DevInfo &x) { return x.pid == u.src; });
        cur = u.dests;
        const DevInfo self = dev_of(u.src);
        for (const DevInfo &d : u.dests)
            if (auto it = map_.find(d.pid); it != map_.end())
                if (std::none_of(it->second.begin(), it->second.end(),
                                 [&](const DevInfo &x) { return x.pid == u.src; }))
                    it->second.push_back(self);
        const vorel::decode::OnlineDelta delta{u.src, std::move(added), std::move(removed)};
        const std::vector<uint32_t> msg = vorel::decode::encode_dev_online(std::span(&delta, 1));
        const ipc_timeout_t timeout{30, 0};
        const int rc =
            ipcSend(&addr_, VOREL_MSG_DEV_ONLINE, msg.data(), static_cast<uint32_t>(msg.size() * 4), &timeout);
        return rc < 0 ? rc : 0;
    }

  private:
    std::unordered_map<uint32_t, std::vector<DevInfo>> map_;
    IPCAddr addr_{};
};

void BM_BaselineUpdate(benchmark::State &state)
{
    static Baseline base; // one map for both runs, as the store is one database
    const auto &ups = fabric().updates;
    const Slice slice = state.range(0) ? kOneAtATime : kBackToBack;
    measure(state, state.range(0) ? g_baseline_paced : g_baseline, slice,
            [&](uint32_t k) { return base.update(ups[k]); });
}

// Argument 0: back to back; 1: one at a time.  The back-to-back runs come
// first, so that both stores see the same sequence in the same order.
BENCHMARK(BM_VorelUpdate)->Arg(0)->Iterations(kUpdates)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BaselineUpdate)->Arg(0)->Iterations(kUpdates)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VorelUpdate)->Arg(1)->Iterations(kPaced)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BaselineUpdate)->Arg(1)->Iterations(kPaced)->UseRealTime()->Unit(benchmark::kMicrosecond);

void print_ratios(const char *what, const RunResult &v, const RunResult &b)
{
    if (!v.done || !b.done)
        return;
    std::printf("vorel / baseline, %s: updates_per_s %.2f; latency from call p50 %.2f p99 %.2f; "
                "from return p50 %.2f p99 %.2f\n",
                what, v.updates_per_s / b.updates_per_s, v.lat_call_p50 / b.lat_call_p50,
                v.lat_call_p99 / b.lat_call_p99, v.lat_ret_p50 / b.lat_ret_p50, v.lat_ret_p99 / b.lat_ret_p99);
}

} // namespace

int main(int argc, char **argv)
{
    // A runtime directory of its own, so that its IPC services and segments
    // meet nobody else's.
    char run_dir[] = "/tmp/vorel-bench-XXXXXX";
    if (std::getenv("VOREL_RUN_DIR") == nullptr && mkdtemp(run_dir) != nullptr)
        setenv("VOREL_RUN_DIR", run_dir, 1);
    // Forked first, while this process has no threads.
    if (!start_watcher()) {
        std::fprintf(stderr, "cannot start the watcher process\n");
        return 1;
    }
    (void)fabric();
    g_vorel_ready = setup_vorel();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\n");
    print_ratios("back to back", g_vorel, g_baseline);
    print_ratios("one at a time", g_vorel_paced, g_baseline_paced);
    if (g_vorel_ready)
        (void)vorellibUnInit();
    stop_watcher();
    if (std::strcmp(std::getenv("VOREL_RUN_DIR"), run_dir) == 0)
        std::filesystem::remove_all(run_dir);
    return 0;
}
