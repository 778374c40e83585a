// fuzz_handler - the server's request handler, ns_vorel_callback, with any
// sequence of requests, each in a heap block of its length as the IPC service
// hands it over (ipcSend, ipcSendRcv and myNode are this program's own, so
// replies are recorded).  After every request: one 4-byte reply with its code
// and no time-out, and a registry that matches a model of enable, disable,
// register and unregister, before the segment exists, on it, and after sync.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "fuzz_common.h"
#include "vorel_db.h"

namespace {
constexpr int kInstance = 121;
constexpr uint32_t kNode = 0x00050007;

struct Reply {
    IPCAddr addr{};
    uint32_t code = 0;
    uint32_t len = 0;
    bool has_body = false;
    int32_t value = 0;
    bool has_timeout = false;
};

std::vector<Reply> g_replies;
int g_send_result = 0;
int g_requests_made = 0;

} // namespace

extern "C" int ipcSend(const IPCAddr *addr, uint32_t code, const void *body, uint32_t len, const ipc_timeout_t *timeout)
{
    Reply r;
    if (addr != nullptr)
        r.addr = *addr;
    r.code = code;
    r.len = len;
    r.has_body = body != nullptr;
    if (body != nullptr && len >= sizeof r.value)
        std::memcpy(&r.value, body, sizeof r.value);
    r.has_timeout = timeout != nullptr;
    g_replies.push_back(r);
    return g_send_result; // the handler must not care
}

extern "C" int ipcSendRcv(const IPCAddr *, uint32_t, const void *, uint32_t, void *, uint32_t *, const ipc_timeout_t *)
{
    ++g_requests_made;
    return PLAT_ERR_NOENT;
}

extern "C" uint32_t myNode(void) { return kNode; }

namespace {
// What the handler should have done to the registry and the attachment.
struct HandlerModel {
    bool attached = false;
    bool synced = false; // the initial load was announced on the present segment
    std::vector<uint32_t> registry;

    int32_t sync_state() const { return !attached ? VOREL_E_NOTATTACHED : synced ? VOREL_E_INSYNC : 0; }
};

HandlerModel g_model;

using vfuzz::context;

std::vector<uint32_t> registry_now()
{
    const VorelPartCtx *c = context();
    VFUZZ_CHECK(c->num_clients >= 0 && c->num_clients <= VOREL_MAX_CLIENTS, "registry count %d", c->num_clients);
    return {c->registeredClients, c->registeredClients + c->num_clients};
}

// Between requests the server may announce the end of its initial load.
constexpr uint32_t kSyncDone = 0xFFFFFFFFu;

// Known request codes, their neighbours, any 32-bit value, or kSyncDone.
uint32_t pick_code(FuzzedDataProvider &in)
{
    switch (in.ConsumeIntegralInRange<int>(0, 10)) {
    case 10:
        return kSyncDone;
    case 0:
    case 1:
        return IPC_REQ_REGISTER;
    case 2:
    case 3:
        return IPC_REQ_UNREGISTER;
    case 4:
        return IPC_REQ_ENABLE;
    case 5:
        return IPC_REQ_DISABLE;
    case 6:
        return in.ConsumeBool() ? IPC_REQ_ENABLE - 1 : IPC_REQ_UNREGISTER + 1;
    case 7:
        return 0x100u | in.ConsumeIntegralInRange<uint32_t>(IPC_REQ_ENABLE, IPC_REQ_UNREGISTER);
    default:
        return in.ConsumeIntegral<uint32_t>();
    }
}

// The request code, then the body (usually a client type from a small set).
std::vector<uint8_t> pick_buffer(FuzzedDataProvider &in, uint32_t code)
{
    size_t len = 8;
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
        len = 4; // no body
        break;
    case 1:
        len = in.ConsumeIntegralInRange<size_t>(0, 7);
        break;
    case 2:
        len = in.ConsumeIntegralInRange<size_t>(9, 40);
        break;
    default:
        break;
    }
    std::vector<uint8_t> buf(len);
    const uint32_t type =
        in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 11) : in.ConsumeIntegral<uint32_t>();
    uint32_t words[2] = {code, type};
    if (len > 0)
        std::memcpy(buf.data(), words, std::min(len, sizeof words));
    if (len > sizeof words) {
        const std::vector<uint8_t> rest = in.ConsumeBytes<uint8_t>(len - sizeof words);
        std::copy(rest.begin(), rest.end(), buf.begin() + sizeof words);
    }
    return buf;
}

IPCAddr pick_requester(FuzzedDataProvider &in)
{
    IPCAddr a{};
    a.node = in.ConsumeIntegral<uint16_t>();
    a.svc = in.ConsumeIntegral<uint16_t>();
    const std::vector<uint8_t> name = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, sizeof a.name));
    if (!name.empty())
        std::memcpy(a.name, name.data(), name.size());
    return a;
}

