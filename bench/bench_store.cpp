// bench_store.cpp - the store's read paths, its load and its memory, each
// against a baseline measured in the same run (see harness.h):
//
//   lookup/N     getPidFromVorel + free of a random device, against the
//                floor: the same records in one flat array, copied out with
//                one allocation and one memcpy per lookup (same PIDs, same
//                order).  Limit 8x at 1,000 and 10,000 devices, 12x above.
//   enumerate/N  getEachPidFromVorel over the whole store, per device,
//                against the floor: the same records walked in the same
//                order, each copied with one memcpy into the payload handed
//                to the same callback.  Limit 10x.
//   load/N       addPidListToVorel in the initial-load mode (update type 8),
//                per device, against building an
//                std::unordered_map<uint32_t, std::vector<DevInfo>> of the
//                same devices, both in memory that exists already (a segment
//                emptied by the round before, a heap kept by the process).
//                Limit 3x.
//   load_fresh/N the same load into a brand-new segment, whose pages the
//                machine provides as the blocks are carved; reported with
//                fresh_memory_ns_per_device, what the machine charges for
//                the 1840 bytes a device takes, measured alone.
//   memory/N     bytes of the segment in use after the load, against the
//                block arithmetic (2060 per DomDb, 1832 per DestDb, 8 for
//                the header).  Limit 1.05.
//
// N is 1,000, 10,000 and 100,000 devices (workload.h).  With
// VOREL_BENCH_SCALE=1 in the environment, scale/1000000 also runs: a
// million devices are loaded into a segment whose limit is raised toward
// 4 GiB, answer lookups (checked against the fabric), are enumerated, and
// are removed again; memory is checked after the load and after the removal.
#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <vorel.h>

#include "harness.h"
#include "workload.h"

namespace {

using vbench::Clock;

constexpr int kStoreInstance = 101; // the stores that lookups and enumerations read
constexpr int kLoadInstance = 102;  // fresh segments for the load rounds
constexpr int kScaleInstance = 103;
constexpr std::size_t kLookups = 8192;
constexpr std::size_t kLookupsPerRound = 1024;

int64_t g_sink = 0; // what the callbacks and floors compute, so nothing is optimised away

// Starts the library for an instance once; the fabric view lists the
// benchmark's 64 domains.
void start_instance(int instance)
{
    static bool started[128] = {};
    setMySwitch(instance);
    if (started[instance])
        return;
    if (vorellibInit() != 0)
        std::abort();
    uint8_t list[vbench::kDomains];
    for (uint32_t d = 0; d < vbench::kDomains; ++d)
        list[d] = static_cast<uint8_t>(d + 1);
    if (fabricSetView(instance, 1, list, vbench::kDomains) != 0)
        std::abort();
    started[instance] = true;
}

// A fresh, empty segment for the calling instance.
void fresh_segment()
{
    VorelPartCtx *c = part_vorel_glbl_array[getMySwitch()];
    if (c->initialized > 0)
        detachVorelSrvr();
    (void)gshm_remove(c->shm_key);
    if (initVorelSrvr() != 0)
        std::abort();
}

void drop_segment()
{
    VorelPartCtx *c = part_vorel_glbl_array[getMySwitch()];
    detachVorelSrvr();
    (void)gshm_remove(c->shm_key);
}

gshm_stats_t segment_stats()
{
    gshm_stats_t s{};
    (void)gshm_get_stats(part_vorel_glbl_array[getMySwitch()]->shm_handle, &s);
    return s;
}

// ---- the floor: the store's records in one flat array --------------------------------------

// Each record is kept as the image of the payload a lookup returns: the
// 44-byte devconpld followed by its destinations, so one memcpy copies it.
class Flat {
  public:
    // The records of `pids`, read from the store, in that order.
    explicit Flat(const std::vector<uint32_t> &pids)
    {
        for (const uint32_t pid : pids) {
            devconpld *rec = nullptr;
            if (getPidFromVorel(pid, &rec) != 0)
                std::abort();
            const std::size_t size = sizeof(devconpld) + sizeof(DevInfo) * rec->num_dstdevices;
            offset_.push_back(bytes_.size());
            size_.push_back(static_cast<uint32_t>(size));
            bytes_.insert(bytes_.end(), reinterpret_cast<const uint8_t *>(rec),
                          reinterpret_cast<const uint8_t *>(rec) + size);
            largest_ = std::max<std::size_t>(largest_, size);
            std::free(rec);
        }
    }
    std::size_t count() const { return size_.size(); }
    std::size_t largest() const { return largest_; }
    const uint8_t *image(std::size_t i) const { return bytes_.data() + offset_[i]; }
    uint32_t size(std::size_t i) const { return size_[i]; }

