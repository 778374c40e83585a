// test_updates.cpp - the server's update operations against the real store:
// what the store holds afterwards, which messages the registered clients
// receive (through the platform's IPC, at a service of this process), whether
// they are sent under the write lock, and how the revision counts.  The
// internal queue is a recording double.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "ipc_double.h"
#include "store_fixture.h"

VTEST_QUEUE_DOUBLE();
VTEST_TRACE_DOUBLE();

// The write lock as the library takes it, forwarded to the platform; the
// depth says whether the calling code holds it.
namespace {
std::atomic<int> g_write_depth{0};

using LockFn = int (*)(procrwlock_t *);
LockFn platform_lock_fn(const char *name) { return reinterpret_cast<LockFn>(dlsym(RTLD_NEXT, name)); }
} // namespace

extern "C" int procrwlock_wrlock(procrwlock_t *lock)
{
    static const LockFn real = platform_lock_fn("procrwlock_wrlock");
    const int rc = real(lock);
    ++g_write_depth;
    return rc;
}

extern "C" int procrwlock_wrunlock(procrwlock_t *lock)
{
    static const LockFn real = platform_lock_fn("procrwlock_wrunlock");
    --g_write_depth;
    return real(lock);
}

namespace {

using vtest::Payload;
using vtest::ipc::Received;

constexpr uint32_t kQueue = 0x600D;
constexpr const char *kDeliveryEntry = "sendUpdateToClients()->Enter\n";

std::vector<uint32_t> words(const Received &r)
{
    std::vector<uint32_t> w(r.body.size() / 4);
    if (!w.empty())
        std::memcpy(w.data(), r.body.data(), w.size() * 4);
    return w;
}

// A device list over payloads that the test keeps alive.
struct DeviceList {
    explicit DeviceList(std::vector<Payload> &payloads)
    {
        for (Payload &p : payloads)
            devices.push_back(*p.get());
        list.num_devices = static_cast<int32_t>(devices.size());
        list.devices = devices.data();
    }
    std::vector<devconpld> devices;
    bulkconpld list{};
};

class Updates : public vtest::StoreFixture {
  protected:
    void SetUp() override
    {
        StoreFixture::SetUp();
        vtest::ipc::reset();
        mod_VORELLIB.level = 5;
        clients_ = std::make_unique<vtest::ipc::Receiver>(VOREL_CLIENT_SVC_NAME);
        ASSERT_TRUE(clients_->registered());
        ASSERT_EQ(registerVorelClientToSrvr(0), 0);
        // Each delivery is tagged with whether the write lock was held.
        vtest::ipc::set_trace_tagger([](const vtest::ipc::TraceRecord &r) {
            return r.text == kDeliveryEntry && g_write_depth.load() > 0 ? 1 : 0;
        });
        revision_ = getCurrentRevisionNum();
    }
    void TearDown() override
    {
        vtest::ipc::reset();
        clients_.reset();
        StoreFixture::TearDown();
    }

    // Messages received since the last call.
    std::vector<Received> delivered()
    {
        std::vector<Received> got = clients_->sync();
        clients_->clear();
        return got;
    }
    // Whether each delivery so far was made under the write lock; forgets them.
    std::vector<int> deliveries_under_lock()
    {
        std::vector<int> held;
        for (const vtest::ipc::TraceRecord &r : vtest::ipc::traces())
            if (r.text == kDeliveryEntry)
                held.push_back(r.tag);
        return held;
    }
    // Deliveries counted since the last call.
    uint32_t counted()
    {
        const uint32_t now = getCurrentRevisionNum();
        const uint32_t n = now - revision_;
        revision_ = now;
        return n;
    }
    bool stored(uint32_t pid) { return lookup(pid).has_value(); }

