// updates.cpp - the server's update operations: one device added or deleted,
// a list of devices added or deleted, every device of a domain deleted.
//
// Each takes a queue identifier last.  With a queue the operation posts a
// VorelQueueReq and returns 0; the server's queue consumer later makes the
// same call with queue 0.  With queue 0 it changes the store under the switch
// instance's write lock and notifies the registered client types.
//
// Input that cannot be stored or notified is refused first, in both modes,
// before anything is posted or changed; the caller then keeps its input.
//
// Every operation, and the sync-done announcement, runs through one skeleton
// (run_update): check, post or lock, attached?, change, deliver.
#include <algorithm>
#include <optional>
#include <type_traits>

#include "lock.h"
#include "notify.h"
#include "trace.h"

namespace {

using vorel::HeapPtr;

// ---- input checks ---------------------------------------------------------

// A device payload must have a sane destination list, and neither the device
// nor any destination may have domain byte 0 (there is no domain 0).
int32_t check_device(const char *op, const devconpld *pld)
{
    if (pld == nullptr || pld->num_dstdevices < 0 || (pld->num_dstdevices > 0 && pld->dst_devices == nullptr)) {
        VTRACE_ERR_AS(op, "invalid device payload\n");
        return VOREL_E_BADPAYLOAD;
    }
    if (vorel::domain_of(pld->src_dev.pid) == 0) {
        VTRACE_ERR_AS(op, "invalid PID %8x\n", pld->src_dev.pid);
        return VOREL_E_BADPID;
    }
    const std::span<const DevInfo> dsts(pld->dst_devices, static_cast<std::size_t>(pld->num_dstdevices));
    for (const DevInfo &d : dsts) {
        if (vorel::domain_of(d.pid) == 0) {
            VTRACE_ERR_AS(op, "invalid destination PID %8x of PID %8x\n", d.pid, pld->src_dev.pid);
            return VOREL_E_BADPID;
        }
    }
    return 0;
}

// The devices of a list, once the list's shape has been checked.
std::span<devconpld> devices_of(bulkconpld *list)
{
    return {list->devices, static_cast<std::size_t>(list->num_devices)};
}

int32_t check_list_shape(const char *op, const bulkconpld *list)
{
    if (list == nullptr || list->num_devices < 0 || (list->num_devices > 0 && list->devices == nullptr)) {
        VTRACE_ERR_AS(op, "invalid device list\n");
        return VOREL_E_BADPAYLOAD;
    }
    return 0;
}

// A list to add: every device is checked as a single added device.
int32_t check_add_list(const char *op, bulkconpld *list)
{
    if (const int32_t rc = check_list_shape(op, list); rc != 0)
        return rc;
    for (const devconpld &dev : devices_of(list))
        if (const int32_t rc = check_device(op, &dev); rc != 0)
            return rc;
    return 0;
}

// A list to delete: only the source PIDs are used.
int32_t check_del_list(const char *op, bulkconpld *list)
{
    if (const int32_t rc = check_list_shape(op, list); rc != 0)
        return rc;
    for (const devconpld &dev : devices_of(list)) {
        if (vorel::domain_of(dev.src_dev.pid) == 0) {
            VTRACE_ERR_AS(op, "invalid PID %8x\n", dev.src_dev.pid);
            return VOREL_E_BADPID;
        }
    }
    return 0;
}

// Additions hold deltas: the types whose message is built from something else
// (a removal record or a device list) are refused.
bool add_refuses(uint32_t update_type)
{
    switch (update_type) {
    case VOREL_UPD_DEV_OFFLINE:
    case VOREL_UPD_LIST_OFFLINE:
    case VOREL_UPD_DOM_ONLINE:
    case VOREL_UPD_DOM_OFFLINE:
        return true;
    default:
        return false;
    }
}

// A list deletion holds removal records: the types whose message is built from
// deltas, a single record or a device list are refused.
bool del_list_refuses(uint32_t update_type)
{
    switch (update_type) {
    case VOREL_UPD_DEV_ONLINE:
    case VOREL_UPD_DEV_OFFLINE:
    case VOREL_UPD_DOM_ONLINE:
    case VOREL_UPD_DEV_ONLINE_ALT:
        return true;
    default:
        return false;
    }
}

int32_t refuse_type(const char *op, uint32_t update_type)
{
    VTRACE_ERR_AS(op, "update type %u cannot be used here\n", update_type);
    return VOREL_E_BADTYPE;
}

// ---- direct mode ----------------------------------------------------------

// The store may be changed only by an attached process.
bool attached(const char *op, VorelPartCtx *c)
{
    if (c->initialized > 0)
        return true;
    VTRACE_ERR_AS(op, "vorel is uninitialized\n");
    return false;
}

// Inserts the devices of a list one by one, each under the write lock; unless
// this is the initial load, each device's delta is computed first, without
// the lock.  False when a delta could not be computed: that device and the
// ones after it are not inserted.
bool insert_devices(std::span<devconpld> devices, std::span<PidConnDelta *> deltas, bool initial_load)
{
    VorelPartCtx *c = vorel::ctx();
    for (std::size_t i = 0; i < devices.size(); ++i) {
        devconpld *dev = &devices[i];
        VTRACE_INFO_AS("addPidListToVorel", "PID %8x added to Vorel using bulk update\n", dev->src_dev.pid);
        if (!initial_load) {
            deltas[i] = createPidConnDelta(dev);
            if (deltas[i] == nullptr) {
                VTRACE_ERR_AS("addPidListToVorel", "vorel create Delta returns NULL\n");
                VTRACE_EXIT_AS("addPidListToVorel");
                return false;
            }
        }
        vorel::WriteLock lock(c->rwlock);
        // A device the store refuses is still reported in the message.
        (void)vorel::add_pid(c->shm_handle, dev, initial_load ? 0 : 1);
    }
    return true;
}

// Removes the devices of one domain block.  The block's PIDs are copied first
// because each removal takes its entry out of the block.  One message per
// block, delivered while the caller holds the write lock.  False when memory
// for the copy or the records could not be had.
bool remove_block(const DomDb &block)
{
    const std::size_t n = std::min(block.num_pids, kPidsPerDomDb);
    HeapPtr<uint32_t> pids = vorel::heap_array<uint32_t>(n);
    HeapPtr<disconnMsg *> records = vorel::heap_array<disconnMsg *>(n);
    if (pids == nullptr || records == nullptr)
        return false;
    for (std::size_t i = 0; i < n; ++i)
        pids.get()[i] = block.pid_tbl[i].pid;
    std::size_t removed = 0;
    for (const uint32_t pid : std::span<const uint32_t>(pids.get(), n))
        if (disconnMsg *rec = con_delpidfromdb(pid, 1); rec != nullptr)
            records.get()[removed++] = rec;
    vorel::build_and_deliver(VOREL_UPD_DOM_OFFLINE, records.get(), static_cast<int32_t>(removed));
    vorel::free_each(std::span<disconnMsg *>(records.get(), removed));
    return true;
}

// Removes every device of the domain, block by block.  True when every block
// was handled.
bool remove_domain_devices(gadd_t first)
{
    bool complete = true;
    const int rc = vorel::walk_chain<DomDb>(first, [&](DomDb &block, gadd_t) {
        if (block.num_pids == 0)
            return vorel::Walk::Next;
        if (remove_block(block))
            return vorel::Walk::Next;
        complete = false;
        return vorel::Walk::Stop;
    });
    if (rc < 0) {
        VTRACE_ERR_AS("delDomainFromVorel", "gadd2ladd() returns rc=%d\n", rc);
        return false;
    }
    return complete;
}

// Leaves the domain with its first block, empty and still registered; the
// blocks behind it go back to the shared memory.
void shrink_domain_chain(gadd_t first)
{
    DomDb *head = nullptr;
    if (vorel::resolve(first, &head) < 0 || head == nullptr)
        return;
    const gadd_t rest = head->next_gadd;
    head->num_pids = 0;
    head->next_gadd = 0;
    (void)vorel::walk_chain<DomDb>(rest, [](DomDb &, gadd_t g) {
        (void)gshm_free(vorel::shm(), g);
        return vorel::Walk::Next;
    });
}

} // namespace

