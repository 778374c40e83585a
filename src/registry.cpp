// registry.cpp - the server's table of client types registered for change
// notifications, and the handler of the requests that clients send to the
// server's IPC address.
#include <algorithm>
#include <cstring>

#include "notify.h"
#include "trace.h"

namespace vorel {

std::mutex &registry_mutex()
{
    static std::mutex m;
    return m;
}

} // namespace vorel

namespace {

// The used entries of the calling switch instance's registry.
std::span<uint32_t> registered(VorelPartCtx *c)
{
    return {c->registeredClients, static_cast<std::size_t>(std::max(c->num_clients, 0))};
}

enum class Added { Now, Already, Full };

Added add_client(VorelPartCtx *c, uint32_t client_type)
{
    std::lock_guard guard(vorel::registry_mutex());
    const std::span<uint32_t> used = registered(c);
    if (std::find(used.begin(), used.end(), client_type) != used.end())
        return Added::Already;
    if (used.size() >= VOREL_MAX_CLIENTS)
        return Added::Full;
    c->registeredClients[used.size()] = client_type;
    ++c->num_clients;
    return Added::Now;
}

// Takes the client type out, the later entries keeping their order.  False
// when it was not registered.
bool remove_client(VorelPartCtx *c, uint32_t client_type)
{
    std::lock_guard guard(vorel::registry_mutex());
    const std::span<uint32_t> used = registered(c);
    const auto it = std::find(used.begin(), used.end(), client_type);
    if (it == used.end())
        return false;
    std::copy(it + 1, used.end(), it);
    --c->num_clients;
    return true;
}

// The client type of a register or unregister request: the word after the
// request code, in the machine's byte order.
uint32_t client_type_of(const void *request)
{
    uint32_t client_type = 0;
    std::memcpy(&client_type, static_cast<const char *>(request) + 4, sizeof client_type);
    return client_type;
}

} // namespace

extern "C" {

// Registers a client type for notifications; the result is the database's
// sync state (0, VOREL_E_INSYNC, or VOREL_E_NOTATTACHED when this process is
// not attached), also when the type was registered already.  The table holds
// 8 client types: a ninth is refused with VOREL_E_REGFULL and the table is
// left as it was.
int32_t registerVorelClientToSrvr(uint32_t client_type)
{
    VTRACE_ENTER();
    VorelPartCtx *c = vorel::ctx();
    const int type = static_cast<int>(client_type);
    int32_t rc = VOREL_E_REGFULL;
    switch (add_client(c, client_type)) {
    case Added::Already:
        VTRACE_ERR("client type %d already exists in Vorel\n", type);
        rc = isVorelInSync();
        break;
    case Added::Now:
        VTRACE_INFO("client type %d registeredin Vorel\n", type);
        rc = isVorelInSync();
        break;
    case Added::Full:
        VTRACE_ERR("client type %d cannot be registered: registry full\n", type);
        break;
    }
    VTRACE_EXIT();
    VTRACE_INFO("Error code :%d client type %d registered", rc, type);
    return rc;
}

// Unregisters a client type; always 0.
int32_t unRegisterVorelClientToSrvr(uint32_t client_type)
{
    VTRACE_ENTER();
    const int type = static_cast<int>(client_type);
    if (!remove_client(vorel::ctx(), client_type)) {
        VTRACE_ERR("client type %d doesntexist in Vorel\n", type);
        return 0;
    }
    VTRACE_INFO("client type %d unregisteredfrom Vorel\n", type);
    return 0;
}

// Handles one request sent to the server's address and answers it with a
// 4-byte result, sent back to the requester with the code it supplied.  The
// client type of a register or unregister request is the word at byte 4 of
// the request buffer (the word after the request code), whatever the
// request's length: the IPC service hands every request over in a buffer of
// at least 8 bytes, zero-filled past what was received.  A register or
// unregister request without a buffer is answered with -17 and changes
// nothing.
int32_t ns_vorel_callback(const IPCAddr *requester, uint32_t reply_code, const void *request, uint32_t request_len,
                          uint32_t request_code)
{
    int32_t result = 0;
    (void)request_len;
    const bool has_client_type = request != nullptr;
    VTRACE_ENTER();
    // The request code is printed through the pointer conversion.
    VTRACE_INFO("Vorel server received %pIPC message\n",
                reinterpret_cast<void *>(static_cast<uintptr_t>(request_code)));
    switch (request_code) {
    case IPC_REQ_ENABLE:
        result = initVorelSrvr();
        break;
    case IPC_REQ_DISABLE:
        detachVorelSrvr();
        break;
    case IPC_REQ_REGISTER:
        result = has_client_type ? registerVorelClientToSrvr(client_type_of(request)) : VOREL_E_BADPAYLOAD;
        break;
    case IPC_REQ_UNREGISTER:
        result = has_client_type ? unRegisterVorelClientToSrvr(client_type_of(request)) : VOREL_E_BADPAYLOAD;
        break;
    default:
        break;
    }
    (void)ipcSend(requester, reply_code, &result, sizeof result, nullptr);
    VTRACE_EXIT();
    return 0;
}

} // extern "C"