  private:
    std::vector<uint8_t> bytes_;
    std::vector<std::size_t> offset_;
    std::vector<uint32_t> size_;
    std::size_t largest_ = 0;
};

// One lookup of the floor: the payload copied out whole, then released.
inline void floor_lookup(const Flat &flat, std::size_t i)
{
    const uint32_t size = flat.size(i);
    auto *p = static_cast<devconpld *>(std::malloc(size));
    std::memcpy(p, flat.image(i), size);
    p->dst_devices = reinterpret_cast<DevInfo *>(p + 1);
    benchmark::DoNotOptimize(p);
    std::free(p);
}

int visit_device(devconpld *pld, void *arg)
{
    int64_t &acc = *static_cast<int64_t *>(arg);
    acc += pld->num_dstdevices;
    for (int32_t i = 0; i < pld->num_dstdevices; ++i)
        acc ^= pld->dst_devices[i].pid;
    return 0;
}

int collect_pid(devconpld *pld, void *arg)
{
    static_cast<std::vector<uint32_t> *>(arg)->push_back(pld->src_dev.pid);
    return 0;
}

// ---- the store of one size ------------------------------------------------------------------

class Store {
  public:
    static Store &at(uint32_t devices)
    {
        static std::unique_ptr<Store> current;
        if (!current || current->fabric_.devices != devices) {
            current.reset();
            current = std::make_unique<Store>(devices);
        }
        start_instance(kStoreInstance);
        return *current;
    }

    explicit Store(uint32_t devices) : fabric_(vbench::make_fabric(devices)), list_(fabric_)
    {
        start_instance(kStoreInstance);
        fresh_segment();
        bulkconpld l = list_.list();
        if (addPidListToVorel(&l, VOREL_UPD_SYNC, 0) != 0)
            std::abort();
        stats_after_load_ = segment_stats();
        lookups_ = vbench::make_lookups(fabric_, kLookups, devices + 1);
    }
    ~Store()
    {
        setMySwitch(kStoreInstance);
        drop_segment();
    }
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    const vbench::Fabric &fabric() const { return fabric_; }
    const std::vector<uint32_t> &lookups() const { return lookups_; }
    const gshm_stats_t &stats_after_load() const { return stats_after_load_; }

    // The floor of the lookups: every record, by device index.
    const Flat &lookup_floor()
    {
        if (!lookup_floor_) {
            std::vector<uint32_t> all(fabric_.devices);
            for (uint32_t i = 0; i < fabric_.devices; ++i)
                all[i] = vbench::pid_of(i);
            lookup_floor_ = std::make_unique<Flat>(all);
        }
        return *lookup_floor_;
    }
    // The floor of the enumeration: every record, in enumeration order.
    const Flat &enumeration_floor()
    {
        if (!enum_floor_) {
            std::vector<uint32_t> order;
            if (getEachPidFromVorel(collect_pid, &order) != 0 || order.size() != fabric_.devices)
                std::abort();
            enum_floor_ = std::make_unique<Flat>(order);
        }
        return *enum_floor_;
    }