namespace vorel {

void release_device_list(bulkconpld *list)
{
    for (devconpld &dev : devices_of(list))
        std::free(dev.dst_devices);
    std::free(list->devices);
    std::free(list);
}

} // namespace vorel

namespace {

// ---- the shape of every update -------------------------------------------
//
// An update is a type with
//   kName          its exported name, under which it traces;
//   kUnattached    its result for a process that is not attached;
//   kExitTraced    whether it writes its exit record after the delivery;
//   check()        0, or the refusal of its input (already traced);
//   post(queue)    posts its request; a failed post is traced, and input the
//                  queue would have owned is released;
//   locked(c, l)   its change under the write lock l: nothing to go on to the
//                  delivery, or the operation's result, the step having
//                  written its records and released l as the operation does;
//   unlocked()     what follows the lock: the delivery, the release of the
//                  working data; the operation's result.
template <class Op> int32_t run_update(Op &&op, uint32_t queue)
{
    using U = std::remove_cvref_t<Op>;
    VTRACE_ENTER_AS(U::kName);
    if (const int32_t rc = op.check(); rc != 0) {
        VTRACE_EXIT_AS(U::kName);
        return rc;
    }
    if (queue != 0) {
        op.post(queue);
        return 0;
    }
    VorelPartCtx *c = vorel::ctx();
    vorel::WriteLock lock(c->rwlock);
    if (!attached(U::kName, c)) {
        lock.unlock();
        VTRACE_EXIT_AS(U::kName);
        return U::kUnattached;
    }
    if (const std::optional<int32_t> ended = op.locked(c, lock))
        return *ended;
    lock.unlock();
    const int32_t rc = op.unlocked();
    if constexpr (U::kExitTraced)
        VTRACE_EXIT_AS(U::kName);
    return rc;
}

// What most updates share: their refusal of an unattached process and their
// exit record.
struct Update {
    static constexpr int32_t kUnattached = VOREL_E_UNINIT;
    static constexpr bool kExitTraced = true;
};

// ---- the updates ------------------------------------------------------------

struct AddDevice : Update {
    static constexpr const char *kName = "addPidToVorel";
    devconpld *pld;
    uint32_t update_type;
    HeapPtr<PidConnDelta> delta{};
    int32_t rc = 0;

