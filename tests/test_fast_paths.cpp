// The paths that make the store fast, held to what the slower ways they
// replace would give: the domain scan's variants, the trace's own formatting
// of record texts, the write lock that takes no record lock while no reader
// announced itself, and blocks cleared when freed rather than when reused.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "proc.h"
#include "vorel_db.h"
#include "vorel_platform.h"

namespace {

using namespace std::chrono_literals;

// ---- domain scan -------------------------------------------------------------------------

int reference_scan(const DomDbEntry *slots, uint32_t n, uint32_t pid)
{
    for (uint32_t i = 0; i < n; ++i)
        if (slots[i].pid == pid)
            return static_cast<int>(i);
    return -1;
}

TEST(DomainScan, EveryVariantFindsTheFirstMatchAtEveryPlaceAndLength)
{
    DomDbEntry slots[kPidsPerDomDb + 8]; // beyond n: entries that must never match
    for (uint32_t i = 0; i < kPidsPerDomDb + 8; ++i)
        slots[i] = DomDbEntry{0x010000u + i, 0x5EED0000u + i};
    std::size_t checked = 0;
    for (const vorel::ScanVariant &v : vorel::scan_variants()) {
        if (!vorel::scan_variant_usable(v))
            continue;
        SCOPED_TRACE(v.name);
        for (uint32_t n = 0; n <= kPidsPerDomDb; ++n) {
            for (uint32_t at = 0; at < n + 4 && at < kPidsPerDomDb + 8; ++at)
                ASSERT_EQ(v.fn(slots, n, slots[at].pid), reference_scan(slots, n, slots[at].pid)) << n << " " << at;
            // A PID equal to a gadd word is not a match: only PID words count.
            ASSERT_EQ(v.fn(slots, n, 0x5EED0000u + n / 2), -1) << n;
        }
        ++checked;
    }
    EXPECT_GE(checked, 1u);
}

TEST(DomainScan, DuplicatesAndUnalignedBlocksGiveTheFirstMatch)
{
    std::mt19937 rng(5);
    std::vector<uint8_t> raw(sizeof(DomDbEntry) * (kPidsPerDomDb + 1) + 4);
    for (const vorel::ScanVariant &v : vorel::scan_variants()) {
        if (!vorel::scan_variant_usable(v))
            continue;
        SCOPED_TRACE(v.name);
        for (int round = 0; round < 200; ++round) {
            // Entries at a 4-byte but not 8-byte boundary, few distinct PIDs.
            auto *slots = reinterpret_cast<DomDbEntry *>(raw.data() + 4 * (round % 2));
            const uint32_t n = rng() % (kPidsPerDomDb + 1);
            for (uint32_t i = 0; i < n; ++i)
                slots[i] = DomDbEntry{static_cast<uint32_t>(0x070000u + rng() % 40), static_cast<uint32_t>(rng())};
            const auto pid = static_cast<uint32_t>(0x070000u + rng() % 48);
            ASSERT_EQ(v.fn(slots, n, pid), reference_scan(slots, n, pid)) << "round " << round;
        }
    }
}

// ---- trace text ----------------------------------------------------------------------------

class TraceText : public ::testing::Test {
  protected:
    void SetUp() override
    {
        // A file per test: the trace keeps its file open while the name stays.
        path_ = std::string(std::getenv("VOREL_RUN_DIR")) + "/trace." +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        setenv("VOREL_TRACE_FILE", path_.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("VOREL_TRACE_FILE");
        std::remove(path_.c_str());
    }

    // The text of the last record written, after "<file>:<line> ".
    std::string last_text() const
    {
        std::ifstream in(path_);
        std::string line, last;
        while (std::getline(in, line))
            last = line;
        const std::size_t at = last.find("vorel_public:77 ");
        return at == std::string::npos ? "<no record>" : last.substr(at + 16);
    }

    std::string path_;
};

// What printf makes of the format, without the final newline.
std::string printf_text(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    char buf[4096];
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    std::string s(buf);
    if (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
}

#define EXPECT_RECORD_AS_PRINTF(...)                                                                                   \
    do {                                                                                                               \
        log_debug("vorel_public", 77, nullptr, 1, __VA_ARGS__);                                                        \
        EXPECT_EQ(last_text(), printf_text(__VA_ARGS__));                                                              \
    } while (0)

TEST_F(TraceText, RecordsReadAsPrintfWouldWriteThem)
{
    EXPECT_RECORD_AS_PRINTF("%s():", "con_findpidfromdb");
    EXPECT_RECORD_AS_PRINTF("Not found pid %8x in domdb\n", 0x10203u);
    EXPECT_RECORD_AS_PRINTF("found dest pid %8x in src pid %8x connectivity list\n", 0xFFFFFFFFu, 0u);
    EXPECT_RECORD_AS_PRINTF("gshm_alloc() returns rc=%d for dom %d\n", -202, 255);
    EXPECT_RECORD_AS_PRINTF("%d %i %u %x %X %08x %-6d| %05d %-8x|\n", -2147483647 - 1, 42, 4294967295u, 0xabcu, 0xabcu,
                            0x1fu, -17, -17, 0xbeefu);
    EXPECT_RECORD_AS_PRINTF("%ld %lu %lld %llx %zu %hd %hhu\n", -5L, 7UL, -9000000000LL, 0x123456789abcULL,
                            static_cast<size_t>(99), 70000, 300);
    EXPECT_RECORD_AS_PRINTF("%s|%10s|%-10s|%c|%3c|%%\n", "", "right", "left", 'x', 'y');
    // Conversions the trace leaves to the C library.
    EXPECT_RECORD_AS_PRINTF("allocating memory of % devices forprevPids\n", 12);
    EXPECT_RECORD_AS_PRINTF("%p %.3s %+d %#x %5.2f\n", static_cast<void *>(nullptr), "abcdef", 5, 255u, 3.14159);
}

TEST_F(TraceText, ALongRecordIsWrittenWhole)
{
    const std::string long_text(3000, 'z');
    EXPECT_RECORD_AS_PRINTF("%s and %d\n", long_text.c_str(), 7);
    const std::string words = std::string(1000, 'a') + "%d" + std::string(100, 'b');
    EXPECT_RECORD_AS_PRINTF(words.c_str(), 123456);
}

// Lines of a file that hold `text`.
int lines_with(const std::string &path, const std::string &text)
{
    std::ifstream in(path);
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
}

TEST(TraceFile, RecordsFollowTheVariableWhateverHappensToTheEnvironment)
{
    const std::string dir = std::getenv("VOREL_RUN_DIR");
    const std::string a = dir + "/trace-a.log";
    const std::string b = dir + "/trace-b.log";
    const auto record = [](const char *text) { log_debug("vorel_public", 1, nullptr, 1, "%s", text); };

    setenv("VOREL_TRACE_FILE", a.c_str(), 1);
    record("first");
    setenv("VOREL_TRACE_FILE", b.c_str(), 1); // replaced in place
    record("second");
    for (int i = 0; i < 64; ++i) // the environment's array grows and moves
        setenv(("VOREL_TEST_FILLER_" + std::to_string(i)).c_str(), "x", 1);
    record("third");
    unsetenv("VOREL_TEST_FILLER_0"); // the entries after it move down
    record("fourth");
    unsetenv("VOREL_TRACE_FILE");
    for (int i = 1; i < 64; ++i)
        unsetenv(("VOREL_TEST_FILLER_" + std::to_string(i)).c_str());
    setenv("VOREL_TRACE_FILE", a.c_str(), 1); // added again, at the end
    record("fifth");

    EXPECT_EQ(lines_with(a, "first"), 1);
    EXPECT_EQ(lines_with(b, "second"), 1);
    EXPECT_EQ(lines_with(b, "third"), 1);
    EXPECT_EQ(lines_with(b, "fourth"), 1);
    EXPECT_EQ(lines_with(a, "fifth"), 1);
    EXPECT_EQ(lines_with(b, "fifth"), 0);
    unsetenv("VOREL_TRACE_FILE");
    std::remove(a.c_str());
    std::remove(b.c_str());
}

// ---- write lock without a record lock ---------------------------------------------------------

class FastLock : public ::testing::Test {
  protected:
    void SetUp() override
    {
        path_ = std::string(std::getenv("VOREL_RUN_DIR")) + "/lock." +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fd_ = open(path_.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd_, 0);
        ASSERT_EQ(procrwlock_init(&lock_, fd_), 0);
    }
    void TearDown() override
    {
        close(fd_);
        unlink(path_.c_str());
    }

    // A child that prepares a lock of its own on the file, takes it for
    // reading or writing, posts `got`, and releases it on `release_it`.
    std::unique_ptr<vtest::Child> holder(bool write, vtest::Event &got, vtest::Event &release_it)
    {
        return std::make_unique<vtest::Child>([this, write, &got, &release_it] {
            procrwlock_t own{};
            const int fd = open(path_.c_str(), O_RDWR);
            if (fd < 0 || procrwlock_init(&own, fd) != 0)
                return 1;
            if ((write ? procrwlock_wrlock(&own) : procrwlock_rdlock(&own)) != 0)
                return 2;
            got.post();
            if (!release_it.wait(60s))
                return 3;
            return (write ? procrwlock_wrunlock(&own) : procrwlock_rdunlock(&own)) == 0 ? 0 : 4;
        });
    }

    std::string path_;
    int fd_ = -1;
    procrwlock_t lock_{};
};

TEST_F(FastLock, AReaderOfAnotherProcessWaitsForAWriterThatTookNoRecordLock)
{
    // No reader has announced itself: this write hold takes no record lock.
    ASSERT_EQ(procrwlock_wrlock(&lock_), 0);
    vtest::Event got, done;
    auto reader = holder(false, got, done);
    EXPECT_FALSE(got.wait(300ms)) << "the reader got in beside the writer";
    ASSERT_EQ(procrwlock_wrunlock(&lock_), 0);
    EXPECT_TRUE(got.wait());
    done.post();
    EXPECT_EQ(reader->wait(), 0);
}

TEST_F(FastLock, AReaderKilledWhileHoldingStopsNobodyAndWritersExcludeReadersAfterwards)
{
    vtest::Event got, never;
    auto victim = holder(false, got, never);
    ASSERT_TRUE(got.wait());
    EXPECT_EQ(victim->kill(SIGKILL), 128 + SIGKILL);

    // The dead reader's announcement sends this writer to the record lock,
    // which the kernel released with the reader.
    ASSERT_EQ(procrwlock_wrlock(&lock_), 0);
    ASSERT_EQ(procrwlock_wrunlock(&lock_), 0);

    // Afterwards the lock still keeps readers and writers apart, both ways.
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(procrwlock_wrlock(&lock_), 0);
        vtest::Event reader_got, reader_done;
        auto reader = holder(false, reader_got, reader_done);
        EXPECT_FALSE(reader_got.wait(300ms));
        ASSERT_EQ(procrwlock_wrunlock(&lock_), 0);
        EXPECT_TRUE(reader_got.wait());

        vtest::Event writer_got, writer_done;
        auto writer = holder(true, writer_got, writer_done);
        EXPECT_FALSE(writer_got.wait(300ms)) << "a writer got in beside a reader";
        reader_done.post();
        EXPECT_TRUE(writer_got.wait());
        writer_done.post();
        EXPECT_EQ(reader->wait(), 0);
        EXPECT_EQ(writer->wait(), 0);
    }
}

TEST_F(FastLock, AWriterKilledWhileHoldingLeavesTheLockToTheNext)
{
    vtest::Event got, never;
    auto victim = holder(true, got, never);
    ASSERT_TRUE(got.wait());
    EXPECT_EQ(victim->kill(SIGKILL), 128 + SIGKILL);
    vtest::Event reader_got, reader_done;
    auto reader = holder(false, reader_got, reader_done);
    EXPECT_TRUE(reader_got.wait());
    reader_done.post();
    EXPECT_EQ(reader->wait(), 0);
    ASSERT_EQ(procrwlock_wrlock(&lock_), 0);
    ASSERT_EQ(procrwlock_wrunlock(&lock_), 0);
}

// ---- blocks cleared when freed ----------------------------------------------------------------

TEST(ClearedBlocks, EveryBlockHandedOutIsClearedWhateverItsLastOwnerLeftInIt)
{
    gshm_handle_t h = 0;
    const key_t key = 0x5FA57;
    (void)gshm_remove(key);
    const gshm_create_t create{{static_cast<uint32_t>(key), 1048576, 1048576, 4, 256, 1}};
    ASSERT_EQ(gshm_init0(&h, &create), 0);
    std::vector<gadd_t> blocks(40);
    for (int round = 0; round < 3; ++round) {
        for (gadd_t &g : blocks) {
            ASSERT_EQ(gshm_alloc(h, &g, sizeof(DestDb)), 0);
            void *p = nullptr;
            ASSERT_EQ(gadd2ladd(h, g, &p), 0);
            const auto *bytes = static_cast<const uint8_t *>(p);
            for (std::size_t i = 0; i < sizeof(DestDb); ++i)
                ASSERT_EQ(bytes[i], 0) << "round " << round << " byte " << i;
            std::memset(p, 0xA5, sizeof(DestDb));
        }
        for (const gadd_t g : blocks) // freed in an order the next round reverses
            ASSERT_EQ(gshm_free(h, g), 0);
    }
    EXPECT_EQ(gshm_quit(&h), 0);
    (void)gshm_remove(key);
}

} // namespace