  private:
    vbench::Fabric fabric_;
    vbench::DeviceList list_;
    std::vector<uint32_t> lookups_;
    gshm_stats_t stats_after_load_{};
    std::unique_ptr<Flat> lookup_floor_;
    std::unique_ptr<Flat> enum_floor_;
};

double lookup_limit(uint32_t devices) { return devices <= 10000 ? 8.0 : 12.0; }

// ---- the benchmarks ---------------------------------------------------------------------------

void BM_Lookup(benchmark::State &state)
{
    const auto devices = static_cast<uint32_t>(state.range(0));
    Store &s = Store::at(devices);
    const Flat &flat = s.lookup_floor();
    const std::vector<uint32_t> &seq = s.lookups();
    std::vector<uint32_t> index(seq.size()); // where the floor finds each PID
    for (std::size_t k = 0; k < seq.size(); ++k)
        index[k] = vbench::index_of(seq[k]);
    vbench::Contest contest;
    std::size_t at = 0;
    for (auto _ : state) {
        const std::size_t first = at;
        at = (at + kLookupsPerRound) % kLookups;
        double vorel_s = 0;
        vbench::round(
            contest, contest.rounds(), kLookupsPerRound,
            [&] {
                const auto t0 = Clock::now();
                for (std::size_t k = first; k < first + kLookupsPerRound; ++k) {
                    devconpld *p = nullptr;
                    if (getPidFromVorel(seq[k], &p) != 0)
                        std::abort();
                    benchmark::DoNotOptimize(p);
                    std::free(p);
                }
                vorel_s = vbench::seconds(t0, Clock::now());
                return vorel_s;
            },
            [&] {
                const auto t0 = Clock::now();
                for (std::size_t k = first; k < first + kLookupsPerRound; ++k)
                    floor_lookup(flat, index[k]);
                return vbench::seconds(t0, Clock::now());
            });
        state.SetIterationTime(vorel_s);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kLookupsPerRound));
    contest.report(state, vbench::row_name("lookup", state), lookup_limit(devices));
}

void BM_Enumerate(benchmark::State &state)
{
    const auto devices = static_cast<uint32_t>(state.range(0));
    Store &s = Store::at(devices);
    const Flat &flat = s.enumeration_floor();
    // The floor's payload: one block, large enough for every record.
    std::vector<uint8_t> payload(flat.largest());
    vbench::Contest contest;
    for (auto _ : state) {
        double vorel_s = 0;
        vbench::round(
            contest, contest.rounds(), devices,
            [&] {
                int64_t acc = 0;
                const auto t0 = Clock::now();
                if (getEachPidFromVorel(visit_device, &acc) != 0)
                    std::abort();
                vorel_s = vbench::seconds(t0, Clock::now());
                g_sink += acc;
                return vorel_s;
            },
            [&] {
                int64_t acc = 0;
                const auto t0 = Clock::now();
                auto *p = reinterpret_cast<devconpld *>(payload.data());
                for (std::size_t i = 0; i < flat.count(); ++i) {
                    std::memcpy(p, flat.image(i), flat.size(i));
                    p->dst_devices = reinterpret_cast<DevInfo *>(p + 1);
                    visit_device(p, &acc);
                }
                const double t = vbench::seconds(t0, Clock::now());
                g_sink += acc;
                return t;
            });
        state.SetIterationTime(vorel_s);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * devices));
    contest.report(state, vbench::row_name("enumerate", state), 10.0);
}

using DeviceMap = std::unordered_map<uint32_t, std::vector<DevInfo>>;

// The baseline of the load: the same devices in an in-process map.
DeviceMap build_map(const std::vector<devconpld> &records)
{
    DeviceMap m;
    m.reserve(records.size());
    for (const devconpld &r : records)
        m.emplace(r.src_dev.pid, std::vector<DevInfo>(r.dst_devices, r.dst_devices + r.num_dstdevices));
    return m;
}

// Removes every device of the list, delivering nothing (untimed rounds).
void remove_all(vbench::DeviceList &list)
{
    std::vector<devconpld> &all = list.records();
    for (std::size_t first = 0; first < all.size(); first += 4096) {
        bulkconpld part{};
        part.num_devices = static_cast<int32_t>(std::min<std::size_t>(4096, all.size() - first));
        part.devices = all.data() + first;
        if (delPidListToVorel(&part, VOREL_UPD_TYPE7, 0) != 0)
            std::abort();
    }
}