    std::unique_ptr<vtest::ipc::Receiver> clients_;
    uint32_t revision_ = 0;
};

// ---- one device ---------------------------------------------------------------

TEST_F(Updates, AddDeliversWhatChangedAfterReleasingTheLock)
{
    Payload first(0x010100, {0x020100, 0x020200, 0x020300});
    ASSERT_EQ(addPidToVorel(first.get(), VOREL_UPD_DEV_ONLINE, 0), 0);
    auto got = delivered();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, VOREL_MSG_DEV_ONLINE);
    EXPECT_EQ(words(got[0]), (std::vector<uint32_t>{1, 3, 0, 0x010100, 0x020100, 0x020200, 0x020300}));
    ASSERT_TRUE(stored(0x010100));
    EXPECT_EQ(vtest::pids_of(lookup(0x010100)->dests), (std::vector<uint32_t>{0x020100, 0x020200, 0x020300}));
    EXPECT_EQ(header()->total_pids, 1u);

    // Replaced: one kept, one new, two gone (in stored order).
    Payload second(0x010100, {0x020200, 0x020400});
    ASSERT_EQ(addPidToVorel(second.get(), VOREL_UPD_DEV_ONLINE_ALT, 0), 0);
    got = delivered();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, VOREL_MSG_DEV_ONLINE);
    EXPECT_EQ(words(got[0]), (std::vector<uint32_t>{1, 1, 2, 0x010100, 0x020400, 0x020100, 0x020300}));
    EXPECT_EQ(vtest::pids_of(lookup(0x010100)->dests), (std::vector<uint32_t>{0x020200, 0x020400}));
    EXPECT_EQ(header()->total_pids, 1u);

    // Nothing changed: still one entry, with both counts 0.
    ASSERT_EQ(addPidToVorel(second.get(), VOREL_UPD_DEV_ONLINE, 0), 0);
    got = delivered();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(words(got[0]), (std::vector<uint32_t>{1, 0, 0, 0x010100}));

    EXPECT_EQ(deliveries_under_lock(), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(counted(), 3u);
}

TEST_F(Updates, AddKeepsPeersInStep)
{
    Payload peer(0x020200, {});
    ASSERT_EQ(insert(peer), 0);
    Payload dev(0x010100, {0x020200});
    ASSERT_EQ(addPidToVorel(dev.get(), VOREL_UPD_DEV_ONLINE, 0), 0);
    EXPECT_EQ(vtest::pids_of(lookup(0x020200)->dests), std::vector<uint32_t>{0x010100});

    // Replacing the device without that peer takes it out of the peer's list.
    Payload moved(0x010100, {0x020300});
    ASSERT_EQ(addPidToVorel(moved.get(), VOREL_UPD_DEV_ONLINE, 0), 0);
    EXPECT_TRUE(lookup(0x020200)->dests.empty());
}

TEST_F(Updates, AddWithATypeWithoutAMessageChangesTheStoreOnly)
{
    uint32_t pid = 0x030100;
    for (uint32_t type : {2u, 7u, 8u, 9u}) {
        Payload p(++pid, {0x040100});
        EXPECT_EQ(addPidToVorel(p.get(), type, 0), 0) << type;
        EXPECT_TRUE(stored(pid)) << type;
    }
    EXPECT_TRUE(delivered().empty());
    EXPECT_EQ(counted(), 0u);
}

TEST_F(Updates, DeleteDeliversTheDevicesItWasConnectedTo)
{
    for (uint32_t peer : {0x020100u, 0x020200u, 0x020300u}) {
        Payload p(peer, {});
        ASSERT_EQ(insert(p), 0);
    }
    Payload dev(0x010100, {0x020100, 0x020200, 0x020300});
    ASSERT_EQ(insert(dev), 0);
    Payload lonely(0x010200, {});
    ASSERT_EQ(insert(lonely), 0);
    delivered();
    counted();

    ASSERT_EQ(delPidFromVorel(0x010100, 0), 0);
    auto got = delivered();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, VOREL_MSG_OFFLINE);
    EXPECT_EQ(words(got[0]), (std::vector<uint32_t>{28, 1, 0x010100, 3, 0x020100, 0x020200, 0x020300}));
    EXPECT_FALSE(stored(0x010100));
    EXPECT_TRUE(lookup(0x020200)->dests.empty());

    ASSERT_EQ(delPidFromVorel(0x010200, 0), 0);
    got = delivered();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(words(got[0]), (std::vector<uint32_t>{16, 1, 0x010200, 0}));

    // Not stored: traced, nobody hears of it.
    ASSERT_EQ(delPidFromVorel(0x010300, 0), 0);
    EXPECT_EQ(vtest::ipc::count_traces(1, "con_delpidfromdb failed for    10300\n"), 1u);
    EXPECT_TRUE(delivered().empty());
    EXPECT_EQ(deliveries_under_lock(), (std::vector<int>{0, 0}));
    EXPECT_EQ(counted(), 2u);
    EXPECT_EQ(header()->total_pids, 3u);
}

