// vorel_db.h - private to libvorel: the records kept in the shared segment,
// the heap records that stay inside the library, the internal operations and
// the one way to follow a chain of shared blocks.
//
// Invariants of the store.  The verifier (vorel check) reports each broken
// one under its number.
//  1. Symmetry.  After an insertion or a removal with sync_peers = 1, when
//     the chain of S lists D and D is stored, the chain of D lists S, and a
//     chain lists each destination once.  The initial load and the bulk
//     removal (sync_peers = 0) may leave a destination that is not stored,
//     does not list S back or is listed twice: a warning, not corruption.
//  2. total_pids.  The header's total_pids is the number of PIDs filed in the
//     domain chains; each stored PID is filed once, in the chain of its own
//     domain (its domain byte).
//  3. Head counts.  Every filed PID has a head DestDb block; every block of
//     its chain carries the PID's src_dev; the head's num_dstdevices is the
//     sum of blk_num_dest over the chain.  num_pids stays within 0..256 and
//     blk_num_dest within 0..64.
//  4. The first block kept.  A domain's first DomDb block, once set in the
//     domain's basic block, stays registered for the life of the segment: a
//     block whose num_pids falls to 0 keeps its place, and domain removal
//     empties the first block and frees only those behind it.  Every block of
//     domain d's chain says domain = d; every block resolves and is reached
//     from exactly one chain, once.
//  5. Lock preconditions.  The store primitives (con_findpidfromdb,
//     con_addpidtodb, con_delpidfromdb and their handle forms find_pid,
//     add_pid, remove_pid), createPidConnDelta and getVorelHdr take no lock.
//     Insertion, removal and every change of the header run under the switch
//     instance's write lock, held by their caller; a lookup that may run
//     beside an update runs under the read lock, and only the server, the
//     one writer, looks up without it.  The library never takes the lock
//     while it holds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vorel.h"

extern "C" {

// Header of the database, the block named by basic block 0.
struct VorelHdr {
    uint32_t sync_done;
    uint32_t total_pids;
};

struct DomDbEntry {
    uint32_t pid;
    uint32_t gadd; // head DestDb block of the PID
};

constexpr uint32_t kPidsPerDomDb = 256;
constexpr uint32_t kDestsPerDestDb = 64;
constexpr uint32_t kNumBasicBlocks = 256;

// One block of a domain's chain.
struct DomDb {
    uint32_t domain;
    uint32_t num_pids;
    DomDbEntry pid_tbl[kPidsPerDomDb];
    uint32_t next_gadd;
};

// One block of a PID's destination chain.
struct DestDb {
    DevInfo src_dev;
    int32_t num_dstdevices; // meaningful in the head block only
    int32_t blk_num_dest;
    DevInfo dest_dev[kDestsPerDestDb];
    uint32_t next_gadd;
};

// What changed in one device's connectivity; one heap block with both arrays
// right after the five fields.
struct PidConnDelta {
    uint32_t src_pid;
    uint32_t num_new_pids;
    uint32_t *new_pids;
    uint32_t num_removed_pids;
    uint32_t *removed_pids;
};

// Internal operations (hidden from the dynamic symbol table).
uint32_t con_findpidfromdb(uint32_t pid);
int32_t con_addpidtodb(devconpld *pld, uint32_t sync_peers);
disconnMsg *con_delpidfromdb(uint32_t pid, uint32_t sync_peers);
PidConnDelta *createPidConnDelta(devconpld *pld);
void *createUpdateToClients(uint32_t update_type, void *data, int32_t count, uint32_t *length);
int32_t initVorelClient(void);
VorelHdr *getVorelHdr(void);
int32_t isVorelInSync(void);
int32_t getClientIPCAddr(uint32_t client_type, IPCAddr *addr);
int32_t vorel_generate_key(void);
void printDevConPayload(uint32_t pid, devconpld *pld);
void printDeviceInfo(DevInfo *info);

} // extern "C"

