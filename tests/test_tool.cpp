// The built `vorel` command, run in separate processes: documented exit codes
// for bad command lines; a server with a watcher and the client commands
// through a sequence of changes; loading fabric files through the server;
// and the demo.
#include <gtest/gtest.h>

#if defined(VOREL_HAVE_TOOL) && defined(VOREL_TOOL_PATH)

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "fabric.h"
#include "gen.h"
#include "pid.h"
#include "spawn.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using vorel::tool::RunResult;
using vorel::tool::Spawned;

RunResult vorel_run(const std::vector<std::string> &args)
{
    return vorel::tool::run_to_end(VOREL_TOOL_PATH, args, 60s);
}

std::string run_dir() { return std::getenv("VOREL_RUN_DIR"); }

std::string write_fabric(const std::string &name, const vorel::tool::Fabric &f)
{
    const std::string path = run_dir() + "/" + name;
    std::ofstream(path) << vorel::tool::fabric_to_json(f);
    return path;
}

std::string describe(const std::vector<std::string> &args, const RunResult &r)
{
    std::string s = "vorel";
    for (const auto &a : args)
        s += " " + a;
    return s + "\n--- exit " + std::to_string(r.status) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

// A `vorel serve` in the background, stopped with SIGTERM at the end.
class ServeProcess {
  public:
    ServeProcess(int instance, const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> args{"serve", "--switch", std::to_string(instance)};
        args.insert(args.end(), extra.begin(), extra.end());
        proc_ =
            std::make_unique<Spawned>(VOREL_TOOL_PATH, args, run_dir() + "/serve-" + std::to_string(instance) + ".log");
        ready_ = proc_->out().next(60s).value_or("");
    }
    const std::string &ready_line() const { return ready_; }
    int stop()
    {
        proc_->signal(SIGTERM);
        return proc_->wait(20s).value_or(-1);
    }

  private:
    std::unique_ptr<Spawned> proc_;
    std::string ready_;
};

TEST(ToolCommandLine, ExitCodesAreTheDocumentedOnes)
{
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err; // must appear on stderr
    } cases[] = {
        {{}, 1, ""},
        {{"frobnicate"}, 1, ""},
        {{"show"}, 1, "pid"},
        {{"count", "--switch", "x"}, 1, ""},
        {{"show", "0x000100"}, 2, "domain 0"},
        {{"show", "0x1000000"}, 2, "wider than 24 bits"},
        {{"show", "xyz"}, 2, "'xyz' is not a PID"},
        {{"count", "--switch", "128"}, 2, "switch instance 128 is outside 0..127"},
        {{"count", "--switch", "-1"}, 2, "outside 0..127"},
        {{"add", "0x010100", "0x000001", "--switch", "77"}, 2, "domain 0"},
        {{"deldom", "256", "--switch", "77"}, 2, "outside 1..255"},
        {{"gen", "--domains", "0"}, 2, "domains must lie in"},
        {{"serve", "--switch", "77", "--fabric", "/nonexistent/f.json"}, 2, "/nonexistent/f.json: cannot open"},
        {{"load", "/nonexistent/f.json", "--switch", "77"}, 2, "/nonexistent/f.json"},
        {{"count", "--switch", "77"}, 3, "no server is running"},
        {{"watch", "--switch", "77", "--count", "1"}, 3, "no server is running"},
        {{"sync", "--switch", "77"}, 3, "no server is running"},
    };
    for (const auto &c : cases) {
        const RunResult r = vorel_run(c.args);
        EXPECT_EQ(r.status, c.status) << describe(c.args, r);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << describe(c.args, r);
    }
    const RunResult help = vorel_run({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char *line :
         {"Exit codes:", "1  usage", "2  bad input", "3  no server", "4  database error", "5  check found violations"})
        EXPECT_NE(help.out.find(line), std::string::npos) << line;
    const RunResult watch_help = vorel_run({"watch", "--help"});
    EXPECT_EQ(watch_help.status, 0);
    EXPECT_NE(watch_help.out.find("--count"), std::string::npos) << watch_help.out;
}

TEST(ToolEndToEnd, ServeWatchAndClientCommands)
{
    const std::string sw = "21";
    vorel::tool::GenOptions opt;
    opt.devices = 120;
    opt.domains = 3;
    const vorel::tool::Fabric fabric = vorel::tool::generate_fabric(opt);
    const std::string path = write_fabric("e2e.json", fabric);
    std::vector<uint32_t> targets;
    size_t in_domain3 = 0;
    size_t in_domain1 = 0;
    for (const DevInfo &d : fabric.devices) {
        if (d.devflags == vorel::tool::kFlagTarget && vorel::tool::pid_domain(d.pid) != 3)
            targets.push_back(d.pid);
        in_domain3 += vorel::tool::pid_domain(d.pid) == 3;
        in_domain1 += vorel::tool::pid_domain(d.pid) == 1;
    }
    ASSERT_GE(targets.size(), 2u);
    const std::string t1 = vorel::tool::pid_hex(targets[0]);
    const std::string t2 = vorel::tool::pid_hex(targets[1]);

    ServeProcess server(21, {"--fabric", path});
    ASSERT_NE(server.ready_line().find("ready: switch instance 21"), std::string::npos) << server.ready_line();
    EXPECT_NE(server.ready_line().find("120 devices loaded"), std::string::npos) << server.ready_line();

    // A second server for the instance is refused.
    const RunResult second = vorel_run({"serve", "--switch", sw});
    EXPECT_EQ(second.status, 3) << describe({"serve"}, second);
    EXPECT_NE(second.err.find("already running for switch instance 21"), std::string::npos) << second.err;

    Spawned watcher(VOREL_TOOL_PATH, {"watch", "--switch", sw, "--json", "--count", "4", "--timeout", "30"});
    const std::string registered = watcher.err().next(30s).value_or("");
    ASSERT_NE(registered.find("client type 0 registered (database in sync)"), std::string::npos) << registered;

    auto ok = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"--switch", sw});
        const RunResult r = vorel_run(args);
        EXPECT_EQ(r.status, 0) << describe(args, r);
        return r;
    };
    ok({"add", "0x01f000", t1, t2, "--spd", "16", "--flags", "1"});
    const json shown = json::parse(ok({"show", "0x01f000", "--json"}).out);
    EXPECT_EQ(shown["pid"], "0x01f000");
    EXPECT_EQ(shown["spd"], 16);
    ASSERT_EQ(shown["destinations"].size(), 2u);
    EXPECT_EQ(shown["destinations"][1]["pid"], t2);
    // The target lists the newcomer back.
    const json target = json::parse(ok({"show", t1, "--json"}).out);
    bool listed_back = false;
    for (const json &d : target["destinations"])
        listed_back |= d["pid"] == "0x01f000";
    EXPECT_TRUE(listed_back) << target.dump();

    ok({"del", "0x01f000", "--queued"});
    ok({"deldom", "3"});
    ok({"sync"});
    EXPECT_EQ(watcher.wait(20s), std::optional<int>(0));
    std::vector<json> msgs;
    while (auto line = watcher.out().next(1s))
        msgs.push_back(json::parse(*line));
    ASSERT_EQ(msgs.size(), 4u);
    EXPECT_EQ(msgs[0]["code"], 0x43);
    EXPECT_EQ(msgs[0]["entries"][0]["src_pid"], 0x01f000);
    EXPECT_EQ(msgs[0]["entries"][0]["new"], json::array({targets[0], targets[1]}));
    EXPECT_EQ(msgs[1]["code"], 0x42);
    EXPECT_EQ(msgs[1]["records"][0]["pid"], 0x01f000);
    EXPECT_EQ(msgs[1]["records"][0]["disconn"], json::array({targets[0], targets[1]}));
    EXPECT_EQ(msgs[2]["code"], 0x42);
    EXPECT_EQ(msgs[2]["records"].size(), in_domain3);
    EXPECT_EQ(msgs[3]["code"], 0x44);
    EXPECT_EQ(msgs[3]["format"], "SYNC");

    const json count = json::parse(ok({"count", "--json"}).out);
    EXPECT_EQ(count["count"], 120 - in_domain3);
    EXPECT_NE(ok({"check"}).out.find("0 violations, 0 warnings: PASS"), std::string::npos);

    // A bulk removal leaves the removed devices in their peers' lists:
    // warnings, which only --strict turns into a failure.
    std::vector<std::string> gone;
    for (const DevInfo &d : fabric.devices)
        if (vorel::tool::pid_domain(d.pid) == 1 && d.devflags == vorel::tool::kFlagInitiator && gone.size() < 2)
            gone.push_back(vorel::tool::pid_hex(d.pid));
    std::vector<std::string> dellist{"dellist"};
    dellist.insert(dellist.end(), gone.begin(), gone.end());
    ok(dellist);
    const RunResult lenient = ok({"check"});
    EXPECT_NE(lenient.out.find("warning peer-absent: chain of "), std::string::npos) << lenient.out;
    EXPECT_NE(lenient.out.find("lists " + gone[0] + ", which is not stored"), std::string::npos) << lenient.out;
    const RunResult strict = vorel_run({"check", "--strict", "--json", "--switch", sw});
    EXPECT_EQ(strict.status, 5) << strict.out << strict.err;
    const json report = json::parse(strict.out);
    EXPECT_EQ(report["violations"], 0);
    // One warning for each target of a removed initiator that is still stored.
    size_t expected_warnings = 0;
    for (const auto &z : fabric.zones)
        if (std::find(gone.begin(), gone.end(), vorel::tool::pid_hex(z.members[0])) != gone.end() &&
            vorel::tool::pid_domain(z.members[1]) != 3)
            ++expected_warnings;
    EXPECT_GT(expected_warnings, 0u);
    EXPECT_EQ(report["warnings"], expected_warnings);
    EXPECT_EQ(report["passed"], false);

    const json stats = json::parse(ok({"stats", "--json"}).out);
    EXPECT_EQ(stats["total_pids"], 120 - in_domain3 - 2);
    EXPECT_GE(stats["server"]["revision"].get<int>(), 6);
    EXPECT_GT(stats["segment"]["bytes_in_use"].get<uint64_t>(), 0u);
    const json list = json::parse(ok({"list", "--json"}).out);
    EXPECT_EQ(list["devices"].size(), 120 - in_domain3 - 2);
    const json local = json::parse(ok({"local", "--json"}).out);
    EXPECT_EQ(local["count"], in_domain1 - 2);
    EXPECT_EQ(ok({"dot", "--domain", "2"}).out.rfind("graph vorel {", 0), 0u);
    EXPECT_NE(ok({"dump"}).out.find("Total Number of domains : 3"), std::string::npos);

    EXPECT_EQ(server.stop(), 0);
    const RunResult after = vorel_run({"count", "--switch", sw});
    EXPECT_EQ(after.status, 3) << describe({"count"}, after);
}

