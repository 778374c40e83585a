// insert.cpp - putting a device into the store: its PID is filed in its
// domain's chain, its destination chain is built from the payload, and (when
// peers are kept in step) its earlier record is removed first and every
// destination already stored gets a link back to it.
#include <cstdlib>
#include <cstring>

#include "trace.h"
#include "vorel_db.h"

namespace {

// Where a new PID goes in its domain: the first block with room, or the
// last block of a chain whose blocks are all full.
struct DomainRoom {
    DomDb *target = nullptr;
    DomDb *last = nullptr;
};

// Gets a fresh head DestDb block for `pid` and files {pid, head} in slot
// num_pids of `b`.  Returns the head's gadd, or 0.
gadd_t file_pid(gshm_handle_t h, DomDb &b, uint32_t pid, bool announce)
{
    if (gshm_availability(h) == 0) {
        VTRACE_ERR_AS("AddPidToDomDb", "shm: no memory\n");
        return 0;
    }
    gadd_t head = 0;
    if (gshm_alloc(h, &head, vorel::kDestDbSize) < 0) {
        VTRACE_ERR_AS("AddPidToDomDb", "gshm_alloc() returns error for pid %8x\n", pid);
        return 0;
    }
    if (announce)
        VTRACE_INFO_AS("AddPidToDomDb", "adding pid %8x and allocated gadd %8xto domDb\n", pid, head);
    b.pid_tbl[b.num_pids] = DomDbEntry{pid, head};
    b.num_pids += 1;
    return head;
}

// Adds a DomDb block to the domain's chain (after `last`, or registered as
// the domain's first block) and files `pid` in its slot 0.
gadd_t file_pid_in_new_block(gshm_handle_t h, uint32_t dom, DomDb *last, uint32_t pid)
{
    if (gshm_availability(h) == 0) {
        VTRACE_ERR_AS("AddPidToDomDb", "shm: no memory\n");
        return 0;
    }
    gadd_t block_gadd = 0;
    if (const int rc = gshm_alloc(h, &block_gadd, vorel::kDomDbSize); rc < 0) {
        VTRACE_ERR_AS("AddPidToDomDb", "gshm_alloc() returns rc=%d for dom %d\n", rc, dom);
        return 0;
    }
    DomDb *block = nullptr;
    if (vorel::resolve(h, block_gadd, &block) < 0 || block == nullptr) {
        VTRACE_ERR_AS("AddPidToDomDb", "gadd2ladd() for dom %d returns error\n", dom);
        gshm_free(h, block_gadd); // never linked: nothing refers to it
        return 0;
    }
    if (last != nullptr) {
        last->next_gadd = block_gadd;
    } else {
        if (set_basic_block(h, dom, &block_gadd) < 0) {
            gshm_free(h, block_gadd);
            return 0;
        }
        VTRACE_INFO_AS("AddPidToDomDb", "adding new dom %d basic block\n", dom);
    }
    block->next_gadd = 0;
    block->domain = dom;
    block->num_pids = 0;
    return file_pid(h, *block, pid, false);
}

// Domain step: files the PID in its domain's chain with a new head DestDb
// block.  Returns the head's gadd, or 0 when the domain cannot take it.
gadd_t AddPidToDomDb(gshm_handle_t h, uint32_t pid)
{
    VTRACE_ENTER();
    const uint32_t dom = vorel::domain_of(pid);
    if (dom == 0) {
        // Basic block 0 is the header, never a domain block.
        VTRACE_ERR("get_basic_block() for dom %d returns none\n", dom);
        VTRACE_EXIT();
        return 0;
    }
    gadd_t first = 0;
    if (get_basic_block(h, dom, &first) < 0) {
        VTRACE_ERR("get_basic_block() for dom %d returns none\n", dom);
        first = 0;
    }
    DomainRoom room;
    const int rc = vorel::walk_chain<DomDb>(
        first,
        [&](DomDb &b, gadd_t) {
            if (b.num_pids < kPidsPerDomDb) {
                room.target = &b;
                return vorel::Walk::Stop;
            }
            room.last = &b;
            return vorel::Walk::Next;
        },
        nullptr, h);
    gadd_t head = 0;
    if (rc < 0 || rc == vorel::kChainNullBlock)
        VTRACE_ERR("gadd2ladd() returns rc=%d\n", rc < 0 ? rc : 0);
    else if (room.target != nullptr)
        head = file_pid(h, *room.target, pid, true);
    else
        head = file_pid_in_new_block(h, dom, room.last, pid);
    VTRACE_EXIT();
    return head;
}

// Builds the PID's own chain from the payload, 64 destinations to a block,
// starting with the head block.  Returns 0, or VOREL_E_FAIL when a further block cannot
// be had; `filled` tells whether every block could be written.
int32_t fill_own_chain(gshm_handle_t h, gadd_t head, const devconpld &pld, int32_t total, bool &filled)
{
    filled = false;
    const DevInfo *next_dest = pld.dst_devices;
    int32_t remaining = total;
    DestDb *prev = nullptr;
    for (gadd_t cur = head;;) {
        DestDb *b = nullptr;
        if (vorel::resolve(h, cur, &b) < 0 || b == nullptr) {
            VTRACE_ERR_AS("con_addpidtodb", "gadd2ladd() returns error\n");
            if (prev != nullptr) {
                // Keep the chain to the blocks that were written.
                prev->next_gadd = 0;
                gshm_free(h, cur);
            }
            return 0;
        }
        const int32_t k = remaining < static_cast<int32_t>(kDestsPerDestDb) ? remaining : kDestsPerDestDb;
        b->next_gadd = 0;
        b->blk_num_dest = k;
        b->src_dev = pld.src_dev;
        b->num_dstdevices = total;
        vorel::copy_records(b->dest_dev, next_dest, static_cast<uint32_t>(k)); // k may be 0 with no array
        remaining -= k;
        if (remaining <= 0)
            break;
        if (gshm_availability(h) == 0) {
            VTRACE_ERR_AS("con_addpidtodb", "shm: no memory\n");
            return VOREL_E_FAIL;
        }
        gadd_t more = 0;
        if (gshm_alloc(h, &more, vorel::kDestDbSize) < 0) {
            VTRACE_ERR_AS("con_addpidtodb", "gshm_alloc() returns error for pid %8x\n", pld.src_dev.pid);
            return VOREL_E_FAIL;
        }
        next_dest += k;
        b->next_gadd = more;
        prev = b;
        cur = more;
    }
    filled = true;
    return 0;
}

// A new block at the end of a peer's chain, whose every block is full.
// Returns false when it cannot be had.
bool extend_peer_chain(gshm_handle_t h, DestDb &last, const DevInfo &peer, const DevInfo &src)
{
    if (gshm_availability(h) == 0) {
        VTRACE_ERR_AS("addPidToDestDb", "shm: no memory\n");
        return false;
    }
    gadd_t block_gadd = 0;
    if (gshm_alloc(h, &block_gadd, vorel::kDestDbSize) < 0) {
        VTRACE_ERR_AS("addPidToDestDb", "gshm_alloc() returns error for pid %8x\n", src.pid);
        return false;
    }
    DestDb *block = nullptr;
    if (vorel::resolve(h, block_gadd, &block) < 0 || block == nullptr) {
        VTRACE_ERR_AS("addPidToDestDb", "gadd2ladd() returns error\n");
        gshm_free(h, block_gadd); // never linked
        return false;
    }
    last.next_gadd = block_gadd;
    block->src_dev = peer;
    block->blk_num_dest = 1;
    block->dest_dev[0] = src;
    block->next_gadd = 0;
    return true;
}

// Reverse link: adds the inserted device `src` to the chain of its
// destination `peer` (as the payload describes it), unless the peer is not
// stored or already lists it.
void addPidToDestDb(gshm_handle_t h, const DevInfo &peer, const DevInfo &src)
{
    VTRACE_ENTER();
    const uint32_t dest = peer.pid;
    const gadd_t head_gadd = vorel::find_pid(h, dest);
    if (head_gadd == 0) {
        VTRACE_INFO("src_pid %8x does not exist to add dest_pid%8x\n", dest, src.pid);
        VTRACE_EXIT();
        return;
    }
    // The head is kept for its total; when it cannot be resolved here the walk
    // tries again and the total is left alone.
    DestDb *head = nullptr;
    if (vorel::resolve(h, head_gadd, &head) < 0)
        head = nullptr;
    // One walk both checks for an existing link and finds the place for the
    // new one: the first block with room, or else the last block.
    bool listed = false;
    DestDb *room = nullptr;
    DestDb *last = nullptr;
    const int rc = vorel::walk_chain<DestDb>(
        head_gadd,
        [&](DestDb &b, gadd_t) {
            if (vorel::find_slot(b, src.pid) >= 0) {
                listed = true;
                return vorel::Walk::Stop;
            }
            if (room == nullptr && b.blk_num_dest < static_cast<int32_t>(kDestsPerDestDb))
                room = &b;
            last = &b;
            return vorel::Walk::Next;
        },
        head, h);
    if (rc < 0) {
        VTRACE_ERR("gadd2ladd() returns error\n");
    } else if (listed) {
        VTRACE_ERR("dest_pid %8x already exists in src_pid %8x database\n", src.pid, dest);
    } else if (room != nullptr || (last != nullptr && extend_peer_chain(h, *last, peer, src))) {
        if (room != nullptr) {
            const int32_t slot = room->blk_num_dest > 0 ? room->blk_num_dest : 0;
            room->dest_dev[slot] = src;
            room->blk_num_dest = slot + 1;
        }
        if (head != nullptr)
            head->num_dstdevices += 1;
        VTRACE_INFO("successfully added destPid %8x to srcPid %8x connectivity list\n", src.pid, dest);
    }
    VTRACE_EXIT();
}

} // namespace

