// lookup.cpp - finding a device in the store: the domain-chain search that
// insertion and removal use for every peer, and the exported copy of one
// device's whole record.
#include <cstdlib>
#include <cstring>

#include "trace.h"
#include "vorel_db.h"

namespace {

// Copies the destinations of a chain, block by block from its resolved head,
// into `out` (room for n records); `copied` tells how many were.  Returns 0,
// or the negative result of the resolution that failed.
int copy_destinations(gshm_handle_t h, gadd_t head_gadd, DestDb *head, int32_t n, DevInfo *out, int32_t &copied)
{
    int32_t total = 0;
    copied = 0;
    const int rc = vorel::walk_chain<DestDb>(
        head_gadd,
        [&](const DestDb &b, gadd_t) {
            const uint32_t k = vorel::used_slots(b);
            total += static_cast<int32_t>(k);
            if (total > n)
                return vorel::Walk::Stop;
            vorel::copy_records(out + copied, b.dest_dev, k);
            copied += static_cast<int32_t>(k);
            return vorel::Walk::Next;
        },
        head, h);
    return rc < 0 ? rc : 0;
}

} // namespace

namespace vorel {

__attribute__((noinline)) void copy_records(DevInfo *dst, const DevInfo *src, uint32_t n)
{
    if (n > 0)
        std::memcpy(dst, src, sizeof(DevInfo) * n);
}

void *zeroed(std::size_t n, std::size_t size)
{
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(n, size, &bytes))
        return nullptr;
    void *p = std::malloc(bytes);
    if (p == nullptr)
        return nullptr;
    // The compiler would otherwise fold this malloc and memset back into the
    // calloc that they replace.
    asm volatile("" : : "r"(p) : "memory");
    std::memset(p, 0, bytes);
    return p;
}

uint32_t find_pid(gshm_handle_t h, uint32_t pid)
{
    static constexpr const char *kName = "con_findpidfromdb";
    VTRACE_ENTER_AS(kName);
    const uint32_t dom = domain_of(pid);
    gadd_t first = 0;
    // Basic block 0 is the header: a PID without a domain byte is never stored.
    if (dom != 0) {
        if (const int rc = get_basic_block(h, dom, &first); rc < 0) {
            VTRACE_ERR_AS(kName, "get_basic_block() for dom %d returns none\n", dom);
            VTRACE_EXIT_AS(kName);
            return 0;
        }
    }
    if (first == 0) {
        VTRACE_ERR_AS(kName, "Not found pid %8x in domdb\n", pid);
        VTRACE_EXIT_AS(kName);
        return 0;
    }
    uint32_t found = 0;
    const int rc = walk_chain<DomDb>(
        first,
        [&](const DomDb &b, gadd_t) {
            const int slot = find_slot(b, pid);
            if (slot < 0)
                return Walk::Next;
            found = b.pid_tbl[slot].gadd;
            VTRACE_INFO_AS(kName, "found pid %8x in domdb\n", pid);
            return Walk::Stop;
        },
        nullptr, h);
    if (rc < 0) {
        VTRACE_ERR_AS(kName, "gadd2ladd() for dom %d returns error\n", dom);
        found = 0;
    } else if (found == 0) {
        VTRACE_ERR_AS(kName, "Not found pid %8x in domdb\n", pid);
    }
    VTRACE_EXIT_AS(kName);
    return found;
}

} // namespace vorel

extern "C" {

uint32_t con_findpidfromdb(uint32_t pid) { return vorel::find_pid(vorel::shm(), pid); }

int32_t getPidFromVorel(uint32_t pid, devconpld **out)
{
    VTRACE_ENTER();
    const VorelPartCtx *c = vorel::ctx();
    if (c->initialized <= 0) {
        VTRACE_ERR("vorel is uninitialized\n");
        return VOREL_E_UNINIT;
    }
    if (out == nullptr) {
        VTRACE_ERR("getPidFromVorel invalid payload\n");
        return VOREL_E_NULLARG;
    }
    const gshm_handle_t h = c->shm_handle;
    const gadd_t head_gadd = vorel::find_pid(h, pid);
    if (head_gadd == 0) {
        VTRACE_ERR("PID %8x does not exist in Vorel\n", pid);
        return VOREL_E_FAIL;
    }
    DestDb *head = nullptr;
    if (const int rc = vorel::resolve(h, head_gadd, &head); rc < 0 || head == nullptr) {
        VTRACE_ERR("gadd2ladd for pid %8x failed rc=%d\n", pid, rc);
        return VOREL_E_MAP;
    }
    const int32_t n = head->num_dstdevices > 0 ? head->num_dstdevices : 0;
    // Zero-filled as a whole: the header here, the destinations by the copy,
    // and whatever the chain did not fill after it.  (calloc would clear
    // the records the copy is about to write.)
    auto *pld = static_cast<devconpld *>(std::malloc(sizeof(devconpld) + sizeof(DevInfo) * n));
    if (pld == nullptr) {
        VTRACE_ERR("Memory allocation failed for devconpld\n");
        return VOREL_E_MAP;
    }
    std::memset(pld, 0, sizeof(devconpld));
    pld->src_dev = head->src_dev;
    pld->num_dstdevices = n;
    pld->dst_devices = reinterpret_cast<DevInfo *>(pld + 1);
    VTRACE_INFO("In getPidFromVorel PID %8x num_dstdevices %d\n", pid, n);
    int32_t copied = 0;
    if (const int rc = copy_destinations(h, head_gadd, head, n, pld->dst_devices, copied); rc < 0) {
        VTRACE_ERR("gadd2ladd() returns rc=%d\n", rc);
        std::free(pld);
        return VOREL_E_MAP;
    }
    if (copied < n)
        std::memset(pld->dst_devices + copied, 0, sizeof(DevInfo) * static_cast<size_t>(n - copied));
    *out = pld;
    VTRACE_EXIT();
    return 0;
}

} // extern "C"
