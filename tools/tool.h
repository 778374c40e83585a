// tool.h - what the commands of the vorel tool share: exit codes, failures,
// the switch instance, the library's life time and the two ways to reach a
// server (attaching to its database, and its control service).
#pragma once

#include <signal.h>
#include <sys/stat.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "vorel.h"

namespace vorel::tool {

// Exit codes of every command (listed in `vorel --help`).
enum Exit : int {
    kExitOk = 0,
    kExitUsage = 1,    // bad command line
    kExitInput = 2,    // bad input: PID, number, fabric file
    kExitServer = 3,   // no server, or the IPC service failed
    kExitDatabase = 4, // the database refused or failed, or a PID is not stored
    kExitCheck = 5,    // check found violations
};

// A command's failure: message for stderr and the exit code.
struct Failure : std::runtime_error {
    Failure(int exit_code, const std::string &message) : std::runtime_error(message), code(exit_code) {}
    int code;
};

// Makes `instance` the switch instance of this process and of the threads it
// starts (VOREL_SWITCH) and of the calling thread.
void select_instance(int instance);

// The file-creation mask the user started the tool with; the first call
// reads it, and main() makes that call before anything else.  The library's
// start-up sets the process's mask to 0 (its key file is made 0666), so the
// tool and its server put the user's mask back right after it, for the
// files they create themselves.
inline mode_t user_umask()
{
    static const mode_t mask = [] {
        const mode_t m = ::umask(0);
        ::umask(m);
        return m;
    }();
    return mask;
}
inline void restore_user_umask() { ::umask(user_umask()); }

// What is wrong with the instance's key file when the library cannot start:
// ": the key file ... is a symbolic link ...", or "" when nothing shows.
std::string key_file_problem();

// Text for a library status (0 or a negative VOREL_E_* code).
std::string status_text(int32_t rc);
// Text for a result of the platform's IPC service.
std::string ipc_text(int rc);
// True for a result that came from the IPC service rather than from a server.
inline bool is_ipc_error(int rc) { return rc <= -200 && rc > -300; }

// The library started for the selected instance; shut down (detaching as the
// process's role says) at the end of the scope.
class LibraryScope {
  public:
    LibraryScope();
    ~LibraryScope();
    LibraryScope(const LibraryScope &) = delete;
    LibraryScope &operator=(const LibraryScope &) = delete;
};

// One request to the control service of the instance's server.  Throws a
// Failure (kExitServer) when the server cannot be reached, and returns the
// reply object otherwise, whatever its rc.  timeout_s 0 waits without limit.
nlohmann::json control_request(uint32_t code, const nlohmann::json &body, uint32_t timeout_s = 60);

// Throws the Failure that a control reply with a non-zero rc stands for.
void expect_ok(const nlohmann::json &reply, const std::string &what);

// A client attached to the instance's database for reading.  It makes sure a
// server answers, then attaches through enableVorel: the server only creates
// the database when it has none (a server started with --no-init), and the
// reader attaches to the segment.  The process stays detached from the
// registry: no client type is registered, so no notification is sent to it.
class Reader {
  public:
    Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

  private:
    LibraryScope lib_;
};

// SIGINT, SIGTERM and SIGHUP blocked in the calling thread (and so in every
// thread it starts afterwards), to be taken one at a time: the way the
// long-running commands end cleanly.  Create it before any thread starts.
class StopSignals {
  public:
    StopSignals();
    ~StopSignals(); // restores the mask
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;
    // Waits for one of the signals; returns its number.
    int wait();
    // A pending signal's number, or 0 (does not wait).
    int poll();

  private:
    sigset_t set_{};
    sigset_t old_{};
};

} // namespace vorel::tool
