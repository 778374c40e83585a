// test_requests.cpp - the requests a process sends to the server (enable,
// disable, register, unregister): what goes over IPC, what comes back, and
// when the process attaches or detaches.  IPC is a recording double; the
// segment is made by a real server in a forked child.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "ipc_double.h"
#include "proc.h"
#include "vorel_db.h"

VTEST_REQUEST_DOUBLE();
VTEST_TRACE_DOUBLE();

namespace {

using vtest::ipc::Exchange;

constexpr int kSendFailed = -207;

std::vector<uint32_t> words_of(const std::vector<uint8_t> &bytes)
{
    std::vector<uint32_t> w(bytes.size() / 4);
    if (!w.empty())
        std::memcpy(w.data(), bytes.data(), w.size() * 4);
    return w;
}

// The server answers every request with `reply`, or the exchange fails with
// `rc`.
void server_answers(int32_t reply, int rc = 0)
{
    vtest::ipc::on_exchange([=](const Exchange &, int32_t *out) {
        *out = reply;
        return rc;
    });
}

class Requests : public ::testing::Test {
  protected:
    void SetUp() override
    {
        vtest::ipc::reset();
        mod_VORELLIB.level = 5;
        ASSERT_EQ(vorellibInit(), 0);
    }
    void TearDown() override { vorellibUnInit(); }

    static Exchange last()
    {
        const auto all = vtest::ipc::exchanges();
        EXPECT_FALSE(all.empty());
        return all.empty() ? Exchange{} : all.back();
    }
};

TEST_F(Requests, EachRequestGoesToTheServerWithItsCodeBodyAndTimeout)
{
    vtest::ipc::set_node(0xABCD1234);
    struct Case {
        const char *what;
        int32_t rc;
        uint32_t code;
        std::vector<uint32_t> body;
        uint32_t timeout_sec; // 0: none
    };
    const Case cases[] = {
        {"enable", enableVorel(0xFEED), IPC_REQ_ENABLE, {0xFEED}, 0},
        {"disable", disableVorel(), IPC_REQ_DISABLE, {}, 0},
        {"register 3", registerVorelClient(3), IPC_REQ_REGISTER, {3}, 10},
        {"register 0", registerVorelClient(0), IPC_REQ_REGISTER, {0}, 60},
        {"register 4", registerVorelClient(4), IPC_REQ_REGISTER, {4}, 60},
        {"unregister", unregisterVorelClient(5), IPC_REQ_UNREGISTER, {5}, 0},
    };
    const auto all = vtest::ipc::exchanges();
    ASSERT_EQ(all.size(), std::size(cases));
    for (std::size_t i = 0; i < all.size(); ++i) {
        const Case &c = cases[i];
        const Exchange &x = all[i];
        EXPECT_EQ(c.rc, 0) << c.what;
        EXPECT_EQ(vtest::ipc::name_of(x.addr), "NSIPC") << c.what;
        EXPECT_EQ(x.addr.node, 0x1234) << c.what;
        EXPECT_EQ(x.addr.svc, VOREL_IPC_SVC) << c.what;
        EXPECT_EQ(x.code, c.code) << c.what;
        EXPECT_EQ(x.len, 4 * c.body.size()) << c.what;
        EXPECT_EQ(words_of(x.body), c.body) << c.what;
        EXPECT_EQ(x.reply_len_in, 4u) << c.what;
        if (c.timeout_sec == 0) {
            EXPECT_FALSE(x.timeout.has_value()) << c.what;
        } else {
            ASSERT_TRUE(x.timeout.has_value()) << c.what;
            EXPECT_EQ(x.timeout->sec, c.timeout_sec) << c.what;
            EXPECT_EQ(x.timeout->usec, 0u) << c.what;
        }
    }
    EXPECT_EQ(all[1].body_ptr, nullptr); // disable sends no buffer
}

TEST_F(Requests, RegisterReturnsTheServersReplyTheOthersTheSendResult)
{
    for (int32_t reply : {0, -6, -14, -15}) {
        server_answers(reply);
        EXPECT_EQ(registerVorelClient(1), reply);
        EXPECT_EQ(vtest::ipc::count_traces(5, "registerVorelClient returns " + std::to_string(reply) + "\n"), 1u);
    }
    server_answers(-10);
    EXPECT_EQ(enableVorel(0), 0);
    EXPECT_EQ(vtest::ipc::count_traces(5, "enableVorel returns -10\n"), 1u);
    EXPECT_EQ(disableVorel(), 0);
    EXPECT_EQ(unregisterVorelClient(1), 0);
}

TEST_F(Requests, AFailedExchangeIsReturnedUnchanged)
{
    server_answers(0, kSendFailed);
    EXPECT_EQ(enableVorel(1), kSendFailed);
    EXPECT_EQ(disableVorel(), kSendFailed);
    EXPECT_EQ(registerVorelClient(1), kSendFailed);
    EXPECT_EQ(unregisterVorelClient(1), kSendFailed);
    for (const char *op : {"enableVorel", "disableVorel", "registerVorelClient", "unregisterVorelClient"})
        EXPECT_EQ(vtest::ipc::count_traces(1, std::string(op) + " ipcSendRcv failed rc=-207\n"), 1u) << op;
}

// A server process that has made the segment and keeps it until stopped.
class ServerProcess {
  public:
    ServerProcess()
    {
        child_ = std::make_unique<vtest::Child>([this] {
            if (initVorelSrvr() != 0)
                return 1;
            ready_.post();
            if (!stop_.wait(std::chrono::seconds(120)))
                return 2;
            detachVorelSrvr();
            return 0;
        });
    }
    bool ready() { return ready_.wait(); }
    int stop()
    {
        stop_.post();
        return child_->wait();
    }