// Layout checks: these sizes and offsets are what every process of the switch
// shares, on every target.
static_assert(sizeof(DevInfo) == 28 && offsetof(DevInfo, pid) == 0);
static_assert(offsetof(DevInfo, ind) == 4 && offsetof(DevInfo, spd) == 6);
static_assert(offsetof(DevInfo, devflags) == 8 && offsetof(DevInfo, dev_extra) == 12);
static_assert(sizeof(VorelHdr) == 8);
static_assert(offsetof(VorelHdr, sync_done) == 0 && offsetof(VorelHdr, total_pids) == 4);
static_assert(sizeof(DomDbEntry) == 8 && offsetof(DomDbEntry, pid) == 0 && offsetof(DomDbEntry, gadd) == 4);
static_assert(sizeof(DomDb) == 2060);
static_assert(offsetof(DomDb, domain) == 0 && offsetof(DomDb, num_pids) == 4);
static_assert(offsetof(DomDb, pid_tbl) == 8 && offsetof(DomDb, next_gadd) == 2056);
static_assert(sizeof(DestDb) == 1832 && offsetof(DestDb, src_dev) == 0);
static_assert(offsetof(DestDb, num_dstdevices) == 28 && offsetof(DestDb, blk_num_dest) == 32);
static_assert(offsetof(DestDb, dest_dev) == 36 && offsetof(DestDb, next_gadd) == 1828);
static_assert(offsetof(devconpld, update_type) == 0);
static_assert(offsetof(devconpld, src_dev) == 4 && offsetof(devconpld, num_dstdevices) == 32);
static_assert(sizeof(disconnMsg) == 8 && offsetof(disconnMsg, pid) == 0);
static_assert(offsetof(disconnMsg, num_disconn) == 4 && offsetof(disconnMsg, disconn_pids) == 8);
static_assert(offsetof(bulkconpld, reserved0) == 0 && offsetof(bulkconpld, num_devices) == 4);
static_assert(offsetof(bulkconpld, reserved2) == 8);
static_assert(offsetof(PidConnDelta, src_pid) == 0 && offsetof(PidConnDelta, num_new_pids) == 4);
static_assert(offsetof(PidConnDelta, new_pids) == 8);
static_assert(sizeof(VorelQueueReq) == 144 && offsetof(VorelQueueReq, timestamp_ms) == 0);
static_assert(offsetof(VorelQueueReq, req_tag) == 4 && offsetof(VorelQueueReq, req_kind) == 12);
static_assert(offsetof(VorelQueueReq, param1) == 16 && offsetof(VorelQueueReq, param1_hi) == 20);
static_assert(offsetof(VorelQueueReq, param2) == 24 && offsetof(VorelQueueReq, param3) == 28);
static_assert(offsetof(VorelQueueReq, param2_hi) == 32);
static_assert(sizeof(IPCAddr) == 24 && offsetof(IPCAddr, node) == 0);
static_assert(offsetof(IPCAddr, svc) == 2 && offsetof(IPCAddr, name) == 4);
static_assert(offsetof(VorelPartCtx, key_fd) == 0 && offsetof(VorelPartCtx, key_path) == 4);
static_assert(offsetof(VorelPartCtx, shm_handle) == 28 && offsetof(VorelPartCtx, rwlock) == 32);
static_assert(offsetof(VorelPartCtx, initialized) == 160);

// Records with pointers: the 32-bit layout is the reference target's; with
// 64-bit pointers the same fields keep their order, naturally aligned.
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(devconpld) == 44 && offsetof(devconpld, dst_devices) == 36 && offsetof(devconpld, tlv_len) == 40);
static_assert(sizeof(bulkconpld) == 16 && offsetof(bulkconpld, devices) == 12);
static_assert(sizeof(PidConnDelta) == 20 && offsetof(PidConnDelta, num_removed_pids) == 12 &&
              offsetof(PidConnDelta, removed_pids) == 16);
static_assert(sizeof(VorelPartCtx) == 184 && offsetof(VorelPartCtx, registeredClients) == 172 &&
              offsetof(VorelPartCtx, shm_key) == 176 && offsetof(VorelPartCtx, revision_num) == 180);
#else
static_assert(sizeof(devconpld) == 56 && offsetof(devconpld, dst_devices) == 40 && offsetof(devconpld, tlv_len) == 48);
static_assert(sizeof(bulkconpld) == 24 && offsetof(bulkconpld, devices) == 16);
static_assert(sizeof(PidConnDelta) == 32 && offsetof(PidConnDelta, num_removed_pids) == 16 &&
              offsetof(PidConnDelta, removed_pids) == 24);
static_assert(sizeof(VorelPartCtx) == 192 && offsetof(VorelPartCtx, registeredClients) == 176 &&
              offsetof(VorelPartCtx, shm_key) == 184 && offsetof(VorelPartCtx, revision_num) == 188);
#endif