// The load in a segment whose memory exists already, against the map built
// in a heap whose memory exists already: both contenders pay for their own
// work, not for the machine handing out fresh pages.  Each round loads the
// devices into the emptied segment of the round before.
void BM_Load(benchmark::State &state)
{
    const auto devices = static_cast<uint32_t>(state.range(0));
    const vbench::Fabric fabric = vbench::make_fabric(devices);
    vbench::DeviceList list(fabric);
    start_instance(kLoadInstance);
    fresh_segment();
    bulkconpld l = list.list();
    if (addPidListToVorel(&l, VOREL_UPD_SYNC, 0) != 0)
        std::abort();
    remove_all(list);
    (void)build_map(list.records());
    vbench::Contest contest;
    for (auto _ : state) {
        double vorel_s = 0;
        vbench::round(
            contest, contest.rounds(), devices,
            [&] {
                const auto t0 = Clock::now();
                if (addPidListToVorel(&l, VOREL_UPD_SYNC, 0) != 0)
                    std::abort();
                vorel_s = vbench::seconds(t0, Clock::now());
                remove_all(list);
                return vorel_s;
            },
            [&] {
                const auto t0 = Clock::now();
                DeviceMap m = build_map(list.records());
                const double t = vbench::seconds(t0, Clock::now());
                g_sink += static_cast<int64_t>(m.size());
                return t; // the map is released after the clock stopped
            });
        state.SetIterationTime(vorel_s);
    }
    drop_segment();
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * devices));
    contest.report(state, vbench::row_name("load", state), 3.0);
}

double fresh_memory_ns(std::size_t bytes_per_device)
{
    constexpr std::size_t kSize = 32u << 20;
    const std::string name = "/vorel-bench-fresh." + std::to_string(getpid());
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        return 0;
    shm_unlink(name.c_str());
    double ns = 0;
    if (ftruncate(fd, kSize) == 0) {
        const auto t0 = Clock::now();
        void *p = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
        const double s = vbench::seconds(t0, Clock::now());
        if (p != MAP_FAILED) {
            munmap(p, kSize);
            ns = s * 1e9 / static_cast<double>(kSize) * static_cast<double>(bytes_per_device);
        }
    }
    close(fd);
    return ns;
}

// The load into a brand-new segment, whose pages the machine hands out as
// the blocks are carved, against the map built from the same heap as in
// BM_Load.  Reported beside BM_Load: the difference is the price of fresh
// shared memory.
void BM_LoadFresh(benchmark::State &state)
{
    const auto devices = static_cast<uint32_t>(state.range(0));
    const vbench::Fabric fabric = vbench::make_fabric(devices);
    vbench::DeviceList list(fabric);
    start_instance(kLoadInstance);
    vbench::Contest contest;
    for (auto _ : state) {
        double vorel_s = 0;
        vbench::round(
            contest, contest.rounds(), devices,
            [&] {
                fresh_segment();
                bulkconpld l = list.list();
                const auto t0 = Clock::now();
                if (addPidListToVorel(&l, VOREL_UPD_SYNC, 0) != 0)
                    std::abort();
                vorel_s = vbench::seconds(t0, Clock::now());
                drop_segment();
                return vorel_s;
            },
            [&] {
                const auto t0 = Clock::now();
                DeviceMap m = build_map(list.records());
                const double t = vbench::seconds(t0, Clock::now());
                g_sink += static_cast<int64_t>(m.size());
                return t;
            });
        state.SetIterationTime(vorel_s);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * devices));
    contest.report(state, vbench::row_name("load_fresh", state), 3.0);
    // What the machine charges for fresh shared memory alone: a new object
    // of 32 MiB mapped with its pages populated, per 1840 bytes (one DestDb
    // block with its header, what a device of this fabric takes).
    state.counters["fresh_memory_ns_per_device"] = fresh_memory_ns(1840);
}

// Bytes in use against the block arithmetic; also reported: what the
// segment has mapped.
void report_memory(benchmark::State &state, const char *name, const gshm_stats_t &st, uint64_t arithmetic)
{
    vbench::Row row;
    row.ns_per_op = 0;
    row.base_ns_per_op = 0;
    row.ratio = static_cast<double>(st.bytes_in_use) / static_cast<double>(arithmetic);
    row.limit = 1.05;
    vbench::report(state, vbench::row_name(name, state), row);
    state.counters["bytes_in_use"] = static_cast<double>(st.bytes_in_use);
    state.counters["bytes_arithmetic"] = static_cast<double>(arithmetic);
    state.counters["bytes_mapped"] = static_cast<double>(st.bytes_mapped);
    state.counters["blocks_in_use"] = st.blocks_in_use;
}