    int32_t check() const
    {
        const int32_t bad = check_device(kName, pld);
        if (bad == 0 && add_refuses(update_type))
            return refuse_type(kName, update_type);
        return bad;
    }
    void post(uint32_t queue) const
    {
        if (vorel::post_request(queue, VOREL_REQ_ONLINE, vorel::req_pointer(pld), vorel::req_value(update_type), 0) <
            0) {
            VTRACE_ERR_AS(kName, "unable to post online requestfor PID %8x in internal queue\n", pld->src_dev.pid);
            std::free(pld);
        }
    }
    std::optional<int32_t> locked(VorelPartCtx *c, vorel::WriteLock &lock)
    {
        // The delta is taken under the same lock as the insertion, so both
        // see the connectivity stored before this change.
        delta.reset(createPidConnDelta(pld));
        if (delta == nullptr) {
            VTRACE_ERR_AS(kName, "vorel create Delta returns NULL\n");
            lock.unlock();
            VTRACE_EXIT_AS(kName);
            return VOREL_E_NOMEM;
        }
        rc = vorel::add_pid(c->shm_handle, pld, 1);
        if (rc < 0) {
            VTRACE_EXIT_AS(kName);
            delta.reset();
            lock.unlock();
            return rc;
        }
        return std::nullopt;
    }
    int32_t unlocked()
    {
        PidConnDelta *deltas[1] = {delta.get()};
        vorel::build_and_deliver(update_type, deltas, 1);
        delta.reset();
        return rc;
    }
};

struct DeleteDevice : Update {
    static constexpr const char *kName = "delPidFromVorel";
    uint32_t pid;
    HeapPtr<disconnMsg> rec{};

    int32_t check() const
    {
        if (vorel::domain_of(pid) != 0)
            return 0;
        VTRACE_ERR_AS(kName, "invalid PID %8x\n", pid);
        return VOREL_E_BADPID;
    }
    void post(uint32_t queue) const
    {
        if (vorel::post_request(queue, VOREL_REQ_DELETE, vorel::req_value(pid), vorel::req_value(0), 0) < 0)
            VTRACE_ERR_AS(kName, "unable to post delete requestfor PID %8x in internal queue\n", pid);
    }
    std::optional<int32_t> locked(VorelPartCtx *c, vorel::WriteLock &)
    {
        rec.reset(vorel::remove_pid(c->shm_handle, pid, 1));
        if (rec != nullptr)
            return std::nullopt;
        VTRACE_ERR_AS(kName, "con_delpidfromdb failed for %8x\n", pid);
        return 0; // without an exit record
    }
    int32_t unlocked()
    {
        vorel::build_and_deliver(VOREL_UPD_DEV_OFFLINE, rec.get(), 0);
        rec.reset();
        return 0;
    }
};

struct AddDeviceList : Update {
    static constexpr const char *kName = "addPidListToVorel";
    bulkconpld *list;
    uint32_t update_type;
    HeapPtr<PidConnDelta *> delta_array{};