// ---- refused and impossible requests ----------------------------------------------

TEST_F(Updates, RefusedInputLeavesTheStoreAlone)
{
    Payload good(0x010100, {0x020100});
    Payload stays(0x050100, {});
    ASSERT_EQ(insert(stays), 0);

    for (uint32_t type : {1u, 3u, 4u, 5u})
        EXPECT_EQ(addPidToVorel(good.get(), type, 0), VOREL_E_BADTYPE) << type;
    Payload bad_dest(0x010100, {0x020100, 0x00FF00});
    EXPECT_EQ(addPidToVorel(bad_dest.get(), 0, 0), VOREL_E_BADPID);
    EXPECT_EQ(delPidFromVorel(0x000100, 0), VOREL_E_BADPID);
    EXPECT_EQ(delDomainFromVorel(0, 0), VOREL_E_BADDOMAIN);
    EXPECT_EQ(delDomainFromVorel(0x105, 0), VOREL_E_BADDOMAIN);

    std::vector<Payload> devices{good, stays};
    DeviceList list(devices);
    for (uint32_t type : {1u, 3u, 4u, 5u})
        EXPECT_EQ(addPidListToVorel(&list.list, type, 0), VOREL_E_BADTYPE) << type;
    for (uint32_t type : {0u, 1u, 4u, 6u})
        EXPECT_EQ(delPidListToVorel(&list.list, type, 0), VOREL_E_BADTYPE) << type;
    list.devices[1].num_dstdevices = -2;
    EXPECT_EQ(addPidListToVorel(&list.list, 0, 0), VOREL_E_BADPAYLOAD);

    EXPECT_FALSE(stored(0x010100));
    EXPECT_TRUE(stored(0x050100));
    EXPECT_EQ(header()->total_pids, 1u);
    EXPECT_TRUE(delivered().empty());
    EXPECT_EQ(counted(), 0u);
}

TEST_F(Updates, DetachedServerRefusesEveryDirectUpdate)
{
    detachVorelSrvr();
    Payload p(0x010100, {});
    std::vector<Payload> devices{p};
    DeviceList list(devices);
    EXPECT_EQ(addPidToVorel(p.get(), 0, 0), VOREL_E_UNINIT);
    EXPECT_EQ(delPidFromVorel(0x010100, 0), VOREL_E_UNINIT);
    EXPECT_EQ(addPidListToVorel(&list.list, 0, 0), VOREL_E_UNINIT);
    EXPECT_EQ(delPidListToVorel(&list.list, 3, 0), VOREL_E_UNINIT);
    EXPECT_EQ(delDomainFromVorel(1, 0), VOREL_E_UNINIT);
    EXPECT_EQ(vorelSyncDone(0), VOREL_E_SEGMENT);
    EXPECT_EQ(vtest::ipc::count_traces(1, "vorel is uninitialized\n"), 6u);
    EXPECT_EQ(g_write_depth.load(), 0); // every path let the lock go
    EXPECT_TRUE(delivered().empty());
    EXPECT_EQ(counted(), 0u);
}

// ---- queued -------------------------------------------------------------------------

