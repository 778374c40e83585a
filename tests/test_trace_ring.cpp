// The trace ring as its users meet it: several writing processes, the oldest records overwritten, writers
// killed mid-record, readers that come after the writers are gone, the level word, a refused ring.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <numeric>
#include <set>
#include <vector>

#include "proc.h"
#include "vorel_platform.h"

namespace {

struct Read {
    std::vector<std::pair<uint32_t, std::string>> records; // writer's pid, text
    uint32_t lost = 0;
    uint32_t torn = 0;
};

using ReaderPtr = std::unique_ptr<log_reader_t, decltype(&log_reader_close)>;
ReaderPtr open_reader(int instance, int patience_ms)
{
    log_reader_t *r = nullptr;
    EXPECT_EQ(log_reader_open(instance, patience_ms, &r), 0);
    return {r, &log_reader_close};
}

// Reads what there is; false when the reader kept waiting too long.
bool drain(log_reader_t *reader, Read &out)
{
    const auto deadline = std::chrono::steady_clock::now() + vtest::kDefaultTimeout;
    auto rec = std::make_unique<log_record_t>();
    for (int rc = 0; (rc = log_reader_next(reader, rec.get())) != 0;) {
        if (rc == 1)
            out.records.emplace_back(rec->pid, rec->text);
        else if (std::chrono::steady_clock::now() > deadline || usleep(1000) != 0)
            return false;
    }
    log_reader_losses(reader, &out.lost, &out.torn);
    return true;
}

Read read_all(int instance)
{
    Read out;
    auto reader = open_reader(instance, 200);
    EXPECT_TRUE(reader && drain(reader.get(), out));
    return out;
}

// In a forked child: numbered records "<tag> <n>" into the instance's ring,
// with a pause after every `burst` records when given.
int write_numbered(int instance, const char *tag, int from, int count, int burst = 0)
{
    unsetenv("VOREL_TRACE_FILE");
    setMySwitch(instance);
    for (int n = from; n < from + count; ++n) {
        log_debug("test_trace_ring", __LINE__, &mod_VORELLIB, 1, "%s %d\n", tag, n);
        if (burst > 0 && n % burst == burst - 1)
            usleep(500);
    }
    return 0;
}

// The numbers of one writer's records, in the order read.
std::vector<int> numbers_of(const Read &r, uint32_t pid)
{
    std::vector<int> out;
    for (const auto &[p, text] : r.records)
        if (p == pid)
            out.push_back(std::atoi(text.c_str() + text.find(' ') + 1));
    return out;
}

std::vector<int> range(int from, int to)
{
    std::vector<int> v(static_cast<size_t>(to - from));
    return std::iota(v.begin(), v.end(), from), v;
}

TEST(TraceRing, OldestRecordsGiveWayAndAReaderThatFellBehindCountsThem)
{
    constexpr int kInstance = 91;
    setenv("VOREL_TRACE_RING", "8K", 1); // 64 slots: one short record each
    ASSERT_EQ(vtest::run_in_child([] { return write_numbered(kInstance, "rec", 0, 10); }), 0);
    auto early = open_reader(kInstance, 200); // positioned at record 0
    vtest::Child writer([] { return write_numbered(kInstance, "rec", 10, 190); });
    ASSERT_EQ(writer.wait(), 0);
    unsetenv("VOREL_TRACE_RING");

    Read behind;
    ASSERT_TRUE(drain(early.get(), behind));
    Read fresh = read_all(kInstance);
    for (const Read *r : {&behind, &fresh})
        EXPECT_EQ(numbers_of(*r, static_cast<uint32_t>(writer.pid())), range(136, 200));
    EXPECT_EQ(behind.lost, 136u);
    EXPECT_EQ(fresh.lost + fresh.torn + behind.torn, 0u);

    ASSERT_EQ(log_ring_clear(kInstance), 0);
    EXPECT_TRUE(read_all(kInstance).records.empty());
}

TEST(TraceRing, WritersInSeveralProcessesLoseNothingBelowCapacity)
{
    constexpr int kInstance = 92;
    constexpr int kWriters = 4;
    constexpr int kEach = 3000;
    vtest::Event go;
    std::vector<std::unique_ptr<vtest::Child>> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.push_back(std::make_unique<vtest::Child>(
            [&go] { return go.wait() ? write_numbered(kInstance, "w", 0, kEach) : 10; }));
    for (int w = 0; w < kWriters; ++w)
        go.post();
    for (auto &w : writers)
        ASSERT_EQ(w->wait(), 0);

    const Read r = read_all(kInstance);
    EXPECT_EQ(r.records.size(), size_t{kWriters} * kEach);
    EXPECT_EQ(r.lost + r.torn, 0u);
    for (auto &w : writers)
        EXPECT_EQ(numbers_of(r, static_cast<uint32_t>(w->pid())), range(0, kEach)) << "writer " << w->pid();
}

TEST(TraceRing, WritersKilledMidStreamLeaveEveryCommittedRecordToAFollower)
{
    constexpr int kInstance = 93;
    ASSERT_EQ(vtest::run_in_child([] { return write_numbered(kInstance, "start", 0, 1); }), 0);
    auto follower = open_reader(kInstance, 500);
    Read followed;
    std::vector<pid_t> killed;
    for (int round = 0; round < 6; ++round) {
        vtest::Child writer([] { return write_numbered(kInstance, "k", 0, 1 << 30, 20); });
        // Let it write a while, reading along, then kill it wherever it is.
        for (int i = 0;
             i < 2000 && numbers_of(followed, static_cast<uint32_t>(writer.pid())).size() < 300u + 97 * round; ++i)
            ASSERT_TRUE(drain(follower.get(), followed) && usleep(1000) == 0);
        writer.kill(SIGKILL);
        killed.push_back(writer.pid());
    }
    ASSERT_TRUE(drain(follower.get(), followed));

    // What a reader finds after every writer's death is what the follower read.
    const Read after = read_all(kInstance);
    EXPECT_EQ(after.records, followed.records);
    EXPECT_EQ(after.torn, followed.torn);
    EXPECT_EQ(followed.lost, 0u);
    for (const pid_t pid : killed) {
        const std::vector<int> got = numbers_of(followed, static_cast<uint32_t>(pid));
        EXPECT_EQ(got, range(0, static_cast<int>(got.size())));
    }
}

TEST(TraceRing, AWriterStoppedInTheMiddleOfARecordCostsOnlyThatRecord)
{
    constexpr int kInstance = 96;
    vtest::Event written, go;
    vtest::Child writer([&] {
        (void)write_numbered(kInstance, "t", 0, 5);
        plat_fail_after("log_debug", 1); // record 5 is left half written
        (void)write_numbered(kInstance, "t", 5, 5);
        written.post();
        return go.wait() ? 0 : 10;
    });
    ASSERT_TRUE(written.wait());
    std::vector<int> expected = range(0, 10);
    expected.erase(expected.begin() + 5);   // the torn one
    const Read alive = read_all(kInstance); // its writer still running
    go.post();
    ASSERT_EQ(writer.wait(), 0);
    const Read gone = read_all(kInstance);
    for (const Read *r : {&alive, &gone}) {
        EXPECT_EQ(numbers_of(*r, static_cast<uint32_t>(writer.pid())), expected);
        EXPECT_EQ(r->torn, 1u);
    }
}

TEST(TraceRing, LevelSetReachesARunningProcessAndSignalsStillWork)
{
    constexpr int kInstance = 94;
    vtest::Event attached;
    vtest::Child process([&] {
        setMySwitch(kInstance);
        auto poll = [] {
            if (const int change = isDebugLevelChanged())
                processDebugLevelChange(change);
        };
        poll(); // maps the ring
        attached.post();
        for (int i = 0; i < 20000 && mod_VORELLIB.level != 7; ++i, usleep(1000))
            poll();
        const bool set = mod_VORELLIB.level == 7;
        (void)(log_install_signal_handlers() == 0 && raise(SIGUSR2) == 0);
        poll();
        return set && mod_VORELLIB.level == 6 ? 0 : 1;
    });
    ASSERT_TRUE(attached.wait());
    ASSERT_EQ(log_ring_set_level(kInstance, 7), 0);
    EXPECT_EQ(process.wait(), 0);
}

std::set<std::string> shm_objects()
{
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator("/dev/shm"))
        names.insert(entry.path());
    return names;
}

