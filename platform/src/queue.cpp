// queue.cpp - process-local message queues.
//
// A queue holds at most max_msgs records of at most max_len bytes each; a
// record is copied in by msgQSend and copied out by msgQReceive.  Records
// leave the queue strictly in the order they were sent: the priority argument
// of msgQSend is accepted and ignored, so a consumer sees updates in the order
// the server made them.
//
// Time-outs are in milliseconds: 0 = do not wait, negative = wait forever.
// Results: msgQSend 0 or PLAT_ERR_*; msgQReceive the number of bytes copied
// (a record longer than the caller's buffer is cut to fit and removed) or
// PLAT_ERR_*.  Deleting a queue wakes every thread that waits on it; those
// calls return PLAT_ERR_NOENT like any call on an unknown queue.
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "fail.h"
#include "vorel_platform.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Queue {
    Queue(uint32_t msgs, uint32_t len) : max_msgs(msgs), max_len(len) {}

    const uint32_t max_msgs;
    const uint32_t max_len;
    std::mutex mutex;
    std::condition_variable not_empty;
    std::condition_variable not_full;
    std::deque<std::vector<uint8_t>> records; // guarded by mutex
    bool deleted = false;                     // guarded by mutex
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<uint32_t, std::shared_ptr<Queue>> queues;
    uint32_t last_id = 0;
};

Registry &registry()
{
    static Registry r;
    return r;
}

// A child made by fork() must not find the registry locked by a thread that
// does not exist in it.
void lock_registry_for_fork() { registry().mutex.lock(); }
void unlock_registry_after_fork() { registry().mutex.unlock(); }

[[maybe_unused]] const int g_fork_guard = [] {
    registry(); // construct before the handlers can run
    return pthread_atfork(lock_registry_for_fork, unlock_registry_after_fork, unlock_registry_after_fork);
}();

std::shared_ptr<Queue> find_queue(uint32_t id)
{
    if (id == 0)
        return nullptr;
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.queues.find(id);
    return it == r.queues.end() ? nullptr : it->second;
}

// Waits on `cv` until `ready()` holds, the queue is deleted or the time-out
// passes.  Returns 0 when ready, otherwise the failure to report.
template <typename Ready>
int wait_for(Queue &q, std::unique_lock<std::mutex> &lock, std::condition_variable &cv, int32_t timeout_ms,
             int on_no_wait, Ready ready)
{
    auto done = [&] { return q.deleted || ready(); };
    if (!done()) {
        if (timeout_ms == 0)
            return on_no_wait;
        if (timeout_ms < 0)
            cv.wait(lock, done);
        else if (!cv.wait_until(lock, Clock::now() + std::chrono::milliseconds(timeout_ms), done))
            return PLAT_ERR_TIMEOUT;
    }
    return q.deleted ? PLAT_ERR_NOENT : 0;
}

} // namespace

extern "C" {

int msgQCreate(uint32_t max_msgs, uint32_t max_len, uint32_t *queue)
{
    if (queue == nullptr || max_msgs == 0 || max_len == 0)
        return PLAT_ERR_INVAL;
    auto q = std::make_shared<Queue>(max_msgs, max_len);
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    uint32_t id = r.last_id;
    do {
        ++id; // 0 never names a queue; skip ids still in use after a wrap
    } while (id == 0 || r.queues.contains(id));
    r.last_id = id;
    r.queues.emplace(id, std::move(q));
    *queue = id;
    return 0;
}

int msgQSend(uint32_t queue, const void *msg, uint32_t len, int32_t timeout, int32_t /*priority: FIFO only*/)
{
    if (plat::should_fail("msgQSend"))
        return PLAT_ERR_INJECTED;
    if (msg == nullptr && len > 0)
        return PLAT_ERR_INVAL;
    std::shared_ptr<Queue> q = find_queue(queue);
    if (!q)
        return PLAT_ERR_NOENT;
    if (len > q->max_len)
        return PLAT_ERR_TOOBIG;

    // Copy before taking the lock: the record may be large.
    const auto *bytes = static_cast<const uint8_t *>(msg);
    std::vector<uint8_t> record(bytes, bytes + len);

    std::unique_lock lock(q->mutex);
    const int rc =
        wait_for(*q, lock, q->not_full, timeout, PLAT_ERR_BUSY, [&] { return q->records.size() < q->max_msgs; });
    if (rc != 0)
        return rc;
    q->records.push_back(std::move(record));
    lock.unlock();
    q->not_empty.notify_one();
    return 0;
}

int msgQReceive(uint32_t queue, void *buf, uint32_t max_len, int32_t timeout_ms)
{
    if (buf == nullptr && max_len > 0)
        return PLAT_ERR_INVAL;
    std::shared_ptr<Queue> q = find_queue(queue);
    if (!q)
        return PLAT_ERR_NOENT;

    std::unique_lock lock(q->mutex);
    const int rc = wait_for(*q, lock, q->not_empty, timeout_ms, PLAT_ERR_TIMEOUT, [&] { return !q->records.empty(); });
    if (rc != 0)
        return rc;
    std::vector<uint8_t> record = std::move(q->records.front());
    q->records.pop_front();
    lock.unlock();
    q->not_full.notify_one();

    const auto n = static_cast<uint32_t>(std::min<size_t>(record.size(), max_len));
    if (n > 0)
        std::memcpy(buf, record.data(), n);
    return static_cast<int>(n);
}

int msgQDelete(uint32_t queue)
{
    std::shared_ptr<Queue> q;
    {
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        auto it = r.queues.find(queue);
        if (queue == 0 || it == r.queues.end())
            return PLAT_ERR_NOENT;
        q = std::move(it->second);
        r.queues.erase(it);
    }
    {
        std::lock_guard lock(q->mutex);
        q->deleted = true;
        q->records.clear();
    }
    q->not_empty.notify_all();
    q->not_full.notify_all();
    return 0;
}

} // extern "C"
