// The stand-in platform across processes: the lock excludes, shares and dies
// with its holder; a segment is seen whole as it grows; a killed IPC owner's
// name and its waiting clients are freed; what it creates is the owner's alone.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>

#include "proc.h"
#include "vorel_platform.h"

namespace {
using namespace std::chrono_literals;

constexpr auto kStillBlocked = 300ms;
enum class Mode { Read, Write };

class LockTest : public ::testing::Test {
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

    // A child that takes the lock (inherited, or its `own`), posts `got`, holds it.
    std::unique_ptr<vtest::Child> holder(Mode mode, bool own, vtest::Event &got, vtest::Event &release_it)
    {
        return std::make_unique<vtest::Child>([this, mode, own, &got, &release_it] {
            procrwlock_t storage{};
            procrwlock_t *l = &lock_;
            if (own) {
                const int fd = open(path_.c_str(), O_RDWR);
                l = fd >= 0 && procrwlock_init(&storage, fd) == 0 ? &storage : nullptr;
            }
            if (l == nullptr || (mode == Mode::Read ? procrwlock_rdlock(l) : procrwlock_wrlock(l)) != 0)
                return 1;
            got.post();
            if (!release_it.wait(60s))
                return 2;
            return (mode == Mode::Read ? procrwlock_rdunlock(l) : procrwlock_wrunlock(l)) == 0 ? 0 : 3;
        });
    }

    std::string path_;
    int fd_ = -1;
    procrwlock_t lock_{};
};

TEST_F(LockTest, WritersExcludeAndReadersShareAcrossProcesses)
{
    for (const bool own : {false, true}) {
        ASSERT_EQ(procrwlock_wrlock(&lock_), 0);
        vtest::Event got, done;
        auto child = holder(Mode::Write, own, got, done);
        EXPECT_FALSE(got.wait(kStillBlocked)) << own;
        ASSERT_EQ(procrwlock_wrunlock(&lock_), 0);
        EXPECT_TRUE(got.wait());
        done.post();
        EXPECT_EQ(child->wait(), 0);
    }
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
        vtest::Event got, never;
        auto victim = holder(mode, false, got, never);
        ASSERT_TRUE(got.wait());
        EXPECT_EQ(victim->kill(SIGKILL), 128 + SIGKILL);
        vtest::Event writer_got, writer_done;
        auto writer = holder(Mode::Write, false, writer_got, writer_done);
        EXPECT_TRUE(writer_got.wait());
        writer_done.post();
        EXPECT_EQ(writer->wait(), 0);
        ASSERT_EQ(procrwlock_wrlock(&lock_), 0);
        ASSERT_EQ(procrwlock_wrunlock(&lock_), 0);
    }
}

constexpr uint32_t kBlock = 2060;

void fill(void *p, uint32_t seed)
{
    for (uint32_t i = 0; i < kBlock; ++i)
        static_cast<uint8_t *>(p)[i] = static_cast<uint8_t>(seed * 31 + i);
}
bool holds(const void *p, uint32_t seed)
{
    for (uint32_t i = 0; i < kBlock; ++i)
        if (static_cast<const uint8_t *>(p)[i] != static_cast<uint8_t>(seed * 31 + i))
            return false;
    return true;
}

class ShmTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        static key_t next_key = 0x5100;
        key_ = ++next_key;
        const gshm_create_t create{{static_cast<uint32_t>(key_), 1u << 20, 1u << 20, 4, 256, 1}};
        ASSERT_EQ(gshm_init0(&h_, &create), 0);
    }
    void TearDown() override
    {
        if (h_ != 0)
            gshm_quit(&h_);
        gshm_remove(key_);
    }
    void *at(gadd_t g)
    {
        void *p = nullptr;
        EXPECT_EQ(gadd2ladd(h_, g, &p), 0);
        return p;
    }
    key_t key_ = 0;
    gshm_handle_t h_ = 0;
};

TEST_F(ShmTest, AttachedProcessSeesAndWritesTheSegmentAsItGrows)
{
    gadd_t first = 0;
    ASSERT_EQ(gshm_alloc(h_, &first, kBlock), 0);
    fill(at(first), 1);
    ASSERT_EQ(set_basic_block(h_, 1, &first), 0);
    vtest::Event attached, grown;
    vtest::Child client([&] {
        gshm_handle_t c = 0;
        if (gshm_init(&c, key_) != 0)
            return 1;
        attached.post();
        if (!grown.wait())
            return 2;
        gadd_t g1 = 0, g2 = 0, g3 = 0;
        void *p1 = nullptr, *p2 = nullptr, *p3 = nullptr;
        if (get_basic_block(c, 1, &g1) != 0 || get_basic_block(c, 2, &g2) != 0)
            return 3;
        if (gadd2ladd(c, g1, &p1) != 0 || !holds(p1, 1) || gadd2ladd(c, g2, &p2) != 0 || !holds(p2, 2))
            return 4; // the old block, and one in the part grown after the client attached
        for (int i = 0; i < 600; ++i)
            if (gshm_alloc(c, &g3, kBlock) != 0)
                return 5;
        if (gadd2ladd(c, g3, &p3) != 0)
            return 6;
        fill(p3, 3);
        return set_basic_block(c, 3, &g3) == 0 && gshm_quit(&c) == 0 ? 0 : 7;
    });
    ASSERT_TRUE(attached.wait());
    gadd_t last = 0;
    for (int i = 0; i < 1200; ++i)
        ASSERT_EQ(gshm_alloc(h_, &last, kBlock), 0);
    ASSERT_GT(last, 2u << 20);
    fill(at(last), 2);
    ASSERT_EQ(set_basic_block(h_, 2, &last), 0);
    grown.post();
    ASSERT_EQ(client.wait(), 0);
    gadd_t g3 = 0;
    ASSERT_EQ(get_basic_block(h_, 3, &g3), 0);
    EXPECT_GT(g3, last);
    EXPECT_TRUE(holds(at(g3), 3));
}

