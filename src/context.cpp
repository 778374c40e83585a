// context.cpp - the per-switch context of a process: start-up, shut-down, the
// key file that names the shared segment, and the exported data.
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "trace.h"
#include "vorel_db.h"

extern "C" {

VorelPartCtx *part_vorel_glbl_array[VOREL_MAX_SWITCHES];
uint32_t ep_mgmt_e;
uint32_t ep_auth_e;
uint32_t fmconfigIPCCode_e;
// mod_VORELLIB, the library's trace module, belongs to the platform's trace
// facility, which defines it and sets its level.

namespace {
constexpr const char *kKeyFileBase = "/tmp/.__vorelmm";
constexpr int kKeyProjectId = 29;

// Releases a context that vorellibInit could not complete.
int32_t abandon_init(VorelPartCtx *c)
{
    std::free(c->registeredClients);
    std::free(c);
    part_vorel_glbl_array[getMySwitch()] = nullptr;
    VTRACE_EXIT_AS("vorellibInit");
    return VOREL_E_FAIL;
}
} // namespace

int32_t vorel_generate_key(void)
{
    VTRACE_ENTER();
    VorelPartCtx *c = vorel::ctx();
    char path[24];
    std::snprintf(path, sizeof path, "%s.%d", kKeyFileBase, getMySwitch());
    umask(0);
    // A symbolic link in its place is refused (ELOOP), so that nothing is
    // created or truncated through a link another user planted in /tmp.
    c->key_fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW, 0666);
    int32_t rc = 0;
    if (c->key_fd < 0) {
        VTRACE_ERR("Vorel File create or Open operation failed\n");
        rc = -1;
    } else {
        std::memcpy(c->key_path, path, std::strlen(path) + 1);
        c->shm_key = ftok(path, kKeyProjectId);
    }
    VTRACE_EXIT();
    return rc;
}

int32_t vorellibInit(void)
{
    VTRACE_ENTER();
    auto *c = static_cast<VorelPartCtx *>(std::calloc(1, sizeof(VorelPartCtx)));
    if (c == nullptr) {
        VTRACE_EXIT();
        return VOREL_E_FAIL;
    }
    part_vorel_glbl_array[getMySwitch()] = c;
    c->role = -1;
    if (const int32_t rc = vorel_generate_key(); rc != 0) {
        VTRACE_ERR("vorel_generate_key failed with rc=%d\n", rc);
        return abandon_init(c);
    }
    // The key file only names the lock: the platform keeps its record lock
    // in the runtime directory, out of reach of the users who may open the
    // key file.
    procrwlock_init(&c->rwlock, c->key_fd);
    c->registeredClients = static_cast<uint32_t *>(std::calloc(VOREL_MAX_CLIENTS, sizeof(uint32_t)));
    if (c->registeredClients == nullptr) {
        VTRACE_ERR("Memory allocation for registeredClients failed\n");
        close(c->key_fd);
        return abandon_init(c);
    }
    VTRACE_EXIT();
    return 0;
}

int32_t vorellibUnInit(void)
{
    VTRACE_ENTER();
    VorelPartCtx *c = vorel::ctx();
    if (c == nullptr) {
        VTRACE_EXIT();
        return 0;
    }
    if (c->role == 0)
        detachVorelSrvr();
    else if (c->role == 1)
        detachVorelClient();
    if (close(c->key_fd) != 0)
        VTRACE_ERR("close of vorel temp file failed errno=%d\n", errno);
    std::free(c->registeredClients);
    std::free(c);
    part_vorel_glbl_array[getMySwitch()] = nullptr;
    VTRACE_EXIT();
    return 0;
}

uint32_t getCurrentRevisionNum(void) { return vorel::ctx()->revision_num; }

} // extern "C"
