// A stopped receiver and hostile connections against a server in another process: the
// server keeps answering, cuts off at message boundaries, and keeps its memory.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "control.h"
#include "decode.h"
#include "ipc_frame.h"
#include "proc.h"
#include "vorel_server.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;
namespace ctl = vorel::control;

int g_instance = 9; // each test has a server and a database of its own instance

// A client connection to a service's socket that writes frames by hand.
struct RawConn {
    explicit RawConn(const std::string &path) : fd(socket(AF_UNIX, SOCK_STREAM, 0))
    {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        (void)::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a);
    }
    ~RawConn() { close(fd); }
    bool put(const void *p, size_t n) { return send(fd, p, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n); }
    int fd;
};

// A request frame header for `service`.
plat::ipc::FrameHeader request_header(const char *service, uint32_t code, uint32_t length, uint32_t seq)
{
    plat::ipc::FrameHeader h{plat::ipc::kFrameMagic, 2, 0, code, length, seq, {}};
    std::strncpy(h.service, service, sizeof h.service);
    return h;
}

// One control request; a reply with "rc" -1000 when the exchange failed.
json control(uint32_t code, const json &body, uint32_t timeout_s = 60)
{
    IPCAddr addr{};
    addr.node = static_cast<uint16_t>(myNode() & 0xFFFFu);
    std::strcpy(addr.name, ctl::kServiceName);
    const std::string text = body.dump();
    std::string reply(ctl::kMaxReply, '\0');
    auto len = static_cast<uint32_t>(reply.size());
    const ipc_timeout_t t{timeout_s, 0};
    if (ipcSendRcv(&addr, code, text.data(), static_cast<uint32_t>(text.size()), reply.data(), &len, &t) != 0)
        return json{{"rc", -1000}};
    return json::parse(reply.substr(0, len), nullptr, false);
}

// Statistics of client type 0, once its backlog has drained (or 20 s passed) when asked.
json client_stats(bool drained = false)
{
    for (int i = 0; i < 400; ++i) {
        const json stats = control(ctl::CTL_STATS, json::object());
        for (const json &c : stats["clients"])
            if (c["type"] == 0 && (!drained || c["queued"] == 0))
                return c;
        std::this_thread::sleep_for(50ms);
    }
    return json::object();
}

// A DEV_ONLINE list of `n` devices of domain `domain`, each with four destinations.
json device_list(uint32_t domain, uint32_t n)
{
    json devices = json::array();
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t pid = domain << 16 | i;
        json dests = json::array();
        for (uint32_t k = 1; k <= 4; ++k)
            dests.push_back({{"pid", domain << 16 | (i + k) % n}});
        devices.push_back({{"device", {{"pid", pid}}}, {"destinations", dests}});
    }
    return json{{"devices", devices}, {"type", 0}};
}

// The n-th word of /proc/<pid>/<file> after the word `after`: private
// memory in KiB (the segment is shared memory, not counted), CPU time in ticks.
long proc_word(pid_t pid, const char *file, const std::string &after, int n)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string word;
    while (!after.empty() && in >> word && word != after) {
    }
    for (int i = 1; i < n; ++i) // no blank in the command name here
        in >> word;
    long value = -1;
    in >> value;
    return value;
}
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) // their allocators keep freed memory
long rss_anon_kib(pid_t) { return 0; }
#else
long rss_anon_kib(pid_t pid) { return proc_word(pid, "status", "RssAnon:", 1); }
#endif
long cpu_ticks(pid_t pid) { return proc_word(pid, "stat", "", 14) + proc_word(pid, "stat", "", 15); }

// A server of the instance in a child, with the IPC limits given.
struct ServerChild {
    vtest::Event ready, stop;
    vtest::Child child;
    ServerChild(const char *outbuf, rlim_t nofile)
        : child([this, outbuf, nofile] {
              if (outbuf != nullptr)
                  setenv("VOREL_IPC_OUTBUF", outbuf, 1);
              const rlimit rl{nofile, nofile};
              if (nofile != 0 && setrlimit(RLIMIT_NOFILE, &rl) != 0)
                  return 9;
              vorel::server::Server s(vorel::server::Options{.instance = g_instance, .stop_drain = 1s});
              if (s.start() != 0)
                  return 10;
              ready.post();
              (void)stop.wait(120s);
              return 0; // the server stops as it goes
          })
    {
    }
    ~ServerChild() { stop.post(), (void)child.wait(); }
};

// The watcher's view: messages whole (they decode) or torn, the cut-off notice, what came after it.
std::atomic<uint32_t> g_whole{0}, g_torn{0}, g_after_cut{0};
std::atomic<bool> g_cut{false};

