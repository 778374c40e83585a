/*
 * vorel.h - public interface of libvorel, the device connectivity database of
 * a Fibre Channel switch instance.
 *
 * For every device port identifier (PID) that the server has been told about,
 * the database keeps the device's DevInfo and the DevInfo of every device it
 * is connected to, in a global shared-memory segment per switch instance.
 * One server process owns the database; client processes attach and read it
 * in place under the instance's process-shared read/write lock.
 *
 * All operations find their switch instance with getMySwitch() and return a
 * signed 32-bit status: 0 on success, a negative VOREL_E* code on failure.
 * Results of the IPC service are passed through unchanged.
 */
#ifndef VOREL_H
#define VOREL_H

#include <stdint.h>
#include <vorel_platform.h>

#if defined(__GNUC__)
#define VOREL_API __attribute__((visibility("default")))
#else
#define VOREL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Status codes                                                              */
/* ------------------------------------------------------------------------ */

#define VOREL_OK 0
#define VOREL_E_FAIL                                                                                                   \
    (-1)                          /* start-up failed; PID not stored; no memory for the enumeration                    \
                                     payload; insertion could not extend the device's own chain */
#define VOREL_E_NULLARG (-2)      /* a required output argument is NULL */
#define VOREL_E_MAP (-3)          /* a shared block cannot be mapped; no heap for a lookup result */
#define VOREL_E_UNINIT (-4)       /* this process is not attached ("vorel is uninitialized") */
#define VOREL_E_NOHDR (-5)        /* the header cannot be resolved */
#define VOREL_E_INSYNC (-6)       /* the header's sync_done is set */
#define VOREL_E_ATTACHED (-7)     /* the process is already attached */
#define VOREL_E_HDRALLOC (-8)     /* the header block cannot be allocated */
#define VOREL_E_SEGMENT (-10)     /* creating or attaching the segment failed */
#define VOREL_E_SETBLOCK (-11)    /* basic block 0 cannot be set */
#define VOREL_E_READ (-12)        /* basic block 0, the local domain or one of its devices unreadable */
#define VOREL_E_NOMEM (-13)       /* no memory for a delta or a working array */
#define VOREL_E_NOTATTACHED (-14) /* not attached, or no header (in-sync query) */
/* Codes of this implementation for input the database refuses before any change: */
#define VOREL_E_REGFULL (-15) /* the registry already holds 8 client types; nothing registered */
#define VOREL_E_BADPID (-16)  /* a PID whose domain byte is 0 (no such domain) */
#define VOREL_E_BADPAYLOAD                                                                                             \
    (-17) /* NULL payload or list, negative num_dstdevices or num_devices,                                             \
             NULL dst_devices or devices with a positive count */
#define VOREL_E_BADTYPE                                                                                                \
    (-18)                       /* an update type whose message the operation cannot build                             \
                                   (addPidToVorel/addPidListToVorel: 1, 3, 4, 5;                                       \
                                    delPidListToVorel: 0, 1, 4, 6) */
#define VOREL_E_BADDOMAIN (-19) /* delDomainFromVorel with a domain outside 1..255 */

/* ------------------------------------------------------------------------ */
/* Records that cross the boundary                                           */
/* ------------------------------------------------------------------------ */

/* Device information, 28 bytes, carried as one unit; only pid is compared. */
typedef struct DevInfo {
    uint32_t pid;          /* PID of the device */
    int16_t ind;           /* index of the device */
    uint16_t spd;          /* speed in Gbit/s */
    uint32_t devflags;     /* device flags */
    uint8_t dev_extra[16]; /* further attributes of the producer */
} DevInfo;

/* Device connectivity payload.  44 bytes with 32-bit pointers; with 64-bit
 * pointers the same fields in the same order with natural alignment (56
 * bytes).  Arrays of payloads always use a stride of sizeof(devconpld).
 * A payload made by the library is one heap block: the destination array
 * starts right after the record (at byte sizeof(devconpld)); free() it once. */
typedef struct devconpld {
    int32_t update_type;
    DevInfo src_dev;
    int32_t num_dstdevices;
    DevInfo *dst_devices;
    int32_t tlv_len;
} devconpld;

