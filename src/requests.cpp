// requests.cpp - what a process asks of the server through its IPC address:
// enable or disable the database, register or unregister a client type.
// Each request waits for the server's 4-byte reply.
#include <cstring>

#include "notify.h"
#include "trace.h"

namespace {

// Time-outs of the register request: client type 3 waits less.
constexpr ipc_timeout_t kRegisterTimeout{60, 0};
constexpr ipc_timeout_t kShortRegisterTimeout{10, 0};
constexpr uint32_t kShortWaitClient = 3;

// The server's address on this node, built afresh for each request.
IPCAddr server_address()
{
    IPCAddr addr;
    std::memset(&addr, 0, sizeof addr);
    addr.node = static_cast<uint16_t>(myNode() & 0xFFFFu);
    addr.svc = VOREL_IPC_SVC;
    std::memcpy(addr.name, VOREL_SERVER_SVC_NAME, sizeof VOREL_SERVER_SVC_NAME);
    return addr;
}

// One request and its reply.  Returns ipcSendRcv's result (0 when the reply
// arrived, which is then in *reply).
int ask_server(uint32_t code, const void *body, uint32_t len, const ipc_timeout_t *timeout, int32_t *reply)
{
    const IPCAddr addr = server_address();
    uint32_t reply_len = sizeof *reply;
    return ipcSendRcv(&addr, code, body, len, reply, &reply_len, timeout);
}

} // namespace

extern "C" {

// Asks the server to create the segment, then attaches to it; the attach is
// made whatever the server answered, as long as the exchange went through.
// The result is the exchange's (0, or the IPC service's failure).
int32_t enableVorel(uint32_t param)
{
    VTRACE_ENTER();
    int32_t reply = 0;
    const int32_t rc = ask_server(IPC_REQ_ENABLE, &param, sizeof param, nullptr, &reply);
    if (rc != 0) {
        VTRACE_ERR("enableVorel ipcSendRcv failed rc=%d\n", rc);
    } else {
        VTRACE_INFO("enableVorel returns %d\n", reply);
        (void)initVorelClient();
    }
    VTRACE_EXIT();
    return rc;
}

// Asks the server to detach; this process's own attachment stays.
int32_t disableVorel(void)
{
    VTRACE_ENTER();
    int32_t reply = 0;
    const int32_t rc = ask_server(IPC_REQ_DISABLE, nullptr, 0, nullptr, &reply);
    if (rc != 0)
        VTRACE_ERR("disableVorel ipcSendRcv failed rc=%d\n", rc);
    else
        VTRACE_INFO("disableVorel returns %d\n", reply);
    VTRACE_EXIT();
    return rc;
}

// Registers the client type with the server and attaches when not attached
// yet.  The result is the server's reply (its sync state: 0, VOREL_E_INSYNC,
// VOREL_E_NOTATTACHED, or VOREL_E_REGFULL when its registry is full), or the IPC service's failure.
int32_t registerVorelClient(uint32_t client_type)
{
    VTRACE_ENTER();
    const ipc_timeout_t *timeout = client_type == kShortWaitClient ? &kShortRegisterTimeout : &kRegisterTimeout;
    int32_t reply = 0;
    const int32_t rc = ask_server(IPC_REQ_REGISTER, &client_type, sizeof client_type, timeout, &reply);
    if (rc != 0) {
        VTRACE_ERR("registerVorelClient ipcSendRcv failed rc=%d\n", rc);
        VTRACE_EXIT();
        return rc;
    }
    VTRACE_INFO("registerVorelClient returns %d\n", reply);
    if (vorel::ctx()->initialized <= 0)
        (void)initVorelClient();
    VTRACE_EXIT();
    return reply;
}

// Detaches first, then asks the server to drop the client type; the process
// stays detached when the request fails.
int32_t unregisterVorelClient(uint32_t client_type)
{
    VTRACE_ENTER();
    detachVorelClient();
    int32_t reply = 0;
    const int32_t rc = ask_server(IPC_REQ_UNREGISTER, &client_type, sizeof client_type, nullptr, &reply);
    if (rc != 0)
        VTRACE_ERR("unregisterVorelClient ipcSendRcv failed rc=%d\n", rc);
    else
        VTRACE_INFO("unregisterVorelClient returns %d\n", reply);
    VTRACE_EXIT();
    return rc;
}

} // extern "C"
