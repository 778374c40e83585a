// IPC service of the stand-in platform: requests and replies across
// processes, ownership of service names, dead and stuck peers, large
// messages, malformed frames and failure injection.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "proc.h"
#include "raw_ipc.h"
#include "vorel_platform.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using vtest::kIpcMaxBody;
using vtest::RawConn;
using vtest::request_header;
using vtest::WireHeader;

constexpr ipc_timeout_t kFiveSec{5, 0};

IPCAddr addr_of(const char *name, int node = static_cast<int>(myNode()))
{
    IPCAddr a{};
    a.node = static_cast<uint16_t>(node);
    a.svc = 0x400;
    std::strncpy(a.name, name, sizeof a.name - 1);
    return a;
}

std::string socket_path(const char *name, int node = 0)
{
    return std::string(std::getenv("VOREL_RUN_DIR")) + "/ipc." + std::to_string(node) + "." + name;
}

// Replies [getMySwitch() of the dispatch thread][the request buffer as received].
int32_t echo_handler(const IPCAddr *requester, uint32_t reply_code, const void *request, uint32_t request_len,
                     uint32_t /*request_code*/)
{
    std::vector<uint8_t> out(4 + request_len);
    const auto sw = static_cast<uint32_t>(getMySwitch());
    std::memcpy(out.data(), &sw, 4);
    std::memcpy(out.data() + 4, request, request_len);
    (void)ipcSend(requester, reply_code, out.data(), static_cast<uint32_t>(out.size()), nullptr);
    return 0;
}

// An echo service owned by a forked child until the test object goes.
class EchoChild {
  public:
    EchoChild(const char *name, int instance)
        : child_([this, name, instance] {
              setMySwitch(instance);
              const int h = ipcRegisterService(name, echo_handler);
              ready_.post(h > 0 ? 0u : 1u);
              if (h <= 0)
                  return 1;
              if (!stop_.wait(120s))
                  return 2;
              return ipcUnregisterService(h) == 0 ? 0 : 3;
          })
    {
    }
    // True once the child owns the name.
    bool ready()
    {
        uint32_t v = 1;
        return ready_.wait(vtest::kDefaultTimeout, &v) && v == 0;
    }
    int finish()
    {
        stop_.post();
        return child_.wait();
    }
    vtest::Child &child() { return child_; }

  private:
    vtest::Event ready_, stop_;
    vtest::Child child_;
};

// Sends `body` as a request with `code` and returns the reply as words.
std::vector<uint32_t> ask(const IPCAddr &to, uint32_t code, const std::vector<uint32_t> &body, int *rc,
                          uint32_t room = 64)
{
    std::vector<uint32_t> reply(room / 4 + 1, 0xDEADBEEF);
    uint32_t reply_len = room;
    *rc = ipcSendRcv(&to, code, body.empty() ? nullptr : body.data(), static_cast<uint32_t>(body.size() * 4),
                     reply.data(), &reply_len, &kFiveSec);
    reply.resize(*rc == 0 ? (reply_len + 3) / 4 : 0);
    return reply;
}

