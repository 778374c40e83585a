// cmd_demo.cpp - `vorel demo`: a server on the example fabric, a watcher and
// a client in a private runtime directory, taken through a scripted sequence
// of fabric changes, with the notifications they cause, the final counts and
// a check of the database.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "commands.h"
#include "control.h"
#include "decode.h"
#include "fabric.h"
#include "pid.h"
#include "spawn.h"
#include "tool.h"

namespace vorel::tool {

using nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr auto kStartTimeout = 60s;
constexpr auto kNotifyTimeout = 10s;
constexpr size_t kNotifyLines = 6; // lines of a notification shown

// A private runtime directory for the demo and its children, so that it
// never meets a server the user runs.
class RunDir {
  public:
    explicit RunDir(bool keep) : keep_(keep)
    {
        char tmpl[] = "/tmp/vorel-demo-XXXXXX";
        if (::mkdtemp(tmpl) == nullptr)
            throw Failure(kExitDatabase, "demo: cannot create a runtime directory");
        path_ = tmpl;
        ::setenv("VOREL_RUN_DIR", path_.c_str(), 1);
    }
    ~RunDir()
    {
        std::error_code ec;
        if (!keep_)
            fs::remove_all(path_, ec);
    }
    RunDir(const RunDir &) = delete;
    RunDir &operator=(const RunDir &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
    bool keep_;
};

// The example fabric: beside an installed tool, in the source tree, or the
// same fabric made again by the generator.
std::string find_example(const std::string &self, const std::string &run_dir)
{
    std::vector<fs::path> candidates;
    const fs::path exe_dir = fs::path(self).parent_path();
    candidates.push_back(exe_dir / ".." / "share" / "vorel" / "fabric-small.json");
#ifdef VOREL_DATA_DIR
    candidates.push_back(fs::path(VOREL_DATA_DIR) / "fabric-small.json");
#endif
#ifdef VOREL_SOURCE_DIR
    candidates.push_back(fs::path(VOREL_SOURCE_DIR) / "examples" / "fabric-small.json");
#endif
    for (const fs::path &p : candidates) {
        std::error_code ec;
        if (fs::is_regular_file(p, ec))
            return fs::weakly_canonical(p, ec).string();
    }
    const std::string made = run_dir + "/fabric-small.json";
    std::ofstream(made) << fabric_to_json(generate_fabric(GenOptions{}));
    return made;
}

// The watcher's JSON line back to the message bytes, shown in the decoder's
// text form (what `vorel watch` prints without --json).
std::string render(const std::string &line)
{
    const json j = json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.contains("code"))
        return line;
    const uint32_t code = j["code"].get<uint32_t>();
    if (j.contains("error"))
        return "MALFORMED " + line;
    std::vector<uint32_t> words;
    const std::string format = j.value("format", "");
    if (format == "DEV_ONLINE") {
        std::vector<decode::OnlineDelta> entries;
        for (const json &e : j["entries"])
            entries.push_back({e["src_pid"].get<uint32_t>(), e["new"].get<std::vector<uint32_t>>(),
                               e["removed"].get<std::vector<uint32_t>>()});
        words = decode::encode_dev_online(entries);
    } else if (format == "OFFLINE") {
        std::vector<decode::OfflineDevice> records;
        for (const json &r : j["records"])
            records.push_back({r["pid"].get<uint32_t>(), r["disconn"].get<std::vector<uint32_t>>()});
        words = decode::encode_offline(records);
    } else if (format == "REMOTE_DOM_ONLINE") {
        words = decode::encode_remote_dom_online(j["pids"].get<std::vector<uint32_t>>());
    }
    std::string text = decode::format_text(code, std::as_bytes(std::span(words)));
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

// Lines longer than this are cut in the demo's output.
std::string clip(const std::string &line, size_t width = 150)
{
    return line.size() <= width ? line : line.substr(0, width - 4) + " ...";
}

// Writes `text` indented; beyond `max_lines` lines only their number.
void print_indented(const std::string &text, size_t max_lines = 0)
{
    size_t start = 0;
    size_t lines = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        if (max_lines == 0 || lines < max_lines)
            std::printf("    %s\n", clip(text.substr(start, nl - start)).c_str());
        ++lines;
        start = nl + 1;
    }
    if (max_lines != 0 && lines > max_lines)
        std::printf("    ... %zu more lines\n", lines - max_lines);
}

json device_json(const DevInfo &d)
{
    json j{{"pid", d.pid}, {"ind", d.ind}, {"spd", d.spd}, {"flags", d.devflags}};
    if (const std::string extra = extra_hex(d.dev_extra); !extra.empty())
        j["extra"] = extra;
    return j;
}

class Demo {
  public:
    Demo(const DemoOptions &opt, const std::string &self) : opt_(opt), self_(self), dir_(opt.keep) {}

