// vorel_server.h - the server side of the vorel database for one switch
// instance, as a component that a program (the `vorel serve` command, a test,
// a benchmark) runs in its own process.
//
// A started Server
//   - has started the library for its switch instance (vorellibInit) and, by
//     default, created the database (initVorelSrvr), so that the database
//     exists before any client asks to enable it;
//   - owns the IPC service "NSIPC" of its node, whose requests (enable,
//     disable, register, unregister) reach the library's ns_vorel_callback;
//   - owns an internal message queue, whose identifier queue() is what the
//     library's update operations take to defer their work, and a consumer
//     thread that turns every posted VorelQueueReq back into the direct call
//     and then releases what the request handed over;
//   - owns the control service "VORELCTL" (control.h), through which other
//     processes change the database;
//   - reports, per client type, the update messages delivered to it, the
//     sends that failed and the ones still queued, as the platform counts
//     them (see send_meter.h for how each send is tagged with its type).
//
// The library keeps the registry of client types in the server's heap without
// a lock, so everything the server runs through the library - the NSIPC
// requests, the queued requests, the control requests, and the calls a
// program makes through run() or the update methods below - is serialized by
// one mutex of the server.  A program must not call the library's server
// operations past this class while the server runs.
//
// Only one server may run for a switch instance: start() fails with
// PLAT_ERR_BUSY when another process (or another Server of this process) owns
// "NSIPC" of that instance, and error() says so.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <vorel.h>

namespace vorel::server {

using namespace std::chrono_literals;

// A device and its complete list of destinations, as the update operations
// take them.
struct Device {
    DevInfo dev{};
    std::vector<DevInfo> destinations;
};

struct Options {
    int instance = 0;               // switch instance, 0..127
    bool create_database = true;    // initVorelSrvr() at start
    bool control_service = true;    // own "VORELCTL"
    uint32_t queue_capacity = 4096; // requests the internal queue holds
    // How long a stop lets queued update messages drain before it closes
    // the connections that still hold some.
    std::chrono::milliseconds stop_drain = 5s;
    // How long an update send waits for room in a receiver's output buffer
    // before that receiver is cut off.  The library allows its sends 30 s,
    // but the waiting send holds the server's lock on the library, so every
    // other client would wait as long.
    std::chrono::milliseconds send_wait = 2s;
};

struct ClientStats {
    uint32_t type = 0;
    bool registered = false;   // in the registry now
    uint64_t delivered = 0;    // update messages written out whole
    uint64_t failed = 0;       // refused, or dropped with a connection cut off or lost
    uint64_t queued = 0;       // waiting in the outbox; delivered + failed + queued = sent
    uint64_t queued_bytes = 0; // bytes of the waiting messages
    uint64_t oldest_ms = 0;    // how long the oldest waiting message has waited
    uint64_t cutoffs = 0;      // times its receiver was cut off for not reading
};

struct Stats {
    uint32_t revision = 0;            // getCurrentRevisionNum(): deliveries made
    std::vector<uint32_t> registered; // the registry, in registration order
    std::vector<ClientStats> clients; // every type registered now or sent to before, by type
    uint64_t handled = 0;             // queued requests the consumer has carried out
    uint64_t queue_depth = 0;         // requests posted through this server and not yet handled
    uint64_t malformed = 0;           // queue records that were not requests and were dropped
    ipc_limits_t limits{};            // the IPC service's limits in the server's process
};

// What an update really did, beside its result: how many of the devices it
// names are stored as asked once it has run - for a delete, gone - (checked
// by lookup, at once in direct mode; a queued change is only posted), and the
// reason for the first one that is not, or why the request was refused as a
// whole.  A domain's removal gives the number of devices it removed.
struct Outcome {
    uint64_t requested = 0;
    uint64_t stored = 0; // for a delete: removed
    std::string error;
};

// Receives the domain list of a fabric that a client loads through the
// control service, before its devices are added: the program running the
// server grows its fabric view with it, so that every loaded device can be
// enumerated.
using DomainHook = std::function<void(const std::vector<uint8_t> &domains)>;

// Reads a fabric file into a device list.  The `vorel` tool registers its
// loader; the server applies the list as one bulk add.  Returns 0, or a
// negative code with `error` set.
using FabricLoader = std::function<int32_t(const std::string &path, std::vector<Device> &devices, std::string &error)>;

struct Core; // the state shared with the service handlers and the consumer thread

class Server {
  public:
    explicit Server(Options options = {});
    ~Server(); // stop()
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Starts everything listed above.  0, or the failing step's result (the
    // platform's PLAT_ERR_* or the library's VOREL_E_*), with error() set and
    // nothing left running.
    int32_t start();
    // Stops the services, lets the consumer carry out what was queued,
    // releases anything posted after that, and shuts the library down
    // (vorellibUnInit detaches from the database).  Safe to call twice.
    void stop();

