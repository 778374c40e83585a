// End to end across three forked processes meeting only through the platform's
// IPC and shared memory: the server ("NSIPC" and its queue consumer), a watcher
// owning "PSIPC", and a client that enables, registers and reads the store.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "decode.h"
#include "proc.h"
#include "store_fixture.h"
#include "vorel_server.h"

namespace {
using vorel::server::Device;
using vorel::server::Server;
using Words = std::vector<uint32_t>;

constexpr int kInstance = 9;

void send_words(vtest::Event &ch, const Words &w)
{
    ch.post(static_cast<uint32_t>(w.size()));
    for (uint32_t x : w)
        ch.post(x);
}

bool recv_words(vtest::Event &ch, Words &w)
{
    uint32_t n = 0;
    if (!ch.wait(vtest::kDefaultTimeout, &n))
        return false;
    w.assign(n, 0);
    for (auto &x : w)
        if (!ch.wait(vtest::kDefaultTimeout, &x))
            return false;
    return true;
}

vtest::Event *g_watch_out = nullptr; // the watcher process's channel to the test

// Each message goes out as {code, length in bytes, body words...}.
int32_t watch_handler(const IPCAddr *, uint32_t, const void *request, uint32_t request_len, uint32_t code)
{
    const uint32_t body_len = request_len >= 4 ? request_len - 4 : 0;
    Words frame(2 + (body_len + 3) / 4, 0);
    frame[0] = code, frame[1] = body_len;
    if (body_len > 0)
        std::memcpy(&frame[2], static_cast<const char *>(request) + 4, body_len);
    send_words(*g_watch_out, frame);
    return 0;
}

// Owns "PSIPC" until `stop` is posted.  Posts 1 on `ready` once it serves.
int watcher_main(vtest::Event &out, vtest::Event &ready, vtest::Event &stop)
{
    setMySwitch(kInstance);
    g_watch_out = &out;
    const int svc = ipcRegisterService(VOREL_CLIENT_SVC_NAME, watch_handler);
    if (svc <= 0)
        return 20;
    ready.post(1);
    if (!stop.wait(std::chrono::minutes(5)))
        return 21;
    (void)ipcUnregisterService(svc);
    return 0;
}

struct Msg {
    uint32_t code = 0;
    Words body;
};

// Reads the next message the watcher received.
bool next_message(vtest::Event &watch, Msg &m)
{
    Words frame;
    if (!recv_words(watch, frame) || frame.size() < 2 || frame[1] % 4 != 0 || frame.size() != 2 + frame[1] / 4)
        return false;
    m.code = frame[0];
    m.body.assign(frame.begin() + 2, frame.end());
    return true;
}

// Runs a server, posts its start result on `done`, then runs steps[n] for each
// n posted on `cmd` (result on `done`) until n is past the steps.
using Step = std::function<int32_t(Server &)>;

int server_main(const std::vector<Step> &steps, vtest::Event &cmd, vtest::Event &done, bool create_database)
{
    setMySwitch(kInstance);
    Server srv({.instance = kInstance, .create_database = create_database});
    const int32_t rc = srv.start();
    done.post(static_cast<uint32_t>(rc));
    if (rc != 0)
        return 30;
    for (;;) {
        uint32_t step = 0;
        if (!cmd.wait(std::chrono::minutes(5), &step))
            return 31;
        if (step >= steps.size())
            break;
        done.post(static_cast<uint32_t>(steps[step](srv)));
    }
    srv.stop();
    return 0;
}

// Step of a queued change: post it, then wait for the consumer.
Step queued(std::function<int32_t(Server &)> post)
{
    return [post](Server &s) {
        const int32_t rc = post(s);
        return rc != 0 ? rc : (s.drain() ? 0 : -999);
    };
}

// server_main in a child process, driven from the test one step at a time.
class ServerProcess {
  public:
    ServerProcess(std::vector<Step> steps, bool create_database)
        : child_([this, steps = std::move(steps), create_database] {
              return server_main(steps, cmd_, done_, create_database);
          })
    {
    }

    // The server's start result (0xDEAD when late).
    int32_t started()
    {
        uint32_t rc = 0xDEAD;
        (void)done_.wait(vtest::kDefaultTimeout, &rc);
        return static_cast<int32_t>(rc);
    }

    // Runs steps[i] in the server; its result (0xDEAD when late).
    int32_t step(size_t i)
    {
        cmd_.post(static_cast<uint32_t>(i));
        uint32_t r = 0xDEAD;
        EXPECT_TRUE(done_.wait(vtest::kDefaultTimeout, &r)) << "step " << i;
        return static_cast<int32_t>(r);
    }

