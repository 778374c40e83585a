// bench_store.cpp - the connectivity store's primitives at 1,000, 10,000 and
// 100,000 devices spread over 64 domains: 20% of the devices are targets,
// every other device is an initiator connected to 4 targets.
//
//   floor_lookup        what a lookup cannot avoid: one allocation, a copy
//                       of the record from a flat array, one free
//   lookup              getPidFromVorel + free
//   insert_with_peers   con_addpidtodb(sync 1) under the write lock,
//                       replacing an initiator's 4 targets
//   remove_readd        con_delpidfromdb(sync 1) + con_addpidtodb(sync 1)
//   enumerate           getEachPidFromVorel over the whole store; the
//                       per_device counter is the time per device
//
// Every operation sequence is generated before timing.  The trace runs at
// level 1 (VOREL_TRACE_LEVEL, default 1) into VOREL_TRACE_FILE (default
// /dev/null here).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "lock.h"
#include "vorel_db.h"

namespace {

constexpr uint32_t kDomains = 64;
constexpr uint32_t kTargetsPerInitiator = 4;
constexpr size_t kOps = 4096; // operations generated per benchmark (a power of two)

uint32_t pid_of(uint32_t index) { return (1 + index % kDomains) << 16 | (index / kDomains); }
bool is_target(uint32_t index) { return index % 5 == 0; }

DevInfo dev_info(uint32_t pid)
{
    DevInfo d{};
    d.pid = pid;
    d.ind = static_cast<int16_t>(pid & 0x7FFF);
    d.spd = 32;
    d.devflags = pid ^ 0xF00Du;
    return d;
}

// One initiator's payload with its own destination array.
struct Update {
    DevInfo src{};
    std::vector<DevInfo> dests;
    devconpld pld() const
    {
        devconpld p{};
        p.src_dev = src;
        p.num_dstdevices = static_cast<int32_t>(dests.size());
        p.dst_devices = const_cast<DevInfo *>(dests.data());
        return p;
    }
};

// The store of the benchmarks' switch instance, rebuilt for each size.
class Store {
  public:
    // The store of `devices` devices, built on first use of that size.
    static Store &at(uint32_t devices)
    {
        std::unique_ptr<Store> &current = slot();
        if (!current || current->devices_ != devices) {
            current.reset();
            current = std::make_unique<Store>(devices);
        }
        return *current;
    }
    static void release() { slot().reset(); }

    explicit Store(uint32_t devices);
    ~Store()
    {
        const key_t key = vorel::ctx()->shm_key;
        (void)vorellibUnInit();
        (void)gshm_remove(key);
    }
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    uint32_t devices() const { return devices_; }
    const std::vector<uint32_t> &targets() const { return targets_; }
    const std::vector<uint32_t> &initiators() const { return initiators_; }

    // An initiator connected to 4 distinct random targets.
    Update random_update(std::mt19937 &rng, uint32_t initiator) const
    {
        Update u;
        u.src = dev_info(initiator);
        while (u.dests.size() < kTargetsPerInitiator) {
            const uint32_t t = targets_[rng() % targets_.size()];
            bool dup = false;
            for (const DevInfo &d : u.dests)
                dup = dup || d.pid == t;
            if (!dup)
                u.dests.push_back(dev_info(t));
        }
        return u;
    }

  private:
    static std::unique_ptr<Store> &slot()
    {
        static std::unique_ptr<Store> current;
        return current;
    }

