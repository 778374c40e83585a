// The server component in one process: the queue consumer carries out and
// releases what the library posts, a second server is refused, the delivery
// counts, and the control requests.  Update messages are received for real
// by a "PSIPC" service of this process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "control_service.h"
#include "ipc_double.h"
#include "proc.h"
#include "store_fixture.h"
#include "vorel_server.h"

namespace {

using nlohmann::json;
using vorel::server::Device;
using vorel::server::Server;
namespace ctl = vorel::control;

constexpr int kInstance = 7;

std::vector<uint32_t> words_of(const std::vector<uint8_t> &body)
{
    std::vector<uint32_t> w(body.size() / 4);
    if (!w.empty())
        std::memcpy(w.data(), body.data(), w.size() * 4);
    return w;
}

Device device(uint32_t pid, std::vector<uint32_t> dests)
{
    Device d;
    d.dev = vtest::dev_of(pid);
    for (uint32_t p : dests)
        d.destinations.push_back(vtest::dev_of(p));
    return d;
}

// A payload in one heap block, as the queued single add hands it over.
devconpld *heap_payload(uint32_t pid, const std::vector<uint32_t> &dests)
{
    auto *bytes = static_cast<unsigned char *>(std::calloc(1, sizeof(devconpld) + dests.size() * sizeof(DevInfo)));
    auto *p = reinterpret_cast<devconpld *>(bytes);
    p->src_dev = vtest::dev_of(pid);
    p->num_dstdevices = static_cast<int32_t>(dests.size());
    p->dst_devices = reinterpret_cast<DevInfo *>(bytes + sizeof(devconpld));
    for (std::size_t i = 0; i < dests.size(); ++i)
        p->dst_devices[i] = vtest::dev_of(dests[i]);
    return p;
}

// A list whose records each own a destination array, as the bulk operations take it.
bulkconpld *heap_list(const std::vector<std::pair<uint32_t, std::vector<uint32_t>>> &devs)
{
    auto *list = static_cast<bulkconpld *>(std::calloc(1, sizeof(bulkconpld)));
    list->num_devices = static_cast<int32_t>(devs.size());
    list->devices = static_cast<devconpld *>(std::calloc(devs.size(), sizeof(devconpld)));
    for (std::size_t i = 0; i < devs.size(); ++i) {
        devconpld &rec = list->devices[i];
        rec.src_dev = vtest::dev_of(devs[i].first);
        rec.num_dstdevices = static_cast<int32_t>(devs[i].second.size());
        if (!devs[i].second.empty()) {
            rec.dst_devices = static_cast<DevInfo *>(std::calloc(devs[i].second.size(), sizeof(DevInfo)));
            for (std::size_t k = 0; k < devs[i].second.size(); ++k)
                rec.dst_devices[k] = vtest::dev_of(devs[i].second[k]);
        }
    }
    return list;
}

class ServerTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        setMySwitch(kInstance);
        vtest::ipc::reset();
        plat_fail_reset();
    }
    void TearDown() override
    {
        plat_fail_reset();
        setMySwitch(-1);
    }

    // Waits for `n` messages at the receiver (sent from any thread).
    static std::vector<vtest::ipc::Received> wait_messages(vtest::ipc::Receiver &r, std::size_t n)
    {
        std::vector<vtest::ipc::Received> got;
        for (int round = 0; round < 200 && got.size() < n; ++round)
            got = r.sync();
        return got;
    }

    static std::vector<uint32_t> codes(const std::vector<vtest::ipc::Received> &msgs)
    {
        std::vector<uint32_t> c;
        for (const auto &m : msgs)
            c.push_back(m.code);
        return c;
    }

    static std::vector<uint32_t> stored_dests(uint32_t pid)
    {
        devconpld *p = nullptr;
        if (getPidFromVorel(pid, &p) != 0)
            return {0xDEAD};
        std::vector<uint32_t> d;
        for (int32_t i = 0; i < p->num_dstdevices; ++i)
            d.push_back(p->dst_devices[i].pid);
        std::free(p);
        return d;
    }

    static bool stored(uint32_t pid)
    {
        devconpld *p = nullptr;
        const bool found = getPidFromVorel(pid, &p) == 0;
        std::free(p);
        return found;
    }

    static const vorel::server::ClientStats *client(const vorel::server::Stats &s, uint32_t type)
    {
        for (const auto &c : s.clients)
            if (c.type == type)
                return &c;
        return nullptr;
    }
};

