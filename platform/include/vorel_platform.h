/*
 * vorel_platform.h - the services of the switch platform that libvorel calls.
 *
 * libvorel reaches every platform service through the C names declared here,
 * so any program that defines the same symbols (the real switch platform, a
 * test double) takes the place of the stand-in library libvorelplatform.so.
 *
 * The first section is the contract the library relies on.  The sections
 * after it are calls that servers, tools and tests use beside the contract
 * (service registration, queue creation and receipt, fabric-view setters,
 * statistics); the library itself never calls them.
 */
#ifndef VOREL_PLATFORM_H
#define VOREL_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#if defined(__GNUC__)
#define VOREL_PLATFORM_API __attribute__((visibility("default")))
#else
#define VOREL_PLATFORM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Global shared memory                                                      */
/* ------------------------------------------------------------------------ */

typedef uint32_t gshm_handle_t; /* opaque attachment handle, one 32-bit word */
typedef uint32_t gadd_t;        /* global address of a block; 0 = none */
typedef struct gshm_create {
    uint32_t w[6];
} gshm_create_t; /* shm_key, 1048576, 1048576, 4, 256, 1 */

VOREL_PLATFORM_API int gshm_init0(gshm_handle_t *handle, const gshm_create_t *create);
VOREL_PLATFORM_API int gshm_init(gshm_handle_t *handle, key_t key);
VOREL_PLATFORM_API int gshm_quit(gshm_handle_t *handle);
VOREL_PLATFORM_API int gshm_alloc(gshm_handle_t handle, gadd_t *gadd, uint32_t size);
VOREL_PLATFORM_API int gshm_free(gshm_handle_t handle, gadd_t gadd);
VOREL_PLATFORM_API int gshm_availability(gshm_handle_t handle);
VOREL_PLATFORM_API int get_basic_block(gshm_handle_t handle, uint32_t block, gadd_t *gadd);
VOREL_PLATFORM_API int set_basic_block(gshm_handle_t handle, uint32_t block, const gadd_t *gadd);
VOREL_PLATFORM_API int gadd2ladd(gshm_handle_t handle, gadd_t gadd, void **ladd);

/* ------------------------------------------------------------------------ */
/* Process-shared read/write lock                                            */
/* ------------------------------------------------------------------------ */

typedef struct procrwlock {
    uint64_t opaque[16];
} procrwlock_t; /* contents are the platform's */

VOREL_PLATFORM_API int procrwlock_init(procrwlock_t *lock, int fd);
VOREL_PLATFORM_API int procrwlock_rdlock(procrwlock_t *lock);
VOREL_PLATFORM_API int procrwlock_rdunlock(procrwlock_t *lock);
VOREL_PLATFORM_API int procrwlock_wrlock(procrwlock_t *lock);
VOREL_PLATFORM_API int procrwlock_wrunlock(procrwlock_t *lock);

/* ------------------------------------------------------------------------ */
/* IPC service and message queues                                            */
/* ------------------------------------------------------------------------ */

typedef struct IPCAddr {
    uint16_t node;
    uint16_t svc;
    char name[20];
} IPCAddr; /* 24 bytes */

typedef struct ipc_timeout {
    uint32_t sec;
    uint32_t usec;
} ipc_timeout_t;

VOREL_PLATFORM_API uint32_t myNode(void);
VOREL_PLATFORM_API int ipcSend(const IPCAddr *addr, uint32_t code, const void *body, uint32_t len,
                               const ipc_timeout_t *timeout);
VOREL_PLATFORM_API int ipcSendRcv(const IPCAddr *addr, uint32_t code, const void *body, uint32_t len, void *reply,
                                  uint32_t *reply_len, const ipc_timeout_t *timeout);
VOREL_PLATFORM_API int msgQSend(uint32_t queue, const void *msg, uint32_t len, int32_t timeout, int32_t priority);

/* ------------------------------------------------------------------------ */
/* Switch identity and fabric view                                           */
/* ------------------------------------------------------------------------ */

VOREL_PLATFORM_API int getMySwitch(void);

