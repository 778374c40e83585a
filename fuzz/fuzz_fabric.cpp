// fuzz_fabric - any fabric file through the tool's parser, the server's loader
// and the initial load: refused with a message naming it (nothing stored), or
// accepted as a fabric keeping the format's promises (unique PIDs, zone members
// that are devices, symmetric destinations, the domain list complete), handed
// over device for device and loaded exactly into an empty database.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "control.h"
#include "fabric.h"
#include "fuzz_common.h"
#include "loader.h"
#include "pid.h"
#include "vorel_db.h"

namespace {
using vorel::tool::Fabric;

constexpr int kInstance = 124;
constexpr const char *kName = "fuzz.json";

bool same(const DevInfo &a, const DevInfo &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The file the loader reads, in /dev/shm where there is one (no disk writes).
std::string g_file;

void remove_file() { (void)::unlink(g_file.c_str()); }

void start_once()
{
    if (!vfuzz::start_library(kInstance))
        return;
    VFUZZ_CHECK(initVorelSrvr() == 0, "initVorelSrvr failed");
    const std::string dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("VOREL_RUN_DIR");
    g_file = dir + "/vorel-fuzz-" + std::to_string(::getpid()) + "." + kName;
    std::atexit(remove_file);
}

void write_file(const std::string &path, std::string_view text)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    VFUZZ_CHECK(fd >= 0, "cannot write %s", path.c_str());
    VFUZZ_CHECK(::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()), "short write");
    ::close(fd);
}

uint32_t stored_count()
{
    uint32_t n = 0;
    VFUZZ_CHECK(getCountFromVorel(&n) == 0, "count query failed");
    return n;
}

void check_promises(const Fabric &f)
{
    std::set<uint32_t> pids;
    std::set<uint32_t> doms;
    for (const DevInfo &d : f.devices) {
        VFUZZ_CHECK(pids.insert(d.pid).second, "device %x twice", d.pid);
        VFUZZ_CHECK(vorel::tool::pid_problem(d.pid).empty(), "device %x cannot be stored", d.pid);
        doms.insert(vorel::domain_of(d.pid));
    }
    for (const auto &z : f.zones)
        for (const uint32_t m : z.members)
            VFUZZ_CHECK(pids.count(m) != 0, "zone member %x is not a device", m);
    VFUZZ_CHECK(f.domain >= 1 && f.domain <= 255, "switch domain %u", f.domain);
    VFUZZ_CHECK(std::is_sorted(f.domains.begin(), f.domains.end()) &&
                    std::adjacent_find(f.domains.begin(), f.domains.end()) == f.domains.end(),
                "domain list not ascending");
    doms.insert(f.domain);
    for (const uint32_t d : doms)
        VFUZZ_CHECK(std::binary_search(f.domains.begin(), f.domains.end(), d), "domain %u not listed", d);
    const auto dest = vorel::tool::zone_destinations(f);
    VFUZZ_CHECK(dest.size() == f.devices.size(), "destinations for %zu of %zu devices", dest.size(), f.devices.size());
    for (uint32_t i = 0; i < dest.size(); ++i) {
        std::set<uint32_t> once(dest[i].begin(), dest[i].end());
        VFUZZ_CHECK(once.size() == dest[i].size() && once.count(i) == 0, "device %u: repeated or self destination", i);
        for (const uint32_t j : dest[i]) {
            VFUZZ_CHECK(j < dest.size(), "destination index %u out of range", j);
            VFUZZ_CHECK(std::find(dest[j].begin(), dest[j].end(), i) != dest[j].end(), "zoning not symmetric");
        }
    }
}

// The server's loader: the file's devices or nothing.
void check_loader(const std::optional<Fabric> &f, const std::string &path)
{
    std::vector<vorel::server::Device> devices(1); // untouched by a refusal
    std::string error;
    std::vector<uint8_t> domains{0xEE};
    auto loader = vorel::tool::fabric_loader([&](const std::vector<uint8_t> &d) { domains = d; });
    const int32_t rc = loader(path, devices, error);
    if (!f) {
        VFUZZ_CHECK(rc == vorel::control::kErrFabricFile, "loader accepted a refused file (%d)", rc);
        VFUZZ_CHECK(!error.empty(), "loader refused without a reason");
        VFUZZ_CHECK(devices.size() == 1 && domains == std::vector<uint8_t>{0xEE}, "a refused file handed data over");
        return;
    }
    VFUZZ_CHECK(rc == 0, "loader refused an accepted file: %s", error.c_str());
    VFUZZ_CHECK(domains == f->domains, "loader gave another domain list");
    const auto dest = vorel::tool::zone_destinations(*f);
    VFUZZ_CHECK(devices.size() == f->devices.size(), "loader gave %zu of %zu devices", devices.size(),
                f->devices.size());
    for (size_t i = 0; i < devices.size(); ++i) {
        VFUZZ_CHECK(same(devices[i].dev, f->devices[i]), "loader device %zu differs", i);
        VFUZZ_CHECK(devices[i].destinations.size() == dest[i].size(), "loader device %zu destinations", i);
        for (size_t k = 0; k < dest[i].size(); ++k)
            VFUZZ_CHECK(same(devices[i].destinations[k], f->devices[dest[i][k]]), "loader destination differs");
    }
}

// The initial load into an empty database, then the database emptied again.
void check_database(const Fabric &f)
{
    VFUZZ_CHECK(vorel::tool::load_fabric(f, VOREL_UPD_SYNC, 0) == 0, "initial load failed");
    VFUZZ_CHECK(stored_count() == f.devices.size(), "%u stored of %zu devices", stored_count(), f.devices.size());
    const auto dest = vorel::tool::zone_destinations(f);
    std::set<uint32_t> doms;
    for (size_t i = 0; i < f.devices.size(); ++i) {
        devconpld *pld = nullptr;
        VFUZZ_CHECK(getPidFromVorel(f.devices[i].pid, &pld) == 0, "device %x not stored", f.devices[i].pid);
        VFUZZ_CHECK(same(pld->src_dev, f.devices[i]), "device %x stored with other data", f.devices[i].pid);
        VFUZZ_CHECK(pld->num_dstdevices == static_cast<int32_t>(dest[i].size()), "device %x: %d destinations, not %zu",
                    f.devices[i].pid, pld->num_dstdevices, dest[i].size());
        for (size_t k = 0; k < dest[i].size(); ++k)
            VFUZZ_CHECK(same(pld->dst_devices[k], f.devices[dest[i][k]]), "device %x destination %zu differs",
                        f.devices[i].pid, k);
        std::free(pld);
        doms.insert(vorel::domain_of(f.devices[i].pid));
    }
    for (const uint32_t d : doms)
        VFUZZ_CHECK(delDomainFromVorel(d, 0) == 0, "domain %u not removed", d);
    VFUZZ_CHECK(stored_count() == 0, "%u devices left after removing their domains", stored_count());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    start_once();
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    std::string error;
    const std::optional<Fabric> f = vorel::tool::parse_fabric(text, kName, error);
    if (f) {
        check_promises(*f);
    } else {
        VFUZZ_CHECK(error.rfind(kName, 0) == 0, "refusal does not name the file: %s", error.c_str());
    }
    write_file(g_file, text);
    check_loader(f, g_file);
    if (f)
        check_database(*f);
    VFUZZ_CHECK(stored_count() == 0, "the database is not empty");
    return 0;
}