TEST(TraceRing, AForeignOrCorruptRingIsRefusedAndRenewedByTheServerStart)
{
    constexpr int kInstance = 95;
    const auto before = shm_objects(); // the ring's object is the one that appears
    ASSERT_EQ(vtest::run_in_child([] { return write_numbered(kInstance, "old", 0, 5); }), 0);
    std::string object;
    for (const std::string &n : shm_objects())
        if (before.count(n) == 0 && n.size() > 9 && n.compare(n.size() - 9, 9, ".trace.95") == 0)
            object = n;
    ASSERT_FALSE(object.empty());

    // Another version, a changed size word, a header of zeros.
    const std::pair<off_t, uint32_t> kFaults[] = {{4, 99}, {16, 1u << 20}, {0, 0}};
    for (const auto &fault : kFaults) {
        SCOPED_TRACE(fault.first);
        const int fd = open(object.c_str(), O_WRONLY);
        ASSERT_EQ(pwrite(fd, &fault.second, sizeof fault.second, fault.first), 4);
        close(fd);
        log_reader_t *r = nullptr;
        EXPECT_EQ(log_reader_open(kInstance, 0, &r), PLAT_ERR_BADSEG);
        EXPECT_EQ(log_ring_clear(kInstance), PLAT_ERR_BADSEG);
        // A writer drops its records rather than writing into a refused ring.
        ASSERT_EQ(vtest::run_in_child([] { return write_numbered(kInstance, "dropped", 0, 5); }), 0);

        // As a server's start would, in a process of its own; a good ring is kept.
        for (const int renewed : {1, 0})
            EXPECT_EQ(vtest::run_in_child([] { return log_ring_renew(kInstance) & 0xff; }), renewed);
        vtest::Child writer([] { return write_numbered(kInstance, "new", 0, 3); });
        ASSERT_EQ(writer.wait(), 0);
        const Read r2 = read_all(kInstance);
        EXPECT_EQ(numbers_of(r2, static_cast<uint32_t>(writer.pid())), range(0, 3));
        EXPECT_EQ(r2.records.size(), 3u);
    }
}

} // namespace