  private:
    vtest::Event ready_;
    vtest::Event stop_;
    std::unique_ptr<vtest::Child> child_;
};

class RequestsWithSegment : public Requests {
  protected:
    void SetUp() override
    {
        Requests::SetUp();
        server_ = std::make_unique<ServerProcess>();
        ASSERT_TRUE(server_->ready());
    }
    void TearDown() override
    {
        detachVorelClient();
        EXPECT_EQ(server_->stop(), 0);
        Requests::TearDown();
    }
    static bool attached() { return vorel::ctx()->initialized > 0; }

    std::unique_ptr<ServerProcess> server_;
};

TEST_F(RequestsWithSegment, EnableAttachesWhateverTheServerAnswered)
{
    server_answers(VOREL_E_SEGMENT);
    EXPECT_EQ(enableVorel(0), 0);
    EXPECT_TRUE(attached());
    EXPECT_EQ(vorel::ctx()->role, 1);

    // Disable leaves this process's own attachment alone.
    EXPECT_EQ(disableVorel(), 0);
    EXPECT_TRUE(attached());
}

TEST_F(RequestsWithSegment, EnableThatCannotReachTheServerDoesNotAttach)
{
    server_answers(0, kSendFailed);
    EXPECT_EQ(enableVorel(0), kSendFailed);
    EXPECT_FALSE(attached());
}

TEST_F(RequestsWithSegment, RegisterAttachesOnlyWhenNotAttachedYet)
{
    server_answers(0, kSendFailed);
    EXPECT_EQ(registerVorelClient(2), kSendFailed);
    EXPECT_FALSE(attached());

    server_answers(VOREL_E_INSYNC);
    EXPECT_EQ(registerVorelClient(2), VOREL_E_INSYNC);
    EXPECT_TRUE(attached());

    // Attached already: no second attach (which would be refused and traced).
    EXPECT_EQ(registerVorelClient(3), VOREL_E_INSYNC);
    EXPECT_TRUE(attached());
    EXPECT_EQ(vtest::ipc::count_traces(5, "vorel memory already initialized\n"), 0u);
}

TEST_F(RequestsWithSegment, UnregisterDetachesBeforeSendingEvenWhenTheSendFails)
{
    server_answers(0);
    ASSERT_EQ(registerVorelClient(2), 0);
    ASSERT_TRUE(attached());

    int32_t initialized_at_send = -1;
    vtest::ipc::on_exchange([&](const Exchange &, int32_t *) {
        initialized_at_send = vorel::ctx()->initialized;
        return kSendFailed;
    });
    EXPECT_EQ(unregisterVorelClient(2), kSendFailed);
    EXPECT_EQ(initialized_at_send, 0);
    EXPECT_FALSE(attached());
    EXPECT_EQ(last().code, IPC_REQ_UNREGISTER);
}

} // namespace
