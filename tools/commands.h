// commands.h - the commands of the vorel tool, each a function of its parsed
// options.  They write results to stdout, throw a Failure for errors, and
// return the exit code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gen.h"
#include "vorel.h"

namespace vorel::tool {

// Server.
struct ServeOptions {
    std::string fabric;           // fabric file to load at start ("" none)
    bool no_init = false;         // do not create the database until a client enables it
    int domain = 0;               // own domain (overrides the fabric file's)
    std::vector<int> domains;     // domain list of the fabric view (overrides)
    int progress_fd = -1;         // terminal for the loading bar (-1: stderr, when stdout is a terminal)
    unsigned send_wait_ms = 2000; // an update send's wait for room before its receiver is cut off
};
int cmd_serve(const ServeOptions &opt);

// Readers.
int cmd_enable();
int cmd_disable();
int cmd_count(bool json);
int cmd_show(uint32_t pid, bool json);
int cmd_dump();
int cmd_list(bool json);
int cmd_local(bool json);
int cmd_stats(bool json);
struct CheckOptions {
    bool json = false;
    bool strict = false;
    size_t limit = 50; // findings printed per kind (0: all)
};
int cmd_check(const CheckOptions &opt);
int cmd_dot(uint32_t domain, const std::string &output);

// Watcher.
struct WatchOptions {
    uint32_t client_type = 0;
    bool json = false;
    uint64_t count = 0;     // exit after this many messages (0: until interrupted)
    uint32_t timeout_s = 0; // exit with an error when nothing arrives for this long (0: never)
};
int cmd_watch(const WatchOptions &opt);

// Changes through the server's control service.
struct DeviceOptions {
    uint32_t pid = 0;
    int ind = 0;
    uint32_t spd = 0;
    uint32_t flags = 0;
    std::string extra;
    std::vector<uint32_t> dests;
    uint32_t type = 0;
    bool queued = false;
};
int cmd_add(const DeviceOptions &opt, bool json);
int cmd_del(uint32_t pid, bool queued, bool json);
int cmd_deldom(uint32_t domain, bool queued, bool json);
struct LoadOptions {
    uint32_t type = VOREL_UPD_SYNC;
    bool queued = false;
    bool quiet = false; // no progress bar
};
int cmd_load(const std::string &file, const LoadOptions &opt, bool json);
int cmd_dellist(const std::vector<uint32_t> &pids, uint32_t type, bool queued, bool json);
int cmd_sync(bool queued, bool json);

// The trace ring of the instance.
struct TraceOptions {
    bool follow = false; // wait for new records until interrupted
    int level = -1;      // only records of this level or lower (-1: all)
    std::string since;   // only records written since this time
    std::string grep;    // only records whose text contains this
    bool json = false;   // one JSON object per line
    bool clear = false;  // empty the ring
    int level_set = -1;  // set the trace level of the instance's running processes
};
int cmd_trace(const TraceOptions &opt);

// Offline.
int cmd_gen(const GenOptions &opt, const std::string &output);

// The scripted demonstration.
struct DemoOptions {
    std::string fabric; // "" : the bundled example
    bool keep = false;  // keep the private runtime directory
};
int cmd_demo(const DemoOptions &opt, const std::string &self);

} // namespace vorel::tool
