// delta.cpp - what changed in one device's connectivity: the destinations of
// a new payload that the store does not hold yet, and the stored destinations
// that the payload no longer lists.  Read-only on the store.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "trace.h"
#include "vorel_db.h"

namespace {

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <class T> using Heap = std::unique_ptr<T, FreeDeleter>;

// Zero-filled array of n 32-bit words (n may be 0: the pointer may then be NULL).
Heap<uint32_t> words(uint32_t n) { return Heap<uint32_t>(static_cast<uint32_t *>(vorel::zeroed(n, sizeof(uint32_t)))); }

// The result block: the five fields, then the new PIDs, then the removed PIDs.
PidConnDelta *make_delta(uint32_t src, const uint32_t *added, uint32_t num_added, const uint32_t *removed,
                         uint32_t num_removed)
{
    const size_t size = sizeof(PidConnDelta) + sizeof(uint32_t) * (static_cast<size_t>(num_added) + num_removed);
    auto *d = static_cast<PidConnDelta *>(vorel::zeroed(1, size));
    if (d == nullptr)
        return nullptr;
    d->src_pid = src;
    d->num_new_pids = num_added;
    d->new_pids = reinterpret_cast<uint32_t *>(d + 1);
    d->num_removed_pids = num_removed;
    d->removed_pids = d->new_pids + num_added;
    if (num_added > 0)
        std::memcpy(d->new_pids, added, sizeof(uint32_t) * num_added);
    if (num_removed > 0)
        std::memcpy(d->removed_pids, removed, sizeof(uint32_t) * num_removed);
    return d;
}

} // namespace

extern "C" {

PidConnDelta *createPidConnDelta(devconpld *pld)
{
    const uint32_t src = pld->src_dev.pid;
    devconpld *prev_raw = nullptr;
    const int32_t rc = getPidFromVorel(src, &prev_raw);
    if (rc != 0 && rc != VOREL_E_FAIL) {
        VTRACE_ERR("getPidFromVorel failed whenadding to Vorel\n");
        return nullptr;
    }
    const Heap<devconpld> prev(rc == 0 ? prev_raw : nullptr);

    // Stored destinations: which of them the payload still lists, and those it does not.
    const uint32_t stored = prev ? static_cast<uint32_t>(prev->num_dstdevices) : 0;
    Heap<uint32_t> prev_pids;
    Heap<uint32_t> prev_flags;
    if (prev) {
        prev_pids = words(stored);
        if (stored > 0 && !prev_pids) {
            VTRACE_ERR("addPidVorel failed whenallocating memory for list of previous PIDs\n");
            return nullptr;
        }
        prev_flags = words(stored);
        if (stored > 0 && !prev_flags) {
            VTRACE_ERR("addPidVorel failed whenallocating memory for list of previous PID Flags\n");
            return nullptr;
        }
        VTRACE_INFO("allocating memory of % devices forprevPids and prevPidFlags in addPidToVorel\n",
                    static_cast<int>(stored));
    }

    const int32_t count = pld->num_dstdevices;
    const uint32_t fresh = count > 0 ? static_cast<uint32_t>(count) : 0;
    Heap<uint32_t> new_pids = words(fresh);
    VTRACE_INFO("allocating memory of %d devices fornewPids for src PID %8x\n", count, src);
    if (fresh > 0 && !new_pids) {
        VTRACE_ERR("addPidVorel failed whenallocating memory for list of current PIDs\n");
        return nullptr;
    }

    // Match every new destination against the stored ones, first equal wins.
    const DevInfo *stored_dest = prev ? prev->dst_devices : nullptr;
    uint32_t num_new = 0;
    for (uint32_t i = 0; i < fresh; ++i) {
        const uint32_t d = pld->dst_devices[i].pid;
        uint32_t j = 0;
        while (j < stored && stored_dest[j].pid != d)
            ++j;
        if (j < stored) {
            VTRACE_INFO("PID %8x is already present in connectivity list\n", d);
            prev_flags.get()[j] = 1;
        } else {
            VTRACE_INFO("PID %8x is newly connected to PID %8x\n", d, src);
            new_pids.get()[num_new++] = d;
        }
    }

    // Collect the stored destinations nobody matched, in stored order.
    uint32_t num_removed = 0;
    for (uint32_t k = 0; k < stored; ++k) {
        if (prev_flags.get()[k] != 0)
            continue;
        prev_pids.get()[num_removed++] = stored_dest[k].pid;
        VTRACE_INFO("PID %8x is nowdisconnected from PID %8x\n", stored_dest[k].pid, src);
    }
    return make_delta(src, new_pids.get(), num_new, prev_pids.get(), num_removed);
}

} // extern "C"