TEST(Ipc, RequestAndReplyAcrossProcesses)
{
    EchoChild server("ECHO", 5); // serves on node 5, the switch instance of its registering thread
    ASSERT_TRUE(server.ready());
    const IPCAddr to = addr_of("ECHO", 5);

    int rc = 0;
    // The handler sees [request code][client body]: the client's first word is its second word.
    auto reply = ask(to, 43, {0x11223344u, 0x55u}, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(reply, (std::vector<uint32_t>{5u, 43u, 0x11223344u, 0x55u}));

    reply = ask(to, 42, {}, &rc); // no body at all
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(reply, (std::vector<uint32_t>{5u, 42u}));

    // A reply longer than the buffer: the buffer gets what fits, the length tells the whole.
    uint32_t small[2] = {0, 0xA5A5A5A5};
    uint32_t len = 4;
    const uint32_t body[3] = {1, 2, 3};
    ASSERT_EQ(ipcSendRcv(&to, 41, body, sizeof body, small, &len, &kFiveSec), 0);
    EXPECT_EQ(len, 20u);
    EXPECT_EQ(small[0], 5u);
    EXPECT_EQ(small[1], 0xA5A5A5A5u);

    // Many threads waiting for replies at once each get their own answer.
    std::vector<std::future<int>> clients;
    for (uint32_t t = 0; t < 4; ++t)
        clients.push_back(std::async(std::launch::async, [&to, t] {
            for (uint32_t i = 0; i < 100; ++i) {
                int r = 0;
                const auto got = ask(to, 44, {t, i}, &r);
                if (r != 0)
                    return r;
                if (got != std::vector<uint32_t>{5u, 44u, t, i})
                    return 1;
            }
            return 0;
        }));
    for (auto &c : clients)
        EXPECT_EQ(c.get(), 0);

    EXPECT_EQ(server.finish(), 0);
}

int32_t noop_handler(const IPCAddr *, uint32_t, const void *, uint32_t, uint32_t) { return 0; }

TEST(Ipc, ANameHasOneOwnerAtATime)
{
    const int h = ipcRegisterService("DUP", echo_handler);
    ASSERT_GT(h, 0);
    EXPECT_EQ(ipcRegisterService("DUP", noop_handler), PLAT_ERR_BUSY);
    EXPECT_EQ(vtest::run_in_child([] { return ipcRegisterService("DUP", noop_handler) == PLAT_ERR_BUSY ? 0 : 1; }), 0);

    // The same name on another node is another service.
    auto other_node = std::async(std::launch::async, [] {
        setMySwitch(9);
        const int h9 = ipcRegisterService("DUP", echo_handler);
        return h9 > 0 ? ipcUnregisterService(h9) : h9;
    });
    EXPECT_EQ(other_node.get(), 0);

    // The first owner still answers, and once it lets go another process may own the name.
    int rc = 0;
    EXPECT_EQ(ask(addr_of("DUP"), 7, {8}, &rc), (std::vector<uint32_t>{0u, 7u, 8u}));
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(ipcUnregisterService(h), 0);
    EXPECT_EQ(ipcUnregisterService(h), PLAT_ERR_NOENT);
    EchoChild next("DUP", 0);
    EXPECT_TRUE(next.ready());
    EXPECT_EQ(next.finish(), 0);
}

TEST(Ipc, NameOfAKilledOwnerCanBeOwnedAgain)
{
    EchoChild server("CRASH", 0);
    ASSERT_TRUE(server.ready());
    EXPECT_EQ(ipcRegisterService("CRASH", echo_handler), PLAT_ERR_BUSY);
    EXPECT_EQ(server.child().kill(SIGKILL), 128 + SIGKILL);

    // The dead owner's socket file is still there; nobody listens on it.
    struct stat st {};
    EXPECT_EQ(stat(socket_path("CRASH").c_str(), &st), 0);
    int rc = 0;
    const auto start = Clock::now();
    (void)ask(addr_of("CRASH"), 1, {}, &rc);
    EXPECT_EQ(rc, PLAT_ERR_NOENT);
    EXPECT_LT(Clock::now() - start, 2s);

    const int h = ipcRegisterService("CRASH", echo_handler);
    ASSERT_GT(h, 0);
    EXPECT_EQ(ask(addr_of("CRASH"), 2, {3}, &rc), (std::vector<uint32_t>{0u, 2u, 3u}));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ipcUnregisterService(h), 0);
}

TEST(Ipc, AbsentServiceFailsAtOnce)
{
    const IPCAddr to = addr_of("NOBODY");
    uint32_t reply = 0, len = 4;
    const uint32_t word = 1;
    const auto start = Clock::now();
    EXPECT_EQ(ipcSendRcv(&to, 41, &word, 4, &reply, &len, nullptr), PLAT_ERR_NOENT);
    EXPECT_EQ(ipcSend(&to, 0x43, &word, 4, nullptr), PLAT_ERR_NOENT);
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(len, 4u); // untouched on failure
}

vtest::Event *g_entered = nullptr; // posted by blocking handlers when a request arrives
vtest::Event *g_release = nullptr; // lets a blocking handler return

int32_t hang_handler(const IPCAddr *, uint32_t, const void *, uint32_t, uint32_t)
{
    g_entered->post();
    (void)g_release->wait(120s);
    return 0;
}

