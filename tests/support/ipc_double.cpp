// ipc_double.cpp - the recording behind ipc_double.h.
#include "ipc_double.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace vtest::ipc {

namespace {

struct State {
    std::mutex mutex;
    std::vector<Exchange> exchanges;
    std::vector<Post> posts;
    std::vector<TraceRecord> traces;
    std::function<int(const Exchange &, int32_t *)> decide_exchange;
    std::function<int(const TraceRecord &)> tagger;
    int post_result = 0;
    uint32_t node = kDefaultNode;
};

State &state()
{
    static State s;
    return s;
}

std::vector<uint8_t> copy_of(const void *p, uint32_t len)
{
    if (p == nullptr || len == 0)
        return {};
    const auto *b = static_cast<const uint8_t *>(p);
    return {b, b + len};
}

// What the one Receiver of the program has been sent.
struct Inbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Received> messages;
    uint32_t markers = 0;
};

Inbox &inbox()
{
    static Inbox i;
    return i;
}

constexpr uint32_t kMarkerCode = 0x7E57AA01;

int32_t receive(const IPCAddr *, uint32_t, const void *request, uint32_t request_len, uint32_t request_code)
{
    Received msg;
    msg.code = request_code;
    if (request != nullptr && request_len > sizeof(uint32_t))
        msg.body = copy_of(static_cast<const uint8_t *>(request) + sizeof(uint32_t),
                           request_len - static_cast<uint32_t>(sizeof(uint32_t)));
    Inbox &in = inbox();
    std::lock_guard lock(in.mutex);
    if (request_code == kMarkerCode)
        ++in.markers;
    else
        in.messages.push_back(std::move(msg));
    in.arrived.notify_all();
    return 0;
}

} // namespace

void reset()
{
    State &s = state();
    std::lock_guard lock(s.mutex);
    s.exchanges.clear();
    s.posts.clear();
    s.traces.clear();
    s.decide_exchange = nullptr;
    s.tagger = nullptr;
    s.post_result = 0;
    s.node = kDefaultNode;
}

std::vector<Exchange> exchanges()
{
    std::lock_guard lock(state().mutex);
    return state().exchanges;
}

std::vector<Post> posts()
{
    std::lock_guard lock(state().mutex);
    return state().posts;
}

std::vector<TraceRecord> traces()
{
    std::lock_guard lock(state().mutex);
    return state().traces;
}

std::size_t count_traces(int level, const std::string &text)
{
    std::size_t n = 0;
    for (const TraceRecord &r : traces())
        n += r.level == level && r.text == text ? 1 : 0;
    return n;
}

void on_exchange(std::function<int(const Exchange &, int32_t *reply)> decide)
{
    std::lock_guard lock(state().mutex);
    state().decide_exchange = std::move(decide);
}

void set_post_result(int rc)
{
    std::lock_guard lock(state().mutex);
    state().post_result = rc;
}

void set_node(uint32_t value)
{
    std::lock_guard lock(state().mutex);
    state().node = value;
}

void set_trace_tagger(std::function<int(const TraceRecord &)> tagger)
{
    std::lock_guard lock(state().mutex);
    state().tagger = std::move(tagger);
}

std::string name_of(const IPCAddr &addr) { return std::string(addr.name, strnlen(addr.name, sizeof addr.name)); }

uint32_t node()
{
    std::lock_guard lock(state().mutex);
    return state().node;
}

int record_exchange(const IPCAddr *addr, uint32_t code, const void *body, uint32_t len, void *reply,
                    uint32_t *reply_len, const ipc_timeout_t *timeout)
{
    Exchange rec;
    if (addr != nullptr)
        rec.addr = *addr;
    rec.code = code;
    rec.body_ptr = body;
    rec.body = copy_of(body, len);
    rec.len = len;
    rec.reply_len_in = reply_len != nullptr ? *reply_len : 0;
    if (timeout != nullptr)
        rec.timeout = *timeout;
    std::function<int(const Exchange &, int32_t *)> decide;
    {
        std::lock_guard lock(state().mutex);
        decide = state().decide_exchange;
    }
    // Decided outside the lock: the decider may look at the library's state.
    int32_t answer = 0;
    const int rc = decide ? decide(rec, &answer) : 0;
    if (rc == 0 && reply != nullptr) {
        std::memcpy(reply, &answer, sizeof answer);
        if (reply_len != nullptr)
            *reply_len = sizeof answer;
    }
    std::lock_guard lock(state().mutex);
    state().exchanges.push_back(std::move(rec));
    return rc;
}

int record_post(uint32_t queue, const void *msg, uint32_t len, int32_t timeout, int32_t priority)
{
    std::lock_guard lock(state().mutex);
    state().posts.push_back(Post{queue, copy_of(msg, len), len, timeout, priority});
    return state().post_result;
}

void record_trace(int level, const char *fmt, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    TraceRecord rec{level, fmt, std::string(n > 0 ? static_cast<std::size_t>(n) : 0, '\0'), 0};
    if (n > 0)
        std::vsnprintf(rec.text.data(), rec.text.size() + 1, fmt, args);
    std::function<int(const TraceRecord &)> tagger;
    {
        std::lock_guard lock(state().mutex);
        tagger = state().tagger;
    }
    if (tagger)
        rec.tag = tagger(rec);
    std::lock_guard lock(state().mutex);
    state().traces.push_back(std::move(rec));
}

// ---- Receiver ----------------------------------------------------------------

Receiver::Receiver(const char *name) : name_(name)
{
    clear();
    handle_ = ipcRegisterService(name, receive);
}

Receiver::~Receiver()
{
    if (handle_ > 0)
        (void)ipcUnregisterService(handle_);
}

IPCAddr Receiver::address() const
{
    IPCAddr addr{};
    addr.node = static_cast<uint16_t>(myNode() & 0xFFFFu);
    addr.svc = 0x400;
    std::snprintf(addr.name, sizeof addr.name, "%s", name_.c_str());
    return addr;
}

std::vector<Received> Receiver::sync()
{
    Inbox &in = inbox();
    uint32_t expected = 0;
    {
        std::lock_guard lock(in.mutex);
        expected = in.markers + 1;
    }
    const IPCAddr addr = address();
    const ipc_timeout_t timeout{10, 0};
    if (ipcSend(&addr, kMarkerCode, nullptr, 0, &timeout) < 0)
        return {};
    std::unique_lock lock(in.mutex);
    in.arrived.wait_for(lock, std::chrono::seconds(20), [&] { return in.markers >= expected; });
    return in.messages;
}

void Receiver::clear()
{
    std::lock_guard lock(inbox().mutex);
    inbox().messages.clear();
}

} // namespace vtest::ipc
