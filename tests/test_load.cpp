// Load: reader processes hammer lookups and enumerations under the read lock
// while the server replaces and removes devices as fast as it can; checksummed
// records show a torn read, and the store ends holding what the server left.
// VOREL_LOAD_SECONDS (default 8, 3 emulated), VOREL_LOAD_READERS (2-4, default
// 3); scripts/load.sh runs it longer and prints the rates.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "lock.h"
#include "proc.h"
#include "store_fixture.h"
#include "vorel_db.h"

// The verifier behind `vorel check`, compiled into this program.
#include "../tools/pid.cpp"
#include "../tools/verify.cpp"

namespace {
using Clock = std::chrono::steady_clock;

constexpr int kInstance = 45;
constexpr uint32_t kDevices = 200;  // 100 in each of domains 1 and 2
constexpr uint32_t kMaxDests = 100; // two DestDb blocks at most

uint32_t device_pid(uint32_t i) { return (1 + i % 2) << 16 | (i / 2 + 1) << 8; }

uint32_t checksum(uint32_t src, uint32_t version) { return (src * 2654435761u) ^ (version * 40503u) ^ 0xA5A5A5A5u; }

// Version v of `src`: 1 + v % kMaxDests destinations in domain 9 (no device
// there lists them), each with the record's checksum, version and index.
vtest::Payload version_of(uint32_t src, uint32_t version)
{
    const uint32_t v = version & 0xFFFFu; // what the records carry
    const uint32_t n = 1 + v % kMaxDests;
    DevInfo s{};
    s.pid = src;
    s.devflags = checksum(src, v);
    s.spd = static_cast<uint16_t>(v);
    std::vector<DevInfo> dests(n);
    for (uint32_t i = 0; i < n; ++i) {
        dests[i].pid = 9u << 16 | ((src & 0xFFFFu) ^ i);
        dests[i].devflags = checksum(src, v);
        dests[i].spd = static_cast<uint16_t>(v);
        dests[i].ind = static_cast<int16_t>(i);
        std::memcpy(dests[i].dev_extra, &src, sizeof src);
    }
    return vtest::Payload(s, dests);
}

// True when the record is one whole version of device `src`.
bool whole(uint32_t src, const devconpld &p)
{
    if (p.num_dstdevices < 1 || static_cast<uint32_t>(p.num_dstdevices) > kMaxDests)
        return false;
    const uint32_t v = p.dst_devices[0].spd;
    if (static_cast<uint32_t>(p.num_dstdevices) != 1 + v % kMaxDests)
        return false;
    for (int32_t i = 0; i < p.num_dstdevices; ++i) {
        const DevInfo &d = p.dst_devices[i];
        uint32_t owner = 0;
        std::memcpy(&owner, d.dev_extra, sizeof owner);
        if (d.devflags != checksum(src, v) || d.spd != v || d.ind != i || owner != src)
            return false;
    }
    return true;
}

double env_seconds()
{
    if (const char *s = std::getenv("VOREL_LOAD_SECONDS"))
        return std::max(1.0, std::atof(s));
    return std::getenv("VOREL_SLOW_TARGET") != nullptr ? 3.0 : 8.0;
}

int env_readers()
{
    if (const char *s = std::getenv("VOREL_LOAD_READERS"))
        return std::clamp(std::atoi(s), 2, 4);
    return 3;
}

struct EnumState {
    uint32_t seen = 0;
    uint32_t torn = 0;
};

int check_enumerated(devconpld *p, void *arg)
{
    auto *st = static_cast<EnumState *>(arg);
    ++st->seen;
    if (!whole(p->src_dev.pid, *p))
        ++st->torn;
    return 0;
}

int reader_main(vtest::Event &ready, vtest::Event &go, vtest::Event &out, double seconds, uint32_t seed)
{
    setenv("VOREL_TRACE_FILE", "/dev/null", 1);
    setMySwitch(kInstance);
    if (vorellibInit() != 0 || initVorelClient() != 0)
        return 2;
    ready.post();
    if (!go.wait())
        return 3;
    std::mt19937 rng(seed);
    uint32_t lookups = 0, enumerations = 0, torn = 0; // reported at the end
    procrwlock_t *lock = &vorel::ctx()->rwlock;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (rng() % 50 == 0) {
            EnumState st;
            if (getEachPidFromVorel(check_enumerated, &st) != 0)
                return 4;
            torn += st.torn;
            ++enumerations;
            continue;
        }
        const uint32_t src = device_pid(rng() % kDevices);
        procrwlock_rdlock(lock);
        devconpld *p = nullptr;
        const int32_t rc = getPidFromVorel(src, &p);
        if (rc == 0 && !whole(src, *p))
            ++torn;
        std::free(p);
        procrwlock_rdunlock(lock);
        if (rc != 0 && rc != VOREL_E_FAIL)
            return 5;
        ++lookups;
    }
    for (const uint32_t v : {lookups, enumerations, torn})
        out.post(v);
    return 0;
}

