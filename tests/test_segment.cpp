// Library start-up and the life cycle of the shared segment: the key file,
// creation by the server and its failure codes, attachment by a client
// process, the header, detach.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "proc.h"
#include "vorel_db.h"

namespace {

std::string key_path(int instance) { return "/tmp/.__vorelmm." + std::to_string(instance); }

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Collects the trace records of one test in a file of its own.
class TraceCapture {
  public:
    TraceCapture()
    {
        path_ = std::string(std::getenv("VOREL_RUN_DIR")) + "/trace." +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        unlink(path_.c_str());
        setenv("VOREL_TRACE_FILE", path_.c_str(), 1);
    }
    ~TraceCapture()
    {
        unsetenv("VOREL_TRACE_FILE");
        log_set_level(1);
    }
    std::string text() const { return slurp(path_); }

  private:
    std::string path_;
};

class SegmentTest : public ::testing::Test {
  protected:
    static constexpr int kInstance = 3;

    void SetUp() override
    {
        setMySwitch(kInstance);
        ASSERT_EQ(vorellibInit(), 0);
    }
    void TearDown() override
    {
        plat_fail_reset();
        vorellibUnInit();
        setMySwitch(-1);
    }
    static VorelPartCtx *c() { return vorel::ctx(); }
};

TEST(LibraryStart, KeyFileNamesTheSegmentOfEachInstance)
{
    for (const int instance : {0, 127}) {
        SCOPED_TRACE(instance);
        setMySwitch(instance);
        const std::string path = key_path(instance);
        { // a key file left by an earlier run, with something in it
            std::ofstream old(path, std::ios::app);
            old << "left over";
        }
        ASSERT_EQ(vorellibInit(), 0);
        VorelPartCtx *c = part_vorel_glbl_array[instance];
        ASSERT_NE(c, nullptr);
        EXPECT_STREQ(c->key_path, path.c_str());
        EXPECT_EQ(c->shm_key, ftok(path.c_str(), 29));
        EXPECT_EQ(c->role, -1);
        EXPECT_EQ(c->initialized, 0);
        EXPECT_EQ(getCurrentRevisionNum(), 0u);
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 0) << "the key file is truncated";
        const mode_t mask = umask(0);
        EXPECT_EQ(mask, 0u) << "start-up leaves the file-creation mask at 0";

        // Shut down right away: no detach, the key file stays.
        EXPECT_EQ(vorellibUnInit(), 0);
        EXPECT_EQ(part_vorel_glbl_array[instance], nullptr);
        EXPECT_EQ(access(path.c_str(), F_OK), 0);
        EXPECT_EQ(vorellibUnInit(), 0); // nothing left to shut down
    }
    setMySwitch(-1);
}

TEST_F(SegmentTest, ServerCreatesAnEmptyDatabaseOnce)
{
    ASSERT_EQ(initVorelSrvr(), 0);
    EXPECT_EQ(c()->initialized, 1);
    EXPECT_EQ(c()->role, 0);
    VorelHdr *hdr = getVorelHdr();
    ASSERT_NE(hdr, nullptr);
    EXPECT_EQ(hdr->sync_done, 0u);
    EXPECT_EQ(hdr->total_pids, 0u);
    hdr->total_pids = 9;

    const gshm_handle_t handle = c()->shm_handle;
    EXPECT_EQ(initVorelSrvr(), -7);
    EXPECT_EQ(initVorelClient(), -7); // the server cannot attach as a client too
    EXPECT_EQ(c()->shm_handle, handle);
    EXPECT_EQ(getVorelHdr()->total_pids, 9u);
}

TEST_F(SegmentTest, FailedCreationReportsItsStepAndLeavesNoAttachment)
{
    const struct {
        const char *service;
        int32_t code;
    } cases[] = {{"gshm_init0", -10}, {"gshm_alloc", -8}, {"set_basic_block", -11}, {"gadd2ladd", -3}};
    for (const auto &k : cases) {
        SCOPED_TRACE(k.service);
        ASSERT_EQ(plat_fail_after(k.service, 1), 0);
        EXPECT_EQ(initVorelSrvr(), k.code);
        EXPECT_EQ(c()->initialized, 0);
        EXPECT_EQ(c()->shm_handle, 0u) << "the attachment is released";
        EXPECT_EQ(isVorelInSync(), -14);
    }
    EXPECT_EQ(initVorelSrvr(), 0);
    EXPECT_EQ(isVorelInSync(), 0);
}

TEST_F(SegmentTest, FailingDomainSlotDoesNotFailCreation)
{
    TraceCapture trace;
    // Call 1 sets block 0 (the header); call 101 empties block 100.
    ASSERT_EQ(plat_fail_after("set_basic_block", 101), 0);
    EXPECT_EQ(initVorelSrvr(), 0);
    EXPECT_EQ(c()->initialized, 1);
    const std::string text = trace.text();
    EXPECT_NE(text.find("initVorelSrvr():"), std::string::npos) << text;
    EXPECT_NE(text.find("setting basic block failed"), std::string::npos) << text;
    EXPECT_EQ(text.find("setting basic block failed", text.find("setting basic block failed") + 1), std::string::npos)
        << "only the one slot failed";
}

