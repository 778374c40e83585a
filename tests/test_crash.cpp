// Crashes: the server killed mid bulk load (holding the write lock), a reader
// killed holding the read lock.  Afterwards the lock is free, readers go on, the
// verifier reports the segment, and a restarted server starts clean.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lock.h"
#include "proc.h"
#include "store_fixture.h"
#include "vorel_db.h"

// The verifier behind `vorel check`, compiled into this program.
#include "../tools/pid.cpp"
#include "../tools/verify.cpp"

namespace {
using vtest::dev_of;

// Stops for good at the n-th record of `format` (of `name`), posting `reached`.
struct StopAt {
    const char *format = nullptr;
    uint32_t n = 0;
    vtest::Event *reached = nullptr;
    const char *name = nullptr;
};
StopAt g_stop;
std::atomic<uint32_t> g_seen{0};

void stop_at(const char *format, uint32_t n, vtest::Event &reached, const char *name = nullptr)
{
    g_stop = StopAt{format, n, &reached, name};
    g_seen = 0;
    log_set_level(5);
}

} // namespace

// This program's trace facility: records only mark where to stop.
extern "C" void log_debug(const char *, int, mod_desc_t *, int, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
extern "C" void log_debug(const char *, int, mod_desc_t *, int, const char *fmt, ...)
{
    if (g_stop.format == nullptr || std::strcmp(fmt, g_stop.format) != 0)
        return;
    if (g_stop.name != nullptr) {
        va_list args;
        va_start(args, fmt);
        const char *name = va_arg(args, const char *);
        va_end(args);
        if (std::strcmp(name, g_stop.name) != 0)
            return;
    }
    if (g_seen.fetch_add(1) + 1 != g_stop.n)
        return;
    g_stop.reached->post(1);
    for (;;)
        pause();
}

namespace {
constexpr int kInstance = 33;
constexpr auto kAtOnce = std::chrono::seconds(5); // "at once", with room for a loaded machine

// A PID of domain d, number i (1-based) within it.
constexpr uint32_t P(uint32_t d, uint32_t i) { return d << 16 | i; }

// Starts the library for kInstance: as the server on a fresh segment, or as a client.
int32_t start(bool server)
{
    setenv("VOREL_TRACE_FILE", "/dev/null", 1);
    setMySwitch(kInstance);
    if (vorellibInit() != 0)
        return -100;
    if (!server)
        return initVorelClient();
    (void)gshm_remove(vorel::ctx()->shm_key);
    return initVorelSrvr();
}

procrwlock_t &lock() { return vorel::ctx()->rwlock; }

// True when a new writer, in a process of its own, gets the write lock.
bool writer_proceeds()
{
    vtest::Child writer([] {
        setMySwitch(kInstance);
        if (vorellibInit() != 0)
            return 2;
        procrwlock_wrlock(&lock());
        procrwlock_wrunlock(&lock());
        return 0;
    });
    return writer.wait(kAtOnce) == 0;
}

// Reads count and devices under the read lock, as a client would.
struct Seen {
    int32_t count_rc = -99;
    uint32_t count = 0;
    uint32_t enumerated = 0;
};
int on_device(devconpld *, void *arg)
{
    ++*static_cast<uint32_t *>(arg);
    return 0;
}
Seen read_store()
{
    Seen s;
    vorel::ReadLock l(lock());
    s.count_rc = getCountFromVorel(&s.count);
    (void)getEachPidFromVorel(on_device, &s.enumerated);
    return s;
}

class Crash : public ::testing::Test {
  protected:
    void SetUp() override
    {
        setMySwitch(kInstance);
        ASSERT_EQ(vorellibInit(), 0);
        const uint8_t domains[] = {1, 7, 8};
        ASSERT_EQ(fabricSetView(kInstance, 1, domains, 3), 0);
    }
    void TearDown() override
    {
        const key_t key = vorel::ctx()->shm_key;
        const gshm_handle_t attached = vorel::ctx()->shm_handle;
        (void)vorellibUnInit();
        gadd_t g = 0;
        EXPECT_NE(get_basic_block(attached, 0, &g), 0) << "leaving the library detaches the process";
        (void)gshm_remove(key);
        (void)fabricClearView(kInstance);
        setMySwitch(-1);
    }

    // After a server died: an attached reader reads on, a new writer proceeds,
    // and the verifier's report agrees with the lookups (this process stays attached).
    vorel::tool::VerifyReport after_server_died(vtest::Child &reader, vtest::Event &read_now, vtest::Event &read_out)
    {
        EXPECT_TRUE(writer_proceeds()) << "the dead server's write lock is free";
        read_now.post();
        EXPECT_EQ(reader.wait(), 0) << "a reader attached before reads on";
        uint32_t enumerated = 0;
        EXPECT_TRUE(read_out.wait(std::chrono::milliseconds(0), &enumerated));
        EXPECT_EQ(initVorelClient(), 0);
        vorel::tool::VerifyReport r = vorel::tool::verify_store(true);
        EXPECT_EQ(r.status, 0);
        const bool total_reported = std::any_of(r.findings.begin(), r.findings.end(), [](const auto &f) {
            return f.kind == vorel::tool::FindingKind::TotalPids;
        });
        EXPECT_EQ(total_reported, r.total_pids != r.stored_pids);
        // What the verifier found, the lookup reads.
        for (const auto &d : r.devices) {
            devconpld *p = nullptr;
            EXPECT_EQ(getPidFromVorel(d.pid, &p), 0) << std::hex << d.pid;
            std::free(p);
        }
        return r;
    }

    // A restarted server: the same key, a new and empty database.
    static void restart_is_clean()
    {
        (void)detachVorelClient();
        EXPECT_EQ(vtest::run_in_child([] {
                      if (start(true) != 0)
                          return 2;
                      const Seen s = read_store();
                      if (s.count_rc != 0 || s.count != 0 || s.enumerated != 0)
                          return 3;
                      for (uint32_t d = 1; d < kNumBasicBlocks; ++d) {
                          gadd_t g = 1;
                          if (get_basic_block(vorel::shm(), d, &g) != 0 || g != 0)
                              return 4;
                      }
                      return 0;
                  }),
                  0)
            << "a restarted server starts a clean database";
    }

    // A reader that, when told, enumerates under the read lock and posts the count.
    static int reader_main(vtest::Event &attached, vtest::Event &read_now, vtest::Event &read_out)
    {
        if (start(false) != 0)
            return 2;
        attached.post();
        if (!read_now.wait(std::chrono::minutes(2)))
            return 3;
        const Seen s = read_store();
        if (s.count_rc != 0)
            return 4;
        read_out.post(s.enumerated);
        return 0;
    }
};

TEST_F(Crash, ServerKilledInTheMiddleOfABulkLoad)
{
    constexpr uint32_t kDevices = 10000;
    const uint32_t stop_after = std::getenv("VOREL_SLOW_TARGET") != nullptr ? 1500 : 5000;
    vtest::Event created, go, stopped, attached, read_now, read_out;
    vtest::Child server([&] {
        if (start(true) != 0)
            return 2;
        std::vector<devconpld> devs(kDevices);
        std::vector<DevInfo> dests(2 * kDevices);
        for (uint32_t i = 0; i < kDevices; ++i) {
            const uint32_t pid = P(1 + i / 5000 * 6, i % 5000 + 1); // domains 1 and 7
            devs[i].src_dev = dev_of(pid);
            dests[2 * i] = dev_of(P(8, i % 200 + 1));
            dests[2 * i + 1] = dev_of(P(1, (i + 1) % 5000 + 1));
            devs[i].num_dstdevices = 2;
            devs[i].dst_devices = &dests[2 * i];
        }
        bulkconpld list{0, static_cast<int32_t>(kDevices), 0, devs.data()};
        created.post();
        // The reader attaches first: attaching takes the write lock the load holds.
        if (!go.wait())
            return 6;
        // Stops with the lock held, the PID filed and its chain not yet built.
        stop_at("%s()->Exit\n", stop_after, stopped, "AddPidToDomDb");
        (void)addPidListToVorel(&list, VOREL_UPD_SYNC, 0);
        return 5; // the load must not finish
    });
    ASSERT_TRUE(created.wait());
    vtest::Child reader([&] { return reader_main(attached, read_now, read_out); });
    ASSERT_TRUE(attached.wait());
    go.post();
    ASSERT_TRUE(stopped.wait(std::chrono::minutes(2))) << "the load reached the point";
    EXPECT_EQ(server.kill(), 128 + SIGKILL);

    const auto r = after_server_died(reader, read_now, read_out);
    // The device being filed has no chain yet and is not counted: both reported.
    EXPECT_EQ(r.stored_pids, stop_after);
    EXPECT_EQ(r.total_pids, stop_after - 1);
    EXPECT_GE(r.violations(), 1u);
    restart_is_clean();
}

TEST_F(Crash, AReaderKilledHoldingTheReadLockLeavesNoTrace)
{
    ASSERT_EQ(initVorelSrvr(), 0);
    for (uint32_t i = 1; i <= 3; ++i) {
        vtest::Payload p(P(1, i), {P(1, i % 3 + 1)});
        ASSERT_EQ(addPidToVorel(p.get(), VOREL_UPD_DEV_ONLINE, 0), 0);
    }
    // Killed from inside the enumeration's callback, under the read lock.
    vtest::Child enumerating([] {
        if (start(false) != 0)
            return 2;
        (void)getEachPidFromVorel(
            [](devconpld *, void *) -> int {
                raise(SIGKILL);
                return 0;
            },
            nullptr);
        return 3;
    });
    EXPECT_EQ(enumerating.wait(), 128 + SIGKILL);

    // The server's next write proceeds.
    vtest::Payload p(P(1, 4), {P(1, 1)});
    EXPECT_EQ(addPidToVorel(p.get(), VOREL_UPD_DEV_ONLINE, 0), 0);
    uint32_t n = 0;
    EXPECT_EQ(getCountFromVorel(&n), 0);
    EXPECT_EQ(n, 4u);
}

} // namespace