TEST_F(Updates, QueuedUpdatesWaitForTheConsumersDirectCall)
{
    Payload p(0x010100, {0x020100});
    Payload other(0x030100, {});
    ASSERT_EQ(insert(other), 0);
    ASSERT_EQ(addPidToVorel(p.get(), VOREL_UPD_DEV_ONLINE, kQueue), 0);
    ASSERT_EQ(delDomainFromVorel(3, kQueue), 0);
    EXPECT_FALSE(stored(0x010100));
    EXPECT_TRUE(stored(0x030100));
    EXPECT_TRUE(delivered().empty());

    // The consumer's calls, from the posted records.
    const auto posts = vtest::ipc::posts();
    ASSERT_EQ(posts.size(), 2u);
    VorelQueueReq add{};
    VorelQueueReq dom{};
    std::memcpy(&add, posts[0].record.data(), sizeof add);
    std::memcpy(&dom, posts[1].record.data(), sizeof dom);
    ASSERT_EQ(add.req_kind, VOREL_REQ_ONLINE);
    ASSERT_EQ(dom.req_kind, VOREL_REQ_DELETE_DOMAIN);
    EXPECT_EQ(addPidToVorel(static_cast<devconpld *>(vorel_req_ptr1(&add)), add.param2, 0), 0);
    EXPECT_EQ(delDomainFromVorel(dom.param1, 0), 0);
    EXPECT_TRUE(stored(0x010100));
    EXPECT_FALSE(stored(0x030100));
    EXPECT_EQ(delivered().size(), 2u);
    EXPECT_EQ(counted(), 2u);
}

// ---- lists --------------------------------------------------------------------------

TEST_F(Updates, AddListDeliversOneMessageWithEachDevicesDelta)
{
    Payload unchanged(0x020100, {0x030100});
    ASSERT_EQ(insert(unchanged), 0);
    std::vector<Payload> devices{Payload(0x010100, {0x030200, 0x030300}), unchanged};
    DeviceList list(devices);
    ASSERT_EQ(addPidListToVorel(&list.list, VOREL_UPD_DEV_ONLINE, 0), 0);
    auto got = delivered();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, VOREL_MSG_DEV_ONLINE);
    EXPECT_EQ(words(got[0]), (std::vector<uint32_t>{2, 2, 0, 0x010100, 0x030200, 0x030300, 0, 0, 0x020100}));
    EXPECT_TRUE(stored(0x010100));
    EXPECT_EQ(deliveries_under_lock(), std::vector<int>{0});
    EXPECT_EQ(counted(), 1u);
    EXPECT_EQ(vtest::ipc::count_traces(5, "PID    10100 added to Vorel using bulk update\n"), 1u);
}

// Each device's delta is taken just before that device is inserted, so it
// sees the reverse links that the devices before it in the list made.
TEST_F(Updates, AddListDeltasSeeTheDevicesBeforeThem)
{
    Payload b_alone(0x020100, {});
    ASSERT_EQ(insert(b_alone), 0);
    std::vector<Payload> devices{Payload(0x010100, {0x020100}), Payload(0x020100, {0x010100})};
    DeviceList list(devices);
    ASSERT_EQ(addPidListToVorel(&list.list, VOREL_UPD_DEV_ONLINE_ALT, 0), 0);
    auto got = delivered();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(words(got[0]), (std::vector<uint32_t>{2, 1, 0, 0x010100, 0x020100, 0, 0, 0x020100}));
    EXPECT_EQ(vtest::pids_of(lookup(0x010100)->dests), std::vector<uint32_t>{0x020100});
    EXPECT_EQ(vtest::pids_of(lookup(0x020100)->dests), std::vector<uint32_t>{0x010100});
}