    int run()
    {
        std::printf("vorel demo: switch instance %d, private runtime directory %s\n", getMySwitch(),
                    dir_.path().c_str());
        prepare_fabric();
        start_server();
        start_watcher();

        step("a device comes online");
        client({"add", pid_hex(newcomer_), pid_hex(targets_[0]), pid_hex(targets_[1]), "--spd", "32", "--flags", "1"});
        expect(1);

        step("its zoning changes: one target replaced by another");
        client({"add", pid_hex(newcomer_), pid_hex(targets_[0]), pid_hex(targets_[2]), "--spd", "32", "--flags", "1"});
        expect(1);

        step("it goes offline");
        client({"del", pid_hex(newcomer_)});
        expect(1);

        const size_t in_domain = domain_devices().size();
        step("domain " + std::to_string(gone_domain_) + " goes offline (" + std::to_string(in_domain) + " devices)");
        client({"deldom", std::to_string(gone_domain_)});
        expect((in_domain + 255) / 256);
        client({"count"});

        step("queued bulk update: domain " + std::to_string(gone_domain_) + " comes back");
        bulk_add_domain();
        expect(1);

        step("sync done");
        client({"sync"});
        expect(1);

        step("final counts");
        client({"count"});
        client({"stats"});

        step("check");
        const int check_rc = client({"check"}, true);
        stop_all();
        std::printf("\nvorel demo: %zu notifications, database check %s\n", notifications_,
                    check_rc == 0 ? "passed" : "FAILED");
        return check_rc == 0 ? kExitOk : kExitCheck;
    }

  private:
    void prepare_fabric()
    {
        const std::string path = opt_.fabric.empty() ? find_example(self_, dir_.path()) : opt_.fabric;
        std::string error;
        auto f = read_fabric_file(path, error);
        if (!f)
            throw Failure(kExitInput, error);
        fabric_ = std::move(*f);
        fabric_path_ = path;
        if (fabric_.devices.size() < 3)
            throw Failure(kExitInput, "demo: " + path + " needs at least 3 devices");
        std::set<uint32_t> pids;
        for (const DevInfo &d : fabric_.devices) {
            pids.insert(d.pid);
            if (d.devflags & kFlagTarget)
                targets_.push_back(d.pid);
        }
        for (const DevInfo &d : fabric_.devices)
            if (targets_.size() < 3 && std::find(targets_.begin(), targets_.end(), d.pid) == targets_.end())
                targets_.push_back(d.pid);
        newcomer_ = (fabric_.domain << 16) | 0xF000;
        while (pids.contains(newcomer_))
            ++newcomer_;
        // The domain that goes offline: the highest one other than the switch's own.
        uint32_t other = 0;
        for (const DevInfo &d : fabric_.devices)
            if (pid_domain(d.pid) != fabric_.domain)
                other = std::max(other, pid_domain(d.pid));
        gone_domain_ = other != 0 ? other : fabric_.domain;
        std::string doms;
        for (const uint8_t d : fabric_.domains)
            doms.append(" ").append(std::to_string(d));
        std::printf("fabric: %s\n  %zu devices, %zu zones, domains%s, own domain %u\n", fabric_path_.c_str(),
                    fabric_.devices.size(), fabric_.zones.size(), doms.c_str(), fabric_.domain);
    }

    std::vector<std::string> with_switch(std::vector<std::string> args) const
    {
        args.push_back("--switch");
        args.push_back(std::to_string(getMySwitch()));
        return args;
    }

    void start_server()
    {
        server_log_ = dir_.path() + "/server.log";
        std::vector<std::string> args{"serve", "--fabric", fabric_path_};
        // A long load shows its progress on the demo's terminal.
        int tty = -1;
        if (isatty(STDOUT_FILENO) == 1 && (tty = ::dup(STDOUT_FILENO)) >= 0)
            args.insert(args.end(), {"--progress-fd", std::to_string(tty)});
        server_ = std::make_unique<Spawned>(self_, with_switch(args), server_log_);
        if (tty >= 0)
            ::close(tty);
        const auto ready = server_->out().next(kStartTimeout);
        if (!ready || ready->find("ready") == std::string::npos)
            fail_with_log("the server did not start");
        std::printf("server: %s\n", ready->c_str());
    }

