// lock.cpp - the process-shared read/write lock.
//
// Processes exclude each other with an open-file-description record lock on
// byte 0 of the lock file; the threads of one process exclude each other
// with a process-local pthread rwlock.  Within a process the read holders are
// counted: the first takes the file's read lock, the last releases it, since
// an open-file-description lock belongs to the description, not to a thread.
// A process that dies holding the lock loses it with its descriptors.
//
// Each process locks through a description of its own, opened afresh from
// the descriptor it was given (/proc/self/fd/N): a descriptor inherited over
// fork() shares the parent's description, and with it the parent's locks.
// Descriptions are kept per file and per process, so initialising many locks
// on one file costs one descriptor; after a fork the child's locks move to a
// description of the child's on their next use.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <new>
#include <vector>

#include "fail.h"
#include "vorel_platform.h"

namespace {

constexpr uint32_t kLockMagic = 0x52574C4Bu; // "RWLK"

struct LockState {
    pthread_rwlock_t threads;      // excludes the threads of this process
    pthread_mutex_t readers_mutex; // guards `readers` and the file lock's read state
    int32_t fd;                    // description used for the file lock; -1: this process only
    int32_t given_fd;              // the descriptor procrwlock_init was given
    int32_t readers;               // read holders in this process
    uint32_t generation;           // process generation the state belongs to
    uint32_t magic;
};
static_assert(sizeof(LockState) <= sizeof(procrwlock_t), "the lock's state must fit the caller's object");
static_assert(alignof(LockState) <= alignof(procrwlock_t));

// ---- per-process descriptions ------------------------------------------------------

struct Description {
    dev_t dev;
    ino_t ino;
    int fd;
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
    for (const Description &d : descriptions())
        close(d.fd);
    descriptions().clear();
    g_generation.fetch_add(1, std::memory_order_relaxed);
    g_descriptions_mutex.unlock();
}

// A description of this process's own for the file behind `fd`; `fd` itself
// when the file cannot be opened again.  The caller holds g_descriptions_mutex.
int own_description(int fd)
{
    static std::once_flag registered;
    std::call_once(registered, [] { pthread_atfork(before_fork, after_fork_parent, after_fork_child); });
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return -1;
    for (const Description &d : descriptions())
        if (d.dev == st.st_dev && d.ino == st.st_ino)
            return d.fd;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    int own = open(path, O_RDWR | O_CLOEXEC);
    if (own < 0)
        own = open(path, O_RDONLY | O_CLOEXEC);
    if (own < 0)
        return fd;
    descriptions().push_back(Description{st.st_dev, st.st_ino, own});
    return own;
}

// ---- the state -----------------------------------------------------------------

void reset(LockState *s)
{
    pthread_rwlock_init(&s->threads, nullptr);
    pthread_mutex_init(&s->readers_mutex, nullptr);
    s->readers = 0;
    s->fd = s->given_fd >= 0 ? own_description(s->given_fd) : -1;
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

int file_lock(int fd, short type)
{
    if (fd < 0)
        return 0;
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    while (fcntl(fd, F_OFD_SETLKW, &fl) != 0)
        if (errno != EINTR)
            return PLAT_ERR_IO;
    return 0;
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
        rc = file_lock(s->fd, F_RDLCK);
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
        rc = file_lock(s->fd, F_UNLCK);
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
    const int rc = file_lock(s->fd, F_WRLCK);
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
    const int rc = file_lock(s->fd, F_UNLCK);
    pthread_rwlock_unlock(&s->threads);
    return rc;
}

} // extern "C"
