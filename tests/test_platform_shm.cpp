// Global shared memory of the stand-in platform: allocation and reuse,
// accounting, growth up to the limit, sharing between processes, rejection of
// bad addresses and foreign segments, failure injection.
#include <gtest/gtest.h>

#include <sys/types.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "proc.h"
#include "vorel_platform.h"

namespace {

constexpr uint32_t kDomDbSize = 2060;
constexpr uint32_t kDestDbSize = 1832;
constexpr uint32_t kOneMiB = 1048576;

// Sets an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, const char *value) : name_(name)
    {
        if (const char *old = std::getenv(name))
            old_ = old, had_ = true;
        setenv(name, value, 1);
    }
    ~ScopedEnv()
    {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char *name_;
    std::string old_;
    bool had_ = false;
};

gshm_create_t creation(key_t key) { return gshm_create_t{{static_cast<uint32_t>(key), kOneMiB, kOneMiB, 4, 256, 1}}; }

gshm_stats_t stats_of(gshm_handle_t h)
{
    gshm_stats_t s{};
    EXPECT_EQ(gshm_get_stats(h, &s), 0);
    return s;
}

// Live and free counts of the class of `size` bytes (rounded up to 8).
std::pair<uint32_t, uint32_t> class_counts(const gshm_stats_t &s, uint32_t size)
{
    const uint32_t rounded = (size + 7) & ~7u;
    for (uint32_t i = 0; i < s.num_classes; ++i)
        if (s.class_size[i] == rounded)
            return {s.class_in_use[i], s.class_free[i]};
    return {0, 0};
}

uint8_t *ladd_of(gshm_handle_t h, gadd_t g)
{
    void *p = nullptr;
    EXPECT_EQ(gadd2ladd(h, g, &p), 0) << "gadd " << g;
    return static_cast<uint8_t *>(p);
}

// Fills a block with a pattern derived from `seed`, and checks it.
void fill(uint8_t *p, uint32_t size, uint32_t seed)
{
    for (uint32_t i = 0; i < size; ++i)
        p[i] = static_cast<uint8_t>(seed * 31 + i);
}
bool holds(const uint8_t *p, uint32_t size, uint32_t seed)
{
    for (uint32_t i = 0; i < size; ++i)
        if (p[i] != static_cast<uint8_t>(seed * 31 + i))
            return false;
    return true;
}

// Each test gets a fresh segment under a key of its own.
class ShmTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        static key_t next_key = 0x5100;
        key_ = ++next_key;
        create_ = creation(key_);
        ASSERT_EQ(gshm_init0(&h_, &create_), 0);
        ASSERT_NE(h_, 0u);
    }
    void TearDown() override
    {
        plat_fail_reset();
        if (h_ != 0)
            gshm_quit(&h_);
        gshm_remove(key_);
    }

    key_t key_ = 0;
    gshm_create_t create_{};
    gshm_handle_t h_ = 0;
};

TEST_F(ShmTest, FreedBlocksAreReusedWithinTheirClassOnly)
{
    gadd_t dom = 0, dest = 0, word = 0;
    ASSERT_EQ(gshm_alloc(h_, &dom, kDomDbSize), 0);
    ASSERT_EQ(gshm_alloc(h_, &dest, kDestDbSize), 0);
    ASSERT_EQ(gshm_alloc(h_, &word, 8), 0);
    EXPECT_TRUE(dom != 0 && dest != 0 && word != 0);
    EXPECT_EQ(dom % 8, 0u);
    EXPECT_EQ(dest % 8, 0u);
    fill(ladd_of(h_, dom), kDomDbSize, 1);

    ASSERT_EQ(gshm_free(h_, dom), 0);
    auto [live, free] = class_counts(stats_of(h_), kDomDbSize);
    EXPECT_EQ(live, 0u);
    EXPECT_EQ(free, 1u);

    // A block of another class does not take the freed one...
    gadd_t other = 0;
    ASSERT_EQ(gshm_alloc(h_, &other, kDestDbSize), 0);
    EXPECT_NE(other, dom);
    // ...one of the same class does, and it starts cleared.
    gadd_t again = 0;
    ASSERT_EQ(gshm_alloc(h_, &again, kDomDbSize - 3), 0); // same class: 2064 bytes
    EXPECT_EQ(again, dom);
    const uint8_t *p = ladd_of(h_, again);
    EXPECT_EQ(std::count(p, p + kDomDbSize, 0), static_cast<long>(kDomDbSize));
    std::tie(live, free) = class_counts(stats_of(h_), kDomDbSize);
    EXPECT_EQ(live, 1u);
    EXPECT_EQ(free, 0u);

    // A block freed twice is refused the second time and the counts hold.
    ASSERT_EQ(gshm_free(h_, word), 0);
    EXPECT_LT(gshm_free(h_, word), 0);
    EXPECT_EQ(class_counts(stats_of(h_), 8).second, 1u);
}

