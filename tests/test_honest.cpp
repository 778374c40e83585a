// Honest results: no success for work not done, nothing stored that no one
// can see, no reader freezing the database, every refusal with its documented
// exit code; the built command against a `vorel serve`, the control service in-process.
#include <gtest/gtest.h>

#if defined(VOREL_HAVE_TOOL) && defined(VOREL_TOOL_PATH)

#include <sys/stat.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "control.h"
#include "fabric.h"
#include "gen.h"
#include "tool_run.h"
#include "vorel_server.h"

namespace {

using namespace vtest;
using vorel::tool::Spawned;

// The command on `instance`.
RunResult vorel(int instance, Args args)
{
    args.insert(args.end(), {"--switch", std::to_string(instance)});
    return run_tool(args);
}

std::string fabric_file(const std::string &name, uint32_t devices)
{
    vorel::tool::GenOptions opt;
    opt.devices = devices;
    const std::string path = run_dir() + "/" + name;
    std::ofstream(path) << vorel::tool::fabric_to_json(vorel::tool::generate_fabric(opt));
    return path;
}

long count(int instance)
{
    const RunResult r = vorel(instance, {"count"});
    return r.status == 0 ? std::stol(r.out) : -1;
}

TEST(HonestLoad, ASecondInitialLoadIsRefusedAndTheUpdateModeReplaces)
{
    Serve server(101);
    ASSERT_TRUE(server.ready);
    const std::string f = fabric_file("f200.json", 200);
    RunResult r = vorel(101, {"load", f});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(r.out.find("200 of 200 devices stored"), std::string::npos) << describe(r);
    r = vorel(101, {"load", f});
    EXPECT_TRUE(ended(r, 4, "already stored"));
    EXPECT_NE(r.err.find("--type 0"), std::string::npos) << describe(r);
    EXPECT_EQ(count(101), 200);
    EXPECT_EQ(vorel(101, {"load", f, "--type", "0"}).status, 0);
    EXPECT_EQ(count(101), 200);
    EXPECT_TRUE(ended(vorel(101, {"check"}), 0));
    // After the one device is deleted it is gone, and a second delete fails.
    EXPECT_EQ(vorel(101, {"del", "0x010100"}).status, 0);
    EXPECT_EQ(vorel(101, {"show", "0x010100"}).status, 4);
    EXPECT_TRUE(ended(vorel(101, {"del", "0x010100"}), 4, "not stored"));
    // Past sync done the initial load is over, whatever it names.
    ASSERT_EQ(vorel(101, {"sync"}).status, 0);
    EXPECT_TRUE(ended(vorel(101, {"load", fabric_file("other.json", 1)}), 4, "sync done"));
}

TEST(HonestLoad, AFullSegmentReportsTheExactStoredCount)
{
    setenv("VOREL_SHM_LIMIT", "2M", 1);
    Serve server(102);
    unsetenv("VOREL_SHM_LIMIT");
    ASSERT_TRUE(server.ready);
    RunResult r = vorel(102, {"load", fabric_file("f20k.json", 20000)});
    EXPECT_EQ(r.status, 4) << describe(r);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.err, m, std::regex(R"((\d+) of 20000 devices stored: segment full: limit 2 MiB)")))
        << describe(r);
    EXPECT_EQ(count(102), std::stol(m[1]));
    EXPECT_TRUE(ended(vorel(102, {"check"}), 0));
    EXPECT_TRUE(ended(vorel(102, {"add", "0x7e0001"}), 4, "segment full"));
}

TEST(HonestReaders, AReaderBlockedOnItsOutputDelaysNoOne)
{
    Serve server(103);
    ASSERT_TRUE(server.ready);
    ASSERT_EQ(vorel(103, {"load", fabric_file("f5k.json", 5000)}).status, 0);
    const std::vector<Args> readers{
        {"list", "-s", "103"}, {"list", "--json", "-s", "103"}, {"dump", "-s", "103"}, {"dot", "-s", "103"}};
    for (const auto &args : readers) {
        // Nobody reads past its first line: its pipe fills and it blocks.
        Spawned reader(VOREL_TOOL_PATH, args);
        ASSERT_TRUE(reader.out().next(30s).has_value()) << args[0];
        EXPECT_EQ(vorel(103, {"add", "0x7e0001", "0x010100"}).status, 0) << args[0];
        EXPECT_EQ(count(103), 5001) << args[0];
        EXPECT_EQ(vorel(103, {"show", "0x7e0001"}).status, 0) << args[0];
        EXPECT_EQ(vorel(103, {"del", "0x7e0001"}).status, 0) << args[0];
    }
}

TEST(HonestReaders, ADisabledDatabaseIsNotRecreatedByReading)
{
    Serve server(104);
    ASSERT_TRUE(server.ready);
    ASSERT_EQ(vorel(104, {"load", fabric_file("f50.json", 50)}).status, 0);
    ASSERT_EQ(vorel(104, {"disable"}).status, 0);
    for (const char *cmd : {"count", "list", "dump", "stats"})
        EXPECT_TRUE(ended(vorel(104, {cmd}), 4, "database disabled (enable with `vorel enable`)")) << cmd;
}

