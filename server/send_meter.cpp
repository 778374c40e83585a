// send_meter.cpp - the server program's ipcSend: tags the update sends with
// their client type and forwards everything to the platform (see
// send_meter.h).
#include "send_meter.h"

#include <dlfcn.h>

#include <cstring>
#include <utility>

#include <vorel.h>

namespace vorel::server::detail {

namespace {
thread_local SendMeter *t_active = nullptr;

using IpcSendFn = int (*)(const IPCAddr *, uint32_t, const void *, uint32_t, const ipc_timeout_t *);

IpcSendFn platform_ipc_send()
{
    static const IpcSendFn fn = reinterpret_cast<IpcSendFn>(dlsym(RTLD_NEXT, "ipcSend"));
    return fn;
}

bool is_update_send(const IPCAddr *addr, uint32_t code)
{
    return addr != nullptr && code >= VOREL_MSG_REMOTE_DOM_ONLINE && code <= VOREL_MSG_SYNC &&
           std::strncmp(addr->name, VOREL_CLIENT_SVC_NAME, sizeof addr->name) == 0;
}

// The shorter of the caller's time-out and `wait` (no time-out: `wait`).
ipc_timeout_t bounded(const ipc_timeout_t *timeout, std::chrono::milliseconds wait)
{
    const auto ms = wait.count() < 0 ? 0 : wait.count();
    const ipc_timeout_t mine{static_cast<uint32_t>(ms / 1000), static_cast<uint32_t>(ms % 1000 * 1000)};
    if (timeout == nullptr)
        return mine;
    const bool theirs_shorter = timeout->sec < mine.sec || (timeout->sec == mine.sec && timeout->usec < mine.usec);
    return theirs_shorter ? *timeout : mine;
}
} // namespace

SendMeter::SendMeter(std::vector<uint32_t> receivers, std::chrono::milliseconds wait)
    : receivers_(std::move(receivers)), wait_(wait), previous_(t_active)
{
    t_active = this;
}

SendMeter::~SendMeter() { t_active = previous_; }

bool SendMeter::next_type(uint32_t &type, std::chrono::milliseconds &wait)
{
    SendMeter *m = t_active;
    if (m == nullptr || m->receivers_.empty())
        return false;
    type = m->receivers_[m->sends_++ % m->receivers_.size()];
    wait = m->wait_;
    return true;
}

} // namespace vorel::server::detail

extern "C" VOREL_PLATFORM_API int ipcSend(const IPCAddr *addr, uint32_t code, const void *body, uint32_t len,
                                          const ipc_timeout_t *timeout)
{
    using namespace vorel::server::detail;
    uint32_t type = 0;
    std::chrono::milliseconds wait{};
    if (is_update_send(addr, code) && SendMeter::next_type(type, wait) && type < IPC_SEND_TAGS) {
        const ipc_timeout_t t = bounded(timeout, wait);
        return ipcSendTagged(addr, code, body, len, &t, type);
    }
    const IpcSendFn send = platform_ipc_send();
    return send != nullptr ? send(addr, code, body, len, timeout) : PLAT_ERR_NOENT;
}
