// test_messages.cpp - the update messages clients receive, the queue request
// every update operation posts, what a failed post releases, and the sync-done
// announcement.  The queue and the time base are recording doubles; shared
// memory and IPC are real.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <memory>
#include <vector>

#include "ipc_double.h"
#include "vorel_db.h"

VTEST_QUEUE_DOUBLE();
VTEST_TRACE_DOUBLE();

// ---- time base double -----------------------------------------------------

namespace {
std::deque<uint32_t> g_upper_reads;
std::deque<uint32_t> g_lower_reads;

uint32_t next_read(std::deque<uint32_t> &reads)
{
    if (reads.empty())
        return 0;
    const uint32_t v = reads.front();
    reads.pop_front();
    return v;
}
} // namespace

// The rate stays the platform's variable; the tests set it.
extern "C" {
uint32_t tb_read_upper(void) { return next_read(g_upper_reads); }
uint32_t tb_read_lower(void) { return next_read(g_lower_reads); }
}

namespace {

using vtest::ipc::Post;

std::vector<uint32_t> words_of(const void *msg, uint32_t len)
{
    std::vector<uint32_t> w(len / 4);
    if (len != 0)
        std::memcpy(w.data(), msg, len);
    return w;
}

// Builds a message and returns its words; the message is released.
std::vector<uint32_t> build(uint32_t type, void *data, int32_t count, uint32_t *length)
{
    void *msg = createUpdateToClients(type, data, count, length);
    if (msg == nullptr)
        return {};
    std::vector<uint32_t> w = words_of(msg, *length);
    std::free(msg);
    return w;
}

// A removal record as the store hands it out: one heap block.
disconnMsg *removal_record(uint32_t pid, std::vector<uint32_t> dests)
{
    auto *rec = static_cast<disconnMsg *>(std::calloc(dests.size() + 2, sizeof(uint32_t)));
    rec->pid = pid;
    rec->num_disconn = static_cast<int32_t>(dests.size());
    for (std::size_t i = 0; i < dests.size(); ++i)
        rec->disconn_pids[i] = dests[i];
    return rec;
}

TEST(UpdateMessage, DevOnlinePutsBothCountsBeforeTheSourceThenNewThenRemovedPids)
{
    uint32_t new1[] = {0x010300, 0x010400};
    uint32_t removed1[] = {0x010500};
    PidConnDelta d1{0x010200, 2, new1, 1, removed1};
    PidConnDelta d2{0x020100, 0, nullptr, 0, nullptr};

    PidConnDelta *one[] = {&d1};
    uint32_t len = 0;
    EXPECT_EQ(build(VOREL_UPD_DEV_ONLINE, one, 1, &len),
              (std::vector<uint32_t>{1, 2, 1, 0x010200, 0x010300, 0x010400, 0x010500}));
    EXPECT_EQ(len, 28u);

    PidConnDelta *two[] = {&d1, &d2};
    EXPECT_EQ(build(VOREL_UPD_DEV_ONLINE_ALT, two, 2, &len),
              (std::vector<uint32_t>{2, 2, 1, 0x010200, 0x010300, 0x010400, 0x010500, 0, 0, 0x020100}));
    EXPECT_EQ(len, 40u);

    // No entries: the single word 0.
    EXPECT_EQ(build(VOREL_UPD_DEV_ONLINE, two, 0, &len), std::vector<uint32_t>{0});
    EXPECT_EQ(len, 4u);
}

TEST(UpdateMessage, DevOfflineStartsWithItsLengthAndOneRecord)
{
    disconnMsg *rec = removal_record(0x0A0B0C, {0x0A0001, 0x0B0002, 0x0C0003});
    uint32_t len = 0;
    EXPECT_EQ(build(VOREL_UPD_DEV_OFFLINE, rec, 0, &len),
              (std::vector<uint32_t>{28, 1, 0x0A0B0C, 3, 0x0A0001, 0x0B0002, 0x0C0003}));
    EXPECT_EQ(len, 28u);
    std::free(rec);

    rec = removal_record(0x0A0B0D, {});
    EXPECT_EQ(build(VOREL_UPD_DEV_OFFLINE, rec, 0, &len), (std::vector<uint32_t>{16, 1, 0x0A0B0D, 0}));
    EXPECT_EQ(len, 16u);
    std::free(rec);
}

TEST(UpdateMessage, RemoteDomOfflineCopiesEveryRecordWholeBackToBack)
{
    uint32_t len = 99;
    EXPECT_EQ(build(VOREL_UPD_DOM_OFFLINE, nullptr, 0, &len), (std::vector<uint32_t>{8, 0}));
    EXPECT_EQ(len, 8u);

    disconnMsg *recs[] = {removal_record(0x050100, {0x060100}), removal_record(0x050200, {})};
    for (uint32_t type : {VOREL_UPD_LIST_OFFLINE, VOREL_UPD_DOM_OFFLINE}) {
        EXPECT_EQ(build(type, recs, 2, &len), (std::vector<uint32_t>{28, 2, 0x050100, 1, 0x060100, 0x050200, 0}));
        EXPECT_EQ(len, 28u);
    }
    std::free(recs[0]);
    std::free(recs[1]);
}

TEST(UpdateMessage, RemoteDomOnlineListsEachSourcePidThenZero)
{
    DevInfo dst[2]{};
    dst[0].pid = 0x7F0001;
    devconpld devices[2]{};
    devices[0].src_dev.pid = 0x110100;
    devices[0].num_dstdevices = 2;
    devices[0].dst_devices = dst;
    devices[1].src_dev.pid = 0x110200;
    bulkconpld list{0xFFFFFFFF, 2, 0xFFFFFFFF, devices};
    uint32_t len = 0;
    EXPECT_EQ(build(VOREL_UPD_DOM_ONLINE, &list, 0, &len), (std::vector<uint32_t>{2, 0x110100, 0x110200, 0}));
    EXPECT_EQ(len, 16u);
}

TEST(UpdateMessage, TypesWithoutAMessageGiveNullAndLengthZero)
{
    PidConnDelta d{0x010200, 0, nullptr, 0, nullptr};
    PidConnDelta *one[] = {&d};
    for (uint32_t type : {2u, 7u, 8u, 9u, 0xFFFFFFFFu}) {
        uint32_t len = 1234;
        EXPECT_EQ(createUpdateToClients(type, one, 1, &len), nullptr) << type;
        EXPECT_EQ(len, 0u) << type;
    }
    EXPECT_EQ(createUpdateToClients(VOREL_UPD_DEV_ONLINE, one, 1, nullptr), nullptr);
}

// ---- queue requests ---------------------------------------------------------

uint32_t word_at(const std::vector<uint8_t> &rec, std::size_t offset)
{
    uint32_t w = 0;
    std::memcpy(&w, rec.data() + offset, sizeof w);
    return w;
}

VorelQueueReq request_of(const Post &p)
{
    VorelQueueReq req{};
    std::memcpy(&req, p.record.data(), sizeof req);
    return req;
}

constexpr uint32_t kQueue = 0x5151;

class QueueRequest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        vtest::ipc::reset();
        g_upper_reads.clear();
        g_lower_reads.clear();
        tb_ticks_p_msec = 1;
        mod_VORELLIB.level = 5;
        ASSERT_EQ(vorellibInit(), 0);
    }
    void TearDown() override
    {
        tb_ticks_p_msec = saved_rate_;
        vorellibUnInit();
    }

    const int32_t saved_rate_ = tb_ticks_p_msec;

    // The only post so far, checked for what every post has in common.
    static Post only_post()
    {
        const std::vector<Post> posts = vtest::ipc::posts();
        EXPECT_EQ(posts.size(), 1u);
        if (posts.empty())
            return Post{};
        const Post &p = posts[0];
        EXPECT_EQ(p.queue, kQueue);
        EXPECT_EQ(p.len, 144u);
        EXPECT_EQ(p.timeout, 0);
        EXPECT_EQ(p.priority, 1);
        EXPECT_EQ(p.record.size(), 144u);
        EXPECT_EQ(p.record[4], VOREL_REQ_TAG);
        return p;
    }
};

