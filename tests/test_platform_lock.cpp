// The process-shared read/write lock of the stand-in platform: exclusion
// between processes and between threads, shared reading, and release when a
// holder dies.
//
// "Still blocked" is checked by waiting a while for an event that must not
// come; "released" by waiting (with a generous time-out) for one that must.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "proc.h"
#include "vorel_platform.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kStillBlocked = 300ms;

enum class Mode { Read, Write };

int acquire(procrwlock_t *l, Mode m) { return m == Mode::Read ? procrwlock_rdlock(l) : procrwlock_wrlock(l); }
int release(procrwlock_t *l, Mode m) { return m == Mode::Read ? procrwlock_rdunlock(l) : procrwlock_wrunlock(l); }

class LockTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        const char *dir = std::getenv("VOREL_RUN_DIR");
        ASSERT_NE(dir, nullptr);
        path_ = std::string(dir) + "/lock." + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fd_ = open(path_.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd_, 0);
        ASSERT_EQ(procrwlock_init(&lock_, fd_), 0);
    }
    void TearDown() override
    {
        close(fd_);
        unlink(path_.c_str());
    }

    // In a child: a lock of the child's own on the same file, as a separate
    // process of the switch would prepare it.
    procrwlock_t *own_lock(procrwlock_t *storage) const
    {
        const int fd = open(path_.c_str(), O_RDWR);
        return fd >= 0 && procrwlock_init(storage, fd) == 0 ? storage : nullptr;
    }

    // Starts a child that takes the lock in `mode` (through the inherited lock
    // object, or one of its own), posts `got`, and holds it until `release_it`.
    std::unique_ptr<vtest::Child> holder(Mode mode, bool own, vtest::Event &got, vtest::Event &release_it)
    {
        return std::make_unique<vtest::Child>([this, mode, own, &got, &release_it] {
            procrwlock_t storage{};
            procrwlock_t *l = own ? own_lock(&storage) : &lock_;
            if (l == nullptr || acquire(l, mode) != 0)
                return 1;
            got.post();
            if (!release_it.wait(60s))
                return 2;
            return release(l, mode) == 0 ? 0 : 3;
        });
    }

    std::string path_;
    int fd_ = -1;
    procrwlock_t lock_{};
};

TEST_F(LockTest, WriterInAnotherProcessWaitsForTheWriter)
{
    for (const bool own : {false, true}) {
        SCOPED_TRACE(own ? "child prepares its own lock" : "child uses the inherited lock");
        ASSERT_EQ(procrwlock_wrlock(&lock_), 0);
        vtest::Event got, done;
        auto child = holder(Mode::Write, own, got, done);
        EXPECT_FALSE(got.wait(kStillBlocked));
        ASSERT_EQ(procrwlock_wrunlock(&lock_), 0);
        EXPECT_TRUE(got.wait());
        done.post();
        EXPECT_EQ(child->wait(), 0);
    }
}

TEST_F(LockTest, ReadersShareAndKeepWritersOut)
{
    ASSERT_EQ(procrwlock_rdlock(&lock_), 0);
    vtest::Event reader_got, reader_done, writer_got, writer_done;
    auto reader = holder(Mode::Read, true, reader_got, reader_done);
    EXPECT_TRUE(reader_got.wait()) << "a second reader must not wait for the first";

    auto writer = holder(Mode::Write, true, writer_got, writer_done);
    EXPECT_FALSE(writer_got.wait(kStillBlocked));
    ASSERT_EQ(procrwlock_rdunlock(&lock_), 0);
    EXPECT_FALSE(writer_got.wait(kStillBlocked)) << "the other reader still holds the lock";
    reader_done.post();
    EXPECT_TRUE(writer_got.wait());
    writer_done.post();
    EXPECT_EQ(reader->wait(), 0);
    EXPECT_EQ(writer->wait(), 0);
}