TEST_F(ShmTest, AccountingIsTightAndReturnsToStartWhenAllIsFreed)
{
    const gshm_stats_t start = stats_of(h_);
    EXPECT_EQ(start.bytes_in_use, 0u);
    EXPECT_EQ(start.bytes_mapped, kOneMiB);

    gadd_t g = 0;
    ASSERT_EQ(gshm_alloc(h_, &g, kDomDbSize), 0);
    EXPECT_LE(stats_of(h_).bytes_in_use, 2072u);
    ASSERT_EQ(gshm_free(h_, g), 0);
    ASSERT_EQ(gshm_alloc(h_, &g, kDestDbSize), 0);
    EXPECT_LE(stats_of(h_).bytes_in_use, 1840u);
    ASSERT_EQ(gshm_free(h_, g), 0);

    // A database-like mix: one header, domain blocks, many destination blocks.
    std::vector<gadd_t> blocks;
    uint64_t raw = 0;
    auto take = [&](uint32_t size) {
        gadd_t b = 0;
        ASSERT_EQ(gshm_alloc(h_, &b, size), 0);
        blocks.push_back(b);
        raw += size;
    };
    take(8);
    for (int i = 0; i < 40; ++i)
        take(kDomDbSize);
    for (int i = 0; i < 1500; ++i)
        take(kDestDbSize);
    const gshm_stats_t full = stats_of(h_);
    EXPECT_LE(static_cast<double>(full.bytes_in_use), 1.05 * static_cast<double>(raw));
    EXPECT_EQ(full.blocks_in_use, blocks.size());
    EXPECT_GT(full.bytes_mapped, kOneMiB); // it grew on its own

    for (const gadd_t b : blocks)
        ASSERT_EQ(gshm_free(h_, b), 0);
    const gshm_stats_t end = stats_of(h_);
    EXPECT_EQ(end.bytes_in_use, start.bytes_in_use);
    EXPECT_EQ(end.blocks_in_use, 0u);
    for (uint32_t i = 0; i < end.num_classes; ++i)
        EXPECT_EQ(end.class_in_use[i], 0u) << "class " << end.class_size[i];
    EXPECT_EQ(class_counts(end, kDestDbSize).second, 1500u); // the one freed above was taken again
}

TEST_F(ShmTest, BlocksOfEverySizeKeepTheirContents)
{
    const std::vector<uint32_t> sizes = {1, 7, 8, 9, 24, 1832, 2060, 4096, 4097, 10000, 65536, 300000, kOneMiB};
    std::vector<gadd_t> blocks;
    for (size_t i = 0; i < sizes.size(); ++i) {
        gadd_t g = 0;
        ASSERT_EQ(gshm_alloc(h_, &g, sizes[i]), 0) << sizes[i];
        fill(ladd_of(h_, g), sizes[i], static_cast<uint32_t>(i));
        blocks.push_back(g);
    }
    // Written one after the other: an overlap would have spoilt an earlier block.
    for (size_t i = 0; i < sizes.size(); ++i)
        EXPECT_TRUE(holds(ladd_of(h_, blocks[i]), sizes[i], static_cast<uint32_t>(i))) << sizes[i];

    gadd_t g = 0;
    EXPECT_LT(gshm_alloc(h_, &g, 0), 0);
    EXPECT_LT(gshm_alloc(h_, &g, kOneMiB + 1), 0);
    EXPECT_LT(gshm_alloc(h_, nullptr, 8), 0);
}

