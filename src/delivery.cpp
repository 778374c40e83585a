// delivery.cpp - hands one update message to every registered client type
// that can receive it, with the IPC message code of its update type.
#include <cstring>
#include <optional>

#include "notify.h"
#include "trace.h"

namespace {

constexpr uint32_t kNoCode = 0;

// IPC message code of an update type; kNoCode for the types never delivered
// (7 and above 8).
uint32_t message_code(uint32_t update_type)
{
    switch (update_type) {
    case VOREL_UPD_DEV_ONLINE:
    case VOREL_UPD_DEV_ONLINE_ALT:
        return VOREL_MSG_DEV_ONLINE;
    case VOREL_UPD_DEV_OFFLINE:
    case VOREL_UPD_LIST_OFFLINE:
    case VOREL_UPD_DOM_OFFLINE:
        return VOREL_MSG_OFFLINE;
    case VOREL_UPD_DOM_ONLINE:
        return VOREL_MSG_REMOTE_DOM_ONLINE;
    case VOREL_UPD_TYPE2:
    case VOREL_UPD_SYNC:
        return VOREL_MSG_SYNC;
    default:
        return kNoCode;
    }
}

// Entry i of the registry, read afresh under the registry lock; nothing once
// i is past the used entries.
std::optional<uint32_t> client_at(VorelPartCtx *c, int32_t i)
{
    std::lock_guard guard(vorel::registry_mutex());
    if (i >= c->num_clients)
        return std::nullopt;
    return c->registeredClients[i];
}

} // namespace

extern "C" {

// Client types 0 and 1 receive at "PSIPC" on this node; no other type has an
// address (VOREL_E_FAIL).
int32_t getClientIPCAddr(uint32_t client_type, IPCAddr *addr)
{
    VTRACE_ENTER();
    int32_t rc = VOREL_E_FAIL;
    if (client_type == 0 || client_type == 1) {
        std::memset(addr, 0, sizeof *addr);
        addr->node = static_cast<uint16_t>(myNode() & 0xFFFFu);
        addr->svc = VOREL_IPC_SVC;
        std::memcpy(addr->name, VOREL_CLIENT_SVC_NAME, sizeof VOREL_CLIENT_SVC_NAME);
        rc = 0;
    }
    VTRACE_EXIT();
    return rc;
}

// Sends the message (unchanged, still the caller's) to every registered client
// type that can receive it, then counts the delivery in revision_num, also
// when no type is registered or every send failed.  A failed send is traced
// and the other types still get the message.  Types 7 and above 8 are not
// delivered and not counted.  The registry is read one entry at a time under
// its lock, never across a send.
void sendUpdateToClients(uint32_t update_type, void *msg, uint32_t len)
{
    VTRACE_ENTER();
    const uint32_t code = message_code(update_type);
    if (code == kNoCode) {
        VTRACE_EXIT();
        return;
    }
    VorelPartCtx *c = vorel::ctx();
    const ipc_timeout_t timeout{30, 0};
    for (int32_t i = 0;; ++i) {
        const std::optional<uint32_t> client_type = client_at(c, i);
        if (!client_type)
            break;
        if (*client_type == VOREL_CLIENT_VANT) {
            VTRACE_INFO("for VANT don notsend vorel change notification\n");
            continue;
        }
        IPCAddr addr;
        if (getClientIPCAddr(*client_type, &addr) == VOREL_E_FAIL) {
            VTRACE_INFO("Client Type cannot receive IPC Messages\n");
            continue;
        }
        if (ipcSend(&addr, code, msg, len, &timeout) < 0)
            VTRACE_ERR("IPCSend failed for %d msg\n", static_cast<int>(code));
    }
    {
        // Deliveries may come from several of the server's threads.
        std::lock_guard guard(vorel::registry_mutex());
        ++c->revision_num;
    }
    VTRACE_EXIT();
}

} // extern "C"
