// segment.cpp - creation of the shared segment by the server, attachment by
// clients, the database header and detach.
#include "lock.h"
#include "trace.h"
#include "vorel_db.h"

namespace {

constexpr uint32_t kSegmentInitial = 1048576;
constexpr uint32_t kSegmentStep = 1048576;

gshm_create_t creation_record(key_t key)
{
    return gshm_create_t{{static_cast<uint32_t>(key), kSegmentInitial, kSegmentStep, 4, vorel::kNumBasicBlocks, 1}};
}

// Empties the table of domain blocks; a failing slot is traced and skipped.
void clear_domain_blocks(gshm_handle_t h)
{
    const gadd_t none = 0;
    for (uint32_t block = 1; block < vorel::kNumBasicBlocks; ++block)
        if (set_basic_block(h, block, &none) < 0)
            VTRACE_ERR_AS("initVorelSrvr", "setting basic block failed\n");
}

// Ends a failed creation: the attachment made by gshm_init0 is released.
int32_t abandon_segment(VorelPartCtx *c, int32_t rc)
{
    gshm_quit(&c->shm_handle);
    return rc;
}

int32_t create_segment(VorelPartCtx *c)
{
    const gshm_create_t create = creation_record(c->shm_key);
    if (const int rc = gshm_init0(&c->shm_handle, &create); rc < 0) {
        VTRACE_ERR_AS("initVorelSrvr", "gshm_init0() failed with rc=%d\n", rc);
        return VOREL_E_SEGMENT;
    }
    gadd_t hdr_gadd = 0;
    if (const int rc = gshm_alloc(c->shm_handle, &hdr_gadd, sizeof(VorelHdr)); rc < 0) {
        VTRACE_ERR_AS("initVorelSrvr", "gshm_alloc failed for vorel hdr rc %d", rc);
        return abandon_segment(c, VOREL_E_HDRALLOC);
    }
    if (const int rc = set_basic_block(c->shm_handle, 0, &hdr_gadd); rc < 0) {
        VTRACE_ERR_AS("initVorelSrvr", "set_basic_block() failed for vorelHdr rc=%d\n", rc);
        return abandon_segment(c, VOREL_E_SETBLOCK);
    }
    VorelHdr *hdr = nullptr;
    if (const int rc = vorel::resolve(hdr_gadd, &hdr); rc < 0) {
        VTRACE_ERR_AS("initVorelSrvr", "gadd2ladd() returns rc=%d\n", rc);
        return abandon_segment(c, VOREL_E_MAP);
    }
    if (hdr == nullptr) {
        VTRACE_ERR_AS("initVorelSrvr", "gadd2ladd returns invalid ptr for VorelHdr\n");
        return abandon_segment(c, VOREL_E_MAP);
    }
    clear_domain_blocks(c->shm_handle);
    hdr->sync_done = 0;
    hdr->total_pids = 0;
    c->initialized = 1;
    c->role = 0;
    VTRACE_INFO_AS("initVorelSrvr", "vorelSrvr Initialization completed\n");
    return 0;
}

int32_t attach_segment(VorelPartCtx *c)
{
    if (gshm_init(&c->shm_handle, c->shm_key) < 0) {
        VTRACE_ERR_AS("initVorelClient", "gshm_init failed for client\n");
        return VOREL_E_SEGMENT;
    }
    gadd_t hdr_gadd = 0;
    if (const int rc = get_basic_block(c->shm_handle, 0, &hdr_gadd); rc < 0) {
        VTRACE_ERR_AS("initVorelClient", "get_basic_block() failed with rc=%d for Vorel Hdr for Client\n", rc);
        return VOREL_E_READ;
    }
    VorelHdr *hdr = nullptr;
    if (const int rc = vorel::resolve(hdr_gadd, &hdr); rc < 0) {
        VTRACE_ERR_AS("initVorelClient", "gadd2ladd() returns rc=%d for  Vorel Header\n", rc);
        return VOREL_E_MAP;
    }
    if (hdr == nullptr) {
        VTRACE_ERR_AS("initVorelClient", "gadd2ladd returns invalid ptr for VorelHdr for client\n");
        return VOREL_E_MAP;
    }
    c->initialized = 1;
    c->role = 1;
    return 0;
}

// Shared front of both inits: an attached process is refused with
// VOREL_E_ATTACHED.
template <int32_t (*Attach)(VorelPartCtx *)> int32_t attach_once(const char *name)
{
    VTRACE_ENTER_AS(name);
    VorelPartCtx *c = vorel::ctx();
    vorel::WriteLock lock(c->rwlock);
    int32_t rc = VOREL_E_ATTACHED;
    if (c->initialized > 0)
        VTRACE_INFO_AS(name, "vorel memory already initialized\n");
    else
        rc = Attach(c);
    lock.unlock();
    VTRACE_EXIT_AS(name);
    return rc;
}

// Shared body of both detaches.
template <bool ReportQuit> void detach(const char *name)
{
    VTRACE_ENTER_AS(name);
    VorelPartCtx *c = vorel::ctx();
    vorel::WriteLock lock(c->rwlock);
    if (c->initialized <= 0) {
        VTRACE_ERR_AS(name, "vorel already uninitialized\n");
    } else {
        const int rc = gshm_quit(&c->shm_handle);
        if (ReportQuit && rc < 0)
            VTRACE_ERR_AS(name, "gshm_quit failed with rc=%d\n", rc);
        c->initialized = 0;
    }
    lock.unlock();
    VTRACE_EXIT_AS(name);
}

} // namespace

namespace vorel {

VorelHdr *header(gshm_handle_t h)
{
    static constexpr const char *kName = "getVorelHdr";
    VTRACE_ENTER_AS(kName);
    gadd_t hdr_gadd = 0;
    VorelHdr *hdr = nullptr;
    if (const int rc = get_basic_block(h, 0, &hdr_gadd); rc < 0) {
        VTRACE_ERR_AS(kName, "get_basic_block() failed forHeader block rc=%d\n", rc);
    } else if (const int rc2 = resolve(h, hdr_gadd, &hdr); rc2 < 0) {
        VTRACE_ERR_AS(kName, "gadd2ladd failed forHeader block rc=%d\n", rc2);
        hdr = nullptr;
    }
    VTRACE_EXIT_AS(kName);
    return hdr;
}

} // namespace vorel

extern "C" {

int32_t initVorelSrvr(void) { return attach_once<create_segment>("initVorelSrvr"); }

int32_t initVorelClient(void) { return attach_once<attach_segment>("initVorelClient"); }

VorelHdr *getVorelHdr(void) { return vorel::header(vorel::shm()); }

int32_t isVorelInSync(void)
{
    VTRACE_ENTER();
    VorelPartCtx *c = vorel::ctx();
    vorel::WriteLock lock(c->rwlock);
    int32_t rc = VOREL_E_NOTATTACHED;
    if (c->initialized > 0)
        if (const VorelHdr *hdr = getVorelHdr(); hdr != nullptr)
            rc = hdr->sync_done == 0 ? 0 : VOREL_E_INSYNC;
    VTRACE_EXIT();
    return rc;
}

void detachVorelSrvr(void) { detach<true>("detachVorelSrvr"); }

void detachVorelClient(void) { detach<false>("detachVorelClient"); }

} // extern "C"