namespace vorel {

int32_t add_pid(gshm_handle_t h, devconpld *pld, uint32_t sync_peers)
{
    static constexpr const char *kName = "con_addpidtodb";
    VTRACE_ENTER_AS(kName);
    VorelHdr *hdr = header(h);
    if (hdr == nullptr) {
        VTRACE_ERR_AS(kName, "Header for Vorel not initialized\n");
        return 0;
    }
    const uint32_t pid = pld->src_dev.pid;
    if (sync_peers == 1)
        std::free(remove_pid(h, pid, 1));

    const gadd_t head = AddPidToDomDb(h, pid);
    if (head == 0) {
        VTRACE_ERR_AS(kName, "Unable to retrieve domain databasefor pid %8x\n", pid);
        return 0;
    }
    // Refused payloads never get here; a damaged count stores no destination.
    const int32_t total = pld->num_dstdevices > 0 && pld->dst_devices != nullptr ? pld->num_dstdevices : 0;
    bool filled = false;
    if (const int32_t rc = fill_own_chain(h, head, *pld, total, filled); rc < 0 || !filled)
        return rc;

    if (sync_peers == 1)
        for (int32_t i = 0; i < total; ++i)
            addPidToDestDb(h, pld->dst_devices[i], pld->src_dev);

    hdr->total_pids += 1;
    VTRACE_INFO_AS(kName, "successfully added pid %8x to vorel\n", pid);
    VTRACE_EXIT_AS(kName);
    return 0;
}

} // namespace vorel

extern "C" {

int32_t con_addpidtodb(devconpld *pld, uint32_t sync_peers) { return vorel::add_pid(vorel::shm(), pld, sync_peers); }

} // extern "C"