TEST_F(SegmentTest, RecreatedSegmentStartsEmpty)
{
    ASSERT_EQ(initVorelSrvr(), 0);
    VorelHdr *hdr = getVorelHdr();
    ASSERT_NE(hdr, nullptr);
    hdr->sync_done = 1;
    hdr->total_pids = 12;
    for (uint32_t d : {1u, 77u, 255u}) {
        gadd_t g = 0;
        ASSERT_EQ(gshm_alloc(c()->shm_handle, &g, vorel::kDomDbSize), 0);
        ASSERT_EQ(set_basic_block(c()->shm_handle, d, &g), 0);
    }
    detachVorelSrvr();
    EXPECT_EQ(c()->initialized, 0);
    EXPECT_EQ(c()->role, 0);

    ASSERT_EQ(initVorelSrvr(), 0);
    hdr = getVorelHdr();
    ASSERT_NE(hdr, nullptr);
    EXPECT_EQ(hdr->sync_done, 0u);
    EXPECT_EQ(hdr->total_pids, 0u);
    for (uint32_t d = 1; d < vorel::kNumBasicBlocks; ++d) {
        gadd_t g = 1;
        ASSERT_EQ(get_basic_block(c()->shm_handle, d, &g), 0);
        EXPECT_EQ(g, 0u) << "domain " << d;
    }
}

TEST_F(SegmentTest, SyncStateFollowsTheHeader)
{
    EXPECT_EQ(isVorelInSync(), -14); // not attached
    ASSERT_EQ(initVorelSrvr(), 0);
    EXPECT_EQ(isVorelInSync(), 0);
    getVorelHdr()->sync_done = 1;
    EXPECT_EQ(isVorelInSync(), -6);
    detachVorelSrvr();
    EXPECT_EQ(isVorelInSync(), -14);
}

TEST_F(SegmentTest, DetachingTwiceOnlyReports)
{
    TraceCapture trace;
    ASSERT_EQ(initVorelSrvr(), 0);
    detachVorelSrvr();
    EXPECT_EQ(c()->initialized, 0);
    EXPECT_EQ(trace.text().find("vorel already uninitialized"), std::string::npos);
    detachVorelSrvr();
    detachVorelClient();
    EXPECT_EQ(c()->initialized, 0);
    EXPECT_EQ(c()->role, 0);
    const std::string text = trace.text();
    const size_t first = text.find("vorel already uninitialized");
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_NE(text.find("vorel already uninitialized", first + 1), std::string::npos) << text;
    EXPECT_NE(text.find("detachVorelSrvr():"), std::string::npos) << text;
    EXPECT_NE(text.find("detachVorelClient():"), std::string::npos) << text;
}

TEST_F(SegmentTest, TraceRecordsFollowTheLevel)
{
    TraceCapture trace;
    ASSERT_EQ(initVorelSrvr(), 0); // level 1: no informational record
    detachVorelSrvr();
    EXPECT_EQ(trace.text().find("Initialization completed"), std::string::npos);

    log_set_level(5);
    EXPECT_EQ(mod_VORELLIB.level, 5u);
    ASSERT_EQ(initVorelSrvr(), 0);
    const std::string text = trace.text();
    // One line per record: instance, level, source and line, the text
    // without its line end.
    const std::string expected_head = "sw" + std::to_string(kInstance) + " L5 vorel_public:";
    const size_t at = text.find("vorelSrvr Initialization completed\n");
    ASSERT_NE(at, std::string::npos) << text;
    const size_t line_start = text.rfind('\n', at) + 1;
    EXPECT_NE(text.substr(line_start, at - line_start).find(expected_head), std::string::npos) << text;
    EXPECT_NE(text.find("initVorelSrvr()->Enter\n"), std::string::npos) << text;
}

TEST_F(SegmentTest, ClientProcessAttachesToTheServersSegment)
{
    ASSERT_EQ(initVorelSrvr(), 0);
    getVorelHdr()->total_pids = 42;

    vtest::Event attached, look;
    vtest::Child client([&] {
        // A client process prepares its own context, then attaches.
        if (vorellibInit() != 0)
            return 1;
        if (c()->role != -1 || c()->initialized != 0)
            return 2;
        if (initVorelClient() != 0)
            return 3;
        if (c()->role != 1 || c()->initialized != 1)
            return 4;
        const VorelHdr *hdr = getVorelHdr();
        if (hdr == nullptr || hdr->total_pids != 42 || isVorelInSync() != 0)
            return 5;
        attached.post();
        if (!look.wait())
            return 6;
        if (isVorelInSync() != -6) // the server set sync_done meanwhile
            return 7;
        if (initVorelClient() != -7)
            return 8;
        detachVorelClient();
        return c()->initialized == 0 && c()->role == 1 && vorellibUnInit() == 0 ? 0 : 9;
    });
    ASSERT_TRUE(attached.wait());
    getVorelHdr()->sync_done = 1;
    look.post();
    EXPECT_EQ(client.wait(), 0);
}

TEST_F(SegmentTest, ClientAttachFailuresLeaveItUnattached)
{
    ASSERT_EQ(initVorelSrvr(), 0);
    const int rc = vtest::run_in_child([&] {
        if (vorellibInit() != 0)
            return 1;
        const struct {
            const char *service;
            int32_t code;
        } cases[] = {{"gshm_init", -10}, {"get_basic_block", -12}, {"gadd2ladd", -3}};
        int step = 10;
        for (const auto &k : cases) {
            plat_fail_after(k.service, 1);
            if (initVorelClient() != k.code || c()->initialized != 0)
                return step;
            ++step;
        }
        return initVorelClient() == 0 ? 0 : 20;
    });
    EXPECT_EQ(rc, 0);

    // An instance whose server never created a segment.
    EXPECT_EQ(vtest::run_in_child([] {
                  setMySwitch(kInstance + 1);
                  return vorellibInit() == 0 && initVorelClient() == -10 ? 0 : 1;
              }),
              0);
}

} // namespace