/* Result of a removal: (num_disconn + 2) words in one heap block. */
typedef struct disconnMsg {
    uint32_t pid;
    int32_t num_disconn;
    uint32_t disconn_pids[]; /* destination PIDs in chain order */
} disconnMsg;

/* A list of devices for the bulk operations.  The list, its devices array and
 * every dst_devices array are separate heap blocks; a failed post releases
 * them in the order: every non-NULL dst_devices, then devices, then the list. */
typedef struct bulkconpld {
    uint32_t reserved0; /* not read by the library */
    int32_t num_devices;
    uint32_t reserved2; /* not read by the library */
    devconpld *devices;
} bulkconpld;

/* Request posted to the server's internal queue, exactly 144 bytes.
 * Pointers travel as their value: param1 and param2 hold the low 32 bits; on
 * targets with 64-bit pointers the upper halves travel in param1_hi (the word
 * after param1) and param2_hi (byte 32), which are zero on 32-bit targets.
 * Use vorel_req_ptr1()/vorel_req_ptr2() to read them back. */
typedef struct VorelQueueReq {
    uint32_t timestamp_ms; /* 0: milliseconds of the time base at posting */
    uint8_t req_tag;       /* 4: always VOREL_REQ_TAG */
    uint8_t zero0[7];
    uint8_t req_kind; /* 12: VOREL_REQ_* */
    uint8_t zero1[3];
    uint32_t param1;    /* 16 */
    uint32_t param1_hi; /* 20 */
    uint32_t param2;    /* 24 */
    uint32_t param3;    /* 28 */
    uint32_t param2_hi; /* 32 */
    uint8_t zero2[108];
} VorelQueueReq;

#define VOREL_REQ_TAG 11
enum {
    VOREL_REQ_NOTIFICATION = 1,  /* ProcessClientNotification(param2, param3, 0, param1) */
    VOREL_REQ_BULK_ADD = 2,      /* addPidListToVorel(param1, param2, 0) */
    VOREL_REQ_BULK_DEL = 3,      /* delPidListToVorel(param1, param2, 0) */
    VOREL_REQ_ONLINE = 4,        /* addPidToVorel(param1, param2, 0) */
    VOREL_REQ_DELETE = 5,        /* delPidFromVorel(param1, 0) */
    VOREL_REQ_DELETE_DOMAIN = 6, /* delDomainFromVorel(param1, 0) */
    VOREL_REQ_SYNC = 7           /* vorelSyncDone(0) */
};

static inline void *vorel_req_ptr1(const VorelQueueReq *r)
{
    return (void *)(uintptr_t)(((uint64_t)r->param1_hi << 32) | r->param1);
}
static inline void *vorel_req_ptr2(const VorelQueueReq *r)
{
    return (void *)(uintptr_t)(((uint64_t)r->param2_hi << 32) | r->param2);
}

/* Update types: they select the message that is built and the IPC code it is
 * delivered with. */
enum {
    VOREL_UPD_DEV_ONLINE = 0,     /* DEV_ONLINE, code 0x43 */
    VOREL_UPD_DEV_OFFLINE = 1,    /* DEV_OFFLINE, code 0x42 */
    VOREL_UPD_TYPE2 = 2,          /* no message; code 0x44 */
    VOREL_UPD_LIST_OFFLINE = 3,   /* REMOTE_DOM_OFFLINE, code 0x42 */
    VOREL_UPD_DOM_ONLINE = 4,     /* REMOTE_DOM_ONLINE, code 0x41 */
    VOREL_UPD_DOM_OFFLINE = 5,    /* REMOTE_DOM_OFFLINE, code 0x42 */
    VOREL_UPD_DEV_ONLINE_ALT = 6, /* DEV_ONLINE, code 0x43 */
    VOREL_UPD_TYPE7 = 7,          /* no message, never delivered */
    VOREL_UPD_SYNC = 8            /* sync-done notice (empty), code 0x44; initial load */
};

/* IPC message codes of the update messages. */
#define VOREL_MSG_REMOTE_DOM_ONLINE 0x41
#define VOREL_MSG_OFFLINE 0x42
#define VOREL_MSG_DEV_ONLINE 0x43
#define VOREL_MSG_SYNC 0x44

/* Request codes of the server's handler. */
#define IPC_REQ_ENABLE 41
#define IPC_REQ_DISABLE 42
#define IPC_REQ_REGISTER 43
#define IPC_REQ_UNREGISTER 44