TEST_F(LockTest, HolderKilledWhileHoldingReleasesTheLock)
{
    for (const Mode mode : {Mode::Write, Mode::Read}) {
        SCOPED_TRACE(mode == Mode::Write ? "write holder" : "read holder");
        vtest::Event got, never;
        auto victim = holder(mode, false, got, never);
        ASSERT_TRUE(got.wait());
        EXPECT_EQ(victim->kill(SIGKILL), 128 + SIGKILL);

        // The next writer, in a process of its own, is not held up.
        vtest::Event writer_got, writer_done;
        auto writer = holder(Mode::Write, false, writer_got, writer_done);
        EXPECT_TRUE(writer_got.wait());
        writer_done.post();
        EXPECT_EQ(writer->wait(), 0);
        // Nor is this process.
        ASSERT_EQ(procrwlock_wrlock(&lock_), 0);
        ASSERT_EQ(procrwlock_wrunlock(&lock_), 0);
    }
}

TEST_F(LockTest, ProcessKeepsItsReadLockUntilItsLastReaderLeaves)
{
    ASSERT_EQ(procrwlock_rdlock(&lock_), 0);
    vtest::Event thread_got, thread_done;
    std::thread second_reader([&] {
        if (procrwlock_rdlock(&lock_) == 0)
            thread_got.post();
        thread_done.wait();
        procrwlock_rdunlock(&lock_);
    });
    ASSERT_TRUE(thread_got.wait());

    vtest::Event writer_got, writer_done;
    auto writer = holder(Mode::Write, true, writer_got, writer_done);
    ASSERT_EQ(procrwlock_rdunlock(&lock_), 0); // the first reader leaves
    EXPECT_FALSE(writer_got.wait(kStillBlocked));
    thread_done.post(); // the last reader leaves
    second_reader.join();
    EXPECT_TRUE(writer_got.wait());
    writer_done.post();
    EXPECT_EQ(writer->wait(), 0);
}

TEST_F(LockTest, ThreadsOfOneProcessExcludeEachOther)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    long counter = 0; // deliberately not atomic: the lock protects it
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                procrwlock_wrlock(&lock_);
                if (inside.fetch_add(1) != 0)
                    overlap = true;
                ++counter;
                inside.fetch_sub(1);
                procrwlock_wrunlock(&lock_);
            }
        });
    for (std::thread &t : writers)
        t.join();
    EXPECT_EQ(counter, long{kThreads} * kRounds);
    EXPECT_FALSE(overlap.load());

    // Readers are inside together: each waits until all are in.
    std::atomic<int> readers_in{0};
    std::atomic<int> met{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < kThreads; ++t)
        readers.emplace_back([&] {
            procrwlock_rdlock(&lock_);
            readers_in.fetch_add(1);
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (readers_in.load() < kThreads && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            if (readers_in.load() == kThreads)
                met.fetch_add(1);
            procrwlock_rdunlock(&lock_);
        });
    for (std::thread &t : readers)
        t.join();
    EXPECT_EQ(met.load(), kThreads);
}

TEST_F(LockTest, MisuseIsRefused)
{
    EXPECT_EQ(procrwlock_rdunlock(&lock_), PLAT_ERR_INVAL); // not held
    procrwlock_t never_prepared{};
    EXPECT_EQ(procrwlock_wrlock(&never_prepared), PLAT_ERR_INVAL);
    EXPECT_EQ(procrwlock_init(nullptr, fd_), PLAT_ERR_INVAL);

    // Without a descriptor the lock still excludes the threads of the process.
    procrwlock_t local{};
    EXPECT_EQ(procrwlock_init(&local, -1), PLAT_ERR_INVAL);
    ASSERT_EQ(procrwlock_wrlock(&local), 0);
    vtest::Event got;
    std::thread t([&] {
        procrwlock_wrlock(&local);
        got.post();
        procrwlock_wrunlock(&local);
    });
    EXPECT_FALSE(got.wait(kStillBlocked));
    ASSERT_EQ(procrwlock_wrunlock(&local), 0);
    EXPECT_TRUE(got.wait());
    t.join();
}

} // namespace