class Load : public vtest::StoreFixture {
  protected:
    int instance() const override { return kInstance; }
};

TEST_F(Load, ReadersAndAWriterAtFullSpeed)
{
    const double seconds = env_seconds();
    const int readers = env_readers();
    set_fabric(1, {1, 2});

    // Every device once at its largest, then removed: the segment is grown.
    for (uint32_t i = 0; i < kDevices; ++i) {
        vtest::Payload p = version_of(device_pid(i), kMaxDests - 1);
        ASSERT_EQ(addPidToVorel(p.get(), VOREL_UPD_DEV_ONLINE, 0), 0);
    }
    for (uint32_t i = 0; i < kDevices; ++i)
        ASSERT_EQ(delPidFromVorel(device_pid(i), 0), 0);
    std::vector<std::unique_ptr<vtest::Event>> ready, out;
    vtest::Event go;
    std::vector<std::unique_ptr<vtest::Child>> children;
    for (int r = 0; r < readers; ++r) {
        ready.push_back(std::make_unique<vtest::Event>());
        out.push_back(std::make_unique<vtest::Event>());
        children.push_back(std::make_unique<vtest::Child>(
            [&, r] { return reader_main(*ready[r], go, *out[r], seconds, 1000 + static_cast<uint32_t>(r)); }));
    }
    for (auto &e : ready)
        ASSERT_TRUE(e->wait());
    for (int r = 0; r < readers; ++r)
        go.post();

    // The writer: replace or remove a random device, as fast as it can.
    std::mt19937 rng(7);
    std::vector<uint32_t> version(kDevices, 0);
    std::set<uint32_t> present;
    uint64_t writes = 0;
    const auto t0 = Clock::now();
    const auto end = t0 + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        const uint32_t i = rng() % kDevices;
        const uint32_t pid = device_pid(i);
        if (rng() % 4 == 0) {
            ASSERT_EQ(delPidFromVorel(pid, 0), 0);
            present.erase(pid);
        } else {
            vtest::Payload p = version_of(pid, ++version[i]);
            ASSERT_EQ(addPidToVorel(p.get(), VOREL_UPD_DEV_ONLINE, 0), 0);
            present.insert(pid);
        }
        ++writes;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();

    uint64_t lookups = 0, enumerations = 0, torn = 0;
    for (int r = 0; r < readers; ++r) {
        uint32_t l = 0, e = 0, t = 0;
        ASSERT_TRUE(out[r]->wait(std::chrono::seconds(30), &l) && out[r]->wait(vtest::kDefaultTimeout, &e) &&
                    out[r]->wait(vtest::kDefaultTimeout, &t))
            << "reader " << r << " did not finish in time";
        EXPECT_EQ(children[r]->wait(), 0) << "reader " << r;
        lookups += l;
        enumerations += e;
        torn += t;
    }
    EXPECT_EQ(torn, 0u) << "records seen torn";
    EXPECT_GT(lookups, 0u);

    // The store holds exactly what the writer left, each at its last version.
    uint32_t count = 0;
    ASSERT_EQ(getCountFromVorel(&count), 0);
    EXPECT_EQ(count, present.size());
    const auto report = vorel::tool::verify_store();
    EXPECT_EQ(report.violations(), 0u);
    EXPECT_EQ(report.stored_pids, present.size());
    for (uint32_t i = 0; i < kDevices; ++i) {
        const auto rec = lookup(device_pid(i));
        ASSERT_EQ(rec.has_value(), present.contains(device_pid(i)));
        if (rec) {
            EXPECT_EQ(rec->dests.front().spd, static_cast<uint16_t>(version[i]));
        }
    }

    std::printf("load: %.1f s, %d readers\n", elapsed, readers);
    std::printf("load: writer  %10.0f updates/s (%llu)\n", writes / elapsed, static_cast<unsigned long long>(writes));
    std::printf("load: readers %10.0f lookups/s (%llu), %.1f enumerations/s (%llu)\n", lookups / elapsed,
                static_cast<unsigned long long>(lookups), enumerations / elapsed,
                static_cast<unsigned long long>(enumerations));
}

} // namespace