TEST_F(ServerTest, ASecondServerForTheInstanceIsRefused)
{
    // Forked before anything runs in this process.
    vtest::Event go;
    vtest::Child other([&] {
        if (!go.wait())
            return 10;
        setMySwitch(kInstance);
        Server s({.instance = kInstance});
        const int32_t rc = s.start();
        if (rc != PLAT_ERR_BUSY)
            return 11;
        if (s.error().find("another process owns \"NSIPC\"") == std::string::npos)
            return 12;
        return s.running() ? 13 : 0;
    });

    Server first({.instance = kInstance});
    ASSERT_EQ(first.start(), 0) << first.error();
    go.post();
    EXPECT_EQ(other.wait(), 0);

    Server second({.instance = kInstance});
    EXPECT_EQ(second.start(), PLAT_ERR_BUSY);
    EXPECT_NE(second.error().find("already running for switch instance 7"), std::string::npos) << second.error();
    EXPECT_FALSE(second.running());

    // The refused server left the first one serving.
    json reply;
    ASSERT_EQ(ctl::call(ctl::CTL_PING, json::object(), reply), 0);
    EXPECT_EQ(reply["pid"], getpid());

    // Once the first has stopped, the name is free again.
    first.stop();
    EXPECT_EQ(ctl::call(ctl::CTL_PING, json::object(), reply), PLAT_ERR_NOENT);
    ASSERT_EQ(second.start(), 0) << second.error();
    EXPECT_EQ(ctl::call(ctl::CTL_PING, json::object(), reply), 0);
}

