// Queries: the device count, the walk over every device of the fabric's
// domains, the collection of the local domain's devices, and a reader in
// another process that walks the store while the server changes it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lock.h"
#include "proc.h"
#include "store_fixture.h"

namespace {

using vtest::dev_of;
using vtest::Payload;

constexpr uint32_t pid(uint32_t dom, uint32_t area, uint32_t port) { return dom << 16 | area << 8 | port; }

// What the enumeration's callback saw of one device.
struct Seen {
    devconpld *payload = nullptr; // valid only during the call
    devconpld header{};
    std::vector<DevInfo> dests;
    bool inline_dests = false;
};

int record_device(devconpld *pld, void *arg)
{
    Seen s;
    s.payload = pld;
    s.header = *pld;
    s.dests.assign(pld->dst_devices, pld->dst_devices + pld->num_dstdevices);
    s.inline_dests =
        reinterpret_cast<const char *>(pld->dst_devices) == reinterpret_cast<const char *>(pld) + sizeof(devconpld);
    static_cast<std::vector<Seen> *>(arg)->push_back(s);
    return 0;
}

std::vector<Seen> enumerate(int32_t *rc = nullptr)
{
    std::vector<Seen> seen;
    const int32_t r = getEachPidFromVorel(record_device, &seen);
    if (rc != nullptr)
        *rc = r;
    return seen;
}

class QueryTest : public vtest::StoreFixture {
  protected:
    void add(uint32_t p, const std::vector<uint32_t> &dests)
    {
        Payload pl(p, dests);
        ASSERT_EQ(insert(pl), 0);
    }
};

// ---- count -------------------------------------------------------------------------------

TEST_F(QueryTest, CountFollowsTheStoreAndRefusesBadCalls)
{
    uint32_t count = 99;
    ASSERT_EQ(getCountFromVorel(&count), 0);
    EXPECT_EQ(count, 0u);
    add(pid(1, 0, 1), {pid(2, 0, 1)});
    add(pid(2, 0, 1), {});
    add(pid(1, 0, 1), {}); // a replacement is not a new device
    ASSERT_EQ(getCountFromVorel(&count), 0);
    EXPECT_EQ(count, 2u);

    vtest::TraceCapture trace;
    EXPECT_EQ(getCountFromVorel(nullptr), -2);
    EXPECT_TRUE(trace.has(1, "Invalid arguments to getCoundFromVorel"));
    detachVorelSrvr();
    count = 7;
    EXPECT_EQ(getCountFromVorel(&count), -4);
    EXPECT_EQ(count, 7u);
    EXPECT_TRUE(trace.has(1, "vorel is uninitialized"));
    int32_t rc = 0;
    enumerate(&rc);
    EXPECT_EQ(rc, -4);
}

// ---- enumeration ------------------------------------------------------------------------------

TEST_F(QueryTest, EnumerationFollowsDomainListThenChainAndSlotOrder)
{
    // Domain 3 holds 300 devices (two DomDb blocks); 250 is listed but has no block.
    for (uint32_t i = 0; i < 300; ++i)
        add(pid(3, i >> 8, i & 0xFF), {});
    add(pid(7, 0, 2), {pid(3, 0, 5), pid(9, 9, 9)});
    add(pid(7, 0, 1), {});
    add(pid(1, 4, 4), {pid(7, 0, 1)});
    set_fabric(1, {7, 250, 3, 1});

    std::vector<uint32_t> expect = domain_pids(7);
    for (const uint32_t p : domain_pids(3))
        expect.push_back(p);
    for (const uint32_t p : domain_pids(1))
        expect.push_back(p);
    ASSERT_EQ(domain_chain(3).size(), 2u);

    vtest::TraceCapture trace;
    int32_t rc = -9;
    const std::vector<Seen> seen = enumerate(&rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(seen.size(), expect.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        const Seen &s = seen[i];
        ASSERT_EQ(s.header.src_dev.pid, expect[i]) << "device " << i;
        DevInfo only_pid{};
        only_pid.pid = expect[i];
        EXPECT_TRUE(vtest::same_dev(s.header.src_dev, only_pid)) << "only the PID of the source is set";
        EXPECT_EQ(s.header.update_type, 0);
        EXPECT_EQ(s.header.tlv_len, 0);
        EXPECT_TRUE(s.inline_dests);
        const auto rec = lookup(expect[i]);
        ASSERT_TRUE(rec.has_value());
        ASSERT_EQ(s.header.num_dstdevices, rec->num_dstdevices);
        for (size_t k = 0; k < s.dests.size(); ++k)
            EXPECT_TRUE(vtest::same_dev(s.dests[k], rec->dests[k]));
    }
    // Devices without destinations come with a count of 0; the domain
    // without a block leaves no record.
    EXPECT_EQ(seen[0].header.num_dstdevices, 2);
    EXPECT_EQ(seen[1].header.num_dstdevices, 1) << "the reverse link from 1.4.4";
    EXPECT_EQ(seen[2].header.num_dstdevices, 0);
    for (const std::string &l : trace.messages()) {
        EXPECT_EQ(l.find("Dom 250"), std::string::npos) << l;
        EXPECT_EQ(l.find("dom 250"), std::string::npos) << l;
    }
    EXPECT_TRUE(trace.has(5, "retrieving memblock for Dom 3 num_pids 256"));
    EXPECT_TRUE(trace.has(5, "retrieving memblock for Dom 3 num_pids 44"));
}

TEST_F(QueryTest, NoListedDomainsMeansNoCall)
{
    add(pid(1, 0, 1), {});
    set_fabric(1, {});
    int32_t rc = -9;
    EXPECT_TRUE(enumerate(&rc).empty());
    EXPECT_EQ(rc, 0);
}

TEST_F(QueryTest, OnePayloadIsKeptWhileDevicesNeedFewerDestinations)
{
    // Degrees in store order: 5, 2, 0.  The 2- and 0-destination devices
    // reuse the 5-destination payload: its later records are still there.
    const std::vector<uint32_t> five = {pid(9, 0, 1), pid(9, 0, 2), pid(9, 0, 3), pid(9, 0, 4), pid(9, 0, 5)};
    add(pid(4, 0, 1), five);
    add(pid(4, 0, 2), {pid(9, 1, 1), pid(9, 1, 2)});
    add(pid(4, 0, 3), {});
    set_fabric(1, {4});
    std::vector<std::vector<uint32_t>> tails;
    auto cb = [](devconpld *pld, void *arg) {
        std::vector<uint32_t> all;
        for (int i = 0; i < 5; ++i)
            all.push_back(pld->dst_devices[i].pid);
        static_cast<std::vector<std::vector<uint32_t>> *>(arg)->push_back(all);
        return 0;
    };
    ASSERT_EQ(getEachPidFromVorel(cb, &tails), 0);
    ASSERT_EQ(tails.size(), 3u);
    EXPECT_EQ(tails[0], five);
    EXPECT_EQ(tails[1], (std::vector<uint32_t>{pid(9, 1, 1), pid(9, 1, 2), five[2], five[3], five[4]}));
    EXPECT_EQ(tails[2], tails[1]);
}

// ---- local devices --------------------------------------------------------------------------

TEST_F(QueryTest, LocalDevicesInStoreOrderWithIndexRuns)
{
    const std::vector<int16_t> inds = {3, 3, 5, 3};
    std::vector<uint32_t> pids;
    for (size_t i = 0; i < inds.size(); ++i) {
        DevInfo src = dev_of(pid(5, 1, static_cast<uint32_t>(i)));
        src.ind = inds[i];
        Payload p(src, {dev_of(pid(6, 0, static_cast<uint32_t>(i)))});
        ASSERT_EQ(insert(p), 0);
        pids.push_back(src.pid);
    }
    add(pid(6, 0, 0), {}); // another domain: not collected
    set_fabric(5, {5, 6});

    devconpld **list = nullptr;
    int32_t n = -1, runs = -1;
    ASSERT_EQ(getAllLocalPidsFromVorel(&list, &n, &runs), 0);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(n, 4);
    EXPECT_EQ(runs, 3);
    for (int32_t i = 0; i < n; ++i) {
        EXPECT_EQ(list[i]->src_dev.pid, pids[i]);
        EXPECT_EQ(list[i]->src_dev.ind, inds[i]);
        ASSERT_EQ(list[i]->num_dstdevices, 1);
        EXPECT_EQ(list[i]->dst_devices[0].pid, pid(6, 0, static_cast<uint32_t>(i)));
        std::free(list[i]);
    }
    std::free(list);
}

TEST_F(QueryTest, FirstIndexOfMinusOneStartsNoRun)
{
    const int16_t inds[] = {-1, -1, 4};
    for (uint32_t i = 0; i < 3; ++i) {
        DevInfo src = dev_of(pid(5, 0, i));
        src.ind = inds[i];
        Payload p(src, {});
        ASSERT_EQ(insert(p), 0);
    }
    set_fabric(5, {5});
    devconpld **list = nullptr;
    int32_t n = 0, runs = 0;
    ASSERT_EQ(getAllLocalPidsFromVorel(&list, &n, &runs), 0);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(runs, 1);
    for (int32_t i = 0; i < n; ++i)
        std::free(list[i]);
    std::free(list);
}

TEST_F(QueryTest, LocalDomainWithoutBlockGivesAnEmptyArray)
{
    add(pid(1, 0, 1), {});
    set_fabric(8, {1, 8});
    devconpld **list = nullptr;
    int32_t n = -1, runs = -1;
    ASSERT_EQ(getAllLocalPidsFromVorel(&list, &n, &runs), 0);
    EXPECT_NE(list, nullptr) << "an empty array the caller releases";
    EXPECT_EQ(n, 0);
    EXPECT_EQ(runs, 0);
    std::free(list);

    // An emptied block is a domain with nothing to collect.
    add(pid(8, 0, 1), {});
    ASSERT_TRUE(remove(pid(8, 0, 1)).has_value());
    list = nullptr;
    ASSERT_EQ(getAllLocalPidsFromVorel(&list, &n, &runs), 0);
    EXPECT_NE(list, nullptr);
    EXPECT_EQ(n, 0);
    std::free(list);
}

TEST_F(QueryTest, LocalCollectionFailuresLeaveNothingToTheCaller)
{
    for (uint32_t i = 0; i < 3; ++i)
        add(pid(5, 0, i), {pid(9, 0, i)});
    set_fabric(5, {5});
    int32_t n = 11, runs = 12;
    EXPECT_EQ(getAllLocalPidsFromVorel(nullptr, &n, &runs), -2);
    EXPECT_EQ(n, 11);
    EXPECT_EQ(runs, 12);

    devconpld **list = nullptr;
    vtest::TraceCapture trace;
    plat_fail_after("get_basic_block", 1);
    EXPECT_EQ(getAllLocalPidsFromVorel(&list, &n, &runs), -12);
    EXPECT_TRUE(trace.has(1, "get_basic_block() for dom 5 returns none"));
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(runs, 0);

    // Resolutions: the count's block, the collection's block, then for each
    // device its domain block and its head.  The second device's head fails
    // after the first device was collected.
    trace.clear();
    n = runs = 5;
    plat_fail_after("gadd2ladd", 6);
    EXPECT_EQ(getAllLocalPidsFromVorel(&list, &n, &runs), -12);
    EXPECT_TRUE(trace.has(1, "getPidFromVorel failed whenadding to Vorel"));
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(runs, 0);

    plat_fail_after("gadd2ladd", 1);
    EXPECT_EQ(getAllLocalPidsFromVorel(&list, &n, &runs), -12);
    EXPECT_TRUE(trace.has(1, "gadd2ladd() returns rc=" + std::to_string(PLAT_ERR_INJECTED)));
    EXPECT_EQ(list, nullptr);
}

// ---- a reader in another process ------------------------------------------------------------

// Every destination record of a device encodes the device's PID, its place
// and the device's destination count, so a record from another device or
// another version of this one, or a record not yet written, is detected.
uint32_t seal(uint32_t src, uint32_t i, uint32_t n) { return (src * 2654435761u) ^ (i * 40503u) ^ (n << 20) ^ 1u; }

Payload sealed_payload(uint32_t src, uint32_t n)
{
    std::vector<DevInfo> dests;
    for (uint32_t i = 0; i < n; ++i) {
        DevInfo d{};
        d.pid = pid(200, i >> 8, i & 0xFF); // never stored: no reverse links
        d.ind = static_cast<int16_t>(i);
        d.devflags = seal(src, i, n);
        dests.push_back(d);
    }
    DevInfo s = dev_of(src);
    return Payload(s, dests);
}

struct ReaderState {
    uint32_t devices = 0;
    uint32_t torn = 0;
};

int check_sealed(devconpld *pld, void *arg)
{
    auto *st = static_cast<ReaderState *>(arg);
    ++st->devices;
    const uint32_t src = pld->src_dev.pid;
    const auto n = static_cast<uint32_t>(pld->num_dstdevices);
    bool whole = vorel::domain_of(src) >= 1 && vorel::domain_of(src) <= 3 && n <= 200;
    for (uint32_t i = 0; whole && i < n; ++i) {
        const DevInfo &d = pld->dst_devices[i];
        whole =
            d.devflags == seal(src, i, n) && d.ind == static_cast<int16_t>(i) && d.pid == pid(200, i >> 8, i & 0xFF);
    }
    if (!whole)
        ++st->torn;
    return 0;
}

TEST_F(QueryTest, ReaderInAnotherProcessSeesOnlyWholeRecords)
{
    set_fabric(1, {1, 2, 3});
    std::vector<uint32_t> pool;
    for (uint32_t dom = 1; dom <= 3; ++dom)
        for (uint32_t i = 0; i < 40; ++i)
            pool.push_back(pid(dom, i / 8, i % 8));
    std::mt19937 rng(5);
    for (size_t i = 0; i < pool.size(); i += 2) {
        Payload p = sealed_payload(pool[i], rng() % 150);
        ASSERT_EQ(insert(p), 0);
    }

    vtest::Event ready, stop, report;
    vtest::Child reader([&] {
        if (vorellibInit() != 0)
            return 10;
        if (initVorelClient() != 0)
            return 11;
        ReaderState st;
        uint32_t passes = 0;
        for (;;) {
            const bool last = stop.wait(std::chrono::milliseconds(0));
            if (getEachPidFromVorel(check_sealed, &st) != 0)
                return 12;
            if (++passes == 1)
                ready.post();
            if (st.torn != 0)
                return 13;
            if (last)
                break;
        }
        report.post(passes);
        return 0;
    });
    ASSERT_TRUE(ready.wait());

    log_set_level(0); // the destinations' "not found" records by the thousand
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (uint32_t op = 0; op < 1500 && std::chrono::steady_clock::now() < deadline; ++op) {
        const uint32_t s = pool[rng() % pool.size()];
        if (rng() % 3 == 0) {
            (void)remove(s);
        } else {
            Payload p = sealed_payload(s, rng() % 150);
            ASSERT_EQ(insert(p), 0);
        }
    }
    log_set_level(1);
    stop.post();
    EXPECT_EQ(reader.wait(std::chrono::seconds(60)), 0)
        << "10/11: attach failed, 12: the walk failed, 13: a torn record";
    uint32_t passes = 0;
    ASSERT_TRUE(report.wait(std::chrono::milliseconds(0), &passes));
    EXPECT_GE(passes, 2u);
}

} // namespace