TEST(HonestRefusals, TheToolRefusesAndChangesNothing)
{
    Serve server(105);
    ASSERT_TRUE(server.ready);
    ASSERT_EQ(vorel(105, {"add", "0x010200"}).status, 0);
    const std::string fifo = run_dir() + "/fifo.json";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string bad_utf8 = run_dir() + "/bad.json";
    std::ofstream(bad_utf8) << "{\"devices\": [{\"pid\": \"0x010100\"}], \"zones\": [{\"name\": \"\xff\"}]}";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"add", "0x010100", "0x010100"}, 2, "own destination"},
        {{"add", "0x010100", "0x010200", "0x010200"}, 2, "given twice"},
        {{"add", "0x010100", "--type", "99"}, 2, "outside 0..8"},
        {{"add", "0x1000000"}, 2, "wider than 24 bits"},
        {{"dellist", "0x010200", "--type", "9"}, 2, "outside 0..8"},
        {{"del", "0x010300"}, 4, "is not stored"},
        {{"load", fifo}, 2, "not a regular file"},
        {{"load", bad_utf8}, 2, "invalid UTF-8"},
        {{}, 1, "subcommand is required"},
        {{"frobnicate"}, 1, ""},
        {{"show"}, 1, "pid"},
        {{"show", "0x000100"}, 2, "domain 0"},
        {{"deldom", "256"}, 2, "outside 1..255"},
        {{"load", "/nonexistent/f.json"}, 2, "/nonexistent/f.json"},
        {{"--help"}, 0, ""},
    };
    for (const auto &c : cases)
        EXPECT_TRUE(ended(vorel(105, c.args), c.status, c.err)) << (c.args.empty() ? "" : c.args[0]);
    EXPECT_EQ(count(105), 1);
    for (const auto &[sw, status, err] : {std::tuple{"99", 3, "no server is running"}, {"128", 2, "outside 0..127"}})
        EXPECT_TRUE(ended(run_tool({"count", "--switch", sw}), status, err));
}

TEST(HonestRefusals, TheControlServiceRefusesAndAnswersEveryBody)
{
    vorel::server::Server srv({.instance = 106, .control_service = false});
    ASSERT_EQ(srv.start(), 0) << srv.error();
    namespace ctl = vorel::control;
    const struct {
        uint32_t code;
        std::string body;
        int32_t rc;
    } cases[] = {
        {ctl::CTL_ADD, R"({"device":{"pid":4294967295}})", ctl::kErrBadRequest},
        {ctl::CTL_ADD, R"({"device":{"pid":65792},"destinations":[{"pid":65792}]})", ctl::kErrBadRequest},
        {ctl::CTL_ADD, R"({"device":{"pid":65792},"destinations":[{"pid":66048},{"pid":66048}]})", ctl::kErrBadRequest},
        {ctl::CTL_ADD, R"({"device":{"pid":65792},"type":9})", ctl::kErrBadRequest},
        {ctl::CTL_ADD_LIST, R"({"devices":[{"device":{"pid":65792}},{"device":{"pid":65792}}],"type":8})",
         ctl::kErrBadRequest},
        {ctl::CTL_DELETE_LIST, R"({"pids":[16777216]})", ctl::kErrBadRequest},
        {ctl::CTL_DELETE, R"({"pid":65792})", ctl::kErrRefused},
        {ctl::CTL_ADD, "{\"x\":\"\xff\"}", ctl::kErrBadRequest},
        {ctl::CTL_ADD, "{\"device\":{\"pid\":65792,\"extra\":\"\xc3\"}}", ctl::kErrBadRequest},
        {0x108, R"({"path":"/etc/passwd"})", ctl::kErrUnknownCode},
    };
    for (const auto &c : cases) {
        const std::string reply = srv.control(c.code, c.body);
        const auto j = nlohmann::json::parse(reply, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << reply;
        EXPECT_EQ(j.value("rc", 0), c.rc) << c.body << " -> " << reply;
    }
    const uint32_t n = srv.run([] {
        uint32_t total = 0;
        (void)getCountFromVorel(&total);
        return total;
    });
    EXPECT_EQ(n, 0u);
}

// A server's registry dies with it; a watcher waits for the next server and registers again.
TEST(HonestWatch, AWatcherOutlivesItsServer)
{
    auto server = std::make_unique<Serve>(107);
    ASSERT_TRUE(server->ready);
    Spawned watcher(VOREL_TOOL_PATH, {"watch", "--count", "2", "--switch", "107"});
    const auto said = [&](const char *text) {
        return watcher.err().next(30s).value_or("").find(text) != std::string::npos;
    };
    ASSERT_TRUE(said("registered"));
    ASSERT_EQ(vorel(107, {"add", "0x7e0001"}).status, 0);
    server.reset();
    ASSERT_TRUE(said("no server answers"));
    server = std::make_unique<Serve>(107);
    ASSERT_TRUE(server->ready);
    ASSERT_TRUE(said("registered again"));
    ASSERT_EQ(vorel(107, {"add", "0x7e0002"}).status, 0);
    EXPECT_EQ(watcher.wait(30s), 0);
    const std::string out = watcher.out().rest(1s);
    EXPECT_NE(out.find("0x7e0001"), std::string::npos) << out;
    EXPECT_NE(out.find("0x7e0002"), std::string::npos) << out;
}

} // namespace

#else
TEST(Honest, NeedsTheTool) { GTEST_SKIP() << "the vorel tool is not part of this build"; }
#endif