int32_t on_update(const IPCAddr *, uint32_t, const void *request, uint32_t len, uint32_t code)
{
    if (code == IPC_CODE_CUT_OFF)
        g_cut = true;
    else
        ++(vorel::decode::decode(code, static_cast<const char *>(request) + 4, len - 4).ok() ? g_whole : g_torn),
            g_after_cut += g_cut ? 1 : 0;
    return 0;
}

// A watcher of client type 0 in a child; once `finish` and the messages it names have
// come, it reports torn * 1000000 + cut * 100000 + after_cut * 1000 + (whole > 0).
// Torn counts a frame its platform dropped as cut short (said on stderr) too.
struct WatcherChild {
    vtest::Event ready, finish, result;
    vtest::Child child;
    WatcherChild()
        : child([this] {
              std::FILE *err = std::tmpfile();
              if (err == nullptr || dup2(fileno(err), 2) < 0)
                  return 11;
              setMySwitch(g_instance);
              if (vorellibInit() != 0 || ipcRegisterService(VOREL_CLIENT_SVC_NAME, on_update) <= 0 ||
                  registerVorelClient(0) < 0)
                  return 10;
              ready.post();
              uint32_t want = 0; // messages the server delivered
              (void)finish.wait(120s, &want);
              for (int i = 0; i < 400 && g_whole + g_torn < want; ++i)
                  std::this_thread::sleep_for(50ms);
              std::rewind(err);
              for (std::array<char, 512> line{}; std::fgets(line.data(), line.size(), err) != nullptr;)
                  g_torn += std::strstr(line.data(), "cut short") != nullptr ? 1 : 0;
              result.post(g_torn * 1000000 + (g_cut ? 100000 : 0) + std::min<uint32_t>(g_after_cut, 99) * 1000 +
                          (g_whole > 0 ? 1 : 0));
              return 0;
          })
    {
    }
};

// Another client: attaches and counts through "NSIPC", adds through the control service.
int other_client(uint32_t pid)
{
    setMySwitch(g_instance);
    uint32_t n = 0;
    if (vorellibInit() != 0 || enableVorel(0) != 0 || getCountFromVorel(&n) != 0)
        return 20;
    return control(ctl::CTL_ADD, {{"device", {{"pid", pid}}}, {"destinations", json::array()}}, 20)["rc"] == 0 ? 0 : 21;
}

TEST(Backpressure, StoppedWatcherDoesNotHoldTheServer)
{
    setMySwitch(++g_instance);
    ServerChild server(nullptr, 0);
    ASSERT_TRUE(server.ready.wait());
    WatcherChild watcher;
    ASSERT_TRUE(watcher.ready.wait());
    watcher.child.kill(SIGSTOP);

    vtest::Child loader([] {
        for (uint32_t d = 1; d <= 8; ++d)
            if (control(ctl::CTL_ADD_LIST, device_list(d, 4000))["rc"] != 0)
                return 30 + static_cast<int>(d);
        return 0;
    });
    for (uint32_t i = 0; i < 5; ++i)
        EXPECT_EQ(vtest::run_in_child([i] { return other_client(0x700000u | i); }), 0) << "client " << i;
    EXPECT_EQ(loader.wait(300s), 0);
    EXPECT_GT(client_stats()["queued"], 0u); // the watcher really was not reading

    watcher.child.kill(SIGCONT);
    const json after = client_stats(true);
    EXPECT_EQ(after["failed"], 0u);
    EXPECT_EQ(after["delivered"], 8u + 5u) << after; // every list and every single add
    watcher.finish.post(8 + 5);
    uint32_t seen = 0;
    ASSERT_TRUE(watcher.result.wait(20s, &seen));
    EXPECT_EQ(seen, 1u); // whole messages only, no cut-off
}

TEST(Backpressure, WatcherPastItsLimitIsCutOffAndServedAgain)
{
    setMySwitch(++g_instance);
    ServerChild server("512K", 0);
    ASSERT_TRUE(server.ready.wait());
    WatcherChild watcher;
    ASSERT_TRUE(watcher.ready.wait());
    for (uint32_t d = 5; d <= 7; ++d) // the same requests, read: the server's memory at its working level
        ASSERT_EQ(control(ctl::CTL_ADD_LIST, device_list(d, 10000), 600)["rc"], 0);
    const long before = rss_anon_kib(server.child.pid());
    watcher.child.kill(SIGSTOP);

    for (uint32_t d = 2; d <= 4; ++d) // the third finds no room within the server's wait for it
        ASSERT_EQ(control(ctl::CTL_ADD_LIST, device_list(d, 10000), 600)["rc"], 0);
    const json cut = client_stats();
    EXPECT_EQ(cut["cutoffs"], 1u) << cut;
    EXPECT_GE(cut["failed"], 1u);
    EXPECT_LE(cut["queued_bytes"], 2 * (512u << 10)); // the outbox, and the message the cut left to finish
    EXPECT_LT(rss_anon_kib(server.child.pid()), before + 8192) << "KiB before: " << before;
    EXPECT_EQ(vtest::run_in_child([] { return other_client(0x710000u); }), 0);

    // Resumed, the watcher reads whole messages, the end, the notice, and
    // what the server sends after it on a fresh connection.
    watcher.child.kill(SIGCONT);
    const json after = client_stats(true);
    EXPECT_GE(after["delivered"].get<uint64_t>(), 3u) << after; // the lists read before the stop
    EXPECT_EQ(after["delivered"].get<uint64_t>() + after["failed"].get<uint64_t>(), 3u + 3u + 1u) << after;
    watcher.finish.post(after["delivered"].get<uint32_t>());
    uint32_t seen = 0;
    ASSERT_TRUE(watcher.result.wait(20s, &seen));
    EXPECT_EQ(seen / 100000, 1u) << seen;    // no torn message, and the notice came
    EXPECT_GE(seen % 100000, 1000u) << seen; // the single add after the cut-off arrived
    EXPECT_EQ(seen % 1000, 1u) << seen;      // whole messages came
}