TEST_F(QueueRequest, NotificationRecordLayout)
{
    g_upper_reads = {0, 0};
    g_lower_reads = {4242};
    auto *msg = static_cast<uint32_t *>(std::malloc(12));
    msg[0] = 1;
    ProcessClientNotification(msg, 12, kQueue, VOREL_UPD_DOM_OFFLINE);
    const Post p = only_post();
    ASSERT_EQ(p.record.size(), 144u);

    const uint64_t addr = reinterpret_cast<uintptr_t>(msg);
    EXPECT_EQ(word_at(p.record, 0), 4242u); // time stamp
    EXPECT_EQ(p.record[4], 11);
    EXPECT_EQ(p.record[12], VOREL_REQ_NOTIFICATION);
    EXPECT_EQ(word_at(p.record, 16), VOREL_UPD_DOM_OFFLINE);
    EXPECT_EQ(word_at(p.record, 20), 0u);
    EXPECT_EQ(word_at(p.record, 24), static_cast<uint32_t>(addr));
    EXPECT_EQ(word_at(p.record, 28), 12u);
    EXPECT_EQ(word_at(p.record, 32), static_cast<uint32_t>(addr >> 32));
    for (std::size_t i : {5u, 6u, 7u, 8u, 9u, 10u, 11u, 13u, 14u, 15u})
        EXPECT_EQ(p.record[i], 0) << "byte " << i;
    for (std::size_t i = 36; i < 144; ++i)
        EXPECT_EQ(p.record[i], 0) << "byte " << i;

    const VorelQueueReq req = request_of(p);
    EXPECT_EQ(vorel_req_ptr2(&req), msg);
    EXPECT_EQ(getCurrentRevisionNum(), 0u); // nothing delivered
    std::free(msg);                         // the queue's consumer owns it now
}