TEST_F(ShmTest, AddressesOutsideLiveBlocksAreRefused)
{
    gadd_t g = 0;
    ASSERT_EQ(gshm_alloc(h_, &g, kDestDbSize), 0);
    const uint32_t mapped = static_cast<uint32_t>(stats_of(h_).bytes_mapped);
    const gadd_t bad[] = {0, 4, 8, g + 4, g + 8, mapped, mapped + 8, 0x7FFFFFF8u, 0xFFFFFFF8u};
    for (const gadd_t b : bad) {
        void *p = &g; // must be overwritten
        EXPECT_LT(gadd2ladd(h_, b, &p), 0) << "gadd " << b;
        EXPECT_EQ(p, nullptr) << "gadd " << b;
    }
    // A freed block no longer resolves.
    ASSERT_EQ(gshm_free(h_, g), 0);
    void *p = nullptr;
    EXPECT_LT(gadd2ladd(h_, g, &p), 0);
    EXPECT_LT(gshm_free(h_, mapped + 8), 0);

    // Bad handles and block numbers.
    EXPECT_LT(gadd2ladd(0, g, &p), 0);
    EXPECT_LT(gadd2ladd(1000, g, &p), 0);
    gadd_t slot = 0;
    EXPECT_LT(get_basic_block(h_, 256, &slot), 0);
    EXPECT_LT(set_basic_block(h_, 256, &slot), 0);
    EXPECT_LT(gshm_alloc(0, &slot, 8), 0);
}

TEST_F(ShmTest, AvailabilityReachesZeroExactlyAtTheLimit)
{
    ScopedEnv limit("VOREL_SHM_LIMIT", "2M");
    gshm_handle_t h = 0;
    const gshm_create_t create = creation(key_ + 0x10000);
    ASSERT_EQ(gshm_init0(&h, &create), 0);
    EXPECT_EQ(stats_of(h).bytes_limit, 2u * kOneMiB);

    std::vector<gadd_t> blocks;
    for (;;) {
        const int avail = gshm_availability(h);
        gadd_t g = 0;
        const int rc = gshm_alloc(h, &g, kDomDbSize);
        // Availability foretells the outcome of the next allocation of the
        // largest size served.
        ASSERT_EQ(avail != 0, rc == 0) << "after " << blocks.size() << " blocks";
        if (rc != 0)
            break;
        blocks.push_back(g);
        ASSERT_LT(blocks.size(), 2000u);
    }
    EXPECT_EQ(gshm_availability(h), 0);
    const gshm_stats_t full = stats_of(h);
    EXPECT_EQ(full.bytes_mapped, 2u * kOneMiB);
    EXPECT_GT(blocks.size() * (kDomDbSize + 12), 2u * kOneMiB - 16384); // little is wasted

    // A freed block makes room again, and is the one handed out.
    ASSERT_EQ(gshm_free(h, blocks[7]), 0);
    EXPECT_NE(gshm_availability(h), 0);
    gadd_t g = 0;
    ASSERT_EQ(gshm_alloc(h, &g, kDomDbSize), 0);
    EXPECT_EQ(g, blocks[7]);
    EXPECT_EQ(gshm_availability(h), 0);
    gshm_quit(&h);
    gshm_remove(key_ + 0x10000);
}