TEST(Ipc, ClientWaitingWithoutTimeOutSeesServerDeath)
{
    vtest::Event entered, release, ready;
    g_entered = &entered;
    g_release = &release;
    vtest::Child server([&] {
        if (ipcRegisterService("DYING", hang_handler) <= 0)
            return 1;
        ready.post();
        (void)release.wait(120s);
        return 0;
    });
    ASSERT_TRUE(ready.wait());

    auto waiting = std::async(std::launch::async, [] {
        const IPCAddr to = addr_of("DYING");
        uint32_t reply = 0, len = 4;
        return ipcSendRcv(&to, 41, nullptr, 0, &reply, &len, nullptr);
    });
    ASSERT_TRUE(entered.wait()); // the request is in the handler
    server.kill(SIGKILL);
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready) << "client hangs on a dead server";
    EXPECT_EQ(waiting.get(), PLAT_ERR_PEERGONE);
}

uint32_t fnv1a(const uint8_t *p, size_t n)
{
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 16777619u;
    return h;
}

vtest::Event *g_big_seen = nullptr;

int32_t checksum_handler(const IPCAddr *, uint32_t, const void *request, uint32_t request_len, uint32_t code)
{
    const auto *bytes = static_cast<const uint8_t *>(request);
    uint32_t first = 0;
    std::memcpy(&first, bytes, 4);
    g_big_seen->post(first == code ? request_len - 4 : 0);
    g_big_seen->post(fnv1a(bytes + 4, request_len - 4));
    return 0;
}

TEST(Ipc, EightMegabyteOneWayMessageArrivesIntact)
{
    vtest::Event seen, ready, stop;
    g_big_seen = &seen;
    vtest::Child server([&] {
        const int h = ipcRegisterService("BIG", checksum_handler);
        if (h <= 0)
            return 1;
        ready.post();
        (void)stop.wait(120s);
        return ipcUnregisterService(h) == 0 ? 0 : 2;
    });
    ASSERT_TRUE(ready.wait());

    std::vector<uint8_t> body(8u << 20);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<uint8_t>((i * 131) ^ (i >> 11));
    const IPCAddr to = addr_of("BIG");
    const ipc_timeout_t thirty{30, 0};
    ASSERT_EQ(ipcSend(&to, 0x42, body.data(), static_cast<uint32_t>(body.size()), &thirty), 0);
    uint32_t len = 0, sum = 0;
    ASSERT_TRUE(seen.wait(60s, &len));
    ASSERT_TRUE(seen.wait(60s, &sum));
    EXPECT_EQ(len, body.size());
    EXPECT_EQ(sum, fnv1a(body.data(), body.size()));

    // A small message right after the big one on the same connection.
    const uint8_t tail[3] = {1, 2, 3};
    ASSERT_EQ(ipcSend(&to, 0x44, tail, sizeof tail, &thirty), 0);
    ASSERT_TRUE(seen.wait(60s, &len));
    ASSERT_TRUE(seen.wait(60s, &sum));
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(sum, fnv1a(tail, sizeof tail));

    EXPECT_EQ(ipcSend(&to, 0x42, body.data(), kIpcMaxBody + 1, &thirty), PLAT_ERR_TOOBIG);
    stop.post();
    EXPECT_EQ(server.wait(), 0);
}

vtest::Event *g_free_got = nullptr;

int32_t notify_handler(const IPCAddr *, uint32_t, const void *, uint32_t, uint32_t code)
{
    g_free_got->post(code);
    return 0;
}

TEST(Ipc, StuckReceiverCostsTheSenderOnlyItsTimeOut)
{
    vtest::Event entered, release, free_got;
    g_entered = &entered;
    g_release = &release;
    g_free_got = &free_got;
    ASSERT_EQ(setenv("VOREL_IPC_OUTBUF", "1M", 1), 0);
    const int stuck = ipcRegisterService("STUCK", hang_handler);
    const int alive = ipcRegisterService("ALIVE", notify_handler);
    ASSERT_GT(stuck, 0);
    ASSERT_GT(alive, 0);

    const IPCAddr to_stuck = addr_of("STUCK");
    ASSERT_EQ(ipcSend(&to_stuck, 1, nullptr, 0, &kFiveSec), 0);
    ASSERT_TRUE(entered.wait()); // its dispatch thread now sits in the handler

    std::vector<uint8_t> big(4u << 20, 0x5A); // more than the socket can buffer
    const ipc_timeout_t short_wait{0, 300000};
    // An empty outbox takes any message; the next one finds no room.
    ASSERT_EQ(ipcSend(&to_stuck, 2, big.data(), static_cast<uint32_t>(big.size()), &short_wait), 0);
    const auto start = Clock::now();
    EXPECT_EQ(ipcSend(&to_stuck, 2, big.data(), static_cast<uint32_t>(big.size()), &short_wait), PLAT_ERR_TIMEOUT);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 290ms);
    EXPECT_LT(took, 5s);

    const IPCAddr to_alive = addr_of("ALIVE");
    ASSERT_EQ(ipcSend(&to_alive, 0x43, nullptr, 0, &kFiveSec), 0);
    uint32_t code = 0;
    ASSERT_TRUE(free_got.wait(10s, &code));
    EXPECT_EQ(code, 0x43u);

    release.post();
    EXPECT_EQ(ipcUnregisterService(stuck), 0);
    EXPECT_EQ(ipcUnregisterService(alive), 0);
    (void)unsetenv("VOREL_IPC_OUTBUF");
}

