// main.cpp - the vorel command: command line, dispatch, error reporting.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <climits>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "commands.h"
#include "pid.h"
#include "tool.h"

using namespace vorel::tool;

namespace {

constexpr const char *kExitCodes = "Exit codes:\n"
                                   "  0  success\n"
                                   "  1  usage: bad command line\n"
                                   "  2  bad input: PID, domain, switch instance, number or fabric file\n"
                                   "  3  no server for the switch instance, or an IPC error\n"
                                   "  4  database error: refused, not everything stored, the PID is not stored,\n"
                                   "     or the database is disabled (reading commands)\n"
                                   "  5  check found violations (or warnings, with --strict)\n"
                                   "\n"
                                   "PIDs are hexadecimal, with or without 0x: 0x010203 or 010203.\n"
                                   "-s/--switch N goes before or after the command's name.\n"
                                   "Environment: VOREL_SWITCH (switch instance when --switch is not given),\n"
                                   "VOREL_RUN_DIR (runtime directory), VOREL_GROUP (group sharing the instance),\n"
                                   "VOREL_TRACE_LEVEL.";

uint32_t pid_arg(const std::string &text)
{
    std::string error;
    const auto pid = parse_pid(text, error);
    if (!pid)
        throw Failure(kExitInput, error);
    return *pid;
}

std::vector<uint32_t> pid_args(const std::vector<std::string> &texts)
{
    std::vector<uint32_t> out;
    for (const std::string &t : texts)
        out.push_back(pid_arg(t));
    return out;
}

uint32_t domain_arg(int64_t d, const char *what)
{
    if (d < 1 || d > 255)
        throw Failure(kExitInput, std::string(what) + " " + std::to_string(d) + " is outside 1..255");
    return static_cast<uint32_t>(d);
}

std::string self_path(const char *argv0)
{
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return argv0;
    buf[n] = '\0';
    return buf;
}

// A subcommand and what it runs once the command line is parsed.
struct Command {
    CLI::App *app;
    std::function<int()> run;
};

} // namespace