namespace vorel {

using ::kDestsPerDestDb;
using ::kNumBasicBlocks;
using ::kPidsPerDomDb;
constexpr uint32_t kDomDbSize = sizeof(DomDb);
constexpr uint32_t kDestDbSize = sizeof(DestDb);

inline uint32_t domain_of(uint32_t pid) { return (pid >> 16) & 0xFFu; }

// The calling process's context of its switch instance.
inline VorelPartCtx *ctx() { return part_vorel_glbl_array[getMySwitch()]; }
inline gshm_handle_t shm() { return ctx()->shm_handle; }

// Turns a global address into a typed local pointer; the platform's result.
// The form with a handle serves callers that already hold it.
template <class T> inline int resolve(gshm_handle_t h, gadd_t gadd, T **out)
{
    void *p = nullptr;
    const int rc = gadd2ladd(h, gadd, &p);
    *out = static_cast<T *>(p);
    return rc;
}
template <class T> inline int resolve(gadd_t gadd, T **out) { return resolve(shm(), gadd, out); }

enum class Walk { Next, Stop };

// Result of walk_chain for a block that resolved to NULL without an error
// (positive, so `rc < 0` keeps meaning "gadd2ladd failed").
constexpr int kChainNullBlock = 1;

// The one way to follow a chain of DomDb or DestDb blocks.  Calls
// visit(block, gadd) for each block from `first`, reading the block's
// next_gadd before the visit (so the visit may free the block).  A caller
// that has already resolved `first` passes its local pointer as `first_block`
// so that no block is resolved twice, and a caller that holds the segment
// handle passes it as `h`.  Ends at a next_gadd of 0, when visit returns
// Walk::Stop, or at a block that resolves to NULL.  Returns 0 at the end of
// the chain or on Stop, kChainNullBlock at a NULL block, or the negative
// result of gadd2ladd for the block that could not be resolved.
template <class Block, class Visit>
int walk_chain(gadd_t first, Visit &&visit, Block *first_block = nullptr, gshm_handle_t h = shm())
{
    Block *b = first_block;
    for (gadd_t g = first; g != 0; b = nullptr) {
        if (b == nullptr) {
            void *p = nullptr;
            const int rc = gadd2ladd(h, g, &p);
            if (rc < 0)
                return rc;
            if (p == nullptr)
                return kChainNullBlock;
            b = static_cast<Block *>(p);
        }
        const gadd_t next = b->next_gadd;
        if (visit(*b, g) == Walk::Stop)
            return 0;
        g = next;
    }
    return 0;
}

// Used slots of a block, bounded by the block's capacity, so that a damaged
// count never takes a scan or a copy outside the block.
inline uint32_t used_slots(const DomDb &b) { return b.num_pids < kPidsPerDomDb ? b.num_pids : kPidsPerDomDb; }
inline uint32_t used_slots(const DestDb &b)
{
    if (b.blk_num_dest <= 0)
        return 0;
    return static_cast<uint32_t>(b.blk_num_dest) < kDestsPerDestDb ? static_cast<uint32_t>(b.blk_num_dest)
                                                                   : kDestsPerDestDb;
}

// Scans the used slots of a block for `pid`: the slot of the first match,
// or -1.  Four slots are compared per branch.
template <class Slot> inline int find_in_slots(const Slot *slots, uint32_t n, uint32_t pid)
{
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4)
        if ((slots[i].pid == pid) | (slots[i + 1].pid == pid) | (slots[i + 2].pid == pid) | (slots[i + 3].pid == pid))
            break;
    for (; i < n; ++i)
        if (slots[i].pid == pid)
            return static_cast<int>(i);
    return -1;
}

// The scan of n domain entries for `pid`: the slot of the first match, or
// -1.  The fastest variant the processor allows (scan.cpp).
int scan_domain_block(const DomDbEntry *slots, uint32_t n, uint32_t pid);

// The variants of that scan, for tests that hold them to the same answers.
using ScanFn = int (*)(const DomDbEntry *, uint32_t, uint32_t);
struct ScanVariant {
    const char *name;
    ScanFn fn;
    bool always; // usable on every processor this build runs on
};
std::span<const ScanVariant> scan_variants();
bool scan_variant_usable(const ScanVariant &v);

// Slot of `pid` among the used slots of a block, or -1 (the first match).
inline int find_slot(const DomDb &b, uint32_t pid) { return scan_domain_block(b.pid_tbl, used_slots(b), pid); }
inline int find_slot(const DestDb &b, uint32_t pid) { return find_in_slots(b.dest_dev, used_slots(b), pid); }

// Copies n whole DevInfo records (n may be 0).  The copy is the C library's:
// kept out of line, because a copy whose count the compiler knows to be
// small is otherwise expanded in place with a string instruction that is
// slow to start.
void copy_records(DevInfo *dst, const DevInfo *src, uint32_t n);

// A zero-filled heap block of n elements of `size` bytes, released with
// free, as calloc gives it (NULL when the size overflows or the heap has no
// room); taken with malloc and cleared, because the C library serves small
// mallocs from a per-thread cache that its calloc does not use.
void *zeroed(std::size_t n, std::size_t size);

// con_findpidfromdb for a caller that holds the segment handle; the same
// records under the same name.
uint32_t find_pid(gshm_handle_t h, uint32_t pid);
// con_delpidfromdb for a caller that holds the segment handle.
disconnMsg *remove_pid(gshm_handle_t h, uint32_t pid, uint32_t sync_peers);
// con_addpidtodb for a caller that holds the segment handle.
int32_t add_pid(gshm_handle_t h, devconpld *pld, uint32_t sync_peers);
// getVorelHdr for a caller that holds the segment handle.
VorelHdr *header(gshm_handle_t h);

// The fabric's domain list of the calling switch instance as fgetDomainLst
// gives it: byte 0 the count, then the domain numbers.  The buffer holds
// 1 + M bytes, M being the instance's maximum number of domains in the
// chassis memory map.  Shared by the enumeration and the dump.
class DomainList {
  public:
    DomainList(); // sizes the buffer from the chassis map; the list is empty
    DomainList(const DomainList &) = delete;
    DomainList &operator=(const DomainList &) = delete;
    // Empties the count byte, asks the platform (its result is ignored) and
    // returns the listed domains.
    std::span<const uint8_t> fill();

  private:
    static constexpr uint32_t kInline = 256;
    uint32_t max_domains_;
    uint8_t *buf_;
    uint8_t inline_[1 + kInline];
    std::vector<uint8_t> large_; // only for a map that allows more than kInline domains
};

} // namespace vorel