TEST_F(ServerTest, QueuedRequestsAreCarriedOutInOrderAndReleased)
{
    vtest::ipc::Receiver psipc(VOREL_CLIENT_SVC_NAME);
    ASSERT_TRUE(psipc.registered());
    Server srv({.instance = kInstance});
    ASSERT_EQ(srv.start(), 0) << srv.error();
    const uint32_t q = srv.queue();
    ASSERT_NE(q, 0u);
    ASSERT_EQ(srv.run([] { return registerVorelClientToSrvr(0); }), 0);

    // One of each kind; every heap record goes to the consumer.
    std::vector<uint32_t> note = {1, 0, 0, 0x090100};
    void *msg = std::malloc(note.size() * 4);
    std::memcpy(msg, note.data(), note.size() * 4);
    srv.run([&] {
        EXPECT_EQ(addPidToVorel(heap_payload(0x010100, {0x010200}), VOREL_UPD_DEV_ONLINE, q), 0);
        EXPECT_EQ(addPidListToVorel(heap_list({{0x010200, {0x010100}}, {0x020100, {}}}), VOREL_UPD_DEV_ONLINE, q), 0);
        EXPECT_EQ(delPidListToVorel(heap_list({{0x020100, {0x0A0A0A}}}), VOREL_UPD_LIST_OFFLINE, q), 0);
        ProcessClientNotification(msg, static_cast<uint32_t>(note.size() * 4), q, VOREL_UPD_DEV_ONLINE);
        EXPECT_EQ(delPidFromVorel(0x010200, q), 0);
        EXPECT_EQ(delDomainFromVorel(1, q), 0);
        EXPECT_EQ(vorelSyncDone(q), 0);
    });
    ASSERT_TRUE(srv.drain());
    EXPECT_EQ(srv.handled(), 7u);
    const auto got = wait_messages(psipc, 7);
    EXPECT_EQ(codes(got), (std::vector<uint32_t>{0x43, 0x43, 0x42, 0x43, 0x42, 0x42, 0x44}));
    ASSERT_EQ(got.size(), 7u);
    // The single add found nothing stored; the bulk add re-added 0x010200
    // with its link back; the notification arrives as posted.
    EXPECT_EQ(words_of(got[0].body), (std::vector<uint32_t>{1, 1, 0, 0x010100, 0x010200}));
    EXPECT_EQ(words_of(got[1].body), (std::vector<uint32_t>{2, 1, 0, 0x010200, 0x010100, 0, 0, 0x020100}));
    EXPECT_EQ(words_of(got[2].body), (std::vector<uint32_t>{16, 1, 0x020100, 0}));
    EXPECT_EQ(words_of(got[3].body), note);
    EXPECT_EQ(words_of(got[4].body), (std::vector<uint32_t>{20, 1, 0x010200, 1, 0x010100}));
    // The domain still held 0x010100, whose link to 0x010200 went with the delete.
    EXPECT_EQ(words_of(got[5].body), (std::vector<uint32_t>{16, 1, 0x010100, 0}));
    EXPECT_TRUE(got[6].body.empty());
    uint32_t count = 99;
    ASSERT_EQ(getCountFromVorel(&count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(srv.stats().revision, 7u);
}

TEST_F(ServerTest, StopCarriesOutWhatIsStillQueued)
{
    vtest::ipc::Receiver psipc(VOREL_CLIENT_SVC_NAME);
    Server srv({.instance = kInstance});
    ASSERT_EQ(srv.start(), 0) << srv.error();
    ASSERT_EQ(srv.run([] { return registerVorelClientToSrvr(1); }), 0);
    for (uint32_t i = 1; i <= 20; ++i)
        ASSERT_EQ(srv.add_device(device(0x030000 + i, {0x030000 + i + 1}), VOREL_UPD_DEV_ONLINE, true), 0);
    srv.stop();
    EXPECT_EQ(srv.handled(), 20u);
    EXPECT_EQ(wait_messages(psipc, 20).size(), 20u);

    // Nothing can be queued to a stopped server; the records are not kept.
    EXPECT_EQ(srv.add_device(device(0x030100, {}), VOREL_UPD_DEV_ONLINE, true), VOREL_E_UNINIT);
    EXPECT_EQ(srv.add_list(std::vector<Device>{device(0x030200, {0x030300})}, 0, true), VOREL_E_UNINIT);
    EXPECT_FALSE(srv.drain());
}

TEST_F(ServerTest, DeliveriesAreCountedPerClientType)
{
    vtest::ipc::Receiver psipc(VOREL_CLIENT_SVC_NAME);
    Server srv({.instance = kInstance});
    ASSERT_EQ(srv.start(), 0) << srv.error();
    // Types 0 and 1 receive at "PSIPC"; 4 (VANT) and 2 are never sent to.
    for (uint32_t t : {0u, 4u, 1u, 2u})
        ASSERT_EQ(srv.run([t] { return registerVorelClientToSrvr(t); }), 0);

    ASSERT_EQ(srv.add_device(device(0x040100, {0x040200}), VOREL_UPD_DEV_ONLINE, false), 0);
    ASSERT_EQ(srv.add_device(device(0x040200, {0x040100}), VOREL_UPD_DEV_ONLINE, true), 0);
    ASSERT_TRUE(srv.drain());
    // The next send (to type 0) fails; type 1 still gets the message.
    ASSERT_EQ(plat_fail_after("ipcSend", 1), 0);
    ASSERT_EQ(srv.delete_device(0x040100, false), 0);
    plat_fail_reset();

    EXPECT_EQ(wait_messages(psipc, 5).size(), 5u);
    const vorel::server::Stats s = srv.stats();
    EXPECT_EQ(s.revision, 3u);
    EXPECT_EQ(s.registered, (std::vector<uint32_t>{0, 4, 1, 2}));
    ASSERT_EQ(s.clients.size(), 4u);
    const auto *t0 = client(s, 0);
    const auto *t1 = client(s, 1);
    ASSERT_TRUE(t0 && t1);
    EXPECT_EQ(t0->delivered, 2u);
    EXPECT_EQ(t0->failed, 1u);
    EXPECT_EQ(t1->delivered, 3u);
    EXPECT_EQ(t1->failed, 0u);
    for (uint32_t t : {2u, 4u}) {
        ASSERT_TRUE(client(s, t));
        EXPECT_TRUE(client(s, t)->registered);
        EXPECT_EQ(client(s, t)->delivered + client(s, t)->failed, 0u);
    }

    // The counts stay with a type that unregistered.
    ASSERT_EQ(srv.run([] { return unRegisterVorelClientToSrvr(0); }), 0);
    const vorel::server::Stats after = srv.stats();
    ASSERT_TRUE(client(after, 0));
    EXPECT_FALSE(client(after, 0)->registered);
    EXPECT_EQ(client(after, 0)->failed, 1u);
}

TEST_F(ServerTest, RecordsThatAreNotRequestsAreDropped)
{
    Server srv({.instance = kInstance});
    ASSERT_EQ(srv.start(), 0) << srv.error();
    VorelQueueReq foreign{};
    foreign.req_tag = 0x33;
    foreign.req_kind = VOREL_REQ_DELETE;
    VorelQueueReq unknown{};
    unknown.req_tag = VOREL_REQ_TAG;
    unknown.req_kind = 9;
    const char shorter[10] = {};
    ASSERT_EQ(msgQSend(srv.queue(), &foreign, sizeof foreign, 0, 1), 0);
    ASSERT_EQ(msgQSend(srv.queue(), &unknown, sizeof unknown, 0, 1), 0);
    ASSERT_EQ(msgQSend(srv.queue(), shorter, sizeof shorter, 0, 1), 0);
    ASSERT_EQ(srv.sync_done(true), 0);
    ASSERT_TRUE(srv.drain());
    const vorel::server::Stats s = srv.stats();
    EXPECT_EQ(s.malformed, 3u);
    EXPECT_EQ(s.handled, 1u);
    EXPECT_EQ(s.queue_depth, 0u);
    EXPECT_EQ(s.revision, 1u);
}

TEST_F(ServerTest, ControlRequestsChangeTheDatabase)
{
    vtest::ipc::Receiver psipc(VOREL_CLIENT_SVC_NAME);
    Server srv({.instance = kInstance});
    ASSERT_EQ(srv.start(), 0) << srv.error();
    ASSERT_EQ(srv.run([] { return registerVorelClientToSrvr(0); }), 0);
    json r;

    ASSERT_EQ(ctl::call(ctl::CTL_PING, json::object(), r), 0);
    EXPECT_EQ(r, (json{{"rc", 0}, {"pid", getpid()}, {"instance", kInstance}, {"disabled", false}}));

    // The initial load: no messages.
    json load = {{"type", 8},
                 {"devices",
                  {{{"device", {{"pid", 0x050100}}}, {"destinations", {{{"pid", 0x050200}}}}},
                   {{"device", {{"pid", 0x050200}}}, {"destinations", {{{"pid", 0x050100}}}}},
                   {{"device", {{"pid", 0x060100}}}}}}};
    ASSERT_EQ(ctl::call(ctl::CTL_ADD_LIST, load, r), 0);
    EXPECT_EQ(r["rc"], 0);
    ASSERT_EQ(ctl::call(ctl::CTL_SYNC, json::object(), r), 0);

    // A device with all its fields, at once; then another through the queue.
    json add = {{"device", {{"pid", 0x050300}, {"ind", -2}, {"spd", 16}, {"flags", 0x80}, {"extra", "0a0B"}}},
                {"destinations", {{{"pid", 0x050100}, {"spd", 32}}}}};
    ASSERT_EQ(ctl::call(ctl::CTL_ADD, add, r), 0);
    EXPECT_EQ(r["rc"], 0);
    ASSERT_EQ(ctl::call(ctl::CTL_ADD, {{"device", {{"pid", 0x050400}}}, {"queued", true}}, r), 0);
    EXPECT_EQ(r["rc"], 0);
    ASSERT_EQ(ctl::call(ctl::CTL_DRAIN, json::object(), r), 0);
    EXPECT_EQ(r["rc"], 0);
    devconpld *p = nullptr;
    ASSERT_EQ(getPidFromVorel(0x050300, &p), 0);
    EXPECT_EQ(p->src_dev.ind, -2);
    EXPECT_EQ(p->src_dev.spd, 16);
    EXPECT_EQ(p->src_dev.devflags, 0x80u);
    EXPECT_EQ(p->src_dev.dev_extra[0], 0x0A);
    EXPECT_EQ(p->src_dev.dev_extra[1], 0x0B);
    EXPECT_EQ(p->src_dev.dev_extra[2], 0);
    ASSERT_EQ(p->num_dstdevices, 1);
    EXPECT_EQ(p->dst_devices[0].spd, 32);
    std::free(p);
    EXPECT_TRUE(stored(0x050400));
    EXPECT_EQ(stored_dests(0x050100), (std::vector<uint32_t>{0x050200, 0x050300}));

    ASSERT_EQ(ctl::call(ctl::CTL_DELETE_LIST, {{"pids", {0x050400, 0x0F0F0F}}}, r), 0);
    ASSERT_EQ(ctl::call(ctl::CTL_DELETE, {{"pid", 0x050300}, {"queued", true}}, r), 0);
    ASSERT_EQ(ctl::call(ctl::CTL_DELETE_DOMAIN, {{"domain", 6}}, r), 0);
    ASSERT_EQ(ctl::call(ctl::CTL_DRAIN, json::object(), r), 0);
    EXPECT_FALSE(stored(0x050400));
    EXPECT_FALSE(stored(0x050300));
    EXPECT_FALSE(stored(0x060100));
    EXPECT_TRUE(stored(0x050100));

    const auto got = wait_messages(psipc, 6);
    EXPECT_EQ(codes(got), (std::vector<uint32_t>{0x44, 0x43, 0x43, 0x42, 0x42, 0x42}));
    ASSERT_EQ(ctl::call(ctl::CTL_STATS, json::object(), r), 0);
    EXPECT_EQ(r["rc"], 0);
    EXPECT_EQ(r["revision"], 6);
    EXPECT_EQ(r["registered"], json({0}));
    EXPECT_EQ(r["handled"], 2);
    EXPECT_EQ(r["queue_depth"], 0);
    ASSERT_EQ(r["clients"].size(), 1u);
    EXPECT_EQ(r["clients"][0], (json{{"type", 0},
                                     {"registered", true},
                                     {"delivered", 6},
                                     {"failed", 0},
                                     {"queued", 0},
                                     {"queued_bytes", 0},
                                     {"oldest_ms", 0},
                                     {"cutoffs", 0}}));
}

TEST_F(ServerTest, ControlRequestsThatCannotBeCarriedOut)
{
    Server srv({.instance = kInstance});
    ASSERT_EQ(srv.start(), 0) << srv.error();
    auto rc_of = [&](uint32_t code, std::string_view body) {
        return json::parse(srv.control(code, body)).value("rc", 1);
    };
    EXPECT_EQ(rc_of(ctl::CTL_ADD, "{\"device\":"), ctl::kErrBadRequest);
    EXPECT_EQ(rc_of(ctl::CTL_ADD, "[1]"), ctl::kErrBadRequest);
    EXPECT_EQ(rc_of(ctl::CTL_ADD, R"({"destinations":[]})"), ctl::kErrBadRequest);
    EXPECT_EQ(rc_of(ctl::CTL_ADD, R"({"device":{"pid":65792,"extra":"0g"}})"), ctl::kErrBadRequest);
    EXPECT_EQ(rc_of(ctl::CTL_ADD, R"({"device":{"pid":65792,"spd":70000}})"), ctl::kErrBadRequest);
    EXPECT_EQ(rc_of(ctl::CTL_ADD, R"({"device":{"pid":65792},"queued":1})"), ctl::kErrBadRequest);
    EXPECT_EQ(rc_of(ctl::CTL_DELETE, "{}"), ctl::kErrBadRequest);
    EXPECT_EQ(rc_of(ctl::CTL_DELETE_LIST, R"({"pids":[-1]})"), ctl::kErrBadRequest);
    EXPECT_EQ(rc_of(0x1FF, "{}"), ctl::kErrUnknownCode);
    // The library's own refusals come back as they are, in both modes
    // (the refused queued payload is released by the server).
    EXPECT_EQ(rc_of(ctl::CTL_ADD, R"({"device":{"pid":256}})"), VOREL_E_BADPID);
    EXPECT_EQ(rc_of(ctl::CTL_ADD, R"({"device":{"pid":256},"queued":true})"), VOREL_E_BADPID);
    EXPECT_EQ(rc_of(ctl::CTL_DELETE_DOMAIN, R"({"domain":300})"), VOREL_E_BADDOMAIN);

    // A fabric file needs the loader of the program that runs the server.
    // The control service never opens a path a client names; the program
    // running the server may still load a file through its own loader.
    EXPECT_EQ(rc_of(0x108, R"({"path":"/nowhere.json"})"), ctl::kErrUnknownCode);
    auto load = [&](const std::string &path, bool queued) {
        std::string error;
        const int32_t rc = srv.load_file(path, VOREL_UPD_SYNC, queued, error);
        return error.empty() ? json{{"rc", rc}} : json{{"rc", rc}, {"error", error}};
    };
    json r = load("/nowhere.json", false);
    EXPECT_EQ(r["rc"], ctl::kErrFabricFile);
    EXPECT_FALSE(r["error"].get<std::string>().empty());
    std::string seen_path;
    srv.set_fabric_loader([&](const std::string &path, std::vector<Device> &devs, std::string &error) {
        seen_path = path;
        if (path == "bad.json") {
            error = "line 3: not a PID";
            return ctl::kErrFabricFile;
        }
        devs = {device(0x070100, {0x070200}), device(0x070200, {0x070100})};
        return 0;
    });
    r = load("bad.json", false);
    EXPECT_EQ(r, (json{{"rc", ctl::kErrFabricFile}, {"error", "line 3: not a PID"}}));
    r = load("fabric.json", true);
    EXPECT_EQ(r["rc"], 0);
    EXPECT_EQ(seen_path, "fabric.json");
    ASSERT_TRUE(srv.drain());
    EXPECT_EQ(stored_dests(0x070100), (std::vector<uint32_t>{0x070200}));
    // The initial-load mode of the load touched nothing but the listed records.
    EXPECT_EQ(srv.stats().revision, 0u);
}

} // namespace