    uint32_t devices_;
    std::vector<uint32_t> targets_;
    std::vector<uint32_t> initiators_;
};

Store::Store(uint32_t devices) : devices_(devices)
{
    if (vorellibInit() != 0)
        std::abort();
    (void)gshm_remove(vorel::ctx()->shm_key);
    if (initVorelSrvr() != 0)
        std::abort();
    uint8_t list[kDomains];
    for (uint32_t d = 0; d < kDomains; ++d)
        list[d] = static_cast<uint8_t>(d + 1);
    if (fabricSetView(getMySwitch(), 1, list, kDomains) != 0)
        std::abort();
    for (uint32_t i = 0; i < devices; ++i)
        (is_target(i) ? targets_ : initiators_).push_back(pid_of(i));
    std::mt19937 rng(devices);
    vorel::WriteLock lock(vorel::ctx()->rwlock);
    for (const uint32_t t : targets_) { // initial load: absent devices, no peers
        Update u{dev_info(t), {}};
        devconpld p = u.pld();
        (void)con_addpidtodb(&p, 0);
    }
    for (const uint32_t i : initiators_) {
        const Update u = random_update(rng, i);
        devconpld p = u.pld();
        (void)con_addpidtodb(&p, 1);
    }
}

// Random PIDs of the store, drawn before timing.
std::vector<uint32_t> lookup_sequence(const Store &s)
{
    std::mt19937 rng(s.devices() + 1);
    std::vector<uint32_t> seq(kOps);
    for (uint32_t &p : seq)
        p = pid_of(rng() % s.devices());
    return seq;
}

void floor_lookup(benchmark::State &state, uint32_t devices)
{
    // The same records as the store holds (targets carry the links of their
    // initiators), laid out in one flat array indexed by device.
    (void)Store::at(devices);
    std::vector<uint32_t> offset(devices + 1);
    std::vector<DevInfo> flat;
    for (uint32_t i = 0; i < devices; ++i) {
        devconpld *rec = nullptr;
        if (getPidFromVorel(pid_of(i), &rec) != 0)
            std::abort();
        offset[i] = static_cast<uint32_t>(flat.size());
        flat.push_back(rec->src_dev);
        flat.insert(flat.end(), rec->dst_devices, rec->dst_devices + rec->num_dstdevices);
        std::free(rec);
    }
    offset[devices] = static_cast<uint32_t>(flat.size());
    std::mt19937 rng(devices + 1);
    std::vector<uint32_t> seq(kOps);
    for (uint32_t &i : seq)
        i = rng() % devices;

    size_t k = 0;
    for (auto _ : state) {
        const uint32_t i = seq[k++ & (kOps - 1)];
        const uint32_t n = offset[i + 1] - offset[i] - 1;
        auto *p = static_cast<devconpld *>(std::calloc(1, sizeof(devconpld) + sizeof(DevInfo) * n));
        p->src_dev = flat[offset[i]];
        p->num_dstdevices = static_cast<int32_t>(n);
        p->dst_devices = reinterpret_cast<DevInfo *>(p + 1);
        std::memcpy(p->dst_devices, &flat[offset[i] + 1], sizeof(DevInfo) * n);
        benchmark::DoNotOptimize(p);
        std::free(p);
    }
    state.SetItemsProcessed(state.iterations());
}

void lookup(benchmark::State &state, uint32_t devices)
{
    const Store &s = Store::at(devices);
    const std::vector<uint32_t> seq = lookup_sequence(s);
    size_t k = 0;
    for (auto _ : state) {
        devconpld *p = nullptr;
        if (getPidFromVorel(seq[k++ & (kOps - 1)], &p) != 0)
            state.SkipWithError("lookup failed");
        benchmark::DoNotOptimize(p);
        std::free(p);
    }
    state.SetItemsProcessed(state.iterations());
}

std::vector<Update> update_sequence(const Store &s, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<Update> seq;
    seq.reserve(kOps);
    for (size_t i = 0; i < kOps; ++i)
        seq.push_back(s.random_update(rng, s.initiators()[rng() % s.initiators().size()]));
    return seq;
}

void insert_with_peers(benchmark::State &state, uint32_t devices)
{
    const Store &s = Store::at(devices);
    const std::vector<Update> seq = update_sequence(s, devices + 2);
    std::vector<devconpld> plds;
    for (const Update &u : seq)
        plds.push_back(u.pld());
    size_t k = 0;
    for (auto _ : state) {
        vorel::WriteLock lock(vorel::ctx()->rwlock);
        if (con_addpidtodb(&plds[k++ & (kOps - 1)], 1) != 0)
            state.SkipWithError("insertion failed");
    }
    state.SetItemsProcessed(state.iterations());
}

void remove_readd(benchmark::State &state, uint32_t devices)
{
    const Store &s = Store::at(devices);
    const std::vector<Update> seq = update_sequence(s, devices + 3);
    std::vector<devconpld> plds;
    for (const Update &u : seq)
        plds.push_back(u.pld());
    size_t k = 0;
    for (auto _ : state) {
        devconpld &p = plds[k++ & (kOps - 1)];
        vorel::WriteLock lock(vorel::ctx()->rwlock);
        disconnMsg *msg = con_delpidfromdb(p.src_dev.pid, 1);
        if (msg == nullptr)
            state.SkipWithError("removal failed");
        std::free(msg);
        if (con_addpidtodb(&p, 1) != 0)
            state.SkipWithError("insertion failed");
    }
    state.SetItemsProcessed(state.iterations());
}

int count_device(devconpld *pld, void *arg)
{
    benchmark::DoNotOptimize(pld->dst_devices);
    ++*static_cast<uint64_t *>(arg);
    return 0;
}

void enumerate(benchmark::State &state, uint32_t devices)
{
    (void)Store::at(devices);
    uint64_t seen = 0;
    for (auto _ : state) {
        if (getEachPidFromVorel(count_device, &seen) != 0)
            state.SkipWithError("enumeration failed");
    }
    if (seen != static_cast<uint64_t>(devices) * state.iterations())
        state.SkipWithError("not every device was handed out");
    state.SetItemsProcessed(static_cast<int64_t>(seen));
    state.counters["per_device"] =
        benchmark::Counter(devices, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// A private runtime directory for the benchmark's segment and fabric view.
std::string make_run_dir()
{
    if (const char *dir = std::getenv("VOREL_RUN_DIR"); dir != nullptr)
        return {};
    char tmpl[] = "/tmp/vorel-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        std::abort();
    setenv("VOREL_RUN_DIR", tmpl, 1);
    return tmpl;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string run_dir = make_run_dir();
    setenv("VOREL_TRACE_LEVEL", "1", 0);
    setenv("VOREL_TRACE_FILE", "/dev/null", 0);

    for (const uint32_t n : {1000u, 10000u, 100000u}) {
        char name[64];
        const auto reg = [&](const char *what, void (*fn)(benchmark::State &, uint32_t)) {
            std::snprintf(name, sizeof name, "%s/%u", what, n);
            benchmark::RegisterBenchmark(name, fn, n);
        };
        reg("floor_lookup", floor_lookup);
        reg("lookup", lookup);
        reg("insert_with_peers", insert_with_peers);
        reg("remove_readd", remove_readd);
        reg("enumerate", enumerate);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Store::release();
    if (!run_dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(run_dir, ec);
    }
    return 0;
}