std::atomic<int> g_echo_calls{0};

int32_t counting_echo(const IPCAddr *requester, uint32_t reply_code, const void *request, uint32_t request_len,
                      uint32_t request_code)
{
    ++g_echo_calls;
    return echo_handler(requester, reply_code, request, request_len, request_code);
}

TEST(Ipc, MalformedFramesOnlyCostTheirOwnConnection)
{
    const int h = ipcRegisterService("ROBUST", counting_echo);
    ASSERT_GT(h, 0);
    const std::string path = socket_path("ROBUST");
    g_echo_calls = 0;

    // A connection that stays idle throughout must be served at the end.
    RawConn bystander(path);
    ASSERT_TRUE(bystander.connected());

    auto check_dropped = [&](const char *what, auto &&send_bad) {
        RawConn raw(path);
        ASSERT_TRUE(raw.connected()) << what;
        send_bad(raw);
        EXPECT_TRUE(raw.closed_by_peer()) << what;
        int rc = 0;
        EXPECT_EQ(ask(addr_of("ROBUST"), 9, {10}, &rc), (std::vector<uint32_t>{0u, 9u, 10u})) << what;
        EXPECT_EQ(rc, 0) << what;
    };
    check_dropped("length beyond the limit", [](RawConn &c) {
        const WireHeader hdr = request_header("ROBUST", 1, kIpcMaxBody + 1, 1);
        c.put(&hdr, sizeof hdr);
    });
    check_dropped("length 0xffffffff", [](RawConn &c) {
        const WireHeader hdr = request_header("ROBUST", 1, 0xFFFFFFFFu, 1);
        c.put(&hdr, sizeof hdr);
    });
    check_dropped("bad magic", [](RawConn &c) {
        WireHeader hdr = request_header("ROBUST", 1, 4, 1);
        hdr.magic = 0x12345678;
        const uint32_t body = 0;
        c.put(&hdr, sizeof hdr);
        c.put(&body, 4);
    });
    check_dropped("unknown service", [](RawConn &c) {
        const WireHeader hdr = request_header("NSIPC", 1, 0, 1);
        c.put(&hdr, sizeof hdr);
    });
    check_dropped("reply kind from a client", [](RawConn &c) {
        WireHeader hdr = request_header("ROBUST", 1, 0, 1);
        hdr.kind = 3;
        c.put(&hdr, sizeof hdr);
    });
    check_dropped("truncated body", [](RawConn &c) {
        const WireHeader hdr = request_header("ROBUST", 1, 100, 1);
        const uint8_t part[10] = {};
        c.put(&hdr, sizeof hdr);
        c.put(part, sizeof part);
        c.end_writes();
    });
    check_dropped("truncated header", [](RawConn &c) {
        const WireHeader hdr = request_header("ROBUST", 1, 0, 1);
        c.put(&hdr, 17);
        c.end_writes();
    });
    EXPECT_EQ(g_echo_calls.load(), 7); // only the well-formed requests reached the handler

    // Well-formed frames cut at odd places and run together are all answered.
    const uint32_t body1[2] = {0xA1, 0xA2};
    const WireHeader h1 = request_header("ROBUST", 21, sizeof body1, 101);
    ASSERT_TRUE(bystander.put(&h1, 7));
    ASSERT_TRUE(bystander.put(reinterpret_cast<const uint8_t *>(&h1) + 7, sizeof h1 - 7));
    for (size_t i = 0; i < sizeof body1; i += 3)
        ASSERT_TRUE(bystander.put(reinterpret_cast<const uint8_t *>(body1) + i, std::min<size_t>(3, sizeof body1 - i)));
    std::vector<uint8_t> two;
    const uint32_t body2 = 0xB1;
    const WireHeader h2 = request_header("ROBUST", 22, 4, 102);
    const WireHeader h3 = request_header("ROBUST", 23, 0, 103);
    two.insert(two.end(), reinterpret_cast<const uint8_t *>(&h2), reinterpret_cast<const uint8_t *>(&h2 + 1));
    two.insert(two.end(), reinterpret_cast<const uint8_t *>(&body2), reinterpret_cast<const uint8_t *>(&body2 + 1));
    two.insert(two.end(), reinterpret_cast<const uint8_t *>(&h3), reinterpret_cast<const uint8_t *>(&h3 + 1));
    ASSERT_TRUE(bystander.put(two.data(), two.size()));

    const std::vector<std::vector<uint32_t>> want = {{0u, 21u, 0xA1u, 0xA2u}, {0u, 22u, 0xB1u}, {0u, 23u}};
    for (uint32_t i = 0; i < want.size(); ++i) {
        WireHeader r;
        ASSERT_TRUE(bystander.get(&r, sizeof r)) << "reply " << i;
        EXPECT_EQ(r.magic, 0x56495043u);
        EXPECT_EQ(r.kind, 3u);
        EXPECT_EQ(r.seq, 101u + i);
        EXPECT_EQ(r.code, 21u + i); // the handler answers with the code it was given
        ASSERT_EQ(r.length, want[i].size() * 4);
        std::vector<uint32_t> got(want[i].size());
        ASSERT_TRUE(bystander.get(got.data(), r.length));
        EXPECT_EQ(got, want[i]);
    }
    EXPECT_EQ(ipcUnregisterService(h), 0);
}