typedef struct fcsw_instance {
    uintptr_t handle; /* platform handle of the switch instance (first word) */
    uintptr_t reserved;
    void *chassis_map; /* third word: address of the chassis memory map array */
} fcsw_instance_t;

#define FCSW_MAX_INSTANCES 128
#define CHASSIS_MMAP_RECORD_SIZE 2584
#define CHASSIS_MMAP_MAX_DOMAINS_OFFSET 164

VOREL_PLATFORM_API extern fcsw_instance_t *orvane_fcsw_instances[FCSW_MAX_INSTANCES];
VOREL_PLATFORM_API extern void *chassis_mmap_info; /* array of 2584-byte records; may be NULL */
VOREL_PLATFORM_API int fgetMyDomain(uintptr_t handle);
VOREL_PLATFORM_API int fgetDomainLst(uintptr_t handle, uint8_t *list);

/* ------------------------------------------------------------------------ */
/* Time base                                                                 */
/* ------------------------------------------------------------------------ */

VOREL_PLATFORM_API uint32_t tb_read_upper(void); /* 64-bit time base, upper half */
VOREL_PLATFORM_API uint32_t tb_read_lower(void); /* lower half */
VOREL_PLATFORM_API extern int32_t tb_ticks_p_msec;

/* ------------------------------------------------------------------------ */
/* Trace                                                                     */
/* ------------------------------------------------------------------------ */

typedef struct mod_desc {
    uint32_t id;
    uint32_t flags;
    uint32_t level; /* current trace level of the module */
    uint32_t reserved;
} mod_desc_t;

VOREL_PLATFORM_API void log_debug(const char *file, int line, mod_desc_t *mod, int level, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 5, 6)))
#endif
    ;
VOREL_PLATFORM_API int isDebugLevelChanged(void);
VOREL_PLATFORM_API void processDebugLevelChange(int change);
/* The trace module of libvorel; its third word is the module's current trace
 * level, which the trace facility sets. */
VOREL_PLATFORM_API extern mod_desc_t mod_VORELLIB;

/* ======================================================================== */
/* Beside the contract: calls for servers, tools and tests.                  */
/* The library never calls anything below this line.                        */
/* ======================================================================== */

/* Error results of the stand-in (all negative). */
#define PLAT_ERR_INVAL (-201)    /* bad argument */
#define PLAT_ERR_NOMEM (-202)    /* segment or heap exhausted */
#define PLAT_ERR_RANGE (-203)    /* gadd or block number outside the segment */
#define PLAT_ERR_NOENT (-204)    /* no segment / service / queue of that name */
#define PLAT_ERR_BADSEG (-205)   /* segment magic or version differs */
#define PLAT_ERR_IO (-206)       /* system call failed */
#define PLAT_ERR_TIMEOUT (-207)  /* time-out expired */
#define PLAT_ERR_BUSY (-208)     /* name already owned / queue full */
#define PLAT_ERR_PEERGONE (-209) /* the peer closed the connection */
#define PLAT_ERR_TOOBIG (-210)   /* frame or message beyond the limit */
#define PLAT_ERR_INJECTED (-211) /* failure injected by plat_fail_after() */

/* Switch identity: per-thread override of getMySwitch() (-1 removes it). */
VOREL_PLATFORM_API void setMySwitch(int instance);

/* Shared-memory statistics and management. */
#define GSHM_MAX_CLASSES 64
typedef struct gshm_stats {
    uint64_t bytes_in_use; /* bytes of live blocks, including the per-block header */
    uint64_t bytes_mapped; /* current size of the segment */
    uint64_t bytes_limit;  /* the size the segment may grow to */
    uint32_t blocks_in_use;
    uint32_t num_classes;                    /* entries used in the arrays below */
    uint32_t class_size[GSHM_MAX_CLASSES];   /* block size of the class */
    uint32_t class_in_use[GSHM_MAX_CLASSES]; /* live blocks of the class */
    uint32_t class_free[GSHM_MAX_CLASSES];   /* blocks on the class's free list */
} gshm_stats_t;
VOREL_PLATFORM_API int gshm_get_stats(gshm_handle_t handle, gshm_stats_t *stats);
/* Removes the segment of a key from the machine (processes still attached keep their mapping). */
VOREL_PLATFORM_API int gshm_remove(key_t key);
/* Removes every segment of this process's runtime directory (all keys);
 * returns how many were removed.  Test programs call it before they delete
 * their private runtime directory. */