TEST(ShmLimit, EnvironmentSetsTheLimitWithSuffixes)
{
    const struct {
        const char *value;
        uint64_t limit;
    } cases[] = {{"3M", 3u * kOneMiB},
                 {"2048k", 2u * kOneMiB},
                 {"1G", 1ull << 30},
                 {"4194304", 4u * kOneMiB},
                 {"8G", 0xFFFFFFFFull / static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) *
                            static_cast<uint64_t>(sysconf(_SC_PAGESIZE))}};
    for (const auto &c : cases) {
        if (sizeof(void *) == 4 && c.limit > (256u << 20))
            continue; // a 32-bit process cannot reserve that much
        ScopedEnv limit("VOREL_SHM_LIMIT", c.value);
        gshm_handle_t h = 0;
        const gshm_create_t create = creation(0x5F00);
        ASSERT_EQ(gshm_init0(&h, &create), 0) << c.value;
        EXPECT_EQ(stats_of(h).bytes_limit, c.limit) << c.value;
        gshm_quit(&h);
    }
    gshm_remove(0x5F00);
}

TEST_F(ShmTest, ClientProcessSeesWhatTheServerWrote)
{
    gadd_t blocks[3] = {};
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_EQ(gshm_alloc(h_, &blocks[i], kDestDbSize), 0);
        fill(ladd_of(h_, blocks[i]), kDestDbSize, i);
        ASSERT_EQ(set_basic_block(h_, i + 1, &blocks[i]), 0);
    }
    vtest::Event written;
    vtest::Child client([&] {
        gshm_handle_t c = 0;
        if (gshm_init(&c, key_) != 0)
            return 1;
        for (uint32_t i = 0; i < 3; ++i) {
            gadd_t g = 0;
            void *p = nullptr;
            if (get_basic_block(c, i + 1, &g) != 0 || g != blocks[i])
                return 2;
            if (gadd2ladd(c, g, &p) != 0 || !holds(static_cast<uint8_t *>(p), kDestDbSize, i))
                return 3;
        }
        // The client's writes reach the server too.
        void *p = nullptr;
        if (gadd2ladd(c, blocks[0], &p) != 0)
            return 4;
        std::memcpy(p, "client", 7);
        written.post();
        return gshm_quit(&c) == 0 && c == 0 ? 0 : 5;
    });
    ASSERT_TRUE(written.wait());
    EXPECT_EQ(client.wait(), 0);
    EXPECT_STREQ(reinterpret_cast<const char *>(ladd_of(h_, blocks[0])), "client");
}

TEST_F(ShmTest, AttachedClientFollowsTheSegmentAsItGrows)
{
    gadd_t first = 0;
    ASSERT_EQ(gshm_alloc(h_, &first, kDomDbSize), 0);
    fill(ladd_of(h_, first), kDomDbSize, 1);
    ASSERT_EQ(set_basic_block(h_, 1, &first), 0);

    vtest::Event attached, grown, client_wrote;
    // The client's checks; it posts client_wrote whatever their outcome.
    auto client_side = [&]() -> int {
        gshm_handle_t c = 0;
        if (gshm_init(&c, key_) != 0)
            return 1;
        attached.post();
        if (!grown.wait())
            return 2;
        gadd_t g1 = 0, g2 = 0;
        void *p1 = nullptr, *p2 = nullptr;
        if (get_basic_block(c, 1, &g1) != 0 || get_basic_block(c, 2, &g2) != 0)
            return 3;
        if (gadd2ladd(c, g1, &p1) != 0 || !holds(static_cast<uint8_t *>(p1), kDomDbSize, 1))
            return 4; // the old block
        if (gadd2ladd(c, g2, &p2) != 0 || !holds(static_cast<uint8_t *>(p2), kDomDbSize, 2))
            return 5; // a block in the part grown after the client attached
        // The client grows it further and the server finds the block.
        gadd_t g3 = 0;
        for (int i = 0; i < 600; ++i)
            if (gshm_alloc(c, &g3, kDomDbSize) != 0)
                return 6;
        void *p3 = nullptr;
        if (gadd2ladd(c, g3, &p3) != 0)
            return 7;
        fill(static_cast<uint8_t *>(p3), kDomDbSize, 3);
        if (set_basic_block(c, 3, &g3) != 0)
            return 8;
        return 0;
    };
    vtest::Child client([&] {
        const int rc = client_side();
        client_wrote.post();
        return rc;
    });
    ASSERT_TRUE(attached.wait());
    gadd_t last = 0;
    for (int i = 0; i < 1200; ++i) // about 2.4 MiB
        ASSERT_EQ(gshm_alloc(h_, &last, kDomDbSize), 0);
    ASSERT_GT(last, 2 * kOneMiB);
    fill(ladd_of(h_, last), kDomDbSize, 2);
    ASSERT_EQ(set_basic_block(h_, 2, &last), 0);
    grown.post();
    EXPECT_TRUE(client_wrote.wait());
    ASSERT_EQ(client.wait(), 0);

    gadd_t g3 = 0;
    ASSERT_EQ(get_basic_block(h_, 3, &g3), 0);
    EXPECT_GT(g3, last);
    EXPECT_TRUE(holds(ladd_of(h_, g3), kDomDbSize, 3));
    EXPECT_EQ(stats_of(h_).blocks_in_use, 1801u);
}

