// Message queues of the stand-in platform: records are copied, leave in FIFO
// order, and every refusal (unknown queue, oversize record, full queue,
// time-out, deleted queue) is a negative result.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "vorel_platform.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A queue created for one test and deleted after it (unless the test did).
class QueueTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(msgQCreate(4, 16, &q_), 0); }
    void TearDown() override
    {
        if (q_ != 0)
            (void)msgQDelete(q_);
    }
    uint32_t q_ = 0;
};

TEST_F(QueueTest, RecordIsCopiedAtSendAndLeavesInFifoOrder)
{
    EXPECT_NE(q_, 0u);
    std::array<uint8_t, 16> rec{};
    for (uint8_t i = 0; i < 3; ++i) {
        rec.fill(static_cast<uint8_t>(0x10 + i));
        ASSERT_EQ(msgQSend(q_, rec.data(), static_cast<uint32_t>(rec.size()) - i, 0, 1), 0);
    }
    rec.fill(0xEE); // the queue must not see changes made after the send

    for (uint8_t i = 0; i < 3; ++i) {
        std::array<uint8_t, 16> out{};
        ASSERT_EQ(msgQReceive(q_, out.data(), static_cast<uint32_t>(out.size()), 0), 16 - i);
        for (int k = 0; k < 16 - i; ++k)
            ASSERT_EQ(out[k], 0x10 + i) << "record " << int(i) << " byte " << k;
    }
}

TEST_F(QueueTest, EmptyRecordAndTruncationToTheReceiveBuffer)
{
    const char text[] = "0123456789abcde";
    ASSERT_EQ(msgQSend(q_, nullptr, 0, 0, 0), 0);
    ASSERT_EQ(msgQSend(q_, text, 16, 0, 0), 0);
    char out[8] = {};
    EXPECT_EQ(msgQReceive(q_, out, sizeof out, 0), 0);
    EXPECT_EQ(msgQReceive(q_, out, 5, 0), 5);
    EXPECT_EQ(std::memcmp(out, "01234", 5), 0);
    EXPECT_EQ(out[5], 0);
    // The cut record is gone, not left for a second read.
    EXPECT_EQ(msgQReceive(q_, out, sizeof out, 0), PLAT_ERR_TIMEOUT);
}

TEST_F(QueueTest, FullQueueAndOversizeRecordAreRefused)
{
    const uint32_t word = 7;
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(msgQSend(q_, &word, sizeof word, 0, 1), 0);
    EXPECT_EQ(msgQSend(q_, &word, sizeof word, 0, 1), PLAT_ERR_BUSY);

    const auto start = Clock::now();
    EXPECT_EQ(msgQSend(q_, &word, sizeof word, 50, 1), PLAT_ERR_TIMEOUT);
    EXPECT_GE(Clock::now() - start, 45ms);

    uint8_t big[17] = {};
    uint32_t out = 0;
    ASSERT_EQ(msgQReceive(q_, &out, sizeof out, 0), 4);
    EXPECT_EQ(msgQSend(q_, big, sizeof big, 0, 1), PLAT_ERR_TOOBIG);
    EXPECT_EQ(msgQSend(q_, big, 16, 0, 1), 0); // room again after one receive
}

TEST_F(QueueTest, SenderBlockedOnFullQueueProceedsWhenSpaceFrees)
{
    uint32_t v = 0;
    for (v = 0; v < 4; ++v)
        ASSERT_EQ(msgQSend(q_, &v, sizeof v, 0, 1), 0);
    auto sender = std::async(std::launch::async, [this] {
        const uint32_t last = 4;
        return msgQSend(q_, &last, sizeof last, -1, 1);
    });
    for (uint32_t expect = 0; expect < 5; ++expect) {
        uint32_t out = 99;
        ASSERT_EQ(msgQReceive(q_, &out, sizeof out, 5000), 4);
        EXPECT_EQ(out, expect);
    }
    EXPECT_EQ(sender.get(), 0);
}

TEST_F(QueueTest, ReceiveTimesOutOnEmptyQueue)
{
    uint8_t buf[16];
    EXPECT_EQ(msgQReceive(q_, buf, sizeof buf, 0), PLAT_ERR_TIMEOUT);
    const auto start = Clock::now();
    EXPECT_EQ(msgQReceive(q_, buf, sizeof buf, 80), PLAT_ERR_TIMEOUT);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 75ms);
    EXPECT_LT(waited, 5s);
}

TEST_F(QueueTest, BlockedReceiverGetsALaterRecord)
{
    auto receiver = std::async(std::launch::async, [this] {
        uint32_t out = 0;
        const int n = msgQReceive(q_, &out, sizeof out, -1);
        return n == 4 ? static_cast<int>(out) : n;
    });
    const uint32_t word = 0x5eed;
    ASSERT_EQ(msgQSend(q_, &word, sizeof word, 0, 1), 0);
    EXPECT_EQ(receiver.get(), 0x5eed);
}