VOREL_PLATFORM_API int gshm_remove_all(void);

/* Trace: set the level of every module at once (as a signal handler would). */
VOREL_PLATFORM_API void log_set_level(int level);
/* Trace: SIGUSR1 raises the level by one, SIGUSR2 lowers it; the change is
 * applied before the next record.  Returns 0 or PLAT_ERR_IO. */
VOREL_PLATFORM_API int log_install_signal_handlers(void);

/* Trace ring: every process of a switch instance appends its records to one
 * ring in shared memory (VOREL_TRACE_RING bytes, default 8 MiB; the oldest
 * records are overwritten), unless VOREL_TRACE_FILE names a file ("-" for
 * standard error).  The ring outlives its writers. */
#define LOG_SOURCE_MAX 64
#define LOG_MODULE_MAX 16
#define LOG_TEXT_MAX 2048
typedef struct log_record {
    uint32_t seq; /* place of the record in the ring's order */
    uint32_t sec; /* time written (CLOCK_REALTIME) */
    uint32_t nsec;
    uint32_t pid;     /* writing process */
    int32_t instance; /* switch instance */
    int32_t level;    /* record's level */
    int32_t line;     /* source line */
    char source[LOG_SOURCE_MAX];
    char module[LOG_MODULE_MAX];
    char text[LOG_TEXT_MAX]; /* without the newline that ended it */
} log_record_t;
typedef struct log_reader log_reader_t;
/* Opens the ring of a switch instance for reading, from its oldest record.
 * A record whose writer is still writing is waited for up to patience_ms
 * before it is skipped as torn.  Returns 0, PLAT_ERR_NOENT (no ring),
 * PLAT_ERR_BADSEG (another version or a corrupt header) or PLAT_ERR_IO. */
VOREL_PLATFORM_API int log_reader_open(int instance, int patience_ms, log_reader_t **reader);
/* The next record: 1 with *record filled, 0 when every record written so far
 * has been read, 2 while the next record is still being written. */
VOREL_PLATFORM_API int log_reader_next(log_reader_t *reader, log_record_t *record);
/* Records overwritten before they were read, and torn records skipped. */
VOREL_PLATFORM_API void log_reader_losses(const log_reader_t *reader, uint32_t *lost, uint32_t *torn);
VOREL_PLATFORM_API void log_reader_close(log_reader_t *reader);
/* Empties the ring of an instance.  0, PLAT_ERR_NOENT, PLAT_ERR_BADSEG or PLAT_ERR_IO. */
VOREL_PLATFORM_API int log_ring_clear(int instance);
/* Sets the trace level of every running process of an instance (applied
 * before each one's next record).  Same results as log_ring_clear. */
VOREL_PLATFORM_API int log_ring_set_level(int instance, int level);
/* For a server's start: replaces a ring that readers refuse (another
 * version, corrupt header) or whose size differs from VOREL_TRACE_RING when
 * that is set.  Returns 1 when a new ring was made, 0 when the ring was kept,
 * or PLAT_ERR_IO. */
VOREL_PLATFORM_API int log_ring_renew(int instance);

/* IPC: a process owns a service name on its node by registering a handler.
 * The handler is called from a dispatch thread of the platform with the
 * switch instance of the registering thread; it answers a request with
 * ipcSend(requester, reply_code, ...).  The request buffer starts with one
 * word (the request code) followed by the client's body. */
typedef int32_t (*ipc_handler_t)(const IPCAddr *requester, uint32_t reply_code, const void *request,
                                 uint32_t request_len, uint32_t request_code);