// Hostile connections, each followed by a normal client that must be served.
TEST(Backpressure, HostileConnectionsDoNotWedgeTheServer)
{
    setMySwitch(++g_instance);
    ServerChild server(nullptr, 64); // a low descriptor limit: at most 32 connections per service
    ASSERT_TRUE(server.ready.wait());
    const pid_t spid = server.child.pid();
    const auto ping_ok = [] { // retried while the server closes what the hostile client left
        for (int i = 0; i < 25 && control(ctl::CTL_PING, json::object(), 10)["rc"] != 0; ++i)
            std::this_thread::sleep_for(200ms);
        return control(ctl::CTL_PING, json::object(), 10)["rc"] == 0;
    };
    using Conns = std::vector<std::unique_ptr<RawConn>>;
    const auto connect = [](Conns &conns, const char *service) {
        const std::string path = std::getenv("VOREL_RUN_DIR") + ("/ipc." + std::to_string(myNode() & 0xFFFFu));
        return conns.emplace_back(std::make_unique<RawConn>(path + "." + service)).get();
    };
    struct Case {
        const char *what;
        std::function<std::thread(Conns &)> open; // a thread that writes, or none
        bool served_meanwhile;
    };
    const std::vector<Case> cases = {
        {"thousands of requests whose replies are never read",
         [&](Conns &conns) {
             std::string frames;
             for (uint32_t seq = 1; seq <= 6000; ++seq) {
                 const plat::ipc::FrameHeader h = request_header(ctl::kServiceName, ctl::CTL_PING, 2, seq);
                 frames.append(reinterpret_cast<const char *>(&h), sizeof h).append("{}");
             }
             // Ends when the server has taken it all or closed the connection.
             return std::thread(
                 [c = connect(conns, ctl::kServiceName), frames] { (void)c->put(frames.data(), frames.size()); });
         },
         true},
        {"100 idle connections to each service",
         [&](Conns &conns) {
             for (int i = 0; i < 100; ++i)
                 connect(conns, ctl::kServiceName), connect(conns, VOREL_SERVER_SVC_NAME);
             return std::thread();
         },
         false},
        {"six partial frames announcing 64 MiB each",
         [&](Conns &conns) {
             const plat::ipc::FrameHeader h = request_header(ctl::kServiceName, ctl::CTL_PING, plat::ipc::kMaxBody, 1);
             std::string frame(reinterpret_cast<const char *>(&h), sizeof h);
             frame.resize(sizeof h + (1 << 20), ' ');
             for (int i = 0; i < 6; ++i)
                 EXPECT_TRUE(connect(conns, ctl::kServiceName)->put(frame.data(), frame.size()));
             return std::thread();
         },
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(ping_ok());
        const long mem = rss_anon_kib(spid);
        const long cpu = cpu_ticks(spid);
        Conns conns;
        std::thread writer = c.open(conns);
        std::this_thread::sleep_for(1s);
        if (c.served_meanwhile) {
            EXPECT_TRUE(ping_ok());
        }
        EXPECT_TRUE(writer.joinable() || cpu_ticks(spid) - cpu < sysconf(_SC_CLK_TCK) / 2) << "the server spins";
        EXPECT_LT(rss_anon_kib(spid), mem + 32 * 1024) << "KiB before: " << mem;
        if (writer.joinable())
            writer.join();
        conns.clear();
        EXPECT_TRUE(ping_ok());
        // Each service closes what the hostile client left in its own time ("NSIPC" after the control service).
        int rc = -1;
        for (int i = 0; i < 25 && (rc = vtest::run_in_child([] { return other_client(0x720000u); })) != 0; ++i)
            std::this_thread::sleep_for(200ms);
        EXPECT_EQ(rc, 0);
    }
}

} // namespace