void BM_Memory(benchmark::State &state)
{
    const auto devices = static_cast<uint32_t>(state.range(0));
    Store &s = Store::at(devices);
    for (auto _ : state)
        benchmark::DoNotOptimize(s.stats_after_load().bytes_in_use);
    report_memory(state, "memory", s.stats_after_load(), vbench::block_arithmetic(s.fabric()));
}

// ---- a million devices ------------------------------------------------------------------------

int count_device(devconpld *, void *arg)
{
    ++*static_cast<uint64_t *>(arg);
    return 0;
}

// The lookup's result against the fabric: the device and its destinations
// in the order the load gave them.
bool lookup_matches(const vbench::Fabric &f, uint32_t pid)
{
    devconpld *p = nullptr;
    if (getPidFromVorel(pid, &p) != 0)
        return false;
    const std::vector<uint32_t> &want = f.links[vbench::index_of(pid)];
    bool ok = p->src_dev.pid == pid && p->num_dstdevices == static_cast<int32_t>(want.size());
    for (std::size_t i = 0; ok && i < want.size(); ++i)
        ok = p->dst_devices[i].pid == want[i];
    std::free(p);
    return ok;
}

void BM_Scale(benchmark::State &state)
{
    const auto devices = static_cast<uint32_t>(state.range(0));
    const vbench::Fabric fabric = vbench::make_fabric(devices);
    vbench::DeviceList list(fabric);
    const std::vector<uint32_t> lookups = vbench::make_lookups(fabric, 100000, devices + 1);
    start_instance(kScaleInstance);
    for (auto _ : state) {
        fresh_segment();
        // Load.
        bulkconpld l = list.list();
        auto t0 = Clock::now();
        if (addPidListToVorel(&l, VOREL_UPD_SYNC, 0) != 0)
            std::abort();
        const double load_s = vbench::seconds(t0, Clock::now());
        t0 = Clock::now();
        const DeviceMap map = build_map(list.records());
        const double map_s = vbench::seconds(t0, Clock::now());
        uint32_t count = 0;
        if (getCountFromVorel(&count) != 0 || count != devices)
            state.SkipWithError("the store does not count every device");
        const gshm_stats_t loaded = segment_stats();

        // Lookups, checked, then timed against the floor.
        uint64_t wrong = 0;
        for (std::size_t k = 0; k < lookups.size(); k += 7)
            wrong += lookup_matches(fabric, lookups[k]) ? 0 : 1;
        if (wrong != 0)
            state.SkipWithError("a lookup did not give the stored record");
        std::vector<uint32_t> all(devices);
        for (uint32_t i = 0; i < devices; ++i)
            all[i] = vbench::pid_of(i);
        const Flat flat(all);
        std::vector<uint32_t> index(lookups.size());
        for (std::size_t k = 0; k < lookups.size(); ++k)
            index[k] = vbench::index_of(lookups[k]);
        t0 = Clock::now();
        for (const uint32_t pid : lookups) {
            devconpld *p = nullptr;
            (void)getPidFromVorel(pid, &p);
            benchmark::DoNotOptimize(p);
            std::free(p);
        }
        const double lookup_s = vbench::seconds(t0, Clock::now());
        t0 = Clock::now();
        for (const uint32_t i : index)
            floor_lookup(flat, i);
        const double floor_s = vbench::seconds(t0, Clock::now());

        // Enumeration.
        uint64_t seen = 0;
        t0 = Clock::now();
        (void)getEachPidFromVorel(count_device, &seen);
        const double enum_s = vbench::seconds(t0, Clock::now());
        if (seen != devices)
            state.SkipWithError("the enumeration missed devices");

        // Removal of every device, in lists of 4096 that deliver nothing.
        t0 = Clock::now();
        remove_all(list);
        const double remove_s = vbench::seconds(t0, Clock::now());
        const gshm_stats_t removed = segment_stats();
        if (getCountFromVorel(&count) != 0 || count != 0)
            state.SkipWithError("devices are left after the removal");
        // What stays: the header and the domain blocks, which only domain
        // removal gives back.
        uint64_t domdb_blocks = 0;
        for (uint32_t d = 1; d <= vbench::kDomains; ++d)
            domdb_blocks += ((devices + vbench::kDomains - d) / vbench::kDomains + 255) / 256;
        const uint64_t left_arithmetic = 8 + 2060 * domdb_blocks;
        drop_segment();

        state.SetIterationTime(load_s);
        report_memory(state, "scale_memory", loaded, vbench::block_arithmetic(fabric));
        state.counters["load_ns_per_device"] = load_s / devices * 1e9;
        state.counters["map_ns_per_device"] = map_s / devices * 1e9;
        state.counters["load_ratio"] = load_s / map_s;
        state.counters["fresh_memory_ns_per_device"] = fresh_memory_ns(1840);
        state.counters["lookup_ns"] = lookup_s / static_cast<double>(lookups.size()) * 1e9;
        state.counters["floor_lookup_ns"] = floor_s / static_cast<double>(lookups.size()) * 1e9;
        state.counters["lookup_ratio"] = lookup_s / floor_s;
        state.counters["enumerate_ns_per_device"] = enum_s / devices * 1e9;
        state.counters["remove_ns_per_device"] = remove_s / devices * 1e9;
        state.counters["bytes_in_use_after_removal"] = static_cast<double>(removed.bytes_in_use);
        state.counters["memory_ratio_after_removal"] =
            static_cast<double>(removed.bytes_in_use) / static_cast<double>(left_arithmetic);
        std::printf("scale %u devices: load %.0f ns/device into a fresh segment (map %.0f, ratio %.2f; fresh memory "
                    "alone %.0f); lookup %.0f ns (floor %.0f, ratio %.1f); enumerate %.0f ns/device; removal %.0f "
                    "ns/device; memory %.4fx the blocks "
                    "after the load (%llu bytes), %.4fx after the removal (%llu bytes)\n",
                    devices, load_s / devices * 1e9, map_s / devices * 1e9, load_s / map_s, fresh_memory_ns(1840),
                    lookup_s / lookups.size() * 1e9, floor_s / lookups.size() * 1e9, lookup_s / floor_s,
                    enum_s / devices * 1e9, remove_s / devices * 1e9,
                    static_cast<double>(loaded.bytes_in_use) / vbench::block_arithmetic(fabric),
                    static_cast<unsigned long long>(loaded.bytes_in_use),
                    static_cast<double>(removed.bytes_in_use) / left_arithmetic,
                    static_cast<unsigned long long>(removed.bytes_in_use));
        g_sink += static_cast<int64_t>(map.size());
    }
}

