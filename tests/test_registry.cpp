// test_registry.cpp - the server's registry of client types, its request
// handler and the delivery of update messages to the registered types.  The
// messages are received for real, by a service of the test process; shared
// memory is real too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "ipc_double.h"
#include "vorel_db.h"

VTEST_TRACE_DOUBLE();

namespace {

using vtest::ipc::Received;
using vtest::ipc::Receiver;

std::vector<uint32_t> registry()
{
    const VorelPartCtx *c = vorel::ctx();
    return {c->registeredClients, c->registeredClients + c->num_clients};
}

class Registry : public ::testing::Test {
  protected:
    void SetUp() override
    {
        vtest::ipc::reset();
        mod_VORELLIB.level = 5;
        ASSERT_EQ(vorellibInit(), 0);
    }
    void TearDown() override
    {
        plat_fail_reset();
        vorellibUnInit();
    }
};

TEST_F(Registry, RemovalKeepsTheOrderOfTheOthers)
{
    for (uint32_t t : {2u, 0u, 1u})
        EXPECT_EQ(registerVorelClientToSrvr(t), VOREL_E_NOTATTACHED);
    EXPECT_EQ(registry(), (std::vector<uint32_t>{2, 0, 1}));
    EXPECT_EQ(unRegisterVorelClientToSrvr(0), 0);
    EXPECT_EQ(registry(), (std::vector<uint32_t>{2, 1}));

    // A type never registered: 0, nothing changes.
    EXPECT_EQ(unRegisterVorelClientToSrvr(9), 0);
    EXPECT_EQ(vtest::ipc::count_traces(1, "client type 9 doesntexist in Vorel\n"), 1u);
    EXPECT_EQ(registry(), (std::vector<uint32_t>{2, 1}));

    EXPECT_EQ(unRegisterVorelClientToSrvr(1), 0);
    EXPECT_EQ(unRegisterVorelClientToSrvr(2), 0);
    EXPECT_TRUE(registry().empty());
}

TEST_F(Registry, SecondRegistrationKeepsOneEntryAndReportsTheSyncState)
{
    ASSERT_EQ(initVorelSrvr(), 0);
    EXPECT_EQ(registerVorelClientToSrvr(5), 0);
    EXPECT_EQ(registerVorelClientToSrvr(5), 0);
    EXPECT_EQ(registry(), std::vector<uint32_t>{5});
    EXPECT_EQ(vtest::ipc::count_traces(1, "client type 5 already exists in Vorel\n"), 1u);
    EXPECT_EQ(vtest::ipc::count_traces(5, "Error code :0 client type 5 registered"), 2u);

    ASSERT_EQ(vorelSyncDone(0), 0);
    EXPECT_EQ(registerVorelClientToSrvr(5), VOREL_E_INSYNC);
    EXPECT_EQ(registerVorelClientToSrvr(6), VOREL_E_INSYNC);
    EXPECT_EQ(registry(), (std::vector<uint32_t>{5, 6}));
    detachVorelSrvr();
}

TEST_F(Registry, NinthTypeIsRefusedAndTheTableStaysAsItWas)
{
    std::vector<uint32_t> expected;
    for (uint32_t t = 100; t < 108; ++t) {
        EXPECT_EQ(registerVorelClientToSrvr(t), VOREL_E_NOTATTACHED);
        expected.push_back(t);
    }
    EXPECT_EQ(registerVorelClientToSrvr(108), VOREL_E_REGFULL);
    EXPECT_EQ(vtest::ipc::count_traces(1, "client type 108 cannot be registered: registry full\n"), 1u);
    EXPECT_EQ(registry(), expected);
    // A type already there is still answered with the sync state.
    EXPECT_EQ(registerVorelClientToSrvr(103), VOREL_E_NOTATTACHED);
    // Room again after an unregistration.
    EXPECT_EQ(unRegisterVorelClientToSrvr(100), 0);
    EXPECT_EQ(registerVorelClientToSrvr(108), VOREL_E_NOTATTACHED);
    EXPECT_EQ(registry().back(), 108u);
}

// ---- request handler ----------------------------------------------------------

// Sends requests to the handler the way the IPC service hands them over: the
// request code, then the client's 4-byte body.  The requester's address is a
// service of this process, so the reply is received there.
class Handler : public Registry {
  protected:
    void SetUp() override
    {
        Registry::SetUp();
        requester_ = std::make_unique<Receiver>("VORELREQ");
        ASSERT_TRUE(requester_->registered());
    }
    void TearDown() override
    {
        requester_.reset();
        Registry::TearDown();
    }

