// lock.cpp - the process-shared read/write lock.
//
// Readers and writers of different processes exclude each other with an
// open-file-description record lock on byte 0 of the lock file; the threads
// of one process exclude each other with a process-local pthread rwlock.
// Within a process the read holders are counted: the first takes the file's
// read lock, the last releases it, since an open-file-description lock
// belongs to the description, not to a thread.  A process that dies holding
// the lock loses it with its descriptors.
//
// Writers first take a robust process-shared mutex kept in the lock file
// (see below).  It excludes the writers of all processes, and a writer that
// dies holding it leaves it to the next one (EOWNERDEAD).  Beside it the
// state counts the processes that announced a read hold; a process
// announces itself under the writers' mutex before it takes the file's read
// lock, and withdraws before it releases it.  A writer that holds the mutex
// and finds no reader announced needs no record lock at all: every later
// reader waits for the mutex.  Otherwise it also takes the file's write
// lock, which waits for the readers; once it has it, every announced reader
// has left or died, and the count is set right again (a reader killed while
// holding leaves its announcement behind until then).
// So an uncontended write hold costs no system call.
//
// The descriptor a lock is prepared from only names it: the record locks
// are taken on a lock file of the runtime directory named after that file's
// identity (device and inode), which only the owner (and the group the
// platform shares with) can open.  The file a lock is named by may be open
// to every user, as the library's key file is, and a lock on that file
// would let any of them block every holder; a lock on the lock file cannot
// be taken by anyone who may not use the instance anyway.  The same file
// holds the state described above.  Each process opens the lock file
// itself: a descriptor inherited over fork() shares the parent's
// description, and with it the parent's locks.  Descriptions and state
// mappings are kept per named file and per process, so initialising many
// locks on one file costs one descriptor; after a fork the child's locks
// move to a description of the child's on their next use.  When the lock
// file cannot be had (no usable runtime directory), the lock falls back to
// a description of the named file itself, opened afresh.
//
// When the state cannot be had, or the system cannot release a robust mutex
// whose holder died (qemu's user-mode emulation has no robust futex list),
// writers take the file's write lock every time, as readers do.  The
// processes that share a lock must all have its state or all lack it: a
// writer with the state does not see one without it.  They share the
// runtime directory, which every other service needs as well, so only a
// system without robust futexes beside one with them could mix them.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "fail.h"
#include "rundir.h"
#include "vorel_platform.h"

