// remove.cpp - taking a device out of the store: its domain entry goes, its
// destination chain is freed block by block, and (when peers are kept in
// step) every device it was connected to stops listing it.  The result lists
// the device's former destinations in chain order.
#include <cstdlib>
#include <cstring>

#include "trace.h"
#include "vorel_db.h"

namespace {

// Takes the PID's entry out of its domain's chain, closing the gap so the
// later entries of the block keep their order.  Returns the entry's gadd, or
// 0 when the PID has no entry.
gadd_t delPidFromDomDb(gshm_handle_t h, uint32_t pid)
{
    VTRACE_ENTER();
    const uint32_t dom = vorel::domain_of(pid);
    gadd_t first = 0;
    // Basic block 0 is the header: a PID without a domain byte has no entry.
    if (dom != 0) {
        if (const int rc = get_basic_block(h, dom, &first); rc < 0) {
            VTRACE_ERR("get_basic_block() for dom %dreturns none\n", dom);
            VTRACE_EXIT();
            return 0;
        }
    }
    gadd_t found = 0;
    const int rc = vorel::walk_chain<DomDb>(
        first,
        [&](DomDb &b, gadd_t) {
            const int slot = vorel::find_slot(b, pid);
            if (slot < 0)
                return vorel::Walk::Next;
            const uint32_t used = vorel::used_slots(b);
            found = b.pid_tbl[slot].gadd;
            std::memmove(&b.pid_tbl[slot], &b.pid_tbl[slot + 1], (used - slot - 1) * sizeof(DomDbEntry));
            VTRACE_INFO_AS("delPidFromDomDb", "deleted pid %8x from domdb\n", pid);
            b.num_pids -= 1;
            return vorel::Walk::Stop;
        },
        nullptr, h);
    if (rc < 0)
        VTRACE_ERR("gadd2ladd() returns rc=%d\n", rc);
    VTRACE_EXIT();
    return found;
}

// Takes `pid` out of the chain of its former destination `dest`: the first
// occurrence only; the block stays in the chain even when it empties.
void delPidFromDestDb(gshm_handle_t h, uint32_t dest, uint32_t pid)
{
    VTRACE_ENTER();
    const gadd_t head_gadd = vorel::find_pid(h, dest);
    if (head_gadd == 0) {
        VTRACE_ERR("src_pid %8x does not exist to delete dest_pid%8x\n", dest, pid);
        VTRACE_EXIT();
        return;
    }
    // The head is kept for its total; when it cannot be resolved here the walk
    // tries again and the total is left alone.
    DestDb *head = nullptr;
    if (vorel::resolve(h, head_gadd, &head) < 0)
        head = nullptr;
    bool found = false;
    const int rc = vorel::walk_chain<DestDb>(
        head_gadd,
        [&](DestDb &b, gadd_t) {
            const int slot = vorel::find_slot(b, pid);
            if (slot < 0)
                return vorel::Walk::Next;
            const uint32_t used = vorel::used_slots(b);
            std::memmove(&b.dest_dev[slot], &b.dest_dev[slot + 1], (used - slot - 1) * sizeof(DevInfo));
            b.blk_num_dest -= 1;
            if (head != nullptr)
                head->num_dstdevices -= 1;
            VTRACE_INFO_AS("delPidFromDestDb", "found dest pid %8x in src pid %8x connectivity list to be deleted\n",
                           pid, dest);
            found = true;
            return vorel::Walk::Stop;
        },
        head, h);
    if (rc < 0)
        VTRACE_ERR("gadd2ladd() returns error\n");
    else if (!found)
        VTRACE_ERR("Did not find dest pid %8x in src pid %8x connectivity list to be deleted\n", pid, dest);
    VTRACE_EXIT();
}

} // namespace

namespace vorel {

disconnMsg *remove_pid(gshm_handle_t h, uint32_t pid, uint32_t sync_peers)
{
    static constexpr const char *kName = "con_delpidfromdb";
    VTRACE_ENTER_AS(kName);
    VorelHdr *hdr = header(h);
    if (hdr == nullptr) {
        VTRACE_ERR_AS(kName, "Header for Vorel not initialized\n");
        VTRACE_EXIT_AS(kName);
        return nullptr;
    }
    const gadd_t head_gadd = delPidFromDomDb(h, pid);
    if (head_gadd == 0) {
        VTRACE_ERR_AS(kName, "Pid %8x does not exist in vorel\n", pid);
        VTRACE_EXIT_AS(kName);
        return nullptr;
    }
    DestDb *head = nullptr;
    if (const int rc = resolve(h, head_gadd, &head); rc < 0 || head == nullptr) {
        VTRACE_ERR_AS(kName, "gadd2ladd() returns error\n");
        VTRACE_EXIT_AS(kName);
        return nullptr;
    }
    const int32_t n = head->num_dstdevices > 0 ? head->num_dstdevices : 0;
    auto *msg = static_cast<disconnMsg *>(zeroed(static_cast<size_t>(n) + 2, sizeof(uint32_t)));
    if (msg == nullptr) {
        VTRACE_ERR_AS(kName, "Memory allocation failed for disconnMsg\n");
        VTRACE_EXIT_AS(kName);
        return nullptr;
    }
    msg->pid = pid;
    msg->num_disconn = n;
    VTRACE_INFO_AS(kName, "deleting PID %8x num disconnected PIDs %d\n", pid, n);

    // Each block: record its destinations (unlinking each peer right after it
    // is recorded), then give the block back.
    int32_t gathered = 0;
    bool free_failed = false;
    const int rc = walk_chain<DestDb>(
        head_gadd,
        [&](DestDb &b, gadd_t g) {
            const uint32_t used = used_slots(b);
            if (used > 0 && gathered < n) {
                const uint32_t room = static_cast<uint32_t>(n - gathered);
                const uint32_t take = used < room ? used : room;
                for (uint32_t j = 0; j < take; ++j) {
                    const uint32_t dest = b.dest_dev[j].pid;
                    msg->disconn_pids[gathered++] = dest;
                    if (sync_peers == 1)
                        delPidFromDestDb(h, dest, pid);
                }
            }
            if (const int frc = gshm_free(h, g); frc < 0) {
                VTRACE_ERR_AS(kName, "gshm_free() returns rc=%d\n", frc);
                free_failed = true;
                return Walk::Stop;
            }
            return Walk::Next;
        },
        head, h);
    if (free_failed) {
        std::free(msg);
        return nullptr;
    }
    if (rc != 0) {
        VTRACE_ERR_AS(kName, "gadd2ladd() returns error\n");
        std::free(msg);
        return nullptr;
    }
    hdr->total_pids -= 1;
    VTRACE_EXIT_AS(kName);
    return msg;
}

} // namespace vorel

extern "C" {

disconnMsg *con_delpidfromdb(uint32_t pid, uint32_t sync_peers)
{
    return vorel::remove_pid(vorel::shm(), pid, sync_peers);
}

} // extern "C"
