// ipc_double.h - recording stand-ins for what the library asks of the IPC
// service, the message queue and the trace facility, for unit tests.
//
// A test program opts in per service by writing, once at namespace scope:
//   VTEST_REQUEST_DOUBLE()  ipcSendRcv and myNode are recorded/decided here;
//   VTEST_QUEUE_DOUBLE()    msgQSend is recorded/decided here;
//   VTEST_TRACE_DOUBLE()    log_debug records every trace record.
// The macros define the C functions in the program itself, where they take
// the place of the platform's for the whole program.  Programs that do not
// opt in keep the platform's services.
//
// ipcSend is not doubled: the server component provides its own ipcSend in
// every program it is linked into.  One-way messages are observed where they
// arrive instead, with a Receiver: a real service of the platform's IPC,
// registered in the test process, that records each message it is sent.
#pragma once

#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "vorel_platform.h"

namespace vtest::ipc {

// One ipcSendRcv.
struct Exchange {
    IPCAddr addr{};
    uint32_t code = 0;
    const void *body_ptr = nullptr; // the pointer as passed
    std::vector<uint8_t> body;      // copy of len bytes (empty for a NULL body)
    uint32_t len = 0;
    uint32_t reply_len_in = 0; // the reply length given by address, as it was on entry
    std::optional<ipc_timeout_t> timeout;
};

// One msgQSend.
struct Post {
    uint32_t queue = 0;
    std::vector<uint8_t> record; // copy of len bytes
    uint32_t len = 0;
    int32_t timeout = 0;
    int32_t priority = 0;
};

// One trace record, formatted.  `tag` is what the tagger (set_trace_tagger)
// said in the writing thread when the record was written.
struct TraceRecord {
    int level = 0;
    std::string format;
    std::string text;
    int tag = 0;
};

// Forgets every record and restores the defaults: ipcSendRcv returns 0 with
// the reply 0, msgQSend returns 0, myNode returns kDefaultNode, no deciders,
// no tagger.
void reset();

constexpr uint32_t kDefaultNode = 0x00030007; // low 16 bits: 7

std::vector<Exchange> exchanges();
std::vector<Post> posts();
std::vector<TraceRecord> traces();
// Number of records of `level` whose text equals `text`.
std::size_t count_traces(int level, const std::string &text);

// Result of each ipcSendRcv and the reply it leaves (when the result is 0).
// Runs in the calling thread.
void on_exchange(std::function<int(const Exchange &, int32_t *reply)> decide);
// Result of each msgQSend (default: 0).
void set_post_result(int rc);
void set_node(uint32_t node);
// Called in the writing thread for each trace record; its result is the tag.
// It may call into the library (its own records are kept too).
void set_trace_tagger(std::function<int(const TraceRecord &)> tagger);

// The name of an address as a string.
std::string name_of(const IPCAddr &addr);

// ---- one-way messages, received for real --------------------------------------

struct Received {
    uint32_t code = 0;
    std::vector<uint8_t> body; // the sender's body (the request code word removed)
};

// Owns a service name of the platform's IPC on this process's node and keeps
// every message sent to it.  One Receiver at a time per program.
class Receiver {
  public:
    explicit Receiver(const char *name);
    ~Receiver();
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;

    bool registered() const { return handle_ > 0; }
    // The address senders use.
    IPCAddr address() const;
    // Everything received so far, once every message this thread sent to the
    // service before the call has arrived (a marker is sent and awaited).
    std::vector<Received> sync();
    void clear();

  private:
    int handle_ = 0;
    std::string name_;
};

// What the C functions defined by the macros do.
int record_exchange(const IPCAddr *addr, uint32_t code, const void *body, uint32_t len, void *reply,
                    uint32_t *reply_len, const ipc_timeout_t *timeout);
int record_post(uint32_t queue, const void *msg, uint32_t len, int32_t timeout, int32_t priority);
uint32_t node();
void record_trace(int level, const char *fmt, va_list args);

} // namespace vtest::ipc

#define VTEST_REQUEST_DOUBLE()                                                                                         \
    extern "C" uint32_t myNode(void) { return vtest::ipc::node(); }                                                    \
    extern "C" int ipcSendRcv(const IPCAddr *addr, uint32_t code, const void *body, uint32_t len, void *reply,         \
                              uint32_t *reply_len, const ipc_timeout_t *timeout)                                       \
    {                                                                                                                  \
        return vtest::ipc::record_exchange(addr, code, body, len, reply, reply_len, timeout);                          \
    }                                                                                                                  \
    static_assert(true)

#define VTEST_QUEUE_DOUBLE()                                                                                           \
    extern "C" int msgQSend(uint32_t queue, const void *msg, uint32_t len, int32_t timeout, int32_t priority)          \
    {                                                                                                                  \
        return vtest::ipc::record_post(queue, msg, len, timeout, priority);                                            \
    }                                                                                                                  \
    static_assert(true)

#define VTEST_TRACE_DOUBLE()                                                                                           \
    extern "C" void log_debug(const char *, int, mod_desc_t *, int level, const char *fmt, ...)                        \
    {                                                                                                                  \
        va_list args;                                                                                                  \
        va_start(args, fmt);                                                                                           \
        vtest::ipc::record_trace(level, fmt, args);                                                                    \
        va_end(args);                                                                                                  \
    }                                                                                                                  \
    static_assert(true)