    int32_t check() const
    {
        const int32_t bad = check_add_list(kName, list);
        if (bad == 0 && add_refuses(update_type))
            return refuse_type(kName, update_type);
        return bad;
    }
    void post(uint32_t queue) const
    {
        if (vorel::post_request(queue, VOREL_REQ_BULK_ADD, vorel::req_pointer(list), vorel::req_value(update_type), 0) <
            0) {
            VTRACE_ERR_AS(kName, "unable to post bulk_add request\n");
            vorel::release_device_list(list);
        }
    }
    std::optional<int32_t> locked(VorelPartCtx *, vorel::WriteLock &lock)
    {
        delta_array = vorel::heap_array<PidConnDelta *>(devices_of(list).size());
        if (delta_array == nullptr) {
            VTRACE_ERR_AS(kName, "vorel Memory allocation failed\n");
            lock.unlock();
            return VOREL_E_NOMEM; // without an exit record
        }
        if (getVorelHdr() == nullptr) {
            VTRACE_ERR_AS(kName, "Header for Vorel not initialized\n");
            VTRACE_EXIT_AS(kName);
            lock.unlock();
            return VOREL_E_NOHDR;
        }
        return std::nullopt;
    }
    // The devices are inserted after the lock, each under its own.
    int32_t unlocked()
    {
        const std::span<devconpld> devices = devices_of(list);
        const std::span<PidConnDelta *> deltas(delta_array.get(), devices.size());
        const bool initial_load = update_type == VOREL_UPD_SYNC;
        if (insert_devices(devices, deltas, initial_load) && !initial_load)
            vorel::build_and_deliver(update_type, deltas.data(), list->num_devices);
        vorel::free_each(deltas);
        delta_array.reset();
        return 0;
    }
};

struct DeleteDeviceList : Update {
    static constexpr const char *kName = "delPidListToVorel";
    bulkconpld *list;
    uint32_t update_type;
    HeapPtr<disconnMsg *> records{};
    std::size_t removed = 0;

    int32_t check() const
    {
        const int32_t bad = check_del_list(kName, list);
        if (bad == 0 && del_list_refuses(update_type))
            return refuse_type(kName, update_type);
        return bad;
    }
    void post(uint32_t queue) const
    {
        if (vorel::post_request(queue, VOREL_REQ_BULK_DEL, vorel::req_pointer(list), vorel::req_value(update_type), 0) <
            0) {
            VTRACE_ERR_AS(kName, "unable to post bulk_del request\n");
            vorel::release_device_list(list);
        }
    }
    std::optional<int32_t> locked(VorelPartCtx *c, vorel::WriteLock &lock)
    {
        const std::span<devconpld> devices = devices_of(list);
        records = vorel::heap_array<disconnMsg *>(devices.size());
        if (records == nullptr) {
            VTRACE_ERR_AS(kName, "Memory allocation failed for disconnMsgList\n");
            lock.unlock();
            VTRACE_EXIT_AS(kName);
            return VOREL_E_NOMEM;
        }
        for (const devconpld &dev : devices) {
            VTRACE_INFO_AS(kName, "PID %8x deleted from Vorel using bulk update\n", dev.src_dev.pid);
            if (disconnMsg *rec = vorel::remove_pid(c->shm_handle, dev.src_dev.pid, 0); rec != nullptr)
                records.get()[removed++] = rec;
        }
        return std::nullopt;
    }
    int32_t unlocked()
    {
        vorel::build_and_deliver(update_type, records.get(), static_cast<int32_t>(removed));
        vorel::free_each(std::span<disconnMsg *>(records.get(), removed));
        records.reset();
        return 0;
    }
};

// Its messages are delivered under the lock, by the change itself.
struct DeleteDomain : Update {
    static constexpr const char *kName = "delDomainFromVorel";
    uint32_t domain;