TEST_F(Updates, InitialLoadInsertsAsGivenAndDeliversNothing)
{
    std::vector<Payload> devices{Payload(0x010100, {0x010200}), Payload(0x010200, {}), Payload(0x010300, {})};
    DeviceList list(devices);
    ASSERT_EQ(addPidListToVorel(&list.list, VOREL_UPD_SYNC, 0), 0);
    EXPECT_EQ(header()->total_pids, 3u);
    // No reverse links: the second device keeps the empty list it was given.
    EXPECT_TRUE(lookup(0x010200)->dests.empty());
    EXPECT_EQ(vtest::pids_of(lookup(0x010100)->dests), std::vector<uint32_t>{0x010200});
    EXPECT_EQ(vtest::ipc::count_traces(5, "PID    10300 added to Vorel using bulk update\n"), 1u);
    EXPECT_TRUE(delivered().empty());
    EXPECT_EQ(counted(), 0u);

    // The clients learn of the load from the sync notice only.
    ASSERT_EQ(vorelSyncDone(0), 0);
    auto got = delivered();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, VOREL_MSG_SYNC);
    EXPECT_TRUE(got[0].body.empty());
    EXPECT_EQ(header()->sync_done, 1u);
}

TEST_F(Updates, EmptyListsDeliverEmptyMessages)
{
    bulkconpld empty{0, 0, 0, nullptr};
    ASSERT_EQ(addPidListToVorel(&empty, VOREL_UPD_DEV_ONLINE, 0), 0);
    ASSERT_EQ(addPidListToVorel(&empty, VOREL_UPD_SYNC, 0), 0);
    ASSERT_EQ(delPidListToVorel(&empty, VOREL_UPD_LIST_OFFLINE, 0), 0);
    auto got = delivered();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].code, VOREL_MSG_DEV_ONLINE);
    EXPECT_EQ(words(got[0]), std::vector<uint32_t>{0});
    EXPECT_EQ(got[1].code, VOREL_MSG_OFFLINE);
    EXPECT_EQ(words(got[1]), (std::vector<uint32_t>{8, 0}));
    EXPECT_EQ(counted(), 2u);
}

TEST_F(Updates, DeleteListReportsTheDevicesReallyRemovedInListOrder)
{
    Payload a(0x010100, {0x020100});
    Payload c(0x010300, {});
    Payload peer(0x020100, {});
    ASSERT_EQ(insert(peer), 0);
    ASSERT_EQ(insert(a), 0);
    ASSERT_EQ(insert(c), 0);
    std::vector<Payload> devices{a, Payload(0x010200, {}), c};
    DeviceList list(devices);
    for (uint32_t type : {VOREL_UPD_LIST_OFFLINE, VOREL_UPD_DOM_OFFLINE}) {
        ASSERT_EQ(delPidListToVorel(&list.list, type, 0), 0);
        auto got = delivered();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].code, VOREL_MSG_OFFLINE);
        if (type == VOREL_UPD_LIST_OFFLINE)
            EXPECT_EQ(words(got[0]), (std::vector<uint32_t>{28, 2, 0x010100, 1, 0x020100, 0x010300, 0}));
        else // nothing left to remove the second time
            EXPECT_EQ(words(got[0]), (std::vector<uint32_t>{8, 0}));
    }
    EXPECT_FALSE(stored(0x010100));
    EXPECT_FALSE(stored(0x010300));
    // The bulk removal leaves the peers' lists as they were.
    EXPECT_EQ(vtest::pids_of(lookup(0x020100)->dests), std::vector<uint32_t>{0x010100});
    EXPECT_EQ(deliveries_under_lock(), (std::vector<int>{0, 0}));
    EXPECT_EQ(counted(), 2u);
}

TEST_F(Updates, DeleteListWithATypeWithoutAMessageStillRemoves)
{
    Payload a(0x010100, {});
    ASSERT_EQ(insert(a), 0);
    std::vector<Payload> devices{a};
    DeviceList list(devices);
    ASSERT_EQ(delPidListToVorel(&list.list, VOREL_UPD_SYNC, 0), 0);
    EXPECT_FALSE(stored(0x010100));
    EXPECT_TRUE(delivered().empty());
    EXPECT_EQ(counted(), 0u);
}

// ---- domains ------------------------------------------------------------------------

