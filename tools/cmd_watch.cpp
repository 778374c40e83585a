// cmd_watch.cpp - `vorel watch`: registers a client type with the server of
// a switch instance, owns "PSIPC" where the server delivers the update
// messages, and prints each one decoded.
//
// A watcher that does not read its notifications in time (stopped, or too
// slow for the updates) is cut off by the server's platform: it receives the
// whole messages sent before, then IPC_CODE_CUT_OFF.  The watcher then says
// so on standard error and exits with kExitServer (3); started again, it
// registers again and receives new messages.
//
// A server's registry of client types dies with it.  A watcher outlives its
// server: while idle it asks once a second which server runs the instance,
// says on standard error when none answers, and registers again with the
// next one, which it tells apart by its process id.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <vector>

#include "commands.h"
#include "control.h"
#include "decode.h"
#include "tool.h"

namespace vorel::tool {

namespace {

struct Delivery {
    uint32_t code = 0;
    std::vector<std::byte> body;
};

// Messages handed over by the IPC dispatch thread.
struct Inbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Delivery> queue;
};

Inbox g_inbox;

int32_t on_message(const IPCAddr *, uint32_t, const void *request, uint32_t request_len, uint32_t code)
{
    // The request buffer holds the code word, then the body.
    Delivery d;
    d.code = code;
    if (request != nullptr && request_len > sizeof(uint32_t)) {
        const auto *bytes = static_cast<const std::byte *>(request);
        d.body.assign(bytes + sizeof(uint32_t), bytes + request_len);
    }
    std::lock_guard lock(g_inbox.mutex);
    g_inbox.queue.push_back(std::move(d));
    g_inbox.arrived.notify_one();
    return 0;
}

// Owns "PSIPC" of the instance's node for its life time.
class Mailbox {
  public:
    Mailbox() : handle_(ipcRegisterService(VOREL_CLIENT_SVC_NAME, on_message))
    {
        if (handle_ == PLAT_ERR_BUSY)
            throw Failure(kExitServer, "watch: another process already receives the notifications of switch instance " +
                                           std::to_string(getMySwitch()) + " (\"" VOREL_CLIENT_SVC_NAME "\" is taken)");
        if (handle_ < 0)
            throw Failure(kExitServer, "watch: cannot own \"" VOREL_CLIENT_SVC_NAME "\": " + ipc_text(handle_));
    }
    ~Mailbox() { (void)ipcUnregisterService(handle_); }
    Mailbox(const Mailbox &) = delete;
    Mailbox &operator=(const Mailbox &) = delete;

  private:
    int handle_;
};

// The client type registered with the server for its life time.
class Registration {
  public:
    explicit Registration(uint32_t type) : type_(type)
    {
        status_ = registerVorelClient(type);
        if (is_ipc_error(status_))
            throw Failure(kExitServer,
                          "watch: register client type " + std::to_string(type) + ": " + ipc_text(status_));
        if (status_ == VOREL_E_REGFULL)
            throw Failure(kExitDatabase, "watch: the server's registry of client types is full");
    }
    ~Registration() { (void)unregisterVorelClient(type_); }
    Registration(const Registration &) = delete;
    Registration &operator=(const Registration &) = delete;

    int32_t status() const { return status_; }

  private:
    uint32_t type_;
    int32_t status_ = 0;
};

// The process id of the server that answers the instance's control
// service, or -1 when none answers within a few seconds.
long server_pid()
{
    try {
        return control_request(control::CTL_PING, nlohmann::json::object(), 5).value("pid", -1L);
    } catch (const Failure &) {
        return -1;
    }
}

// Keeps the client type registered with whichever server runs the instance.
class ServerFollower {
  public:
    explicit ServerFollower(uint32_t type) : type_(type), registered_with_(server_pid()) {}

    void check()
    {
        const long now = server_pid();
        if (now < 0) {
            if (answering_)
                std::fprintf(stderr, "vorel watch: no server answers on switch instance %d; waiting for one\n",
                             getMySwitch());
            answering_ = false;
        } else if (now != registered_with_) {
            // The attachment belongs to the stopped server's segment; the
            // registration attaches to the new server's one.
            detachVorelClient();
            if (is_ipc_error(registerVorelClient(type_)))
                return; // tried again at the next check
            registered_with_ = now;
            answering_ = true;
            std::fprintf(
                stderr,
                "vorel watch: switch instance %d, client type %u registered again with a new server (pid %ld)\n",
                getMySwitch(), static_cast<unsigned>(type_), now);
        } else if (!answering_) {
            answering_ = true;
            std::fprintf(stderr, "vorel watch: the server of switch instance %d answers again\n", getMySwitch());
        }
        std::fflush(stderr);
    }

  private:
    uint32_t type_;
    long registered_with_;
    bool answering_ = true;
};

std::string state_text(int32_t status)
{
    switch (status) {
    case VOREL_E_INSYNC:
        return "database in sync";
    case 0:
        return "initial load not announced yet";
    case VOREL_E_NOTATTACHED:
        return "the server has no database yet";
    default:
        return status_text(status);
    }
}

} // namespace

int cmd_watch(const WatchOptions &opt)
{
    if (opt.client_type != 0 && opt.client_type != 1)
        std::fprintf(stderr, "vorel watch: note: the server delivers updates only to client types 0 and 1\n");
    StopSignals signals; // before the IPC service starts its thread
    LibraryScope lib;
    Mailbox mailbox;
    Registration reg(opt.client_type);
    std::fprintf(stderr, "vorel watch: switch instance %d, client type %u registered (%s)\n", getMySwitch(),
                 static_cast<unsigned>(opt.client_type), state_text(reg.status()).c_str());
    std::fflush(stderr);

    ServerFollower follower(opt.client_type);

    using Clock = std::chrono::steady_clock;
    auto last = Clock::now();
    auto checked = last;
    uint64_t seen = 0;
    while (opt.count == 0 || seen < opt.count) {
        std::deque<Delivery> batch;
        {
            std::unique_lock lock(g_inbox.mutex);
            g_inbox.arrived.wait_for(lock, std::chrono::milliseconds(100), [] { return !g_inbox.queue.empty(); });
            batch.swap(g_inbox.queue);
        }
        for (const Delivery &d : batch) {
            if (opt.count != 0 && seen >= opt.count)
                break;
            if (d.code == IPC_CODE_CUT_OFF) {
                std::fflush(stdout);
                throw Failure(kExitServer, "watch: the server cut this watcher off: it did not read its "
                                           "notifications in time, later ones were not delivered");
            }
            std::string line = opt.json ? decode::format_json(d.code, d.body) : decode::format_text(d.code, d.body);
            while (!line.empty() && line.back() == '\n')
                line.pop_back();
            std::printf("%s\n", line.c_str());
            ++seen;
        }
        if (!batch.empty()) {
            std::fflush(stdout);
            last = Clock::now();
        } else if (Clock::now() - checked >= std::chrono::seconds(1)) {
            follower.check();
            checked = Clock::now();
        }
        if (signals.poll() != 0)
            break;
        if (opt.timeout_s != 0 && Clock::now() - last > std::chrono::seconds(opt.timeout_s))
            throw Failure(kExitServer, "watch: no notification for " + std::to_string(opt.timeout_s) + " s");
    }
    return kExitOk;
}

} // namespace vorel::tool
