// receiver.cpp - see receiver.h.
#include "receiver.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace vtest::ipc {

namespace {

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
        msg.body.assign(static_cast<const uint8_t *>(request) + sizeof(uint32_t),
                        static_cast<const uint8_t *>(request) + request_len);
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

std::vector<Received> Receiver::sync()
{
    Inbox &in = inbox();
    uint32_t expected = 0;
    {
        std::lock_guard lock(in.mutex);
        expected = in.markers + 1;
    }
    IPCAddr addr{};
    addr.node = static_cast<uint16_t>(myNode() & 0xFFFFu);
    addr.svc = 0x400;
    std::snprintf(addr.name, sizeof addr.name, "%s", name_.c_str());
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