namespace {

constexpr uint32_t kLockMagic = 0x52574C4Bu;  // "RWLK"
constexpr uint32_t kStateMagic = 0x52574C53u; // "RWLS"
constexpr uint32_t kStateVersion = 1;
constexpr size_t kStateSize = 4096;

// What the processes of a runtime directory share about one lock file.
struct SharedState {
    std::atomic<uint32_t> magic; // kStateMagic once `writer` is prepared
    uint32_t version;
    std::atomic<uint32_t> readers; // processes that announced a read hold
    uint32_t reserved;
    pthread_mutex_t writer; // robust, process-shared: the write holder's
};
static_assert(sizeof(SharedState) <= kStateSize);
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the reader count is shared between processes");

struct LockState {
    pthread_rwlock_t threads;      // excludes the threads of this process
    pthread_mutex_t readers_mutex; // guards `readers` and the file lock's read state
    SharedState *shared;           // nullptr: writers always take the record lock
    int32_t fd;                    // description used for the file lock; -1: this process only
    int32_t given_fd;              // the descriptor procrwlock_init was given
    int32_t readers;               // read holders in this process
    uint32_t generation;           // process generation the state belongs to
    uint32_t magic;
    uint32_t file_write_held; // the current write hold took the record lock
};
static_assert(sizeof(LockState) <= sizeof(procrwlock_t), "the lock's state must fit the caller's object");
static_assert(alignof(LockState) <= alignof(procrwlock_t));

// ---- per-process descriptions ------------------------------------------------------

struct Description {
    dev_t dev;
    ino_t ino;
    int fd;
    SharedState *shared;
};

std::mutex g_descriptions_mutex;
std::atomic<uint32_t> g_generation{1}; // advanced in every child after fork()

std::vector<Description> &descriptions()
{
    static std::vector<Description> table;
    return table;
}

void before_fork() { g_descriptions_mutex.lock(); }
void after_fork_parent() { g_descriptions_mutex.unlock(); }
void after_fork_child()
{
    // The inherited descriptors name the parent's descriptions: let them go.
    // The state mappings stay valid (the child maps its own on next use).
    for (const Description &d : descriptions())
        close(d.fd);
    descriptions().clear();
    g_generation.fetch_add(1, std::memory_order_relaxed);
    g_descriptions_mutex.unlock();
}

// Bytes of the lock file: the lock itself, and the one that serialises the
// preparation of the state.
constexpr off_t kHoldByte = 0;
constexpr off_t kPrepareByte = 1;

int file_lock(int fd, short type, off_t at = kHoldByte)
{
    if (fd < 0)
        return 0;
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = at;
    fl.l_len = 1;
    while (fcntl(fd, F_OFD_SETLKW, &fl) != 0)
        if (errno != EINTR)
            return PLAT_ERR_IO;
    return 0;
}

// Locks the writers' mutex; the hold of a writer that died passes on.
int lock_writer(SharedState *s)
{
    int rc = pthread_mutex_lock(&s->writer);
    if (rc == EOWNERDEAD)
        rc = pthread_mutex_consistent(&s->writer);
    return rc == 0 ? 0 : PLAT_ERR_IO;
}

void prepare_state(SharedState *s)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&s->writer, &attr);
    pthread_mutexattr_destroy(&attr);
    s->version = kStateVersion;
    s->readers.store(0, std::memory_order_relaxed);
    // Release; partner: the acquire load of `magic` in map_state, in the next
    // process that opens the file: it sees the prepared mutex and version.
    s->magic.store(kStateMagic, std::memory_order_release);
}

// True when a robust mutex is released by the kernel when its holder dies:
// the thread's robust list is registered (get_robust_list answers) and the C
// library prepares robust process-shared mutexes.
bool robust_mutexes_work()
{
    static const bool works = [] {
#if defined(SYS_get_robust_list)
        void *head = nullptr;
        size_t len = 0;
        if (syscall(SYS_get_robust_list, 0, &head, &len) != 0 || head == nullptr)
            return false;
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        const bool attrs = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
                           pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0;
        pthread_mutex_t probe;
        const bool ok = attrs && pthread_mutex_init(&probe, &attr) == 0;
        if (ok)
            pthread_mutex_destroy(&probe);
        pthread_mutexattr_destroy(&attr);
        return ok;
#else
        return false;
#endif
    }();
    return works;
}

// The lock file of the named file with the identity `st`, created by the
// first process with the platform's mode; -1 when it cannot be had.
int open_lock_file(const struct stat &st)
{
    char name[80];
    std::snprintf(name, sizeof name, "/rwlock.%llx.%llx", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::string path;
    try {
        path = plat::run_dir() + name;
    } catch (const std::bad_alloc &) {
        return -1;
    }
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, plat::file_mode());
    if (fd >= 0)
        (void)plat::apply_mode(fd);
    else if (errno == EEXIST)
        fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    return fd;
}

