// notify.h - private to libvorel: what the update operations, the message
// builder, the registry and the delivery share: the posting of requests to
// the server's internal queue, the heap holders of working arrays, and the
// lock that keeps registry changes apart from deliveries.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <span>

#include "vorel_db.h"

namespace vorel {

// ---- heap records ---------------------------------------------------------

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
// Owner of a malloc'd block (records handed across the boundary are malloc'd).
template <class T> using HeapPtr = std::unique_ptr<T, FreeDeleter>;

// Zero-filled array of n elements; never NULL for n == 0 when memory exists.
template <class T> HeapPtr<T> heap_array(std::size_t n)
{
    return HeapPtr<T>(static_cast<T *>(zeroed(n == 0 ? 1 : n, sizeof(T))));
}

// Releases every non-NULL record of an array of heap records.
template <class T> void free_each(std::span<T *> records)
{
    for (T *&r : records) {
        std::free(r);
        r = nullptr;
    }
}

// Releases a device list the way a failed post hands it back: every non-NULL
// dst_devices, then devices, then the list itself.
void release_device_list(bulkconpld *list);

// ---- internal queue -------------------------------------------------------

// One parameter of a queue request: an integer, or a pointer whose upper half
// (zero on 32-bit targets) travels in the word reserved for it.
struct ReqParam {
    uint32_t lo;
    uint32_t hi;
};
inline ReqParam req_value(uint32_t v) { return {v, 0}; }
inline ReqParam req_pointer(const void *p)
{
    const auto v = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p));
    return {static_cast<uint32_t>(v), static_cast<uint32_t>(v >> 32)};
}

// Milliseconds of the processor's time base.
uint32_t timestamp_ms();

// Builds a zero-filled VorelQueueReq with tag 11, the kind, the parameters and
// the time stamp, and posts it with msgQSend(queue, &req, 144, 0, 1).
// Returns msgQSend's result: negative when the request was not queued.
int post_request(uint32_t queue, uint8_t kind, ReqParam p1, ReqParam p2, uint32_t p3);

// Builds the message of an update type and, when one was built, delivers it
// at once through ProcessClientNotification (which releases it).
void build_and_deliver(uint32_t update_type, void *data, int32_t count);

// ---- registry -------------------------------------------------------------

// The registry is process memory, changed from the IPC dispatch thread and read
// by deliveries from the server's threads; this lock serialises each access.
// The switch instance's rwlock is never taken while this lock is held.
std::mutex &registry_mutex();

} // namespace vorel