TEST_F(QueueRequest, EveryPosterNamesItsKindAndParameters)
{
    auto *pld = static_cast<devconpld *>(std::calloc(1, sizeof(devconpld)));
    pld->src_dev.pid = 0x0A0B0C;
    auto *list = static_cast<bulkconpld *>(std::calloc(1, sizeof(bulkconpld)));

    struct Case {
        const char *what;
        int32_t rc;
        uint8_t kind;
        const void *ptr1; // expected pointer in param1, or NULL for a value
        uint32_t param1;
        uint32_t param2;
    };
    const Case cases[] = {
        {"online", addPidToVorel(pld, 6, kQueue), VOREL_REQ_ONLINE, pld, 0, 6},
        {"delete", delPidFromVorel(0x0A0B0C, kQueue), VOREL_REQ_DELETE, nullptr, 0x0A0B0C, 0},
        {"bulk_add", addPidListToVorel(list, 8, kQueue), VOREL_REQ_BULK_ADD, list, 0, 8},
        {"bulk_del", delPidListToVorel(list, 5, kQueue), VOREL_REQ_BULK_DEL, list, 0, 5},
        {"delete domain", delDomainFromVorel(200, kQueue), VOREL_REQ_DELETE_DOMAIN, nullptr, 200, 0},
        {"sync", vorelSyncDone(kQueue), VOREL_REQ_SYNC, nullptr, 0, 0},
    };
    const std::vector<Post> posts = vtest::ipc::posts();
    ASSERT_EQ(posts.size(), std::size(cases));
    for (std::size_t i = 0; i < posts.size(); ++i) {
        const Case &c = cases[i];
        const VorelQueueReq req = request_of(posts[i]);
        EXPECT_EQ(c.rc, 0) << c.what;
        EXPECT_EQ(posts[i].queue, kQueue) << c.what;
        EXPECT_EQ(posts[i].len, 144u) << c.what;
        EXPECT_EQ(req.req_tag, VOREL_REQ_TAG) << c.what;
        EXPECT_EQ(req.req_kind, c.kind) << c.what;
        if (c.ptr1 != nullptr)
            EXPECT_EQ(vorel_req_ptr1(&req), c.ptr1) << c.what;
        else
            EXPECT_EQ(req.param1, c.param1) << c.what;
        EXPECT_EQ(req.param2, c.param2) << c.what;
        EXPECT_EQ(req.param2_hi, 0u) << c.what;
        EXPECT_EQ(req.param3, 0u) << c.what;
    }
    EXPECT_EQ(getCurrentRevisionNum(), 0u); // nothing delivered
    std::free(pld);
    std::free(list);
}