    // The one reply to a request: the 4-byte result, sent with the code the
    // handler was given.
    int32_t ask(uint32_t code, uint32_t body = 0)
    {
        requester_->clear();
        const IPCAddr addr = requester_->address();
        uint32_t buf[2] = {code, body};
        EXPECT_EQ(ns_vorel_callback(&addr, kReplyCode, buf, sizeof buf, code), 0);
        const std::vector<Received> got = requester_->sync();
        EXPECT_EQ(got.size(), 1u);
        if (got.size() != 1)
            return 99;
        EXPECT_EQ(got[0].code, kReplyCode);
        EXPECT_EQ(got[0].body.size(), 4u);
        int32_t v = 99;
        if (got[0].body.size() == sizeof v)
            std::memcpy(&v, got[0].body.data(), sizeof v);
        return v;
    }

    static constexpr uint32_t kReplyCode = 0x0C0DE001;
    std::unique_ptr<Receiver> requester_;
};

TEST_F(Handler, AnswersEachRequestToTheRequesterWithItsCode)
{
    // Register before the segment exists: -14, and registered all the same.
    EXPECT_EQ(ask(IPC_REQ_REGISTER, 7), VOREL_E_NOTATTACHED);
    EXPECT_EQ(registry(), std::vector<uint32_t>{7});
    EXPECT_EQ(vtest::ipc::count_traces(5, "Vorel server received 0x2bIPC message\n"), 1u);

    EXPECT_EQ(ask(IPC_REQ_ENABLE), 0);
    EXPECT_GT(vorel::ctx()->initialized, 0);
    EXPECT_EQ(ask(IPC_REQ_ENABLE), VOREL_E_ATTACHED);
    EXPECT_EQ(ask(IPC_REQ_REGISTER, 8), 0);

    EXPECT_EQ(ask(IPC_REQ_UNREGISTER, 7), 0);
    EXPECT_EQ(ask(IPC_REQ_UNREGISTER, 7), 0);
    EXPECT_EQ(registry(), std::vector<uint32_t>{8});

    EXPECT_EQ(ask(IPC_REQ_DISABLE), 0);
    EXPECT_EQ(vorel::ctx()->initialized, 0);
    // Disable while detached: the detach complains, the answer is still 0.
    EXPECT_EQ(ask(IPC_REQ_DISABLE), 0);

    EXPECT_EQ(ask(45, 9), 0);
    EXPECT_EQ(registry(), std::vector<uint32_t>{8});
    EXPECT_EQ(vorel::ctx()->initialized, 0);
}

TEST_F(Handler, FullRegistryIsAnsweredWithItsCode)
{
    for (uint32_t t = 0; t < VOREL_MAX_CLIENTS; ++t)
        ASSERT_EQ(ask(IPC_REQ_REGISTER, 20 + t), VOREL_E_NOTATTACHED);
    EXPECT_EQ(ask(IPC_REQ_REGISTER, 99), VOREL_E_REGFULL);
    EXPECT_EQ(registry().size(), VOREL_MAX_CLIENTS);
}

// ---- delivery -------------------------------------------------------------------

TEST_F(Registry, OnlyClientTypesZeroAndOneHaveAnAddress)
{
    IPCAddr addr{};
    ASSERT_EQ(getClientIPCAddr(1, &addr), 0);
    EXPECT_EQ(addr.node, myNode() & 0xFFFF);
    EXPECT_EQ(addr.svc, VOREL_IPC_SVC);
    EXPECT_EQ(vtest::ipc::name_of(addr), "PSIPC");
    IPCAddr addr0{};
    ASSERT_EQ(getClientIPCAddr(0, &addr0), 0);
    EXPECT_EQ(std::memcmp(&addr, &addr0, sizeof addr), 0);
    for (uint32_t t : {2u, 3u, 4u, 0xFFFFFFFFu})
        EXPECT_EQ(getClientIPCAddr(t, &addr), -1) << t;
}

class Delivery : public Registry {
  protected:
    void SetUp() override
    {
        Registry::SetUp();
        clients_ = std::make_unique<Receiver>(VOREL_CLIENT_SVC_NAME);
        ASSERT_TRUE(clients_->registered());
    }
    void TearDown() override
    {
        clients_.reset();
        Registry::TearDown();
    }
    void enroll(std::initializer_list<uint32_t> types)
    {
        for (uint32_t t : types)
            registerVorelClientToSrvr(t);
        vtest::ipc::reset();
    }

