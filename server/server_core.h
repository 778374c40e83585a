// server_core.h - the inside of a vorel server, shared by the Server object,
// the IPC service handlers and the queue consumer thread.  Not for programs
// that use the server: they include vorel_server.h.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "vorel_server.h"

namespace vorel::server {

// Sets the calling thread's switch instance for as long as it lives.
class SwitchScope {
  public:
    explicit SwitchScope(int instance) : previous_(getMySwitch()) { setMySwitch(instance); }
    ~SwitchScope() { setMySwitch(previous_); }
    SwitchScope(const SwitchScope &) = delete;
    SwitchScope &operator=(const SwitchScope &) = delete;

  private:
    int previous_;
};

enum class State { Stopped, Starting, Running, Stopping };

struct Core {
    Core(Server &s, const Options &o) : owner(s), options(o) {}

    Server &owner; // outlives every handler call: stop() ends them first
    const Options options;

    // Serializes every call into the library (see vorel_server.h).  Recursive
    // so that a loader or a run() function may use the update methods.
    std::recursive_mutex lib_mutex;
    FabricLoader loader;    // guarded by lib_mutex
    DomainHook domain_hook; // guarded by lib_mutex

    // Everything below is guarded by `mutex`; `changed` is notified whenever
    // the state or a counter moves.
    mutable std::mutex mutex;
    std::condition_variable changed;
    State state = State::Stopped;
    std::string error;
    uint32_t queue = 0;
    int nsipc_service = 0;
    int control_service = 0;
    uint64_t handled = 0;
    uint64_t posted = 0; // posts made through the server's methods
    uint64_t malformed = 0;
    uint64_t drain_asked = 0;
    uint64_t drain_reached = 0;
    bool disabled = false; // a disable request came last (not an enable)
    // The platform's counters per client type when the server started: its
    // statistics are what moved since.
    std::array<ipc_send_stats_t, IPC_SEND_TAGS> counts_at_start{};

    std::thread consumer;

    // Waits while the server is starting; true when it is running.
    bool wait_running();
    // The registered types that receive updates, in registry order, for a
    // SendMeter.  Call with lib_mutex held.
    std::vector<uint32_t> receivers() const;
};

// Carries out one control request; defined with the control service.
std::string handle_control(Server &server, uint32_t code, std::string_view body) noexcept;

} // namespace vorel::server