/* IPC addresses. */
#define VOREL_SERVER_SVC_NAME "NSIPC"
#define VOREL_CLIENT_SVC_NAME "PSIPC"
#define VOREL_IPC_SVC 0x400

#define VOREL_MAX_SWITCHES 128
#define VOREL_MAX_CLIENTS 8
#define VOREL_CLIENT_VANT 4

/* ------------------------------------------------------------------------ */
/* Per-switch context                                                        */
/* ------------------------------------------------------------------------ */

/* The calling process's context of one switch instance.  A reader that may
 * run during updates holds procrwlock_rdlock(&part_vorel_glbl_array[getMySwitch()]->rwlock)
 * around getPidFromVorel, getAllLocalPidsFromVorel and the dump. */
typedef struct VorelPartCtx {
    int32_t key_fd;
    char key_path[24];
    gshm_handle_t shm_handle;
    procrwlock_t rwlock;
    int32_t initialized; /* > 0 while attached */
    int32_t role;        /* -1 created, 0 server, 1 client */
    int32_t num_clients;
    uint32_t *registeredClients; /* VOREL_MAX_CLIENTS entries */
    key_t shm_key;
    uint32_t revision_num;
} VorelPartCtx;

VOREL_API extern VorelPartCtx *part_vorel_glbl_array[VOREL_MAX_SWITCHES];
VOREL_API extern uint32_t ep_mgmt_e;
VOREL_API extern uint32_t ep_auth_e;
VOREL_API extern uint32_t fmconfigIPCCode_e;
/* The library's trace module, mod_VORELLIB, is the platform's (vorel_platform.h). */

/* ------------------------------------------------------------------------ */
/* Operations                                                                */
/* ------------------------------------------------------------------------ */

/* Each prototype lists the results the operation can return.  Codes of the
 * IPC service are the platform's (negative) and passed through unchanged. */

/* Start-up and shut-down. */
/* 0, or VOREL_E_FAIL: no memory for the context or its registry, or the key
 * file cannot be created. */
VOREL_API int32_t vorellibInit(void);
/* Always 0 (also when vorellibInit was never called). */
VOREL_API int32_t vorellibUnInit(void);
/* The number of deliveries made so far (not a status). */
VOREL_API uint32_t getCurrentRevisionNum(void);

/* Segment. */
/* 0; VOREL_E_ATTACHED (already attached), VOREL_E_SEGMENT (the segment
 * cannot be created), VOREL_E_HDRALLOC, VOREL_E_SETBLOCK, VOREL_E_MAP (the
 * header cannot be allocated, registered or mapped). */
VOREL_API int32_t initVorelSrvr(void);
VOREL_API void detachVorelSrvr(void);
VOREL_API void detachVorelClient(void);

/* Lookup: on success *out is one heap block for the caller to free().
 * 0; VOREL_E_UNINIT, VOREL_E_NULLARG (out is NULL), VOREL_E_FAIL (the PID
 * is not stored), VOREL_E_MAP (a block cannot be mapped, or no memory for
 * the result). */
VOREL_API int32_t getPidFromVorel(uint32_t pid, devconpld **out);

/* Updates (server).  queue 0 works at once; any other value posts a
 * VorelQueueReq to that queue and returns 0.  A refused input (VOREL_E_BAD*)
 * is refused in both modes before anything is posted or changed, and the
 * caller keeps ownership of it.
 * Once posted, the payload or list belongs to the queue's consumer.  When the
 * post fails the operation releases it: addPidToVorel with one free(), so a
 * payload given with a queue must be one heap block with its destination
 * array inside it; the list operations free every non-NULL dst_devices, then
 * devices, then the list.
 * Update types the operation cannot build a message from are refused
 * (VOREL_E_BADTYPE); types 2, 7 and above 8 change the store and deliver
 * nothing; addPidListToVorel with type 8 is the initial load (no deltas, no
 * reverse links, no message).
 * With a queue every update returns 0 once its input is accepted, whether
 * the post succeeded or not. */
/* 0; VOREL_E_BADPAYLOAD, VOREL_E_BADPID, VOREL_E_BADTYPE; VOREL_E_UNINIT;
 * VOREL_E_NOMEM (no memory for the delta); VOREL_E_FAIL (the device's own
 * chain could not be extended). */