    int32_t check() const
    {
        if (domain != 0 && domain < kNumBasicBlocks)
            return 0;
        VTRACE_ERR_AS(kName, "invalid domain %u\n", domain);
        return VOREL_E_BADDOMAIN;
    }
    void post(uint32_t queue) const
    {
        if (vorel::post_request(queue, VOREL_REQ_DELETE_DOMAIN, vorel::req_value(domain), vorel::req_value(0), 0) < 0)
            VTRACE_ERR_AS(kName, "unable to post delete domain%d from vorel\n", static_cast<int>(domain));
    }
    std::optional<int32_t> locked(VorelPartCtx *c, vorel::WriteLock &) const
    {
        VTRACE_INFO_AS(kName, "deleting domain %d from vorel\n", static_cast<int>(domain));
        gadd_t first = 0;
        if (get_basic_block(c->shm_handle, domain, &first) < 0)
            VTRACE_ERR_AS(kName, "get_basic_block() for dom %dreturns none\n", static_cast<int>(domain));
        else if (first != 0 && remove_domain_devices(first))
            shrink_domain_chain(first);
        return std::nullopt;
    }
    int32_t unlocked() const { return 0; }
};

// The sync-done announcement: no input to check; an unattached process gets
// VOREL_E_SEGMENT, and no exit record follows the notice.
struct SyncDone {
    static constexpr const char *kName = "vorelSyncDone";
    static constexpr int32_t kUnattached = VOREL_E_SEGMENT;
    static constexpr bool kExitTraced = false;

    int32_t check() const { return 0; }
    void post(uint32_t queue) const
    {
        if (vorel::post_request(queue, VOREL_REQ_SYNC, vorel::req_value(0), vorel::req_value(0), 0) < 0)
            VTRACE_ERR_AS(kName, "Unable to post sync_vorel ininternal queue\n");
    }
    std::optional<int32_t> locked(VorelPartCtx *, vorel::WriteLock &lock) const
    {
        VorelHdr *hdr = getVorelHdr();
        if (hdr == nullptr) {
            VTRACE_ERR_AS(kName, "Header for Vorel not initialized\n");
            VTRACE_EXIT_AS(kName);
            lock.unlock();
            return VOREL_E_NOHDR;
        }
        hdr->sync_done = 1;
        return std::nullopt;
    }
    int32_t unlocked() const
    {
        ProcessClientNotification(nullptr, 0, 0, VOREL_UPD_SYNC);
        return 0;
    }
};

} // namespace

extern "C" {

// Adds or replaces one device with its complete destination list and tells the
// clients what changed (DEV_ONLINE for update types 0 and 6).  Types 2, 7 and
// 8 or above change the store and deliver nothing; 1, 3, 4 and 5 are refused.
// A payload posted to a queue must be one heap block (destination array inside
// it): a failed post releases it with one free.
int32_t addPidToVorel(devconpld *pld, uint32_t update_type, uint32_t queue)
{
    return run_update(AddDevice{{}, pld, update_type}, queue);
}

// Deletes one device and tells the clients which devices it was connected to
// (DEV_OFFLINE).  A PID that is not stored is traced and ignored.
int32_t delPidFromVorel(uint32_t pid, uint32_t queue) { return run_update(DeleteDevice{{}, pid}, queue); }

// Adds a list of devices.  Update type 8 is the initial load: devices that are
// not stored yet are inserted as they are, without deltas, reverse links or a
// message.  Types 0 and 6 deliver one DEV_ONLINE message with one entry per
// device; 2, 7 and above 8 change the store and deliver nothing; 1, 3, 4 and 5
// are refused.  A failed post releases every non-NULL dst_devices, then
// devices, then the list.
int32_t addPidListToVorel(bulkconpld *list, uint32_t update_type, uint32_t queue)
{
    return run_update(AddDeviceList{{}, list, update_type}, queue);
}

// Deletes a list of devices, under the write lock for the whole list, and
// delivers one REMOTE_DOM_OFFLINE message (update types 3 and 5) with the
// records of the devices really removed, in list order.  The removed devices
// stay listed by their peers.  Types 2, 7 and 8 or above change the store and
// deliver nothing; 0, 1, 4 and 6 are refused.  A failed post releases the list
// as addPidListToVorel does.
int32_t delPidListToVorel(bulkconpld *list, uint32_t update_type, uint32_t queue)
{
    return run_update(DeleteDeviceList{{}, list, update_type}, queue);
}

// Deletes every device of a domain (1..255).  Each block of the domain's chain
// that lists devices gives one REMOTE_DOM_OFFLINE message (update type 5),
// delivered while the write lock is held, so readers see the whole domain or
// none of it.  Afterwards the domain's first block stays registered, empty,
// and the blocks behind it are given back.
int32_t delDomainFromVorel(uint32_t domain, uint32_t queue) { return run_update(DeleteDomain{{}, domain}, queue); }

// Marks the database complete after the initial load and sends the empty
// sync notice (update type 8).
int32_t vorelSyncDone(uint32_t queue) { return run_update(SyncDone{}, queue); }

} // extern "C"
