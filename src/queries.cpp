// queries.cpp - read-only queries over the store of the calling switch
// instance: the device count, the walk over every device of every domain of
// the fabric, and the collection of the switch's own domain.  Also the
// fabric's domain list that the walk and the dump share.
#include <cstdlib>
#include <cstring>

#include "lock.h"
#include "trace.h"
#include "vorel_db.h"

namespace {

// The calling instance's entry of the platform's per-instance records.
const fcsw_instance_t *my_instance() { return orvane_fcsw_instances[getMySwitch()]; }

// The platform handle of the calling instance (first word of its record).
uintptr_t platform_handle()
{
    const fcsw_instance_t *inst = my_instance();
    return inst != nullptr ? inst->handle : 0;
}

// M, the calling instance's maximum number of domains: the 32-bit word at
// byte 164 of its record in the chassis memory map.  The map is the
// platform's chassis_mmap_info, or else the third word of the instance's
// record (of entry 0's record when the instance has none).
uint32_t max_domains()
{
    const void *map = chassis_mmap_info;
    if (map == nullptr) {
        const fcsw_instance_t *inst = my_instance();
        if (inst != nullptr)
            map = inst->chassis_map;
        if (map == nullptr && orvane_fcsw_instances[0] != nullptr)
            map = orvane_fcsw_instances[0]->chassis_map;
    }
    if (map == nullptr)
        return 0;
    const auto *record =
        static_cast<const uint8_t *>(map) + static_cast<size_t>(getMySwitch()) * CHASSIS_MMAP_RECORD_SIZE;
    uint32_t m = 0;
    std::memcpy(&m, record + CHASSIS_MMAP_MAX_DOMAINS_OFFSET, sizeof m);
    return m;
}

// The payload handed to the enumeration's callback: one block that is kept
// from device to device and replaced only when a device needs at least as
// many destinations as it holds.
class EnumPayload {
  public:
    EnumPayload() = default;
    EnumPayload(const EnumPayload &) = delete;
    EnumPayload &operator=(const EnumPayload &) = delete;
    ~EnumPayload() { std::free(pld_); }

    // Prepares the payload for `pid` with n destinations; false when no memory.
    bool start(uint32_t pid, int32_t n)
    {
        const int32_t want = n > 0 ? n : 0;
        if (pld_ == nullptr || want >= capacity_) {
            std::free(pld_);
            capacity_ = 0;
            pld_ = static_cast<devconpld *>(std::calloc(1, sizeof(devconpld) + sizeof(DevInfo) * want));
            if (pld_ == nullptr)
                return false;
            capacity_ = want;
        }
        pld_->src_dev.pid = pid;
        pld_->num_dstdevices = n;
        pld_->dst_devices = reinterpret_cast<DevInfo *>(pld_ + 1);
        write_ = 0;
        total_ = 0;
        return true;
    }

    // Appends one block's destinations while they fit within n.
    void add_block(const DestDb &b)
    {
        const auto used = static_cast<int32_t>(vorel::used_slots(b));
        total_ += used;
        if (total_ <= pld_->num_dstdevices)
            vorel::copy_records(pld_->dst_devices + write_, b.dest_dev, static_cast<uint32_t>(used));
        write_ += used;
    }

    devconpld *get() { return pld_; }

  private:
    devconpld *pld_ = nullptr;
    int32_t capacity_ = 0;
    int32_t write_ = 0;
    int32_t total_ = 0;
};

enum class SlotResult { Done, NoMemory };

// Hands one device of a domain block to the callback.
SlotResult enumerate_slot(gshm_handle_t h, const DomDbEntry &entry, EnumPayload &pld, int (*cb)(devconpld *, void *),
                          void *arg)
{
    VTRACE_INFO_AS("getEachPidFromVorel", "pid %8x Reading for all DB\n", entry.pid);
    if (entry.gadd == 0)
        return SlotResult::Done;
    bool started = false;
    bool no_memory = false;
    const int rc = vorel::walk_chain<DestDb>(
        entry.gadd,
        [&](const DestDb &b, gadd_t) {
            if (!started) {
                if (!pld.start(entry.pid, b.num_dstdevices)) {
                    no_memory = true;
                    return vorel::Walk::Stop;
                }
                started = true;
            }
            pld.add_block(b);
            return vorel::Walk::Next;
        },
        nullptr, h);
    if (no_memory)
        return SlotResult::NoMemory;
    if (rc < 0)
        VTRACE_ERR_AS("getEachPidFromVorel", "gadd2ladd() returns error\n");
    if (started)
        cb(pld.get(), arg);
    return SlotResult::Done;
}

// Frees what the collection of local devices gathered so far.
void release_collected(devconpld **list, int32_t m)
{
    for (int32_t i = 0; i < m; ++i) {
        std::free(list[i]);
        list[i] = nullptr;
    }
}

} // namespace