TEST(ToolEndToEnd, LoadGoesThroughTheServer)
{
    const std::string sw = "22";
    ServeProcess server(22);
    ASSERT_NE(server.ready_line().find("ready"), std::string::npos) << server.ready_line();

    const std::string bad = run_dir() + "/bad-load.json";
    std::ofstream(bad) << "{\"devices\": [{\"pid\": \"0x010100\"},\n {\"pid\": \"0x010100\"}]}";
    const RunResult refused = vorel_run({"load", bad, "--switch", sw});
    EXPECT_EQ(refused.status, 2) << describe({"load"}, refused);
    EXPECT_NE(refused.err.find(bad + ": /devices/1/pid: duplicate device 0x010100"), std::string::npos) << refused.err;
    EXPECT_EQ(vorel_run({"count", "--switch", sw}).out, "0\n");

    vorel::tool::GenOptions opt;
    opt.devices = 90;
    const std::string good = write_fabric("load.json", vorel::tool::generate_fabric(opt));
    const RunResult loaded = vorel_run({"load", good, "--switch", sw});
    EXPECT_EQ(loaded.status, 0) << describe({"load"}, loaded);
    EXPECT_EQ(vorel_run({"count", "--switch", sw}).out, "90\n");
    const RunResult check = vorel_run({"check", "--switch", sw});
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_EQ(server.stop(), 0);
}

TEST(ToolDemo, RunsTheScriptAndCleansUp)
{
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = vorel_run({"demo"});
    ASSERT_EQ(r.status, 0) << describe({"demo"}, r);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    for (const char *line : {"== 1. a device comes online", "== 2. its zoning changes", "== 3. it goes offline",
                             "== 4. domain 4 goes offline (75 devices)", "== 5. queued bulk update", "== 6. sync done",
                             "DEV_ONLINE code 0x43", "OFFLINE code 0x42 length 24 records 1", "SYNC code 0x44 length 0",
                             "0 violations, 0 warnings: PASS", "watcher stopped (exit 0), server stopped (exit 0)",
                             "vorel demo: 6 notifications, database check passed"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("private runtime directory (\\S+)")));
    EXPECT_FALSE(std::filesystem::exists(m[1].str())) << m[1].str();
}

} // namespace

#else

TEST(Tool, NeedsTheBuiltCommand) { GTEST_SKIP() << "the vorel command is not built, or this is a cross build"; }

#endif