    // Stops the server; its exit status.
    int stop()
    {
        cmd_.post(kStop);
        return child_.wait();
    }

  private:
    static constexpr uint32_t kStop = 0xFFFF; // past every test's steps

    // Made before the fork, which the child's construction does.
    vtest::Event cmd_, done_;
    vtest::Child child_;
};

enum ClientCmd : uint32_t { kRead = 1, kRegister2 = 2, kExit = 3 };

// {count, n1, d.., n2, d.., ...} for `pids` under the read lock (missing: 0xFFFFFFFF).
Words read_store(const Words &pids)
{
    procrwlock_t *lock = &part_vorel_glbl_array[getMySwitch()]->rwlock;
    procrwlock_rdlock(lock);
    uint32_t count = 0;
    Words out{getCountFromVorel(&count) == 0 ? count : 0xEEEEEEEE};
    for (uint32_t pid : pids) {
        devconpld *p = nullptr;
        if (getPidFromVorel(pid, &p) != 0) {
            out.push_back(0xFFFFFFFF);
            continue;
        }
        out.push_back(static_cast<uint32_t>(p->num_dstdevices));
        for (int32_t i = 0; i < p->num_dstdevices; ++i)
            out.push_back(p->dst_devices[i].pid);
        std::free(p);
    }
    procrwlock_rdunlock(lock);
    return out;
}

// Enables, registers types 0 and 4 (the results sent), then serves commands.
int client_main(const Words &pids, vtest::Event &cmd, vtest::Event &out)
{
    setMySwitch(kInstance);
    if (vorellibInit() != 0)
        return 40;
    send_words(out, {static_cast<uint32_t>(enableVorel(0)), static_cast<uint32_t>(registerVorelClient(0)),
                     static_cast<uint32_t>(registerVorelClient(VOREL_CLIENT_VANT))});
    for (;;) {
        uint32_t c = 0;
        if (!cmd.wait(std::chrono::minutes(5), &c))
            return 41;
        if (c == kRead)
            send_words(out, read_store(pids));
        else if (c == kRegister2)
            send_words(out, {static_cast<uint32_t>(registerVorelClient(2))});
        else
            break;
    }
    (void)vorellibUnInit();
    return 0;
}

Device dev(uint32_t pid, const Words &dests)
{
    Device d;
    d.dev = vtest::dev_of(pid);
    for (uint32_t p : dests)
        d.destinations.push_back(vtest::dev_of(p));
    return d;
}

// A step adding one device, at once or (queued) through the queue.
Step add(uint32_t pid, const Words &dests, uint32_t type, bool queue = false)
{
    const Step step = [=](Server &s) { return s.add_device(dev(pid, dests), type, queue); };
    return queue ? queued(step) : step;
}

constexpr uint32_t A1 = 0x010100, D1 = 0x010200, B1 = 0x020100, B2 = 0x020200, C1 = 0x030100, C2 = 0x030200;
constexpr uint32_t kMissing = 0xFFFFFFFF;

// One update: what the server does, and the messages the watcher then gets.
struct Update {
    const char *what;
    Step step;
    std::vector<Msg> expect;
};

TEST(EndToEnd, UpdatesReachTheWatcherAndTheStore)
{
    using namespace vorel::decode;
    const std::vector<Update> updates = {
        {"add A1 at once", add(A1, {B1, B2}, VOREL_UPD_DEV_ONLINE), {{0x43, {1, 2, 0, A1, B1, B2}}}},
        {"add B1 through the queue", add(B1, {A1}, VOREL_UPD_DEV_ONLINE_ALT, true), {{0x43, {1, 1, 0, B1, A1}}}},
        {"replace A1: C1 new, B2 gone", add(A1, {B1, C1}, VOREL_UPD_DEV_ONLINE), {{0x43, {1, 1, 1, A1, C1, B2}}}},
        {"bulk add C1, C2 at once",
         [](Server &s) {
             return s.add_list(std::vector<Device>{dev(C1, {A1}), dev(C2, {B1})}, VOREL_UPD_DEV_ONLINE, false);
         },
         {{0x43, {2, 1, 0, C1, A1, 1, 0, C2, B1}}}},
        {"bulk add B2, C1 without destinations, through the queue",
         queued([](Server &s) {
             return s.add_list(std::vector<Device>{dev(B2, {A1}), dev(C1, {})}, VOREL_UPD_DEV_ONLINE_ALT, true);
         }),
         {{0x43, {2, 1, 0, B2, A1, 0, 1, C1, A1}}}},
        {"delete B1 at once", [](Server &s) { return s.delete_device(B1, false); }, {{0x42, {24, 1, B1, 2, A1, C2}}}},
        {"bulk delete C2, an unknown PID and C1, through the queue",
         queued([](Server &s) {
             return s.delete_list(Words{C2, 0x0A0A0A, C1}, VOREL_UPD_DOM_OFFLINE, true);
         }),
         {{0x42, {24, 2, C2, 0, C1, 0}}}},
        {"delete domain 2 at once", [](Server &s) { return s.delete_domain(2, false); }, {{0x42, {20, 1, B2, 1, A1}}}},
        {"add D1, then delete domain 1, through the queue",
         queued([](Server &s) {
             const int32_t rc = s.add_device(dev(D1, {A1}), VOREL_UPD_DEV_ONLINE, true);
             return rc != 0 ? rc : s.delete_domain(1, true);
         }),
         {{0x43, {1, 1, 0, D1, A1}}, {0x42, {28, 2, A1, 1, D1, D1, 0}}}},
        {"sync done through the queue", queued([](Server &s) { return s.sync_done(true); }), {{0x44, {}}}},
    };
    // What the client reads after some of the updates (index -> words of read_store).
    const Words pids{A1, B1, B2, C1, C2, D1};
    const std::vector<std::pair<std::size_t, Words>> reads = {
        {2, {2, 2, B1, C1, 1, A1, kMissing, kMissing, kMissing, kMissing}},
        {4, {5, 2, B1, B2, 2, A1, C2, 1, A1, 0, 1, B1, kMissing}},
        {7, {1, 0, kMissing, kMissing, kMissing, kMissing, kMissing}},
        {9, {0, kMissing, kMissing, kMissing, kMissing, kMissing, kMissing}},
    };

    std::vector<Step> steps;
    for (const auto &u : updates)
        steps.push_back(u.step);
    const std::size_t revision_step = steps.size();
    steps.push_back([](Server &s) { return static_cast<int32_t>(s.stats().revision); });

    vtest::Event watch, watch_ready, watch_stop, cl_cmd, cl_out;
    // The database is created on the client's enable request.
    ServerProcess server(steps, false);
    ASSERT_EQ(server.started(), 0);
    vtest::Child watcher([&] { return watcher_main(watch, watch_ready, watch_stop); });
    ASSERT_TRUE(watch_ready.wait());
    vtest::Child client([&] { return client_main(pids, cl_cmd, cl_out); });
    Words regs;
    ASSERT_TRUE(recv_words(cl_out, regs));
    // Enable went through; both registrations answer "not in sync yet".
    EXPECT_EQ(regs, (Words{0, 0, 0}));

    std::size_t delivered = 0;
    for (std::size_t i = 0; i < updates.size(); ++i) {
        SCOPED_TRACE(updates[i].what);
        EXPECT_EQ(server.step(i), 0);
        for (const Msg &want : updates[i].expect) {
            Msg got;
            ASSERT_TRUE(next_message(watch, got));
            EXPECT_EQ(got.code, want.code);
            EXPECT_EQ(got.body, want.body);
            // Every message decodes as its format.
            const Result r = decode(got.code, got.body.data(), got.body.size() * 4);
            EXPECT_TRUE(r.ok()) << r.error;
            ++delivered;
        }
        for (const auto &[after, want] : reads) {
            if (after != i)
                continue;
            cl_cmd.post(kRead);
            Words got;
            ASSERT_TRUE(recv_words(cl_out, got));
            EXPECT_EQ(got, want) << "store read after step " << i;
        }
    }
    // The synchronised database answers the next registration with -6.
    cl_cmd.post(kRegister2);
    ASSERT_TRUE(recv_words(cl_out, regs));
    EXPECT_EQ(static_cast<int32_t>(regs.at(0)), VOREL_E_INSYNC);

    // Every delivery counted; nothing more (VANT is never sent to, 2 has no address).
    EXPECT_EQ(server.step(revision_step), static_cast<int32_t>(delivered));
    EXPECT_EQ(delivered, 11u);
    uint32_t extra = 0;
    EXPECT_FALSE(watch.wait(std::chrono::milliseconds(0), &extra));

    cl_cmd.post(kExit);
    EXPECT_EQ(client.wait(), 0);
    EXPECT_EQ(server.stop(), 0);
    watch_stop.post();
    EXPECT_EQ(watcher.wait(), 0);
}

} // namespace