TEST_F(ShmTest, ProcessesAndThreadsAllocatingAtOnceNeverShareABlock)
{
    constexpr int kPerWorker = 1500;
    // Each worker stamps its blocks; a block handed out twice would carry
    // another worker's stamp by the end.
    auto work = [](gshm_handle_t h, uint32_t id) {
        std::vector<gadd_t> mine;
        for (int i = 0; i < kPerWorker; ++i) {
            gadd_t g = 0;
            if (gshm_alloc(h, &g, i % 3 == 0 ? kDomDbSize : kDestDbSize) != 0)
                return false;
            void *p = nullptr;
            if (gadd2ladd(h, g, &p) != 0)
                return false;
            static_cast<uint32_t *>(p)[0] = id;
            static_cast<uint32_t *>(p)[1] = static_cast<uint32_t>(i);
            mine.push_back(g);
            if (i % 5 == 4) { // give some back on the way
                if (gshm_free(h, mine.front()) != 0)
                    return false;
                mine.erase(mine.begin());
            }
        }
        for (const gadd_t g : mine) {
            void *p = nullptr;
            if (gadd2ladd(h, g, &p) != 0 || static_cast<uint32_t *>(p)[0] != id)
                return false;
        }
        return true;
    };
    vtest::Event go;
    vtest::Child other([&] {
        gshm_handle_t c = 0;
        if (gshm_init(&c, key_) != 0)
            return 1;
        return go.wait() && work(c, 100) ? 0 : 2;
    });
    go.post();
    bool ok1 = false, ok2 = false;
    std::thread t1([&] { ok1 = work(h_, 1); });
    std::thread t2([&] { ok2 = work(h_, 2); });
    t1.join();
    t2.join();
    EXPECT_TRUE(ok1);
    EXPECT_TRUE(ok2);
    EXPECT_EQ(other.wait(), 0);
    EXPECT_EQ(stats_of(h_).blocks_in_use, 3u * (kPerWorker - kPerWorker / 5));
}

TEST_F(ShmTest, ForeignOrDamagedSegmentIsRefused)
{
    gadd_t g = 0;
    ASSERT_EQ(gshm_alloc(h_, &g, 8), 0);
    // The segment's own header is at its start: the magic word, then the version.
    auto *words = reinterpret_cast<uint32_t *>(ladd_of(h_, g) - g);
    for (const int word : {0, 1}) {
        const uint32_t saved = words[word];
        words[word] ^= 0x00010000u;
        gshm_handle_t c = 0;
        EXPECT_EQ(gshm_init(&c, key_), PLAT_ERR_BADSEG) << "word " << word;
        EXPECT_EQ(c, 0u);
        words[word] = saved;
    }
    gshm_handle_t c = 0;
    ASSERT_EQ(gshm_init(&c, key_), 0);
    EXPECT_EQ(gshm_quit(&c), 0);
}