    void start_watcher()
    {
        watcher_ = std::make_unique<Spawned>(self_, with_switch({"watch", "--json"}));
        const auto ready = watcher_->err().next(kStartTimeout);
        if (!ready || ready->find("registered") == std::string::npos)
            throw Failure(kExitServer, "demo: the watcher did not start" + (ready ? ": " + *ready : std::string()));
        std::printf("watcher: %s\n", ready->c_str());
    }

    [[noreturn]] void fail_with_log(const std::string &what)
    {
        std::ifstream log(server_log_);
        std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        throw Failure(kExitServer, "demo: " + what + (text.empty() ? "" : ":\n" + text));
    }

    void step(const std::string &title)
    {
        std::printf("\n== %d. %s\n", ++steps_, title.c_str());
        std::fflush(stdout);
    }

    // Runs one client command and shows it with its output.  A failure ends
    // the demo unless `may_fail`.
    int client(const std::vector<std::string> &args, bool may_fail = false)
    {
        std::string shown = "$ vorel";
        for (const std::string &a : args)
            shown += " " + a;
        std::printf("%s\n", shown.c_str());
        const RunResult r = run_to_end(self_, with_switch(args));
        print_indented(r.out);
        if (!r.err.empty())
            print_indented(r.err);
        std::fflush(stdout);
        if (r.status != 0 && !may_fail)
            throw Failure(kExitDatabase, "demo: `" + shown.substr(2) + "` exited with " + std::to_string(r.status));
        return r.status;
    }

    // Waits for `n` notifications at the watcher and shows them.
    void expect(size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            const auto line = watcher_->out().next(kNotifyTimeout);
            if (!line)
                throw Failure(kExitServer, "demo: notification " + std::to_string(i + 1) + " of " + std::to_string(n) +
                                               " did not arrive");
            ++notifications_;
            std::printf("  notification:\n");
            print_indented(render(*line), kNotifyLines);
        }
        std::fflush(stdout);
    }

    std::vector<size_t> domain_devices() const
    {
        std::vector<size_t> out;
        for (size_t i = 0; i < fabric_.devices.size(); ++i)
            if (pid_domain(fabric_.devices[i].pid) == gone_domain_)
                out.push_back(i);
        return out;
    }

    // The devices of the removed domain again, with their zoned destinations,
    // as one bulk add posted to the server's internal queue.
    void bulk_add_domain()
    {
        const auto dest = zone_destinations(fabric_);
        json devices = json::array();
        for (const size_t i : domain_devices()) {
            json dests = json::array();
            for (const uint32_t k : dest[i])
                dests.push_back(device_json(fabric_.devices[k]));
            devices.push_back({{"device", device_json(fabric_.devices[i])}, {"destinations", std::move(dests)}});
        }
        std::printf("(control request: bulk add of %zu devices, update type 0, queued)\n", devices.size());
        const json reply =
            control_request(control::CTL_ADD_LIST, {{"devices", std::move(devices)}, {"type", 0}, {"queued", true}});
        expect_ok(reply, "bulk add");
        std::printf("    posted to the server's internal queue\n");
    }

    void stop_all()
    {
        watcher_->signal(SIGINT);
        const auto w = watcher_->wait(10s);
        server_->signal(SIGTERM);
        const auto s = server_->wait(20s);
        std::printf("\nwatcher stopped (exit %d), server stopped (exit %d)\n", w ? *w : -1, s ? *s : -1);
        if (!w || *w != 0 || !s || *s != 0)
            fail_with_log("a child did not stop cleanly");
    }

    const DemoOptions &opt_;
    std::string self_;
    RunDir dir_;
    Fabric fabric_;
    std::string fabric_path_;
    std::string server_log_;
    std::vector<uint32_t> targets_;
    uint32_t newcomer_ = 0;
    uint32_t gone_domain_ = 0;
    std::unique_ptr<Spawned> server_;
    std::unique_ptr<Spawned> watcher_;
    int steps_ = 0;
    size_t notifications_ = 0;
};

} // namespace

int cmd_demo(const DemoOptions &opt, const std::string &self)
{
    // The children are ended by the demo itself; the demo's own SIGPIPE must
    // not end it while it tears them down.
    ::signal(SIGPIPE, SIG_IGN);
    Demo demo(opt, self);
    return demo.run();
}

} // namespace vorel::tool