TEST(Queue, UnknownQueueIsRefusedEverywhere)
{
    const uint32_t word = 1;
    uint32_t out = 0;
    EXPECT_LT(msgQSend(0, &word, sizeof word, 0, 1), 0);
    EXPECT_LT(msgQReceive(0, &out, sizeof out, 0), 0);
    EXPECT_LT(msgQDelete(0), 0);

    uint32_t q = 0;
    ASSERT_EQ(msgQCreate(2, 4, &q), 0);
    EXPECT_LT(msgQSend(q + 1000, &word, sizeof word, 0, 1), 0); // never created
    ASSERT_EQ(msgQSend(q, &word, sizeof word, 0, 1), 0);
    ASSERT_EQ(msgQDelete(q), 0);
    EXPECT_EQ(msgQSend(q, &word, sizeof word, 0, 1), PLAT_ERR_NOENT);
    EXPECT_EQ(msgQReceive(q, &out, sizeof out, 0), PLAT_ERR_NOENT); // records went with it
    EXPECT_EQ(msgQDelete(q), PLAT_ERR_NOENT);

    EXPECT_EQ(msgQCreate(0, 4, &q), PLAT_ERR_INVAL);
    EXPECT_EQ(msgQCreate(4, 0, &q), PLAT_ERR_INVAL);
    EXPECT_EQ(msgQCreate(4, 4, nullptr), PLAT_ERR_INVAL);
}

// The receiver may or may not be waiting yet when the queue goes; either way
// it must come back with PLAT_ERR_NOENT instead of waiting forever.  Several
// rounds make it all but certain that some deletions hit a waiting receiver.
TEST(Queue, DeleteWakesBlockedReceiversAndSenders)
{
    for (int round = 0; round < 20; ++round) {
        uint32_t q = 0;
        ASSERT_EQ(msgQCreate(1, 4, &q), 0);
        const uint32_t word = 1;
        uint32_t other = 0;
        ASSERT_EQ(msgQCreate(1, 4, &other), 0);
        ASSERT_EQ(msgQSend(other, &word, sizeof word, 0, 1), 0); // full: its sender will wait

        std::promise<void> started;
        auto receiver = std::async(std::launch::async, [&] {
            started.set_value();
            uint32_t out = 0;
            return msgQReceive(q, &out, sizeof out, -1);
        });
        auto sender = std::async(std::launch::async, [&] { return msgQSend(other, &word, sizeof word, -1, 1); });
        started.get_future().wait();
        if (round % 2 == 1)
            std::this_thread::yield();
        ASSERT_EQ(msgQDelete(q), 0);
        ASSERT_EQ(msgQDelete(other), 0);
        ASSERT_EQ(receiver.wait_for(10s), std::future_status::ready) << "round " << round;
        EXPECT_EQ(receiver.get(), PLAT_ERR_NOENT);
        ASSERT_EQ(sender.wait_for(10s), std::future_status::ready) << "round " << round;
        EXPECT_EQ(sender.get(), PLAT_ERR_NOENT);
    }
}

// Several producers, one consumer: nothing is lost or duplicated, and each
// producer's records arrive in the order it sent them.
TEST(Queue, ConcurrentProducersKeepTheirOwnOrder)
{
    constexpr int kProducers = 4;
    constexpr uint32_t kEach = 2000;
    uint32_t q = 0;
    ASSERT_EQ(msgQCreate(8, 8, &q), 0);

    std::vector<std::future<int>> producers;
    for (uint32_t p = 0; p < kProducers; ++p)
        producers.push_back(std::async(std::launch::async, [q, p] {
            for (uint32_t i = 0; i < kEach; ++i) {
                const uint32_t rec[2] = {p, i};
                const int rc = msgQSend(q, rec, sizeof rec, -1, static_cast<int32_t>(i % 2));
                if (rc != 0)
                    return rc;
            }
            return 0;
        }));

    std::array<uint32_t, kProducers> next{};
    for (uint32_t n = 0; n < kProducers * kEach; ++n) {
        uint32_t rec[2] = {};
        ASSERT_EQ(msgQReceive(q, rec, sizeof rec, 10000), 8);
        ASSERT_LT(rec[0], static_cast<uint32_t>(kProducers));
        ASSERT_EQ(rec[1], next[rec[0]]) << "producer " << rec[0];
        ++next[rec[0]];
    }
    for (auto &p : producers)
        EXPECT_EQ(p.get(), 0);
    uint32_t extra[2];
    EXPECT_EQ(msgQReceive(q, extra, sizeof extra, 0), PLAT_ERR_TIMEOUT);
    EXPECT_EQ(msgQDelete(q), 0);
}

TEST(Queue, InjectedFailureOfSendQueuesNothing)
{
    uint32_t q = 0;
    ASSERT_EQ(msgQCreate(2, 4, &q), 0);
    const uint32_t word = 9;
    ASSERT_EQ(plat_fail_after("msgQSend", 2), 0);
    EXPECT_EQ(msgQSend(q, &word, sizeof word, 0, 1), 0);
    EXPECT_EQ(msgQSend(q, &word, sizeof word, 0, 1), PLAT_ERR_INJECTED);
    EXPECT_EQ(msgQSend(q, &word, sizeof word, 0, 1), 0);
    uint32_t out = 0;
    EXPECT_EQ(msgQReceive(q, &out, sizeof out, 0), 4);
    EXPECT_EQ(msgQReceive(q, &out, sizeof out, 0), 4);
    EXPECT_EQ(msgQReceive(q, &out, sizeof out, 0), PLAT_ERR_TIMEOUT);
    plat_fail_reset();
    EXPECT_EQ(msgQDelete(q), 0);
}

} // namespace