// Maps the state kept in the lock file `fd`; nullptr when it cannot be had.
// The state is prepared once, under a record lock of its own, so that a
// process that dies half-way leaves it to the next.
SharedState *map_state(int fd)
{
    if (!robust_mutexes_work())
        return nullptr;
    struct stat own {};
    void *p = MAP_FAILED;
    if (fstat(fd, &own) == 0 && (own.st_size >= static_cast<off_t>(kStateSize) || ftruncate(fd, kStateSize) == 0))
        p = mmap(nullptr, kStateSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    SharedState *s = nullptr;
    if (p != MAP_FAILED && file_lock(fd, F_WRLCK, kPrepareByte) == 0) {
        s = static_cast<SharedState *>(p);
        // Acquire; partner: the release store of `magic` in prepare_state.
        if (s->magic.load(std::memory_order_acquire) != kStateMagic || s->version != kStateVersion)
            prepare_state(s);
        (void)file_lock(fd, F_UNLCK, kPrepareByte);
    } else if (p != MAP_FAILED) {
        munmap(p, kStateSize);
    }
    return s;
}

// A description of this process's own for the lock of the file behind `fd`,
// and the lock's shared state.  The caller holds g_descriptions_mutex.
Description own_description(int fd)
{
    static std::once_flag registered;
    std::call_once(registered, [] { pthread_atfork(before_fork, after_fork_parent, after_fork_child); });
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return Description{0, 0, -1, nullptr};
    for (const Description &d : descriptions())
        if (d.dev == st.st_dev && d.ino == st.st_ino)
            return d;
    int own = open_lock_file(st);
    SharedState *shared = own >= 0 ? map_state(own) : nullptr;
    if (own < 0) {
        char path[32];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        own = open(path, O_RDWR | O_CLOEXEC);
        if (own < 0)
            own = open(path, O_RDONLY | O_CLOEXEC);
        if (own < 0)
            return Description{st.st_dev, st.st_ino, fd, nullptr};
    }
    const Description d{st.st_dev, st.st_ino, own, shared};
    descriptions().push_back(d);
    return d;
}

// ---- the state -----------------------------------------------------------------

void reset(LockState *s)
{
    pthread_rwlock_init(&s->threads, nullptr);
    pthread_mutex_init(&s->readers_mutex, nullptr);
    s->readers = 0;
    s->file_write_held = 0;
    s->fd = -1;
    s->shared = nullptr;
    if (s->given_fd >= 0) {
        const Description d = own_description(s->given_fd);
        s->fd = d.fd;
        s->shared = d.shared;
    }
    s->generation = g_generation.load(std::memory_order_relaxed);
}

// The lock's state for this process, or nullptr when it was never prepared.
// In a child of fork() the state inherited from the parent (its holders and
// its description) is dropped first.
LockState *state_of(procrwlock_t *lock)
{
    if (lock == nullptr)
        return nullptr;
    auto *s = reinterpret_cast<LockState *>(lock);
    if (s->magic != kLockMagic)
        return nullptr;
    if (s->generation != g_generation.load(std::memory_order_relaxed)) {
        std::lock_guard guard(g_descriptions_mutex);
        if (s->generation != g_generation.load(std::memory_order_relaxed))
            reset(s);
    }
    return s;
}

// The cross-process part of a write hold.
int acquire_write(LockState *s)
{
    if (s->fd < 0)
        return 0;
    if (s->shared == nullptr) {
        const int rc = file_lock(s->fd, F_WRLCK);
        s->file_write_held = rc == 0 ? 1 : 0;
        return rc;
    }
    if (const int rc = lock_writer(s->shared); rc != 0)
        return rc;
    // Acquire; partners: the releasing decrements of `readers` in
    // release_read and acquire_read: a count of 0 shows their holds ended.
    if (s->shared->readers.load(std::memory_order_acquire) == 0)
        return 0;
    // Readers announced themselves: wait for them on the record lock.
    if (const int rc = file_lock(s->fd, F_WRLCK); rc != 0) {
        pthread_mutex_unlock(&s->shared->writer);
        return rc;
    }
    s->file_write_held = 1;
    // Every reader that announced itself has left or died since: only the
    // announcements of the dead are left, and no new one can come while the
    // writers' mutex is held.
    s->shared->readers.store(0, std::memory_order_relaxed);
    return 0;
}

int release_write(LockState *s)
{
    int rc = 0;
    if (s->file_write_held != 0) {
        rc = file_lock(s->fd, F_UNLCK);
        s->file_write_held = 0;
    }
    if (s->shared != nullptr && s->fd >= 0)
        pthread_mutex_unlock(&s->shared->writer);
    return rc;
}

// The cross-process part of this process's first read hold: announced under
// the writers' mutex, so that a writer either sees the announcement or has
// finished before it.
int acquire_read(LockState *s)
{
    if (s->shared == nullptr || s->fd < 0)
        return file_lock(s->fd, F_RDLCK);
    if (const int rc = lock_writer(s->shared); rc != 0)
        return rc;
    // Acquire-release; partner: the acquire load of `readers` in
    // acquire_write, which then waits for this hold on the record lock.
    s->shared->readers.fetch_add(1, std::memory_order_acq_rel);
    const int rc = file_lock(s->fd, F_RDLCK);
    if (rc != 0) // partner: the acquire load of `readers` in acquire_write
        s->shared->readers.fetch_sub(1, std::memory_order_acq_rel);
    pthread_mutex_unlock(&s->shared->writer);
    return rc;
}

int release_read(LockState *s)
{
    // Acquire-release; partner: the acquire load of `readers` in
    // acquire_write: a writer that reads 0 sees this hold's reads done.
    if (s->shared != nullptr && s->fd >= 0)
        s->shared->readers.fetch_sub(1, std::memory_order_acq_rel);
    return file_lock(s->fd, F_UNLCK);
}

} // namespace