TEST_F(QueueRequest, TimeStampIsTheTimeBaseInMilliseconds)
{
    // A carry between the reads of the two halves: the upper half changes from
    // 1 to 2, so the three reads are made again.
    g_upper_reads = {1, 2, 2, 2};
    g_lower_reads = {5, 5};
    tb_ticks_p_msec = 1000;
    ASSERT_EQ(vorelSyncDone(kQueue), 0);
    EXPECT_EQ(request_of(only_post()).timestamp_ms, static_cast<uint32_t>(((2ull << 32) | 5) / 1000));
    EXPECT_TRUE(g_upper_reads.empty());

    // The low 32 bits of the quotient are kept.
    vtest::ipc::reset();
    g_upper_reads = {2, 2};
    g_lower_reads = {5};
    tb_ticks_p_msec = 1;
    ASSERT_EQ(vorelSyncDone(kQueue), 0);
    EXPECT_EQ(request_of(only_post()).timestamp_ms, 5u);

    // The rate is widened with its sign: -1 divides by 2^64 - 1.
    vtest::ipc::reset();
    g_upper_reads = {2, 2};
    g_lower_reads = {5};
    tb_ticks_p_msec = -1;
    ASSERT_EQ(vorelSyncDone(kQueue), 0);
    EXPECT_EQ(request_of(only_post()).timestamp_ms, 0u);
}

// A device list as a producer hands it over: the list, its devices and each
// destination array are separate heap blocks.
bulkconpld *heap_list()
{
    auto *list = static_cast<bulkconpld *>(std::calloc(1, sizeof(bulkconpld)));
    list->num_devices = 3;
    list->devices = static_cast<devconpld *>(std::calloc(3, sizeof(devconpld)));
    for (int i = 0; i < 3; ++i)
        list->devices[i].src_dev.pid = 0x210000u + static_cast<uint32_t>(i);
    list->devices[0].num_dstdevices = 2;
    list->devices[0].dst_devices = static_cast<DevInfo *>(std::calloc(2, sizeof(DevInfo)));
    list->devices[0].dst_devices[0].pid = 0x220000;
    list->devices[0].dst_devices[1].pid = 0x220001;
    list->devices[2].num_dstdevices = 1;
    list->devices[2].dst_devices = static_cast<DevInfo *>(std::calloc(1, sizeof(DevInfo)));
    list->devices[2].dst_devices[0].pid = 0x220002;
    return list; // device 1 has no destination array
}