namespace vorel {

DomainList::DomainList() : max_domains_(max_domains()), buf_(inline_)
{
    if (max_domains_ > kInline) {
        large_.assign(static_cast<size_t>(max_domains_) + 1, 0);
        buf_ = large_.data();
    }
    buf_[0] = 0;
}

std::span<const uint8_t> DomainList::fill()
{
    buf_[0] = 0;
    if (my_instance() != nullptr)
        (void)fgetDomainLst(platform_handle(), buf_);
    uint32_t count = buf_[0];
    if (count > max_domains_) // never read beyond what the buffer holds
        count = max_domains_;
    return {buf_ + 1, count};
}

} // namespace vorel

extern "C" {

int32_t getCountFromVorel(uint32_t *count)
{
    VTRACE_ENTER();
    VorelPartCtx *c = vorel::ctx();
    vorel::ReadLock lock(c->rwlock);
    int32_t rc = 0;
    if (c->initialized <= 0) {
        VTRACE_ERR("vorel is uninitialized\n");
        rc = VOREL_E_UNINIT;
    } else if (count == nullptr) {
        VTRACE_ERR("Invalid arguments to getCoundFromVorel\n");
        rc = VOREL_E_NULLARG;
    } else if (const VorelHdr *hdr = getVorelHdr(); hdr == nullptr) {
        VTRACE_ERR("Header for Vorel not initialized\n");
        rc = VOREL_E_NOHDR;
    } else {
        *count = hdr->total_pids;
        VTRACE_INFO("number of unique src PIDs total PIDs %d\n", hdr->total_pids);
    }
    lock.unlock();
    VTRACE_EXIT();
    return rc;
}

int32_t getEachPidFromVorel(int (*pid_callback)(devconpld *, void *), void *cb_arg)
{
    vorel::DomainList list;
    VTRACE_ENTER();
    VorelPartCtx *c = vorel::ctx();
    vorel::ReadLock lock(c->rwlock);
    if (c->initialized <= 0) {
        VTRACE_ERR("vorel is uninitialized\n");
        lock.unlock();
        VTRACE_EXIT();
        return VOREL_E_UNINIT;
    }
    const gshm_handle_t h = c->shm_handle;
    EnumPayload pld;
    for (const uint8_t dom : list.fill()) {
        if (dom == 0) // basic block 0 is the header, never a domain
            continue;
        gadd_t first = 0;
        if (get_basic_block(h, dom, &first) < 0) {
            VTRACE_INFO("get_basic_block() for dom %dreturns NULL\n", dom);
            continue;
        }
        bool no_memory = false;
        const int rc = vorel::walk_chain<DomDb>(
            first,
            [&](const DomDb &b, gadd_t) {
                VTRACE_INFO_AS("getEachPidFromVorel", "retrieving memblock for Dom %d num_pids %d\n", dom, b.num_pids);
                const uint32_t n = vorel::used_slots(b);
                for (uint32_t i = 0; i < n; ++i) {
                    if (enumerate_slot(h, b.pid_tbl[i], pld, pid_callback, cb_arg) == SlotResult::NoMemory) {
                        no_memory = true;
                        return vorel::Walk::Stop;
                    }
                }
                return vorel::Walk::Next;
            },
            nullptr, h);
        if (no_memory) {
            lock.unlock();
            return VOREL_E_FAIL;
        }
        if (rc < 0)
            VTRACE_ERR("gadd2ladd() returns rc=%d\n", rc);
    }
    lock.unlock();
    VTRACE_EXIT();
    return 0;
}

int32_t getAllLocalPidsFromVorel(devconpld ***local_pids, int32_t *num_local_pids, int32_t *num_ind_runs)
{
    const int dom = fgetMyDomain(platform_handle());
    VTRACE_ENTER();
    if (local_pids == nullptr)
        return VOREL_E_NULLARG;
    *local_pids = nullptr;
    *num_local_pids = 0;
    *num_ind_runs = 0;

    const gshm_handle_t h = vorel::shm();
    gadd_t first = 0;
    // Only 1..255 name domain blocks; block 0 is the header.
    if (dom <= 0 || dom >= static_cast<int>(kNumBasicBlocks) ||
        get_basic_block(h, static_cast<uint32_t>(dom), &first) < 0) {
        VTRACE_ERR("get_basic_block() for dom %d returns none\n", dom);
        return VOREL_E_READ;
    }
    if (first == 0) {
        auto **empty = static_cast<devconpld **>(std::malloc(sizeof(devconpld *)));
        if (empty == nullptr)
            return VOREL_E_NOMEM;
        *local_pids = empty;
        return 0;
    }

    // First pass: how many devices the domain holds.
    int32_t counted = 0;
    int rc = vorel::walk_chain<DomDb>(
        first,
        [&](const DomDb &b, gadd_t) {
            counted += static_cast<int32_t>(vorel::used_slots(b));
            return vorel::Walk::Next;
        },
        nullptr, h);
    if (rc < 0) {
        VTRACE_ERR("gadd2ladd() returns rc=%d\n", rc);
        return VOREL_E_READ;
    }
    auto **list = static_cast<devconpld **>(std::calloc(counted > 0 ? counted : 1, sizeof(devconpld *)));
    if (list == nullptr)
        return VOREL_E_NOMEM;
    *num_local_pids = counted;

    // Second pass: each device's record, at most as many as were counted.
    int32_t m = 0;
    int32_t runs = 0;
    int32_t prev_ind = -1;
    bool lookup_failed = false;
    rc = vorel::walk_chain<DomDb>(
        first,
        [&](const DomDb &b, gadd_t) {
            VTRACE_INFO_AS("getAllLocalPidsFromVorel", "retrieving memblock for Dom %d num_pids %d\n", dom, b.num_pids);
            const uint32_t n = vorel::used_slots(b);
            for (uint32_t i = 0; i < n && m < counted; ++i) {
                VTRACE_INFO_AS("getAllLocalPidsFromVorel", "pid %8x Reading for all DB\n", b.pid_tbl[i].pid);
                devconpld *pld = nullptr;
                if (getPidFromVorel(b.pid_tbl[i].pid, &pld) != 0) {
                    VTRACE_ERR_AS("getAllLocalPidsFromVorel", "getPidFromVorel failed whenadding to Vorel\n");
                    lookup_failed = true;
                    return vorel::Walk::Stop;
                }
                if (pld->src_dev.ind != prev_ind) {
                    ++runs;
                    prev_ind = pld->src_dev.ind;
                }
                list[m++] = pld;
            }
            return vorel::Walk::Next;
        },
        nullptr, h);
    if (rc < 0 || lookup_failed) {
        if (rc < 0)
            VTRACE_ERR("gadd2ladd() returns rc=%d\n", rc);
        release_collected(list, m);
        std::free(list);
        *num_local_pids = 0;
        *num_ind_runs = 0;
        return VOREL_E_READ;
    }
    *num_ind_runs = runs;
    *local_pids = list;
    if (m < counted) {
        *num_local_pids = m;
        // Shrinking to nothing would hand back a released array: keep it instead.
        auto **shrunk = m > 0 ? static_cast<devconpld **>(std::realloc(list, sizeof(devconpld *) * m)) : list;
        if (shrunk == nullptr) {
            release_collected(list, m);
            *num_local_pids = 0;
            *num_ind_runs = 0;
            return VOREL_E_NOMEM;
        }
        *local_pids = shrunk;
    }
    VTRACE_EXIT();
    return 0;
}

} // extern "C"