int main(int argc, char **argv)
{
    (void)user_umask(); // read before the library's start-up sets its own
    CLI::App app{"vorel - the device connectivity database of a Fibre Channel switch: server, client "
                 "commands, fabric files, verifier and demo.",
                 "vorel"};
    app.require_subcommand(1);
    app.footer(kExitCodes);
    app.set_help_all_flag("--help-all", "Help for every command");

    // One switch instance for every command, given before or after the
    // command's name (the commands pass what they do not know to the app).
    int64_t instance = 0;
    app.add_option("-s,--switch", instance, "Switch instance (0..127)")->envname("VOREL_SWITCH")->capture_default_str();
    app.fallthrough();
    bool json = false;
    bool queued = false;
    std::vector<Command> commands;
    auto add = [&](const char *name, const char *help, std::function<int()> run) {
        CLI::App *sub = app.add_subcommand(name, help);
        commands.push_back({sub, std::move(run)});
        return sub;
    };
    auto with_json = [&](CLI::App *sub) { sub->add_flag("--json", json, "Write JSON"); };
    auto with_queued = [&](CLI::App *sub) {
        sub->add_flag("--queued", queued, "Defer the change through the server's internal queue");
        with_json(sub);
    };

    // ---- server
    ServeOptions serve;
    {
        auto *sub = add("serve", "Run the server of a switch instance in the foreground (until SIGINT/SIGTERM)",
                        [&] { return cmd_serve(serve); });
        sub->add_option("-f,--fabric", serve.fabric, "Fabric file to load at start (initial load, then sync done)");
        sub->add_flag("--no-init", serve.no_init,
                      "Do not create the database until a client enables it (reading commands do)");
        sub->add_option("--domain", serve.domain, "The switch's own domain (default: the fabric file's, or 1)");
        sub->add_option("--domains", serve.domains, "Domain list of the fabric view (default: the fabric's)")
            ->delimiter(',');
        sub->add_option("--send-wait", serve.send_wait_ms,
                        "Milliseconds an update waits for room in a receiver's output buffer before that "
                        "receiver is cut off; meanwhile the server answers no one else")
            ->check(CLI::Range(0u, 30000u))
            ->capture_default_str();
        sub->add_option("--progress-fd", serve.progress_fd, "Terminal descriptor for the loading progress bar")
            ->group(""); // for programs that start a server, such as the demo
    }

    // ---- readers
    add("enable", "Ask the server to create the database", [] { return cmd_enable(); });
    add("disable", "Ask the server to detach from the database", [] { return cmd_disable(); });
    with_json(add("count", "Number of devices stored", [&] { return cmd_count(json); }));
    std::string pid_text;
    {
        auto *sub = add("show", "One device and its destinations", [&] { return cmd_show(pid_arg(pid_text), json); });
        sub->add_option("pid", pid_text, "PID of the device")->required();
        with_json(sub);
    }
    add("dump", "The library's dump of the whole database", [] { return cmd_dump(); });
    with_json(add("list", "Every device of the fabric view with its destinations", [&] { return cmd_list(json); }));
    with_json(add("local", "The devices of the switch's own domain", [&] { return cmd_local(json); }));
    with_json(add("stats", "Segment use, device count, revision and deliveries per client type",
                  [&] { return cmd_stats(json); }));
    CheckOptions check;
    {
        auto *sub = add("check", "Verify every invariant of the database", [&] {
            check.json = json;
            return cmd_check(check);
        });
        sub->add_flag("--strict", check.strict, "Fail on warnings too (links not listed back)");
        sub->add_option("--limit", check.limit, "Findings printed per kind, 0 for all")->capture_default_str();
        with_json(sub);
    }
    int64_t dot_domain = 0;
    std::string dot_output;
    {
        auto *sub = add("dot", "Connectivity as a Graphviz graph (vorel dot | dot -Tsvg > fabric.svg)",
                        [&] { return cmd_dot(dot_domain == 0 ? 0 : domain_arg(dot_domain, "domain"), dot_output); });
        sub->add_option("--domain", dot_domain, "Only this domain's devices and their links");
        sub->add_option("-o,--output", dot_output, "Write to this file instead of stdout");
    }

    // ---- watcher
    WatchOptions watch;
    {
        auto *sub = add("watch", "Register a client type and print every notification, decoded",
                        [&] { return cmd_watch(watch); });
        sub->add_option("-t,--type", watch.client_type, "Client type to register")->capture_default_str();
        sub->add_option("-n,--count", watch.count, "Exit after this many notifications");
        sub->add_option("--timeout", watch.timeout_s, "Fail when nothing arrives for this many seconds");
        sub->add_flag("--json", watch.json, "One JSON object per line");
        sub->footer("Exits with 3 when the server cuts the watcher off for not reading its notifications in time.\n"
                    "When the server stops, the watcher waits and registers again with the next one.");
    }

    // ---- changes through the control service
    DeviceOptions dev;
    std::string dev_pid;
    std::string dev_extra_flags;
    std::vector<std::string> dest_texts;
    {
        auto *sub = add("add", "Add or replace a device with its destinations", [&] {
            dev.pid = pid_arg(dev_pid);
            dev.dests = pid_args(dest_texts);
            dev.queued = queued;
            return cmd_add(dev, json);
        });
        sub->add_option("pid", dev_pid, "PID of the device")->required();
        sub->add_option("destinations", dest_texts, "PIDs of its destinations");
        sub->add_option("--ind", dev.ind, "Index")->check(CLI::Range(-32768, 32767));
        sub->add_option("--spd", dev.spd, "Speed in Gbit/s")->check(CLI::Range(0, 65535));
        sub->add_option("--flags", dev.flags, "Device flags");
        sub->add_option("--extra", dev.extra, "Further attributes, hex text of up to 16 bytes");
        sub->add_option("--type", dev.type, "Update type (0 or 6 deliver DEV_ONLINE)")->capture_default_str();
        with_queued(sub);
    }
    std::string del_pid;
    {
        auto *sub = add("del", "Delete a device", [&] { return cmd_del(pid_arg(del_pid), queued, json); });
        sub->add_option("pid", del_pid, "PID of the device")->required();
        with_queued(sub);
    }
    int64_t del_domain = 0;
    {
        auto *sub = add("deldom", "Delete every device of a domain",
                        [&] { return cmd_deldom(domain_arg(del_domain, "domain"), queued, json); });
        sub->add_option("domain", del_domain, "Domain (1..255)")->required();
        with_queued(sub);
    }
    std::string load_file;
    LoadOptions load;
    {
        auto *sub = add("load",
                        "Read a fabric file and send its devices to the server as bulk adds. The initial load "
                        "(type 8) is refused when any of its PIDs is stored already or after sync done, so a "
                        "second load of the same devices is refused: use --type 0 to replace them (update mode)",
                        [&] {
                            load.queued = queued;
                            return cmd_load(load_file, load, json);
                        });
        sub->add_option("file", load_file, "Fabric file (a regular file, read by this command)")->required();
        sub->add_option("--type", load.type, "Update type: 8 initial load (no notifications), 0 or 6 DEV_ONLINE")
            ->capture_default_str();
        sub->add_flag("-q,--quiet", load.quiet, "No progress bar");
        with_queued(sub);
    }
    std::vector<std::string> dellist_texts;
    uint32_t dellist_type = VOREL_UPD_LIST_OFFLINE;
    {
        auto *sub = add("dellist", "Delete a list of devices (their peers keep listing them)",
                        [&] { return cmd_dellist(pid_args(dellist_texts), dellist_type, queued, json); });
        sub->add_option("pids", dellist_texts, "PIDs of the devices")->required();
        sub->add_option("--type", dellist_type, "Update type (3 or 5 deliver REMOTE_DOM_OFFLINE)")
            ->capture_default_str();
        with_queued(sub);
    }
    with_queued(add("sync", "Announce that the initial load is complete", [&] { return cmd_sync(queued, json); }));

    // ---- trace ring
    TraceOptions trace;
    {
        auto *sub = add("trace", "The trace records of the switch instance, oldest first (no server needed)",
                        [&] { return cmd_trace(trace); });
        sub->add_flag("-f,--follow", trace.follow, "Keep reading new records until interrupted");
        sub->add_option("--level", trace.level, "Only records of this level or lower")->check(CLI::Range(0, 9));
        sub->add_option("--since", trace.since,
                        "Only records since TIME: 30s, 5m, 2h, 1d, @<epoch seconds>, "
                        "YYYY-MM-DD HH:MM[:SS] or HH:MM[:SS]");
        sub->add_option("--grep", trace.grep, "Only records whose text contains TEXT");
        sub->add_flag("--json", trace.json, "One JSON object per line");
        sub->add_flag("--clear", trace.clear, "Empty the ring");
        sub->add_option("--level-set", trace.level_set, "Set the trace level of the instance's running processes")
            ->check(CLI::Range(0, 9));
    }

    // ---- offline
    GenOptions gen;
    std::string gen_output;
    {
        auto *sub = add("gen", "Write a generated fabric file", [&] { return cmd_gen(gen, gen_output); });
        sub->add_option("--devices", gen.devices, "Number of devices")->capture_default_str();
        sub->add_option("--domains", gen.domains, "Number of domains")->capture_default_str();
        sub->add_option("--first-domain", gen.first_domain, "First domain number")->capture_default_str();
        sub->add_option("--targets", gen.target_percent, "Share of targets, percent")->capture_default_str();
        sub->add_option("--per-initiator", gen.targets_per_initiator, "Targets zoned with each initiator")
            ->capture_default_str();
        sub->add_option("--seed", gen.seed, "Seed of the generator")->capture_default_str();
        sub->add_option("-o,--output", gen_output, "Write to this file instead of stdout");
    }
    DemoOptions demo;
    {
        auto *sub = add("demo", "Run a server, a watcher and a client through a scripted sequence of changes",
                        [&] { return cmd_demo(demo, self_path(argv[0])); });
        sub->add_option("-f,--fabric", demo.fabric, "Fabric file (default: the bundled example)");
        sub->add_flag("--keep", demo.keep, "Keep the private runtime directory");
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    try {
        if (instance < 0 || instance >= VOREL_MAX_SWITCHES)
            throw Failure(kExitInput, "switch instance " + std::to_string(instance) + " is outside 0..127");
        select_instance(static_cast<int>(instance));
        for (const Command &c : commands)
            if (c.app->parsed())
                return c.run();
        return kExitUsage;
    } catch (const Failure &f) {
        std::fflush(stdout);
        std::fprintf(stderr, "vorel: %s\n", f.what());
        return f.code;
    } catch (const std::exception &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "vorel: %s\n", e.what());
        return kExitDatabase;
    }
}