// What each poster hands over is released when msgQSend fails (the sanitizer
// build reports a leak or a double release), and every poster still returns 0.
TEST_F(QueueRequest, FailedPostsReleaseWhatTheyHandOverAndReturnZero)
{
    vtest::ipc::set_post_result(-1);

    // The notification's failed post is not traced.
    ProcessClientNotification(std::malloc(16), 16, kQueue, 0);
    for (const vtest::ipc::TraceRecord &r : vtest::ipc::traces())
        EXPECT_NE(r.level, 1) << r.text;

    // A posted payload is one block, the destination array inside it.
    auto *pld = static_cast<devconpld *>(std::calloc(1, sizeof(devconpld) + 2 * sizeof(DevInfo)));
    pld->src_dev.pid = 0x0A0B0C;
    pld->num_dstdevices = 2;
    pld->dst_devices = reinterpret_cast<DevInfo *>(pld + 1);
    pld->dst_devices[0].pid = 0x0B0001;
    pld->dst_devices[1].pid = 0x0B0002;
    EXPECT_EQ(addPidToVorel(pld, 0, kQueue), 0);
    EXPECT_EQ(vtest::ipc::count_traces(1, "unable to post online requestfor PID    a0b0c in internal queue\n"), 1u);

    EXPECT_EQ(addPidListToVorel(heap_list(), 0, kQueue), 0);
    EXPECT_EQ(vtest::ipc::count_traces(1, "unable to post bulk_add request\n"), 1u);
    EXPECT_EQ(delPidListToVorel(heap_list(), 3, kQueue), 0);
    EXPECT_EQ(vtest::ipc::count_traces(1, "unable to post bulk_del request\n"), 1u);

    EXPECT_EQ(delPidFromVorel(0x0A0B0C, kQueue), 0);
    EXPECT_EQ(vtest::ipc::count_traces(1, "unable to post delete requestfor PID    a0b0c in internal queue\n"), 1u);
    EXPECT_EQ(delDomainFromVorel(10, kQueue), 0);
    EXPECT_EQ(vtest::ipc::count_traces(1, "unable to post delete domain10 from vorel\n"), 1u);
    EXPECT_EQ(vorelSyncDone(kQueue), 0);
    EXPECT_EQ(vtest::ipc::count_traces(1, "Unable to post sync_vorel ininternal queue\n"), 1u);

    EXPECT_EQ(vtest::ipc::posts().size(), 7u);
}

// Refused input is never posted and stays the caller's: the posts fail here,
// so an operation that posted and then released would release twice.
TEST_F(QueueRequest, RefusedInputIsNotPostedAndStaysTheCallers)
{
    vtest::ipc::set_post_result(-1);
    DevInfo dst[2]{};
    dst[0].pid = 0x0B0001;
    dst[1].pid = 0x0C0002;
    devconpld pld{};
    pld.src_dev.pid = 0x0A0B0C;
    pld.num_dstdevices = 2;
    pld.dst_devices = dst;

    EXPECT_EQ(addPidToVorel(nullptr, 0, kQueue), VOREL_E_BADPAYLOAD);
    for (uint32_t type : {1u, 3u, 4u, 5u})
        EXPECT_EQ(addPidToVorel(&pld, type, kQueue), VOREL_E_BADTYPE) << type;

    devconpld bad = pld;
    bad.num_dstdevices = -1;
    EXPECT_EQ(addPidToVorel(&bad, 0, kQueue), VOREL_E_BADPAYLOAD);
    bad = pld;
    bad.dst_devices = nullptr;
    EXPECT_EQ(addPidToVorel(&bad, 0, kQueue), VOREL_E_BADPAYLOAD);
    bad = pld;
    bad.src_dev.pid = 0x00FF01;
    EXPECT_EQ(addPidToVorel(&bad, 0, kQueue), VOREL_E_BADPID);
    dst[1].pid = 0x000002;
    EXPECT_EQ(addPidToVorel(&pld, 0, kQueue), VOREL_E_BADPID);
    EXPECT_EQ(vtest::ipc::count_traces(1, "invalid destination PID        2 of PID    a0b0c\n"), 1u);
    dst[1].pid = 0x0C0002;

    EXPECT_EQ(delPidFromVorel(0x00FFFF, kQueue), VOREL_E_BADPID);
    EXPECT_EQ(delDomainFromVorel(0, kQueue), VOREL_E_BADDOMAIN);
    EXPECT_EQ(delDomainFromVorel(256, kQueue), VOREL_E_BADDOMAIN);

    devconpld devices[2] = {pld, pld};
    devices[1].src_dev.pid = 0x0A0B0D;
    bulkconpld list{0, 2, 0, devices};
    EXPECT_EQ(addPidListToVorel(nullptr, 0, kQueue), VOREL_E_BADPAYLOAD);
    EXPECT_EQ(delPidListToVorel(nullptr, 3, kQueue), VOREL_E_BADPAYLOAD);
    for (uint32_t type : {1u, 3u, 4u, 5u})
        EXPECT_EQ(addPidListToVorel(&list, type, kQueue), VOREL_E_BADTYPE) << type;
    for (uint32_t type : {0u, 1u, 4u, 6u})
        EXPECT_EQ(delPidListToVorel(&list, type, kQueue), VOREL_E_BADTYPE) << type;

    bulkconpld bad_list = list;
    bad_list.num_devices = -1;
    EXPECT_EQ(addPidListToVorel(&bad_list, 0, kQueue), VOREL_E_BADPAYLOAD);
    EXPECT_EQ(delPidListToVorel(&bad_list, 3, kQueue), VOREL_E_BADPAYLOAD);
    bad_list = list;
    bad_list.devices = nullptr;
    EXPECT_EQ(addPidListToVorel(&bad_list, 8, kQueue), VOREL_E_BADPAYLOAD);
    EXPECT_EQ(delPidListToVorel(&bad_list, 5, kQueue), VOREL_E_BADPAYLOAD);
    devices[1].dst_devices = nullptr; // with 2 destinations
    EXPECT_EQ(addPidListToVorel(&list, 8, kQueue), VOREL_E_BADPAYLOAD);
    devices[1].dst_devices = dst;
    devices[1].src_dev.pid = 0x000101;
    EXPECT_EQ(addPidListToVorel(&list, 0, kQueue), VOREL_E_BADPID);
    EXPECT_EQ(delPidListToVorel(&list, 3, kQueue), VOREL_E_BADPID);

    EXPECT_TRUE(vtest::ipc::posts().empty());
}