TEST_F(ShmTest, RecreationReplacesTheSegmentAndRemovalEndsIt)
{
    gadd_t g = 0;
    ASSERT_EQ(gshm_alloc(h_, &g, kDestDbSize), 0);
    fill(ladd_of(h_, g), kDestDbSize, 9);
    ASSERT_EQ(set_basic_block(h_, 5, &g), 0);

    gshm_handle_t fresh = 0;
    ASSERT_EQ(gshm_init0(&fresh, &create_), 0);
    EXPECT_NE(fresh, h_);
    gadd_t slot = 1;
    ASSERT_EQ(get_basic_block(fresh, 5, &slot), 0);
    EXPECT_EQ(slot, 0u);
    EXPECT_EQ(stats_of(fresh).blocks_in_use, 0u);
    // The old attachment keeps its own segment.
    EXPECT_TRUE(holds(ladd_of(h_, g), kDestDbSize, 9));
    // A new client meets the new segment.
    gshm_handle_t client = 0;
    ASSERT_EQ(gshm_init(&client, key_), 0);
    ASSERT_EQ(get_basic_block(client, 5, &slot), 0);
    EXPECT_EQ(slot, 0u);
    EXPECT_EQ(gshm_quit(&client), 0);
    EXPECT_LT(gshm_quit(&client), 0); // a handle ends once
    EXPECT_EQ(gshm_quit(&fresh), 0);

    EXPECT_EQ(gshm_remove(key_), 0);
    EXPECT_EQ(gshm_init(&client, key_), PLAT_ERR_NOENT);
    EXPECT_EQ(gshm_remove(key_), PLAT_ERR_NOENT);
}

TEST_F(ShmTest, InjectedFailuresHitTheArmedCallOnly)
{
    gadd_t g = 0;
    ASSERT_EQ(plat_fail_after("gshm_alloc", 2), 0);
    EXPECT_EQ(gshm_alloc(h_, &g, 8), 0);
    EXPECT_EQ(gshm_alloc(h_, &g, 8), PLAT_ERR_INJECTED);
    EXPECT_EQ(gshm_alloc(h_, &g, 8), 0);

    void *p = &g;
    ASSERT_EQ(plat_fail_after("gadd2ladd", 1), 0);
    EXPECT_EQ(gadd2ladd(h_, g, &p), PLAT_ERR_INJECTED);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(gadd2ladd(h_, g, &p), 0);

    ASSERT_NE(gshm_availability(h_), 0);
    ASSERT_EQ(plat_fail_after("gshm_availability", 1), 0);
    EXPECT_EQ(gshm_availability(h_), 0); // "no room"

    gshm_handle_t c = 0;
    ASSERT_EQ(plat_fail_after("gshm_init", 1), 0);
    EXPECT_EQ(gshm_init(&c, key_), PLAT_ERR_INJECTED);
    ASSERT_EQ(plat_fail_after("set_basic_block", 1), 0);
    EXPECT_EQ(set_basic_block(h_, 1, &g), PLAT_ERR_INJECTED);
    EXPECT_EQ(get_basic_block(h_, 1, &g), 0);
    EXPECT_EQ(g, 0u); // the failed call changed nothing
}

TEST_F(ShmTest, RemoveAllTakesEverySegmentOfThisRuntimeDirectory)
{
    gshm_handle_t other = 0;
    const gshm_create_t create = creation(key_ + 0x20000);
    ASSERT_EQ(gshm_init0(&other, &create), 0);
    EXPECT_GE(gshm_remove_all(), 2);
    gshm_handle_t c = 0;
    EXPECT_EQ(gshm_init(&c, key_), PLAT_ERR_NOENT);
    EXPECT_EQ(gshm_init(&c, key_ + 0x20000), PLAT_ERR_NOENT);
    // The attachments stay usable until they end.
    gadd_t g = 0;
    EXPECT_EQ(gshm_alloc(other, &g, 8), 0);
    EXPECT_EQ(gshm_quit(&other), 0);
    EXPECT_EQ(gshm_remove_all(), 0);
}

} // namespace