// Handler that keeps the requester address for a reply sent later by the
// test thread, and tries an immediate reply to a one-way sender.
IPCAddr g_requester{};
uint32_t g_reply_code = 0;
std::atomic<int> g_oneway_reply_rc{0};

int32_t deferring_handler(const IPCAddr *requester, uint32_t reply_code, const void *, uint32_t, uint32_t)
{
    g_requester = *requester;
    g_reply_code = reply_code;
    if (requester->name[1] == '\0')
        g_oneway_reply_rc = ipcSend(requester, reply_code, nullptr, 0, nullptr);
    g_entered->post();
    return 0;
}

TEST(Ipc, RequesterAddressRoutesRepliesFromAnyThread)
{
    vtest::Event entered;
    g_entered = &entered;
    const int h = ipcRegisterService("LATER", deferring_handler);
    ASSERT_GT(h, 0);
    const IPCAddr to = addr_of("LATER");

    auto client = std::async(std::launch::async, [&to] {
        uint32_t reply = 0, len = 4;
        const int rc = ipcSendRcv(&to, 77, nullptr, 0, &reply, &len, nullptr);
        return rc == 0 && len == 4 ? static_cast<int>(reply) : -1000 + rc;
    });
    ASSERT_TRUE(entered.wait());
    EXPECT_EQ(g_requester.name[0], '@');
    EXPECT_EQ(g_reply_code, 77u);
    const uint32_t answer = 4242;
    EXPECT_EQ(ipcSend(&g_requester, g_reply_code, &answer, 4, &kFiveSec), 0);
    EXPECT_EQ(client.get(), 4242);

    // A requester that gave up is gone for the reply.
    uint32_t reply = 0, len = 4;
    const ipc_timeout_t brief{0, 100000};
    EXPECT_EQ(ipcSendRcv(&to, 78, nullptr, 0, &reply, &len, &brief), PLAT_ERR_TIMEOUT);
    ASSERT_TRUE(entered.wait());
    EXPECT_EQ(ipcSend(&g_requester, g_reply_code, &answer, 4, &kFiveSec), PLAT_ERR_PEERGONE);

    // A one-way sender waits for nothing: a reply to it has nowhere to go.
    ASSERT_EQ(ipcSend(&to, 79, nullptr, 0, &kFiveSec), 0);
    ASSERT_TRUE(entered.wait());
    EXPECT_EQ(g_oneway_reply_rc.load(), PLAT_ERR_NOENT);
    IPCAddr forged = g_requester;
    std::strcpy(forged.name, "@ffffffff.00000001");
    EXPECT_EQ(ipcSend(&forged, 1, nullptr, 0, &kFiveSec), PLAT_ERR_PEERGONE);
    EXPECT_EQ(ipcUnregisterService(h), 0);
}