TEST_F(Updates, DomainRemovalReportsEachDeviceInSlotOrderUnderTheLock)
{
    Payload a(0x050001, {0x050002, 0x060001});
    Payload b(0x050002, {});
    Payload c(0x050003, {});
    Payload outside(0x060001, {});
    ASSERT_EQ(insert(outside), 0);
    ASSERT_EQ(insert(b), 0);
    ASSERT_EQ(insert(a), 0); // b and outside now list a
    ASSERT_EQ(insert(c), 0);
    ASSERT_EQ(domain_pids(5), (std::vector<uint32_t>{0x050002, 0x050001, 0x050003}));
    counted();

    ASSERT_EQ(delDomainFromVorel(5, 0), 0);
    auto got = delivered();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, VOREL_MSG_OFFLINE);
    // b goes first and still lists a; a, removed after b, no longer lists b.
    EXPECT_EQ(words(got[0]), (std::vector<uint32_t>{40, 3, 0x050002, 1, 0x050001, 0x050001, 1, 0x060001, 0x050003, 0}));
    EXPECT_EQ(deliveries_under_lock(), std::vector<int>{1});
    EXPECT_EQ(counted(), 1u);

    const auto chain = domain_chain(5);
    ASSERT_EQ(chain.size(), 1u);
    EXPECT_EQ(chain[0]->num_pids, 0u);
    EXPECT_EQ(chain[0]->next_gadd, 0u);
    EXPECT_NE(domain_first(5), 0u);
    EXPECT_TRUE(lookup(0x060001)->dests.empty());
    EXPECT_EQ(header()->total_pids, 1u);
}

TEST_F(Updates, DomainOfThreeHundredDevicesGivesOneMessagePerBlock)
{
    for (uint32_t i = 0; i < 300; ++i) {
        Payload p(0x070000 + i, {});
        ASSERT_EQ(insert(p), 0);
    }
    ASSERT_EQ(domain_chain(7).size(), 2u);
    const uint32_t blocks_before = stats().blocks_in_use;
    counted();

    ASSERT_EQ(delDomainFromVorel(7, 0), 0);
    auto got = delivered();
    ASSERT_EQ(got.size(), 2u);
    const std::vector<uint32_t> first = words(got[0]);
    const std::vector<uint32_t> second = words(got[1]);
    ASSERT_GE(first.size(), 2u);
    ASSERT_GE(second.size(), 2u);
    EXPECT_EQ(first[1], 256u);
    EXPECT_EQ(first[0], 8u + 256u * 8u);
    EXPECT_EQ(second[1], 44u);
    EXPECT_EQ(second[2], 0x070000u + 256u); // the second block's first device
    EXPECT_EQ(deliveries_under_lock(), (std::vector<int>{1, 1}));
    EXPECT_EQ(counted(), 2u);

    EXPECT_EQ(header()->total_pids, 0u);
    EXPECT_TRUE(domain_pids(7).empty());
    ASSERT_EQ(domain_chain(7).size(), 1u);
    // 300 device blocks and the second domain block went back.
    EXPECT_EQ(stats().blocks_in_use, blocks_before - 301u);
}

TEST_F(Updates, DomainWithoutDevicesDeliversNothing)
{
    ASSERT_EQ(delDomainFromVorel(9, 0), 0); // never filled
    for (uint32_t i = 0; i < 260; ++i) {
        Payload p(0x080000 + i, {});
        ASSERT_EQ(insert(p), 0);
    }
    for (uint32_t i = 0; i < 260; ++i)
        ASSERT_TRUE(remove(0x080000 + i).has_value());
    ASSERT_EQ(domain_chain(8).size(), 2u);

    ASSERT_EQ(delDomainFromVorel(8, 0), 0);
    EXPECT_TRUE(delivered().empty());
    EXPECT_EQ(counted(), 0u);
    EXPECT_EQ(domain_chain(8).size(), 1u); // the empty block behind the first went back
}

} // namespace
