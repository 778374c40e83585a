// vorel_db.h - private to libvorel: the records kept in the shared segment,
// the heap records that stay inside the library, the internal operations and
// the one way to follow a chain of shared blocks.
#pragma once

#include <cstddef>
#include <cstdint>

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
static_assert(sizeof(DevInfo) == 28);
static_assert(offsetof(DevInfo, ind) == 4 && offsetof(DevInfo, spd) == 6);
static_assert(offsetof(DevInfo, devflags) == 8 && offsetof(DevInfo, dev_extra) == 12);
static_assert(sizeof(VorelHdr) == 8);
static_assert(sizeof(DomDbEntry) == 8);
static_assert(sizeof(DomDb) == 2060);
static_assert(offsetof(DomDb, pid_tbl) == 8 && offsetof(DomDb, next_gadd) == 2056);
static_assert(sizeof(DestDb) == 1832);
static_assert(offsetof(DestDb, num_dstdevices) == 28 && offsetof(DestDb, blk_num_dest) == 32);
static_assert(offsetof(DestDb, dest_dev) == 36 && offsetof(DestDb, next_gadd) == 1828);
static_assert(offsetof(devconpld, src_dev) == 4 && offsetof(devconpld, num_dstdevices) == 32);
static_assert(sizeof(void *) != 4 || (sizeof(devconpld) == 44 && offsetof(devconpld, dst_devices) == 36 &&
                                      offsetof(devconpld, tlv_len) == 40));
static_assert(sizeof(disconnMsg) == 8);
static_assert(sizeof(VorelQueueReq) == 144);
static_assert(offsetof(VorelQueueReq, req_tag) == 4 && offsetof(VorelQueueReq, req_kind) == 12);
static_assert(offsetof(VorelQueueReq, param1) == 16 && offsetof(VorelQueueReq, param2) == 24);
static_assert(offsetof(VorelQueueReq, param3) == 28);
static_assert(sizeof(IPCAddr) == 24);

namespace vorel {

constexpr uint32_t kDomDbSize = sizeof(DomDb);
constexpr uint32_t kDestDbSize = sizeof(DestDb);

inline uint32_t domain_of(uint32_t pid) { return (pid >> 16) & 0xFFu; }

// The calling process's context of its switch instance.
inline VorelPartCtx *ctx() { return part_vorel_glbl_array[getMySwitch()]; }
inline gshm_handle_t shm() { return ctx()->shm_handle; }

// Turns a global address into a typed local pointer; the platform's result.
template <class T> inline int resolve(gadd_t gadd, T **out)
{
    void *p = nullptr;
    const int rc = gadd2ladd(shm(), gadd, &p);
    *out = static_cast<T *>(p);
    return rc;
}

enum class Walk { Next, Stop };

// The one way to follow a chain of DomDb or DestDb blocks.  Calls
// visit(block, gadd) for each block from `first`, reading the block's
// next_gadd before the visit (so the visit may free the block).  Ends at a
// next_gadd of 0, when visit returns Walk::Stop, or at a block that resolves
// to NULL.  Returns 0, or the negative result of gadd2ladd for the block that
// could not be resolved (stored in *failed_gadd when given).
template <class Block, class Visit> int walk_chain(gadd_t first, Visit &&visit)
{
    for (gadd_t g = first; g != 0;) {
        Block *b = nullptr;
        const int rc = resolve(g, &b);
        if (rc < 0)
            return rc;
        if (b == nullptr)
            return 0;
        const gadd_t next = b->next_gadd;
        if (visit(*b, g) == Walk::Stop)
            return 0;
        g = next;
    }
    return 0;
}

} // namespace vorel