uint32_t client_type_of(const std::vector<uint8_t> &buf)
{
    uint32_t t = 0;
    std::memcpy(&t, buf.data() + 4, sizeof t);
    return t;
}

// The reply the model expects; nothing for a (un)register request without a
// whole client type (any reply will do; the model takes the registry as it is).
std::optional<int32_t> expect(uint32_t code, const std::vector<uint8_t> *buf)
{
    HandlerModel &m = g_model;
    switch (code) {
    case IPC_REQ_ENABLE:
        if (m.attached)
            return VOREL_E_ATTACHED;
        m.attached = true;
        m.synced = false; // a new segment
        return 0;
    case IPC_REQ_DISABLE:
        m.attached = false;
        return 0;
    case IPC_REQ_REGISTER:
    case IPC_REQ_UNREGISTER:
        break;
    default:
        return 0;
    }
    if (buf == nullptr)
        return VOREL_E_BADPAYLOAD;
    std::vector<uint8_t> padded = *buf; // as the IPC service hands it over
    padded.resize(std::max<size_t>(padded.size(), 8));
    const uint32_t type = client_type_of(padded);
    const auto it = std::find(m.registry.begin(), m.registry.end(), type);
    if (code == IPC_REQ_UNREGISTER) {
        if (it != m.registry.end())
            m.registry.erase(it);
        return 0;
    }
    if (it != m.registry.end())
        return m.sync_state();
    if (m.registry.size() >= VOREL_MAX_CLIENTS)
        return VOREL_E_REGFULL;
    m.registry.push_back(type);
    return m.sync_state();
}

void check_registry_shape(const std::vector<uint32_t> &reg)
{
    std::vector<uint32_t> sorted = reg;
    std::sort(sorted.begin(), sorted.end());
    VFUZZ_CHECK(std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end(), "a client type registered twice");
}

// The end of the initial load: registrations answer "in sync" from then on.
void sync_done()
{
    g_replies.clear();
    const int32_t rc = vorelSyncDone(0);
    VFUZZ_CHECK(rc == (g_model.attached ? 0 : VOREL_E_SEGMENT), "sync done returned %d", rc);
    g_model.synced = g_model.attached;
    g_replies.clear();
}

void one_request(FuzzedDataProvider &in)
{
    const uint32_t code = pick_code(in);
    if (code == kSyncDone)
        return sync_done();
    const bool null_buffer = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    const std::vector<uint8_t> bytes = pick_buffer(in, code);
    const IPCAddr requester = pick_requester(in);
    const uint32_t reply_code = in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>() : code;
    g_send_result = in.ConsumeBool() ? 0 : PLAT_ERR_PEERGONE;

    // The request's bytes on the heap in a block of at least two words,
    // zero-filled past the request, as the IPC service hands it over.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[std::max<size_t>(bytes.size(), 8)]());
    if (!bytes.empty())
        std::memcpy(buf.get(), bytes.data(), bytes.size());
    const uint32_t len = static_cast<uint32_t>(bytes.size());

    g_replies.clear();
    const std::optional<int32_t> want = expect(code, null_buffer ? nullptr : &bytes);
    const int32_t rc = ns_vorel_callback(&requester, reply_code, null_buffer ? nullptr : buf.get(), len, code);

    VFUZZ_CHECK(rc == 0, "code %u: handler returned %d", code, rc);
    VFUZZ_CHECK(g_replies.size() == 1, "code %u: %zu replies", code, g_replies.size());
    const Reply &r = g_replies.front();
    VFUZZ_CHECK(std::memcmp(&r.addr, &requester, sizeof requester) == 0, "code %u: reply to another address", code);
    VFUZZ_CHECK(r.code == reply_code, "code %u: reply code %u, not %u", code, r.code, reply_code);
    VFUZZ_CHECK(r.len == 4 && r.has_body, "code %u: reply of %u bytes", code, r.len);
    VFUZZ_CHECK(!r.has_timeout, "code %u: reply with a time-out", code);
    VFUZZ_CHECK(g_requests_made == 0, "the handler made a request of its own");

    const std::vector<uint32_t> reg = registry_now();
    check_registry_shape(reg);
    if (want) {
        VFUZZ_CHECK(r.value == *want, "code %u: reply %d, expected %d", code, r.value, *want);
        VFUZZ_CHECK(reg == g_model.registry, "code %u: registry differs from the model", code);
    } else {
        g_model.registry = reg;
    }
    VFUZZ_CHECK((context()->initialized > 0) == g_model.attached, "code %u: attached %d, expected %d", code,
                context()->initialized, g_model.attached);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    (void)vfuzz::start_library(kInstance);
    // Every input starts from an empty registry; the attachment carries over.
    while (context()->num_clients > 0)
        (void)unRegisterVorelClientToSrvr(context()->registeredClients[0]);
    g_model.registry.clear();

    FuzzedDataProvider in(data, size);
    for (int n = 0; n < 64 && in.remaining_bytes() > 0; ++n)
        one_request(in);
    return 0;
}