constexpr ipc_timeout_t kFiveSec{5, 0};

IPCAddr addr_of(const char *name)
{
    IPCAddr a{};
    a.node = static_cast<uint16_t>(myNode());
    a.svc = 0x400;
    std::strncpy(a.name, name, sizeof a.name - 1);
    return a;
}

// Replies the request's word (after the request code) plus one.
int32_t inc_handler(const IPCAddr *requester, uint32_t reply_code, const void *request, uint32_t len, uint32_t)
{
    uint32_t v = 0;
    if (len >= 8)
        std::memcpy(&v, static_cast<const char *>(request) + 4, 4);
    ++v;
    (void)ipcSend(requester, reply_code, &v, 4, nullptr);
    return 0;
}

int ask(const char *name, uint32_t v, uint32_t *out, const ipc_timeout_t *timeout = &kFiveSec)
{
    const IPCAddr to = addr_of(name);
    uint32_t len = 4;
    return ipcSendRcv(&to, 1, &v, 4, out, &len, timeout);
}

// A child's work: owns service `name` until killed, `ready` posted once it serves.
int own_service(const char *name, ipc_handler_t handler, vtest::Event &ready)
{
    if (ipcRegisterService(name, handler) <= 0)
        return 1;
    ready.post();
    pause();
    return 0;
}

vtest::Event *g_entered = nullptr;
int32_t hang_handler(const IPCAddr *, uint32_t, const void *, uint32_t, uint32_t)
{
    g_entered->post();
    pause();
    return 0;
}

TEST(Ipc, NameOfAKilledOwnerCanBeOwnedAgain)
{
    vtest::Event ready;
    vtest::Child owner([&] { return own_service("CRASH", inc_handler, ready); });
    ASSERT_TRUE(ready.wait());
    uint32_t got = 0;
    ASSERT_EQ(ask("CRASH", 41, &got), 0);
    EXPECT_EQ(got, 42u);
    EXPECT_EQ(ipcRegisterService("CRASH", inc_handler), PLAT_ERR_BUSY);
    EXPECT_EQ(owner.kill(SIGKILL), 128 + SIGKILL);
    EXPECT_EQ(ask("CRASH", 1, &got), PLAT_ERR_NOENT);
    const int h = ipcRegisterService("CRASH", inc_handler);
    ASSERT_GT(h, 0);
    ASSERT_EQ(ask("CRASH", 2, &got), 0);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(ipcUnregisterService(h), 0);
}

TEST(Ipc, ClientWaitingWithoutTimeOutSeesServerDeath)
{
    vtest::Event entered, ready;
    g_entered = &entered;
    vtest::Child server([&] { return own_service("DYING", hang_handler, ready); });
    ASSERT_TRUE(ready.wait());
    auto waiting = std::async(std::launch::async, [] {
        uint32_t got = 0;
        return ask("DYING", 1, &got, nullptr);
    });
    ASSERT_TRUE(entered.wait());
    server.kill(SIGKILL);
    ASSERT_EQ(waiting.wait_for(20s), std::future_status::ready) << "client hangs on a dead server";
    EXPECT_EQ(waiting.get(), PLAT_ERR_PEERGONE);
}

bool owners_alone(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && (st.st_mode & 077) == 0 && st.st_uid == geteuid();
}

TEST(Security, WhatThePlatformCreatesIsTheOwnersAlone)
{
    // The platform keeps the runtime directory it first used in this process.
    const std::string dir = std::getenv("VOREL_RUN_DIR");
    EXPECT_EQ(vtest::run_in_child([&] {
                  unsetenv("VOREL_GROUP");
                  umask(0);
                  setMySwitch(3);
                  const gshm_create_t create{{0x5200, 1u << 20, 1u << 20, 4, 256, 1}};
                  gshm_handle_t h = 0;
                  const uint8_t doms[] = {1};
                  if (gshm_init0(&h, &create) != 0 || ipcRegisterService("MODES", inc_handler) <= 0 ||
                      fabricSetView(3, 1, doms, 1) != 0)
                      return 1;
                  int code = 10;
                  for (const char *name : {"/ipc.3.MODES", "/ipc.3.MODES.lock", "/fabric.3"})
                      if (++code, !owners_alone(dir + name))
                          return code;
                  int segments = 0;
                  if (DIR *d = opendir("/dev/shm")) {
                      while (const dirent *e = readdir(d)) {
                          const std::string n = e->d_name;
                          if (n.rfind("vorel.", 0) == 0 && n.size() > 9 && n.substr(n.size() - 9) == ".00005200")
                              segments += owners_alone("/dev/shm/" + n) ? 1 : 100;
                      }
                      closedir(d);
                  }
                  (void)gshm_quit(&h);
                  (void)gshm_remove(0x5200);
                  return segments == 1 ? 0 : 3;
              }),
              0);
}

} // namespace
