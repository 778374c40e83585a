// cmd_serve.cpp - `vorel serve`: the server of one switch instance in the
// foreground, until SIGINT, SIGTERM or SIGHUP.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <set>

#include "commands.h"
#include "control.h"
#include "fabric.h"
#include "loader.h"
#include "progress.h"
#include "tool.h"

namespace vorel::tool {

namespace {

constexpr uint32_t kLastDomain = 239; // the default view lists every assignable domain
constexpr size_t kLoadChunk = 2048;   // devices per bulk add while loading at start

// The instance's fabric view: the own domain and the domain list, which
// grows with the domains of every fabric file loaded.
class View {
  public:
    View(int instance, uint32_t domain, std::set<uint8_t> domains)
        : instance_(instance), domain_(domain), domains_(std::move(domains))
    {
    }
    int publish()
    {
        std::lock_guard lock(mutex_);
        const std::vector<uint8_t> list(domains_.begin(), domains_.end());
        return fabricSetView(instance_, static_cast<int>(domain_), list.data(), static_cast<int>(list.size()));
    }
    int add(const std::vector<uint8_t> &more)
    {
        {
            std::lock_guard lock(mutex_);
            const size_t before = domains_.size();
            domains_.insert(more.begin(), more.end());
            if (domains_.size() == before)
                return 0;
        }
        return publish();
    }

  private:
    std::mutex mutex_;
    const int instance_;
    const uint32_t domain_;
    std::set<uint8_t> domains_;
};

void load_at_start(server::Server &srv, const Fabric &f, const std::string &path, int progress_fd)
{
    const std::vector<server::Device> devices = fabric_devices(f);
    Progress bar("loading " + path, devices.size(), progress_fd);
    for (size_t at = 0; at < devices.size(); at += kLoadChunk) {
        const size_t n = std::min(kLoadChunk, devices.size() - at);
        const int32_t rc = srv.add_list(std::span(devices).subspan(at, n), VOREL_UPD_SYNC, false);
        if (rc != 0)
            throw Failure(kExitDatabase, "loading " + path + ": " + status_text(rc));
        bar.update(at + n);
    }
    if (const int32_t rc = srv.sync_done(false); rc != 0)
        throw Failure(kExitDatabase, "sync done after loading " + path + ": " + status_text(rc));
}

} // namespace

int cmd_serve(const ServeOptions &opt)
{
    const int instance = getMySwitch();
    if (opt.domain < 0 || opt.domain > 255)
        throw Failure(kExitInput, "serve: domain " + std::to_string(opt.domain) + " is outside 1..255");
    for (const int d : opt.domains)
        if (d < 1 || d > 255)
            throw Failure(kExitInput, "serve: domain " + std::to_string(d) + " in --domains is outside 1..255");
    std::optional<Fabric> fabric;
    if (!opt.fabric.empty()) {
        if (opt.no_init)
            throw Failure(kExitUsage, "serve: --fabric loads the database at start and cannot go with --no-init");
        std::string error;
        fabric = read_fabric_file(opt.fabric, error);
        if (!fabric)
            throw Failure(kExitInput, error);
    }
    const uint32_t domain = opt.domain != 0 ? static_cast<uint32_t>(opt.domain) : fabric ? fabric->domain : 1;
    std::set<uint8_t> domains;
    for (const int d : opt.domains)
        domains.insert(static_cast<uint8_t>(d));
    if (domains.empty() && fabric)
        domains.insert(fabric->domains.begin(), fabric->domains.end());
    if (domains.empty())
        for (uint32_t d = 1; d <= kLastDomain; ++d)
            domains.insert(static_cast<uint8_t>(d));
    domains.insert(static_cast<uint8_t>(domain));
    View view(instance, domain, domains);

    // What the server leaves on the machine goes when it has stopped (this
    // outlives the Server below): the fabric view, and the segment - the
    // database lives as long as its server; processes still attached keep
    // their mapping, and a new server creates a fresh segment anyway.
    struct Cleanup {
        int instance;
        key_t key = -1;
        bool view = false;
        ~Cleanup()
        {
            if (key != -1)
                (void)gshm_remove(key);
            if (view)
                (void)fabricClearView(instance);
        }
    } cleanup{instance};

    StopSignals signals; // before the server starts its threads
    server::Options so;
    so.instance = instance;
    so.create_database = !opt.no_init;
    so.send_wait = std::chrono::milliseconds(opt.send_wait_ms);
    server::Server srv(so);
    srv.set_domain_hook([&view](const std::vector<uint8_t> &more) { (void)view.add(more); });
    const int32_t started = srv.start();
    restore_user_umask(); // the library's start-up set it to 0
    if (started != 0)
        throw Failure(is_ipc_error(started) ? kExitServer : kExitDatabase,
                      "serve: " + srv.error() + (started == VOREL_E_FAIL ? key_file_problem() : ""));
    cleanup.key = srv.run([] { return part_vorel_glbl_array[getMySwitch()]->shm_key; });
    cleanup.view = true;
    if (const int rc = view.publish(); rc != 0)
        throw Failure(kExitServer, "serve: cannot set the fabric view (rc=" + std::to_string(rc) + ")");
    if (fabric)
        load_at_start(srv, *fabric, opt.fabric, opt.progress_fd);

    std::printf("vorel server ready: switch instance %d, pid %d, %zu devices loaded\n", instance,
                static_cast<int>(getpid()), fabric ? fabric->devices.size() : size_t{0});
    std::fflush(stdout);
    const int sig = signals.wait();
    std::fprintf(stderr, "vorel serve: switch instance %d stopping (%s)\n", instance, strsignal(sig));
    srv.stop();
    return kExitOk;
}

} // namespace vorel::tool
