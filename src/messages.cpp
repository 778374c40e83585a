// messages.cpp - the update messages that clients receive, the single point
// where a built message is delivered or deferred to the server's internal
// queue, and the queue request that every update operation posts.
#include <cstring>
#include <limits>

#include "notify.h"
#include "trace.h"

namespace vorel {

uint32_t timestamp_ms()
{
    // The two halves of the time base are read apart; a carry into the upper
    // half between the reads shows as two different upper halves.
    uint32_t upper = 0;
    uint32_t lower = 0;
    uint32_t again = 0;
    do {
        upper = tb_read_upper();
        lower = tb_read_lower();
        again = tb_read_upper();
    } while (upper != again);
    const uint64_t ticks = (static_cast<uint64_t>(upper) << 32) | lower;
    // The rate is a signed platform value, widened with its sign; the division
    // is unsigned.  A rate of 0 (time base not set up) gives 0.
    const auto per_ms = static_cast<uint64_t>(static_cast<int64_t>(tb_ticks_p_msec));
    return per_ms == 0 ? 0 : static_cast<uint32_t>(ticks / per_ms);
}

int post_request(uint32_t queue, uint8_t kind, ReqParam p1, ReqParam p2, uint32_t p3)
{
    VorelQueueReq req;
    std::memset(&req, 0, sizeof req);
    req.req_tag = VOREL_REQ_TAG;
    req.req_kind = kind;
    req.param1 = p1.lo;
    req.param1_hi = p1.hi;
    req.param2 = p2.lo;
    req.param2_hi = p2.hi;
    req.param3 = p3;
    req.timestamp_ms = timestamp_ms();
    return msgQSend(queue, &req, sizeof req, 0, 1);
}

void build_and_deliver(uint32_t update_type, void *data, int32_t count)
{
    uint32_t length = 0;
    if (void *msg = createUpdateToClients(update_type, data, count, &length); msg != nullptr)
        ProcessClientNotification(msg, length, 0, update_type);
}

} // namespace vorel

namespace {

constexpr const char *kBuilder = "createUpdateToClients";

// Appends 32-bit words to a message block.
class WordWriter {
  public:
    explicit WordWriter(void *block) : at_(static_cast<uint32_t *>(block)) {}
    void put(uint32_t word) { *at_++ = word; }
    void put(const uint32_t *words, std::size_t n)
    {
        if (n != 0)
            std::memcpy(at_, words, n * sizeof(uint32_t));
        at_ += n;
    }