    bool running() const;
    std::string error() const;
    int instance() const;
    // The internal queue's identifier, for the library's update operations;
    // 0 when not running.
    uint32_t queue() const;

    // Runs `fn` in the server's switch instance under the server's mutex and
    // meters the update sends it makes.  Any library operation that touches
    // the registry or delivers updates must run through here.
    template <class F> auto run(F &&fn) -> decltype(fn())
    {
        using R = decltype(fn());
        if constexpr (std::is_void_v<R>) {
            run_locked([&] { fn(); });
        } else {
            R result{};
            run_locked([&] { result = fn(); });
            return result;
        }
    }

    // The update operations, at once or deferred through the internal queue.
    // They build the heap records that the library expects; in queued mode a
    // record posted successfully belongs to the consumer, a refused one is
    // released here.  Results are the library's (VOREL_E_NOMEM when the
    // records cannot be built), or:
    //   control::kErrRefused  nothing was done because the request breaks a
    //     precondition the library leaves to its caller: an initial load
    //     (update type 8) naming a PID that is stored already, or twice, or
    //     coming after sync done (the consumer checks a queued one again and
    //     drops it whole); a delete of a PID that is not stored;
    //   control::kErrNotStored  carried out at once, but not every device is
    //     stored as asked afterwards.
    // `outcome`, when given, receives the counts and the reason.
    int32_t add_device(const Device &device, uint32_t update_type, bool queued, Outcome *outcome = nullptr);
    int32_t delete_device(uint32_t pid, bool queued, Outcome *outcome = nullptr);
    int32_t delete_domain(uint32_t domain, bool queued, Outcome *outcome = nullptr);
    int32_t add_list(std::span<const Device> devices, uint32_t update_type, bool queued, Outcome *outcome = nullptr);
    int32_t delete_list(std::span<const uint32_t> pids, uint32_t update_type, bool queued, Outcome *outcome = nullptr);
    int32_t sync_done(bool queued);
    // Reads `path` with the registered loader and adds its devices as one list.
    // control::kErrFabricFile, with `error` set, when there is no loader or
    // the loader fails.  For the program running the server only: the control
    // service never opens a path that a client names.
    int32_t load_file(const std::string &path, uint32_t update_type, bool queued, std::string &error);
    void set_fabric_loader(FabricLoader loader);
    void set_domain_hook(DomainHook hook);
    // Passes the domains of a client's load to the hook (nothing without one).
    void add_domains(const std::vector<uint8_t> &domains);

    // True while a client has disabled the database (its enable request
    // would create a new, empty one); reading clients do not attach then.
    bool disabled() const;

    // Waits until every request posted to the queue before the call has been
    // handled.  False when the time-out passed first or the server is not
    // running.
    bool drain(std::chrono::milliseconds timeout = 20s);
    // Number of queued requests handled so far, and a wait for that number
    // to reach `n`.
    uint64_t handled() const;
    bool wait_handled(uint64_t n, std::chrono::milliseconds timeout = 20s);

    Stats stats() const;

    // Carries out one control request (control.h) and returns the JSON reply.
    // The "VORELCTL" service calls this; tests may call it directly.
    std::string control(uint32_t code, std::string_view body);

  private:
    void run_locked(const std::function<void()> &fn);

    std::shared_ptr<Core> core_;
};

} // namespace vorel::server