/* Returns a service handle (> 0) or PLAT_ERR_BUSY when another process owns the name. */
VOREL_PLATFORM_API int ipcRegisterService(const char *name, ipc_handler_t handler);
VOREL_PLATFORM_API int ipcUnregisterService(int service);
/* A request reaches its handler in a buffer of at least 8 bytes, zero-filled
 * past the request_len bytes received.
 *
 * ipcSend queues a one-way message for its destination and returns once the
 * whole message is queued; the platform's I/O thread writes it out, in order,
 * whole messages only.  A destination holds up to VOREL_IPC_OUTBUF bytes
 * (default 64 MiB, suffixes K, M, G).  A message that does not fit waits up
 * to the time-out for room; without room the send fails with
 * PLAT_ERR_TIMEOUT and the destination is cut off: its connection closes
 * after the whole messages already written, its queue is dropped, and its
 * service's handler then receives IPC_CODE_CUT_OFF (no body). */
#define IPC_CODE_CUT_OFF 0xFFFFFFF0u
/* ipcSend with a tag (0 .. IPC_SEND_TAGS-1) under which the platform counts
 * the message's fate; ipcSend counts under no tag (IPC_TAG_NONE). */
#define IPC_SEND_TAGS 16u
#define IPC_TAG_NONE 0xFFFFFFFFu
VOREL_PLATFORM_API int ipcSendTagged(const IPCAddr *addr, uint32_t code, const void *body, uint32_t len,
                                     const ipc_timeout_t *timeout, uint32_t tag);
typedef struct ipc_send_stats {
    uint64_t sent;         /* ipcSendTagged calls with the tag */
    uint64_t delivered;    /* written out whole */
    uint64_t failed;       /* refused, or dropped with a connection cut off or lost */
    uint64_t queued;       /* waiting now; delivered + failed + queued = sent */
    uint64_t queued_bytes; /* bytes of the waiting messages, frame headers included */
    uint64_t oldest_ms;    /* how long the oldest waiting message has waited */
    uint64_t cutoffs;      /* destinations cut off by a send with the tag */
} ipc_send_stats_t;
VOREL_PLATFORM_API int ipcSendStats(uint32_t tag, ipc_send_stats_t *stats);
/* Waits up to the time-out until every queued one-way message is written;
 * then closes the connections that still have a queue (their messages count
 * failed).  0, or PLAT_ERR_TIMEOUT when something had to be dropped. */
VOREL_PLATFORM_API int ipcSendDrain(const ipc_timeout_t *timeout);
/* Limits of the IPC service in this process. */
typedef struct ipc_limits {
    uint64_t outbuf;            /* bytes queued per destination (VOREL_IPC_OUTBUF) */
    uint32_t max_connections;   /* connections one service serves at once (VOREL_IPC_MAXCONN) */
    uint32_t reply_deadline_ms; /* a reply not read by then closes its connection */
} ipc_limits_t;
VOREL_PLATFORM_API int ipcLimits(ipc_limits_t *limits);

/* Message queues, process-local. */
VOREL_PLATFORM_API int msgQCreate(uint32_t max_msgs, uint32_t max_len, uint32_t *queue);
VOREL_PLATFORM_API int msgQReceive(uint32_t queue, void *buf, uint32_t max_len, int32_t timeout_ms);
VOREL_PLATFORM_API int msgQDelete(uint32_t queue);

/* Fabric view of a switch instance, shared by all processes of the machine. */
VOREL_PLATFORM_API int fabricSetView(int instance, int my_domain, const uint8_t *domains, int num_domains);
VOREL_PLATFORM_API int fabricClearView(int instance);

/* Failure injection: the n-th next call (1 = the next) of the named service
 * returns PLAT_ERR_INJECTED; n = 0 disarms.  Names are the C names of the
 * services ("gshm_alloc", "gadd2ladd", "ipcSend", ...). */
VOREL_PLATFORM_API int plat_fail_after(const char *service, uint32_t n);
VOREL_PLATFORM_API void plat_fail_reset(void);

#ifdef __cplusplus
}
#endif

#endif /* VOREL_PLATFORM_H */