// A private runtime directory for the benchmark's segments and fabric views.
std::string make_run_dir()
{
    if (std::getenv("VOREL_RUN_DIR") != nullptr)
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
    // Freed heap stays with the process, so the baselines' rounds find their
    // memory as the store finds its segment's.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    setenv("VOREL_TRACE_LEVEL", "1", 0);
    const char *scale = std::getenv("VOREL_BENCH_SCALE");
    const bool with_scale = scale != nullptr && *scale != '\0' && std::strcmp(scale, "0") != 0;
    if (with_scale)
        setenv("VOREL_SHM_LIMIT", "4G", 0); // a gadd is 32 bits: the most a segment can be

    for (const int64_t n : {1000, 10000, 100000}) {
        benchmark::RegisterBenchmark("lookup", BM_Lookup)->Arg(n)->UseManualTime();
        benchmark::RegisterBenchmark("enumerate", BM_Enumerate)->Arg(n)->UseManualTime();
        benchmark::RegisterBenchmark("load", BM_Load)->Arg(n)->UseManualTime();
        benchmark::RegisterBenchmark("load_fresh", BM_LoadFresh)->Arg(n)->UseManualTime();
        benchmark::RegisterBenchmark("memory", BM_Memory)->Arg(n)->Iterations(1);
    }
    if (with_scale)
        benchmark::RegisterBenchmark("scale", BM_Scale)->Arg(1000000)->Iterations(1)->UseManualTime();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    vbench::print_rows("store: library against its baselines");
    std::printf("(checksum %lld)\n", static_cast<long long>(g_sink));
    if (!run_dir.empty()) {
        (void)gshm_remove_all();
        std::error_code ec;
        std::filesystem::remove_all(run_dir, ec);
    }
    return 0;
}