    std::unique_ptr<Receiver> clients_;
};

TEST_F(Delivery, OnlyTypesWithAnAddressAreSentTo)
{
    enroll({4, 2, 0});
    uint32_t msg[3] = {12, 1, 0x010101};
    sendUpdateToClients(VOREL_UPD_DEV_OFFLINE, msg, sizeof msg);

    const std::vector<Received> got = clients_->sync();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, VOREL_MSG_OFFLINE);
    ASSERT_EQ(got[0].body.size(), sizeof msg);
    EXPECT_EQ(std::memcmp(got[0].body.data(), msg, sizeof msg), 0);
    EXPECT_EQ(vtest::ipc::count_traces(5, "for VANT don notsend vorel change notification\n"), 1u);
    EXPECT_EQ(vtest::ipc::count_traces(5, "Client Type cannot receive IPC Messages\n"), 1u);
    EXPECT_EQ(getCurrentRevisionNum(), 1u);
}

TEST_F(Delivery, EachUpdateTypeHasItsCodeAndOnlyDeliveredTypesCount)
{
    enroll({0, 1});
    struct Case {
        uint32_t type;
        uint32_t code; // 0: not delivered
    };
    const Case cases[] = {{0, 0x43}, {1, 0x42}, {2, 0x44}, {3, 0x42}, {4, 0x41},      {5, 0x42},
                          {6, 0x43}, {7, 0},    {8, 0x44}, {9, 0},    {0xFFFFFFFF, 0}};
    uint32_t revision = getCurrentRevisionNum();
    for (const Case &c : cases) {
        clients_->clear();
        sendUpdateToClients(c.type, nullptr, 0);
        const std::vector<Received> got = clients_->sync();
        if (c.code == 0) {
            EXPECT_TRUE(got.empty()) << c.type;
            EXPECT_EQ(getCurrentRevisionNum(), revision) << c.type;
            continue;
        }
        // Types 0 and 1 share one address: the message arrives there twice.
        ASSERT_EQ(got.size(), 2u) << c.type;
        for (const Received &r : got) {
            EXPECT_EQ(r.code, c.code) << c.type;
            EXPECT_TRUE(r.body.empty()) << c.type;
        }
        EXPECT_EQ(getCurrentRevisionNum(), ++revision) << c.type;
    }
}

TEST_F(Delivery, AFailedSendDoesNotStopTheOthers)
{
    enroll({0, 3, 1});
    ASSERT_EQ(plat_fail_after("ipcSend", 1), 0);
    sendUpdateToClients(VOREL_UPD_DEV_ONLINE, nullptr, 0);
    EXPECT_EQ(clients_->sync().size(), 1u);
    EXPECT_EQ(vtest::ipc::count_traces(1, "IPCSend failed for 67 msg\n"), 1u);
    EXPECT_EQ(getCurrentRevisionNum(), 1u);

    // The type whose send failed is simply tried again with the next update.
    clients_->clear();
    sendUpdateToClients(VOREL_UPD_DEV_ONLINE, nullptr, 0);
    EXPECT_EQ(clients_->sync().size(), 2u);
    EXPECT_EQ(getCurrentRevisionNum(), 2u);
}

TEST_F(Delivery, NothingRegisteredStillCountsTheUpdate)
{
    enroll({3});
    ASSERT_EQ(unRegisterVorelClientToSrvr(3), 0);
    sendUpdateToClients(VOREL_UPD_DOM_OFFLINE, nullptr, 0);
    EXPECT_TRUE(clients_->sync().empty());
    EXPECT_EQ(getCurrentRevisionNum(), 1u);
}

// A delivery reads the registry entry by entry: a type unregistered while the
// delivery goes on is not sent to, and no entry is read past the used ones
// while registrations come and go in another thread.
TEST_F(Delivery, RegistryChangesDuringADeliveryAreSeenEntryByEntry)
{
    enroll({4, 0, 1});
    vtest::ipc::set_trace_tagger([](const vtest::ipc::TraceRecord &r) {
        if (r.text == "for VANT don notsend vorel change notification\n")
            unRegisterVorelClientToSrvr(1);
        return 0;
    });
    sendUpdateToClients(VOREL_UPD_SYNC, nullptr, 0);
    EXPECT_EQ(clients_->sync().size(), 1u);
    EXPECT_EQ(registry(), (std::vector<uint32_t>{4, 0}));

    vtest::ipc::reset();
    clients_->clear();
    mod_VORELLIB.level = 0; // thousands of registrations: no trace records
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop) {
            for (uint32_t t = 10; t < 16; ++t)
                registerVorelClientToSrvr(t);
            for (uint32_t t = 10; t < 16; ++t)
                unRegisterVorelClientToSrvr(t);
        }
    });
    for (int i = 0; i < 200; ++i)
        sendUpdateToClients(VOREL_UPD_DEV_ONLINE, nullptr, 0);
    stop = true;
    churn.join();
    // Only type 0 has an address; it stays registered throughout.
    EXPECT_EQ(clients_->sync().size(), 200u);
    EXPECT_EQ(getCurrentRevisionNum(), 201u);
}

} // namespace