  private:
    uint32_t *at_;
};

// A message and its length in bytes; a NULL block means it could not be made.
struct Built {
    void *msg = nullptr;
    uint32_t length = 0;
};

// Messages carry their length in a 32-bit word; anything longer cannot be made.
void *alloc_message(uint64_t bytes)
{
    if (bytes > std::numeric_limits<uint32_t>::max())
        return nullptr;
    return vorel::zeroed(1, static_cast<std::size_t>(bytes));
}

// Words of a disconnMsg copied whole: pid, num_disconn and its PIDs.
uint64_t disconn_words(const disconnMsg *rec)
{
    return 2 + static_cast<uint64_t>(rec->num_disconn > 0 ? rec->num_disconn : 0);
}

// DEV_ONLINE: count, then per delta its two counts, source PID, new PIDs and
// removed PIDs.  A count of 0 or less is the single word holding it.
Built build_dev_online(PidConnDelta *const *deltas, int32_t count)
{
    if (count <= 0) {
        auto *msg = static_cast<uint32_t *>(std::malloc(sizeof(uint32_t)));
        if (msg == nullptr) {
            VTRACE_ERR_AS(kBuilder, "Memory allocation failed forDEV_ONLINE msg\n");
            return {};
        }
        msg[0] = static_cast<uint32_t>(count);
        return {msg, sizeof(uint32_t)};
    }
    const std::span<PidConnDelta *const> all(deltas, static_cast<std::size_t>(count));
    uint64_t bytes = 4;
    for (const PidConnDelta *d : all)
        bytes += 4 * (3 + static_cast<uint64_t>(d->num_new_pids) + d->num_removed_pids);
    void *msg = alloc_message(bytes);
    if (msg == nullptr) {
        VTRACE_ERR_AS(kBuilder, "Memory allocation failed forDEV_ONLINE msg\n");
        return {};
    }
    WordWriter out(msg);
    out.put(static_cast<uint32_t>(count));
    for (const PidConnDelta *d : all) {
        out.put(d->num_new_pids);
        out.put(d->num_removed_pids);
        out.put(d->src_pid);
        out.put(d->new_pids, d->new_pids != nullptr ? d->num_new_pids : 0);
        out.put(d->removed_pids, d->removed_pids != nullptr ? d->num_removed_pids : 0);
    }
    return {msg, static_cast<uint32_t>(bytes)};
}

// DEV_OFFLINE: its own length, 1, then the removal record whole.
Built build_dev_offline(const disconnMsg *rec)
{
    const uint64_t words = disconn_words(rec);
    const uint64_t bytes = (words + 2) * 4;
    void *msg = alloc_message(bytes);
    if (msg == nullptr) {
        VTRACE_ERR_AS(kBuilder, "Memory allocation failed for DEV_OFFLINE msg. Exiting\n");
        return {};
    }
    WordWriter out(msg);
    out.put(static_cast<uint32_t>(bytes));
    out.put(1);
    out.put(reinterpret_cast<const uint32_t *>(rec), static_cast<std::size_t>(words));
    return {msg, static_cast<uint32_t>(bytes)};
}

// REMOTE_DOM_OFFLINE: its own length, the number of records, then each
// removal record whole, back to back.  No records give the words 8, 0.
Built build_dom_offline(disconnMsg *const *records, int32_t count)
{
    const std::span<disconnMsg *const> all(records, count > 0 ? static_cast<std::size_t>(count) : 0);
    uint64_t bytes = 8;
    for (const disconnMsg *rec : all)
        bytes += 4 * disconn_words(rec);
    void *msg = alloc_message(bytes);
    if (msg == nullptr) {
        VTRACE_ERR_AS(kBuilder, "Memory allocation failed for REMOTE_DOM_OFFLINE msg. Exiting\n");
        return {};
    }
    WordWriter out(msg);
    out.put(static_cast<uint32_t>(bytes));
    out.put(static_cast<uint32_t>(all.size()));
    for (const disconnMsg *rec : all)
        out.put(reinterpret_cast<const uint32_t *>(rec), static_cast<std::size_t>(disconn_words(rec)));
    return {msg, static_cast<uint32_t>(bytes)};
}

// REMOTE_DOM_ONLINE: n, the source PID of each device of the list, then 0.
Built build_dom_online(const bulkconpld *list)
{
    const std::size_t n = list->num_devices > 0 && list->devices != nullptr ? list->num_devices : 0;
    const uint64_t bytes = (static_cast<uint64_t>(n) + 2) * 4;
    void *msg = alloc_message(bytes);
    if (msg == nullptr) {
        VTRACE_ERR_AS(kBuilder, "Memory allocation failed for REMOTE_DOM_ONLINE msg. Exiting\n");
        return {};
    }
    WordWriter out(msg);
    out.put(static_cast<uint32_t>(n));
    for (const devconpld &dev : std::span<const devconpld>(list->devices, n))
        out.put(dev.src_dev.pid);
    out.put(0);
    return {msg, static_cast<uint32_t>(bytes)};
}

// The input a type needs is missing: nothing can be built from it.
bool lacks_input(uint32_t update_type, const void *data, int32_t count)
{
    if (data != nullptr)
        return false;
    switch (update_type) {
    case VOREL_UPD_DEV_OFFLINE:
    case VOREL_UPD_DOM_ONLINE:
        return true;
    default:
        return count > 0;
    }
}

} // namespace

extern "C" {

// Builds the message of an update type from its input (an array of deltas for
// 0 and 6, one removal record for 1, an array of removal records for 3 and 5,
// a device list for 4).  Types 2 and above 6 have no message: NULL, length 0.
// The success path writes the entry record only.
void *createUpdateToClients(uint32_t update_type, void *data, int32_t count, uint32_t *length)
{
    VTRACE_ENTER();
    if (length == nullptr) {
        VTRACE_EXIT();
        return nullptr;
    }
    *length = 0;
    if (update_type > VOREL_UPD_DEV_ONLINE_ALT || update_type == VOREL_UPD_TYPE2)
        return nullptr;
    if (lacks_input(update_type, data, count)) {
        VTRACE_EXIT();
        return nullptr;
    }
    Built built;
    switch (update_type) {
    case VOREL_UPD_DEV_ONLINE:
    case VOREL_UPD_DEV_ONLINE_ALT:
        built = build_dev_online(static_cast<PidConnDelta *const *>(data), count);
        break;
    case VOREL_UPD_DEV_OFFLINE:
        built = build_dev_offline(static_cast<const disconnMsg *>(data));
        break;
    case VOREL_UPD_LIST_OFFLINE:
    case VOREL_UPD_DOM_OFFLINE:
        built = build_dom_offline(static_cast<disconnMsg *const *>(data), count);
        break;
    default: // VOREL_UPD_DOM_ONLINE
        built = build_dom_online(static_cast<const bulkconpld *>(data));
        break;
    }
    if (built.msg == nullptr) {
        VTRACE_EXIT();
        return nullptr;
    }
    *length = built.length;
    return built.msg;
}

// Owns the message from the call on.  With a queue the message is handed to
// the queue's consumer (released here when the post fails); without one it is
// delivered to the registered client types and released.
void ProcessClientNotification(void *msg, uint32_t len, uint32_t queue, uint32_t update_type)
{
    if (queue != 0) {
        const int rc = vorel::post_request(queue, VOREL_REQ_NOTIFICATION, vorel::req_value(update_type),
                                           vorel::req_pointer(msg), len);
        if (rc < 0)
            std::free(msg);
        return;
    }
    sendUpdateToClients(update_type, msg, len);
    std::free(msg);
}

} // extern "C"
