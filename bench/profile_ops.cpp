// profile_ops.cpp - a fixed number of each operation of the benchmarks,
// each kind in a function of its own, for instruction counts under
// callgrind (bench/profile.sh):
//
//   valgrind --tool=callgrind --toggle-collect='vbench_profile_*' profile_ops 10000
//
// Unlike the benchmarks, the updates reach no watcher: no client type is
// registered, so the counts are the store's side of an update, without the
// IPC send that the library and its baseline share.  The baselines of
// bench_store.cpp and bench_notify.cpp run the same operations.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

#include <vorel.h>

#include "workload.h"

namespace {

constexpr int kInstance = 121;
constexpr std::size_t kOps = 2000;

using DeviceMap = std::unordered_map<uint32_t, std::vector<DevInfo>>;

int64_t g_sink = 0;

int visit(devconpld *pld, void *arg)
{
    *static_cast<int64_t *>(arg) += pld->num_dstdevices;
    return 0;
}

} // namespace

// The functions callgrind collects in; C names, so that the patterns match.
extern "C" {

[[gnu::noinline]] void vbench_profile_lookup(const std::vector<uint32_t> &pids)
{
    for (const uint32_t pid : pids) {
        devconpld *p = nullptr;
        if (getPidFromVorel(pid, &p) == 0)
            g_sink += p->num_dstdevices;
        std::free(p);
    }
}

[[gnu::noinline]] void vbench_profile_update(std::vector<devconpld> &payloads)
{
    for (devconpld &p : payloads)
        g_sink += addPidToVorel(&p, VOREL_UPD_DEV_ONLINE, 0);
}

[[gnu::noinline]] void vbench_profile_remove_readd(std::vector<devconpld> &payloads)
{
    for (devconpld &p : payloads) {
        g_sink += delPidFromVorel(p.src_dev.pid, 0);
        g_sink += addPidToVorel(&p, VOREL_UPD_DEV_ONLINE, 0);
    }
}

[[gnu::noinline]] void vbench_profile_enumerate()
{
    int64_t acc = 0;
    (void)getEachPidFromVorel(visit, &acc);
    g_sink += acc;
}

[[gnu::noinline]] void vbench_profile_load(vbench::DeviceList &list)
{
    bulkconpld l = list.list();
    g_sink += addPidListToVorel(&l, VOREL_UPD_SYNC, 0);
}

[[gnu::noinline]] void vbench_profile_map_load(const std::vector<devconpld> &records)
{
    DeviceMap m;
    m.reserve(records.size());
    for (const devconpld &r : records)
        m.emplace(r.src_dev.pid, std::vector<DevInfo>(r.dst_devices, r.dst_devices + r.num_dstdevices));
    g_sink += static_cast<int64_t>(m.size());
}

} // extern "C"

int main(int argc, char **argv)
{
    const uint32_t devices = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 10000;
    char run_dir[] = "/tmp/vorel-profile-XXXXXX";
    if (std::getenv("VOREL_RUN_DIR") == nullptr && mkdtemp(run_dir) != nullptr)
        setenv("VOREL_RUN_DIR", run_dir, 1);
    setenv("VOREL_TRACE_FILE", "/dev/null", 0);
    setMySwitch(kInstance);
    if (vorellibInit() != 0)
        return 1;
    (void)gshm_remove(part_vorel_glbl_array[kInstance]->shm_key);
    if (initVorelSrvr() != 0)
        return 1;
    uint8_t domains[vbench::kDomains];
    for (uint32_t d = 0; d < vbench::kDomains; ++d)
        domains[d] = static_cast<uint8_t>(d + 1);
    (void)fabricSetView(kInstance, 1, domains, vbench::kDomains);

    const vbench::Fabric fabric = vbench::make_fabric(devices);
    vbench::DeviceList list(fabric);
    vbench_profile_load(list); // into a fresh segment
    vbench_profile_map_load(list.records());

    const std::vector<uint32_t> lookups = vbench::make_lookups(fabric, kOps, devices + 1);
    const std::vector<vbench::Update> updates = vbench::make_updates(fabric, kOps, devices + 2);
    std::vector<devconpld> payloads;
    for (const vbench::Update &u : updates)
        payloads.push_back(u.payload());
    vbench_profile_lookup(lookups);
    vbench_profile_update(payloads);
    vbench_profile_remove_readd(payloads);
    vbench_profile_enumerate();

    std::printf("%u devices: %zu lookups, %zu updates, %zu removals and re-additions, one enumeration, one load "
                "(checksum %lld)\n",
                devices, kOps, kOps, kOps, static_cast<long long>(g_sink));
    const key_t key = part_vorel_glbl_array[kInstance]->shm_key;
    (void)vorellibUnInit();
    (void)gshm_remove(key);
    if (std::strcmp(std::getenv("VOREL_RUN_DIR"), run_dir) == 0)
        std::filesystem::remove_all(run_dir);
    return 0;
}
