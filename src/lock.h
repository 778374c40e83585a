// lock.h - scoped holders of the switch instance's process-shared lock.
// The results of the lock calls are not examined.
#pragma once

#include "vorel.h"

namespace vorel {

template <int (*Acquire)(procrwlock_t *), int (*Release)(procrwlock_t *)> class ScopedLock {
  public:
    explicit ScopedLock(procrwlock_t &lock) : lock_(&lock) { Acquire(lock_); }
    ScopedLock(const ScopedLock &) = delete;
    ScopedLock &operator=(const ScopedLock &) = delete;
    ~ScopedLock() { unlock(); }
    // Releases early; the destructor then does nothing.
    void unlock()
    {
        if (lock_ != nullptr)
            Release(lock_);
        lock_ = nullptr;
    }

  private:
    procrwlock_t *lock_;
};

using WriteLock = ScopedLock<procrwlock_wrlock, procrwlock_wrunlock>;
using ReadLock = ScopedLock<procrwlock_rdlock, procrwlock_rdunlock>;

} // namespace vorel