VOREL_API int32_t addPidToVorel(devconpld *pld, uint32_t update_type, uint32_t queue);
/* 0 (also for a PID that is not stored); VOREL_E_BADPID; VOREL_E_UNINIT. */
VOREL_API int32_t delPidFromVorel(uint32_t pid, uint32_t queue);
/* 0; VOREL_E_BADPAYLOAD, VOREL_E_BADPID, VOREL_E_BADTYPE; VOREL_E_UNINIT;
 * VOREL_E_NOMEM (no memory for the deltas); VOREL_E_NOHDR. */
VOREL_API int32_t addPidListToVorel(bulkconpld *list, uint32_t update_type, uint32_t queue);
/* 0; VOREL_E_BADPAYLOAD, VOREL_E_BADPID, VOREL_E_BADTYPE; VOREL_E_UNINIT;
 * VOREL_E_NOMEM (no memory for the removal records). */
VOREL_API int32_t delPidListToVorel(bulkconpld *list, uint32_t update_type, uint32_t queue);
/* 0; VOREL_E_BADDOMAIN; VOREL_E_UNINIT. */
VOREL_API int32_t delDomainFromVorel(uint32_t domain, uint32_t queue);
/* 0; VOREL_E_SEGMENT (not attached); VOREL_E_NOHDR. */
VOREL_API int32_t vorelSyncDone(uint32_t queue);
VOREL_API void ProcessClientNotification(void *msg, uint32_t len, uint32_t queue, uint32_t update_type);

/* Registry and request handler (server). */
/* Always 0; the requester receives the 4-byte result of the request:
 * initVorelSrvr's (enable), registerVorelClientToSrvr's or
 * unRegisterVorelClientToSrvr's, and 0 for disable and unknown codes. */
VOREL_API int32_t ns_vorel_callback(const IPCAddr *requester, uint32_t reply_code, const void *request,
                                    uint32_t request_len, uint32_t request_code);
/* The database's sync state, also for a type registered already: 0,
 * VOREL_E_INSYNC or VOREL_E_NOTATTACHED; VOREL_E_REGFULL when 8 types are
 * registered (nothing registered). */
VOREL_API int32_t registerVorelClientToSrvr(uint32_t client_type);
/* Always 0. */
VOREL_API int32_t unRegisterVorelClientToSrvr(uint32_t client_type);
VOREL_API void sendUpdateToClients(uint32_t update_type, void *msg, uint32_t len);

/* Client requests.  Each waits for the server's reply. */
/* 0 when the exchange went through (whatever the server answered), or the
 * IPC service's failure. */
VOREL_API int32_t enableVorel(uint32_t param);
/* As enableVorel. */
VOREL_API int32_t disableVorel(void);
/* The server's reply: 0, VOREL_E_INSYNC or VOREL_E_NOTATTACHED (its sync
 * state), or VOREL_E_REGFULL when its registry already holds 8 types; or the
 * IPC service's failure. */
VOREL_API int32_t registerVorelClient(uint32_t client_type);
/* 0 when the exchange went through, or the IPC service's failure. */
VOREL_API int32_t unregisterVorelClient(uint32_t client_type);

/* Queries. */
/* 0; VOREL_E_UNINIT, VOREL_E_NULLARG (count is NULL), VOREL_E_NOHDR. */
VOREL_API int32_t getCountFromVorel(uint32_t *count);
/* 0; VOREL_E_UNINIT; VOREL_E_FAIL (no memory for the payload handed to the
 * callback; the enumeration stops).  The callback's result is not used. */
VOREL_API int32_t getEachPidFromVorel(int (*pid_callback)(devconpld *, void *), void *cb_arg);
/* 0; VOREL_E_NULLARG (local_pids is NULL); VOREL_E_READ (the local domain or
 * one of its devices cannot be read; nothing is handed back); VOREL_E_NOMEM. */
VOREL_API int32_t getAllLocalPidsFromVorel(devconpld ***local_pids, int32_t *num_local_pids, int32_t *num_ind_runs);

/* Dump to standard output. */
VOREL_API void printEachPidFromVorel(void);
VOREL_API void printDeviceInfofromList(devconpld **list, int32_t count);

#ifdef __cplusplus
}
#endif

#endif /* VOREL_H */