// ---- delivery now -------------------------------------------------------------

class DirectNotification : public QueueRequest {
  protected:
    void SetUp() override
    {
        QueueRequest::SetUp();
        receiver_ = std::make_unique<vtest::ipc::Receiver>(VOREL_CLIENT_SVC_NAME);
        ASSERT_TRUE(receiver_->registered());
        ASSERT_EQ(registerVorelClientToSrvr(0), VOREL_E_NOTATTACHED);
    }
    void TearDown() override
    {
        receiver_.reset();
        QueueRequest::TearDown();
    }

    std::unique_ptr<vtest::ipc::Receiver> receiver_;
};

TEST_F(DirectNotification, MessageIsSentUnchangedThenReleased)
{
    auto *msg = static_cast<uint32_t *>(std::malloc(8));
    msg[0] = 1;
    msg[1] = 0x020202;
    ProcessClientNotification(msg, 8, 0, VOREL_UPD_DEV_ONLINE);
    const auto got = receiver_->sync();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, VOREL_MSG_DEV_ONLINE);
    EXPECT_EQ(words_of(got[0].body.data(), static_cast<uint32_t>(got[0].body.size())),
              (std::vector<uint32_t>{1, 0x020202}));
    EXPECT_EQ(getCurrentRevisionNum(), 1u);
    EXPECT_TRUE(vtest::ipc::posts().empty());
}

TEST_F(DirectNotification, SyncNoticeHasAnEmptyBody)
{
    ProcessClientNotification(nullptr, 0, 0, VOREL_UPD_SYNC);
    const auto got = receiver_->sync();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, VOREL_MSG_SYNC);
    EXPECT_TRUE(got[0].body.empty());
    EXPECT_EQ(getCurrentRevisionNum(), 1u);
}

TEST_F(DirectNotification, SyncDoneNeedsTheSegmentThenMarksItAndAnnouncesIt)
{
    EXPECT_EQ(vorelSyncDone(0), VOREL_E_SEGMENT);
    EXPECT_EQ(vtest::ipc::count_traces(1, "vorel is uninitialized\n"), 1u);
    EXPECT_TRUE(receiver_->sync().empty());
    EXPECT_EQ(getCurrentRevisionNum(), 0u);

    ASSERT_EQ(initVorelSrvr(), 0);
    EXPECT_EQ(isVorelInSync(), 0);
    EXPECT_EQ(vorelSyncDone(0), 0);
    EXPECT_EQ(isVorelInSync(), VOREL_E_INSYNC);
    const auto got = receiver_->sync();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, VOREL_MSG_SYNC);
    EXPECT_TRUE(got[0].body.empty());
    EXPECT_EQ(getCurrentRevisionNum(), 1u);
    detachVorelSrvr();
}

} // namespace