extern "C" {

int procrwlock_init(procrwlock_t *lock, int fd)
{
    if (plat::should_fail("procrwlock_init"))
        return PLAT_ERR_INJECTED;
    if (lock == nullptr)
        return PLAT_ERR_INVAL;
    *lock = procrwlock_t{};
    auto *s = new (lock) LockState{};
    s->given_fd = fd;
    {
        std::lock_guard guard(g_descriptions_mutex);
        reset(s);
    }
    s->magic = kLockMagic;
    // Without a descriptor the lock still works between the threads of this process.
    return fd >= 0 ? 0 : PLAT_ERR_INVAL;
}

int procrwlock_rdlock(procrwlock_t *lock)
{
    if (plat::should_fail("procrwlock_rdlock"))
        return PLAT_ERR_INJECTED;
    LockState *s = state_of(lock);
    if (s == nullptr)
        return PLAT_ERR_INVAL;
    if (pthread_rwlock_rdlock(&s->threads) != 0)
        return PLAT_ERR_IO;
    pthread_mutex_lock(&s->readers_mutex);
    int rc = 0;
    if (s->readers == 0)
        rc = acquire_read(s);
    if (rc == 0)
        ++s->readers;
    pthread_mutex_unlock(&s->readers_mutex);
    if (rc != 0)
        pthread_rwlock_unlock(&s->threads);
    return rc;
}

int procrwlock_rdunlock(procrwlock_t *lock)
{
    if (plat::should_fail("procrwlock_rdunlock"))
        return PLAT_ERR_INJECTED;
    LockState *s = state_of(lock);
    if (s == nullptr)
        return PLAT_ERR_INVAL;
    pthread_mutex_lock(&s->readers_mutex);
    if (s->readers == 0) {
        pthread_mutex_unlock(&s->readers_mutex);
        return PLAT_ERR_INVAL; // not held for reading
    }
    int rc = 0;
    if (--s->readers == 0)
        rc = release_read(s);
    pthread_mutex_unlock(&s->readers_mutex);
    pthread_rwlock_unlock(&s->threads);
    return rc;
}

int procrwlock_wrlock(procrwlock_t *lock)
{
    if (plat::should_fail("procrwlock_wrlock"))
        return PLAT_ERR_INJECTED;
    LockState *s = state_of(lock);
    if (s == nullptr)
        return PLAT_ERR_INVAL;
    if (pthread_rwlock_wrlock(&s->threads) != 0)
        return PLAT_ERR_IO;
    const int rc = acquire_write(s);
    if (rc != 0)
        pthread_rwlock_unlock(&s->threads);
    return rc;
}

int procrwlock_wrunlock(procrwlock_t *lock)
{
    if (plat::should_fail("procrwlock_wrunlock"))
        return PLAT_ERR_INJECTED;
    LockState *s = state_of(lock);
    if (s == nullptr)
        return PLAT_ERR_INVAL;
    const int rc = release_write(s);
    pthread_rwlock_unlock(&s->threads);
    return rc;
}

} // extern "C"