TEST(Ipc, CachedConnectionFollowsTheNameToItsNextOwner)
{
    vtest::Event got;
    g_free_got = &got;
    const IPCAddr to = addr_of("AGAIN");
    int h = ipcRegisterService("AGAIN", notify_handler);
    ASSERT_GT(h, 0);
    uint32_t code = 0;
    ASSERT_EQ(ipcSend(&to, 1, nullptr, 0, &kFiveSec), 0);
    ASSERT_TRUE(got.wait(10s, &code));
    EXPECT_EQ(code, 1u);

    ASSERT_EQ(ipcUnregisterService(h), 0);
    h = ipcRegisterService("AGAIN", notify_handler);
    ASSERT_GT(h, 0);
    ASSERT_EQ(ipcSend(&to, 2, nullptr, 0, &kFiveSec), 0); // the cached connection died with the old owner
    ASSERT_TRUE(got.wait(10s, &code));
    EXPECT_EQ(code, 2u);

    ASSERT_EQ(ipcUnregisterService(h), 0);
    EXPECT_EQ(ipcSend(&to, 3, nullptr, 0, &kFiveSec), PLAT_ERR_NOENT);
}

TEST(Ipc, SocketIsPrivateAndGoesWithTheService)
{
    if (std::getenv("VOREL_GROUP") != nullptr)
        GTEST_SKIP() << "VOREL_GROUP widens the mode";
    const int h = ipcRegisterService("MODE", noop_handler);
    ASSERT_GT(h, 0);
    struct stat st {};
    ASSERT_EQ(stat(socket_path("MODE").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(ipcUnregisterService(h), 0);
    EXPECT_NE(stat(socket_path("MODE").c_str(), &st), 0);
}

TEST(Ipc, BadNamesAreRefused)
{
    for (const char *bad : {"", "@1", "a/b", "twenty-characters-xx", "with space"})
        EXPECT_EQ(ipcRegisterService(bad, noop_handler), PLAT_ERR_INVAL) << '"' << bad << '"';
    EXPECT_EQ(ipcRegisterService(nullptr, noop_handler), PLAT_ERR_INVAL);
    EXPECT_EQ(ipcRegisterService("OK", nullptr), PLAT_ERR_INVAL);

    uint32_t len = 4;
    const IPCAddr requester = addr_of("@00000001.00000001");
    uint32_t reply = 0;
    EXPECT_EQ(ipcSendRcv(&requester, 1, nullptr, 0, &reply, &len, nullptr), PLAT_ERR_INVAL);
}

TEST(Ipc, InjectedFailuresSendNothing)
{
    vtest::Event got;
    g_free_got = &got;
    const int h = ipcRegisterService("INJ", notify_handler);
    ASSERT_GT(h, 0);
    const int e = ipcRegisterService("INJECHO", echo_handler);
    ASSERT_GT(e, 0);
    const IPCAddr to = addr_of("INJ");

    ASSERT_EQ(plat_fail_after("ipcSend", 1), 0);
    EXPECT_EQ(ipcSend(&to, 1, nullptr, 0, &kFiveSec), PLAT_ERR_INJECTED);
    EXPECT_EQ(ipcSend(&to, 2, nullptr, 0, &kFiveSec), 0);
    uint32_t code = 0;
    ASSERT_TRUE(got.wait(10s, &code));
    EXPECT_EQ(code, 2u); // the injected one never arrived

    ASSERT_EQ(plat_fail_after("ipcSendRcv", 2), 0);
    int rc = 0;
    EXPECT_EQ(ask(addr_of("INJECHO"), 5, {6}, &rc), (std::vector<uint32_t>{0u, 5u, 6u}));
    EXPECT_EQ(rc, 0);
    (void)ask(addr_of("INJECHO"), 5, {6}, &rc);
    EXPECT_EQ(rc, PLAT_ERR_INJECTED);
    (void)ask(addr_of("INJECHO"), 5, {7}, &rc);
    EXPECT_EQ(rc, 0);
    plat_fail_reset();

    EXPECT_EQ(ipcUnregisterService(h), 0);
    EXPECT_EQ(ipcUnregisterService(e), 0);
}

} // namespace
