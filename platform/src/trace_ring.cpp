// trace_ring.cpp - the trace ring's object (naming, making, checking,
// mapping), the append of a record, and the reader of the ring.
#include "trace_ring.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fail.h"
#include "rundir.h"
#include "vorel_platform.h"

namespace plat::ring {

namespace {

bool valid_header(const Header &h, size_t object_size)
{
    const uint32_t count = h.slot_count;
    return h.magic == kMagic && h.version == kVersion && h.data_offset == kDataOffset && h.slot_size == kSlotSize &&
           count >= kMinSlots && count <= kMaxSlotCount && (count & (count - 1)) == 0 &&
           h.check == fold(h.version, h.data_offset, h.slot_size, count) &&
           object_size == size_t{kDataOffset} + size_t{count} * kSlotSize;
}

void pause_a_moment()
{
    const timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
}

int map_fd(int fd, bool writable, View *view)
{
    // A ring being made has no size at first, and no magic until its maker
    // stores it, last: wait a little for both.
    struct stat st {};
    for (int i = 0;; ++i) {
        if (fstat(fd, &st) != 0)
            return PLAT_ERR_IO;
        if (st.st_size >= static_cast<off_t>(kDataOffset))
            break;
        if (i == 500)
            return PLAT_ERR_BADSEG;
        pause_a_moment();
    }
    const auto size = static_cast<size_t>(st.st_size);
    void *addr = mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED)
        return PLAT_ERR_IO;
    auto *hdr = static_cast<Header *>(addr);
    for (int i = 0; i < 500 && __atomic_load_n(&hdr->magic, __ATOMIC_ACQUIRE) == 0; ++i)
        pause_a_moment();
    if (!valid_header(*hdr, size)) {
        munmap(addr, size);
        return PLAT_ERR_BADSEG;
    }
    view->hdr = hdr;
    view->data = static_cast<uint8_t *>(addr) + kDataOffset;
    view->count = hdr->slot_count;
    view->length = size;
    return 0;
}

} // namespace

void View::put(uint32_t pos, size_t offset, const void *src, size_t n) const
{
    const size_t ring_bytes = size_t{count} * kSlotSize;
    const size_t at = (size_t{pos & (count - 1)} * kSlotSize + offset) % ring_bytes;
    const size_t first = n < ring_bytes - at ? n : ring_bytes - at;
    std::memcpy(data + at, src, first);
    std::memcpy(data, static_cast<const uint8_t *>(src) + first, n - first);
}

void View::get(uint32_t pos, void *dst, size_t n) const
{
    const size_t ring_bytes = size_t{count} * kSlotSize;
    const size_t at = size_t{pos & (count - 1)} * kSlotSize;
    const size_t first = n < ring_bytes - at ? n : ring_bytes - at;
    std::memcpy(dst, data + at, first);
    std::memcpy(static_cast<uint8_t *>(dst) + first, data, n - first);
}

std::string name(int instance)
{
    char object[96];
    std::snprintf(object, sizeof object, "/%strace.%d", shm_name_prefix().c_str(), instance);
    return object;
}

bool size_configured()
{
    const char *env = std::getenv("VOREL_TRACE_RING");
    return env != nullptr && *env != '\0';
}

uint32_t configured_slots()
{
    size_t bytes = kDefaultBytes;
    if (size_configured()) {
        char *end = nullptr;
        const unsigned long long v = std::strtoull(std::getenv("VOREL_TRACE_RING"), &end, 10);
        unsigned long long mult = 1;
        if (*end == 'k' || *end == 'K')
            mult = 1ull << 10;
        else if (*end == 'm' || *end == 'M')
            mult = 1ull << 20;
        else if (*end == 'g' || *end == 'G')
            mult = 1ull << 30;
        if (mult != 1)
            ++end;
        if (*end == '\0' && v > 0)
            bytes = v > (1ull << 40) / mult ? size_t{1} << 30
                                            : static_cast<size_t>(v * mult < (1ull << 30) ? v * mult : 1ull << 30);
    }
    uint32_t slots = kMinSlots;
    while (slots < kMaxSlotCount && size_t{slots} * 2 * kSlotSize <= bytes)
        slots *= 2;
    return slots;
}

int open_view(int instance, bool writable, View *view)
{
    const int fd = shm_open(name(instance).c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0);
    if (fd < 0)
        return errno == ENOENT ? PLAT_ERR_NOENT : PLAT_ERR_IO;
    const int rc = map_fd(fd, writable, view);
    close(fd);
    return rc;
}

// Lays out a ring in the new object of `fd` (closed here).
int init_fd(const std::string &object, int fd, uint32_t slots, View *view)
{
    const size_t size = size_t{kDataOffset} + size_t{slots} * kSlotSize;
    void *addr = MAP_FAILED;
    if (plat::apply_mode(fd) == 0 && ftruncate(fd, static_cast<off_t>(size)) == 0)
        addr = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (addr == MAP_FAILED) {
        (void)shm_unlink(object.c_str());
        return PLAT_ERR_IO;
    }
    auto *hdr = static_cast<Header *>(addr);
    hdr->version = kVersion;
    hdr->data_offset = kDataOffset;
    hdr->slot_size = kSlotSize;
    hdr->slot_count = slots;
    hdr->check = fold(kVersion, kDataOffset, kSlotSize, slots);
    __atomic_store_n(&hdr->magic, kMagic, __ATOMIC_RELEASE);
    view->hdr = hdr;
    view->data = static_cast<uint8_t *>(addr) + kDataOffset;
    view->count = slots;
    view->length = size;
    return 0;
}

int create_view(int instance, uint32_t slots, View *view)
{
    const std::string object = name(instance);
    (void)shm_unlink(object.c_str());
    const int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, plat::file_mode());
    return fd < 0 ? PLAT_ERR_IO : init_fd(object, fd, slots, view);
}

int open_or_create(int instance, View *view)
{
    for (int attempt = 0; attempt < 4; ++attempt) {
        const int rc = open_view(instance, true, view);
        if (rc != PLAT_ERR_NOENT)
            return rc;
        // Only one process makes it: the others find it on their next try.
        const std::string object = name(instance);
        const int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, plat::file_mode());
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return PLAT_ERR_IO;
        }
        return init_fd(object, fd, configured_slots(), view);
    }
    return PLAT_ERR_IO;
}

void close_view(View *view)
{
    if (view->hdr != nullptr)
        munmap(view->hdr, view->length);
    *view = View{};
}

void append(const View &view, uint8_t *record, size_t length)
{
    const auto slots = static_cast<uint32_t>((length + kSlotSize - 1) / kSlotSize);
    const uint32_t pos = view.hdr->head.fetch_add(slots, std::memory_order_relaxed);
    auto *rec = reinterpret_cast<SlotHeader *>(record);
    auto *first = reinterpret_cast<SlotHeader *>(view.slot(pos));
    rec->meta |= slots;
    // Claim: who writes and how far, then the busy tag.  A reader that sees
    // the tag may skip the slots once this process is gone.
    first->meta = rec->meta;
    first->pid = rec->pid;
    __atomic_store_n(&first->tag, busy_tag(pos), __ATOMIC_RELEASE);
    view.put(pos, offsetof(SlotHeader, pid), record + offsetof(SlotHeader, pid), length - offsetof(SlotHeader, pid));
    // An injected failure stops the writer here, as if it were killed in the
    // middle of the record.
    if (plat::should_fail("log_debug"))
        return;
    __atomic_store_n(&first->tag, commit_tag(pos), __ATOMIC_RELEASE);
}

} // namespace plat::ring

using namespace plat::ring;

struct log_reader {
    View view;
    uint32_t next = 0;
    uint32_t lost = 0;
    uint32_t torn = 0;
    int patience_ms = 0;
    uint32_t waiting_at = 0; // slot waited for, valid while waiting
    bool waiting = false;
    timespec waiting_since{};
    uint8_t buf[kMaxRecord];
};

namespace {

bool process_gone(uint32_t pid) { return pid == 0 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH); }

int64_t elapsed_ms(const timespec &since)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t{now.tv_sec} - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

// Copies the strings of a record into *out; false when the lengths do not fit.
bool decode(const uint8_t *buf, uint32_t slots, uint32_t pos, log_record_t *out)
{
    SlotHeader h;
    std::memcpy(static_cast<void *>(&h), buf, sizeof h);
    const size_t strings = size_t{h.source_len} + h.module_len + h.text_len;
    if (h.source_len >= LOG_SOURCE_MAX || h.module_len >= LOG_MODULE_MAX || h.text_len >= LOG_TEXT_MAX ||
        sizeof h + strings > size_t{slots} * kSlotSize)
        return false;
    const uint8_t *p = buf + sizeof h;
    auto take = [&p](char *dst, size_t n) {
        std::memcpy(dst, p, n);
        dst[n] = '\0';
        p += n;
    };
    take(out->source, h.source_len);
    take(out->module, h.module_len);
    take(out->text, h.text_len);
    out->seq = pos;
    out->sec = h.sec;
    out->nsec = h.nsec;
    out->pid = h.pid;
    out->level = static_cast<int32_t>((h.meta >> 8) & 0xff);
    out->instance = static_cast<int32_t>((h.meta >> 16) & 0xff);
    out->line = h.line;
    return true;
}

// The next record is not there yet: wait for it up to the reader's patience.
int wait_or_skip(log_reader *r)
{
    if (!r->waiting || r->waiting_at != r->next) {
        r->waiting = true;
        r->waiting_at = r->next;
        clock_gettime(CLOCK_MONOTONIC, &r->waiting_since);
    }
    if (elapsed_ms(r->waiting_since) < r->patience_ms)
        return 2;
    ++r->torn;
    ++r->next;
    r->waiting = false;
    return -1; // look again
}

// One step of the reader: 1 record, 0 nothing more, 2 waiting, -1 look again.
int step(log_reader *r, log_record_t *out)
{
    const Header &h = *r->view.hdr;
    const uint32_t count = r->view.count;
    const uint32_t head = h.head.load(std::memory_order_acquire);
    const uint32_t base = h.base.load(std::memory_order_acquire);
    if (static_cast<int32_t>(base - r->next) > 0 && static_cast<int32_t>(head - base) >= 0)
        r->next = base; // cleared
    if (static_cast<int32_t>(head - r->next) <= 0)
        return 0;
    if (head - r->next > count) {
        r->lost += head - count - r->next;
        r->next = head - count;
    }
    const auto *first = reinterpret_cast<const SlotHeader *>(r->view.slot(r->next));
    const uint32_t tag = __atomic_load_n(&first->tag, __ATOMIC_ACQUIRE);
    const uint32_t meta = first->meta;
    const uint32_t slots = meta & 0xff;
    const bool sane = slots >= 1 && slots <= kMaxSlots && slots <= head - r->next;
    if (tag == busy_tag(r->next) && sane && process_gone(first->pid)) {
        ++r->torn;
        r->next += slots;
        return -1;
    }
    if (tag != commit_tag(r->next))
        return wait_or_skip(r);
    if (!sane) {
        ++r->torn;
        ++r->next;
        return -1;
    }
    r->view.get(r->next, r->buf, size_t{slots} * kSlotSize);
    // The copy above is ordered before the second look at head.  GCC's
    // ThreadSanitizer does not model fences and says so; writers and readers
    // are other processes, which it does not see anyway.
#if defined(__SANITIZE_THREAD__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
#endif
    std::atomic_thread_fence(std::memory_order_acquire);
#if defined(__SANITIZE_THREAD__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    // Still ours only if no writer has reserved these slots again meanwhile.
    if (h.head.load(std::memory_order_relaxed) - r->next > count)
        return -1;
    r->waiting = false;
    const uint32_t pos = r->next;
    r->next += slots;
    if (!decode(r->buf, slots, pos, out)) {
        ++r->torn;
        return -1;
    }
    return 1;
}

int with_writable(int instance, int (*fn)(const View &, int), int arg)
{
    View view;
    const int rc = open_view(instance, true, &view);
    if (rc != 0)
        return rc;
    const int result = fn(view, arg);
    close_view(&view);
    return result;
}

} // namespace

extern "C" {

int log_reader_open(int instance, int patience_ms, log_reader_t **reader)
{
    if (reader == nullptr || instance < 0 || instance >= FCSW_MAX_INSTANCES)
        return PLAT_ERR_INVAL;
    auto r = std::make_unique<log_reader>();
    if (const int rc = open_view(instance, false, &r->view); rc != 0)
        return rc;
    r->patience_ms = patience_ms;
    // From the oldest record still in the ring.
    const uint32_t head = r->view.hdr->head.load(std::memory_order_acquire);
    const uint32_t base = r->view.hdr->base.load(std::memory_order_acquire);
    r->next = head - base <= r->view.count ? base : head - r->view.count;
    *reader = r.release();
    return 0;
}

int log_reader_next(log_reader_t *reader, log_record_t *record)
{
    for (;;) {
        const int rc = step(reader, record);
        if (rc >= 0)
            return rc;
    }
}

void log_reader_losses(const log_reader_t *reader, uint32_t *lost, uint32_t *torn)
{
    if (lost != nullptr)
        *lost = reader->lost;
    if (torn != nullptr)
        *torn = reader->torn;
}

void log_reader_close(log_reader_t *reader)
{
    const std::unique_ptr<log_reader> owned(reader);
    if (owned)
        close_view(&owned->view);
}

int log_ring_clear(int instance)
{
    return with_writable(
        instance,
        [](const View &v, int) {
            v.hdr->base.store(v.hdr->head.load(std::memory_order_acquire), std::memory_order_release);
            return 0;
        },
        0);
}

int log_ring_set_level(int instance, int level)
{
    return with_writable(
        instance,
        [](const View &v, int lvl) {
            uint32_t word = v.hdr->level_word.load(std::memory_order_relaxed);
            uint32_t next = 0;
            do
                next = ((word >> 8) + 1) << 8 | static_cast<uint32_t>(lvl & 0xff);
            while (!v.hdr->level_word.compare_exchange_weak(word, next, std::memory_order_release));
            return 0;
        },
        level < 0   ? 0
        : level > 9 ? 9
                    : level);
}

} // extern "C"
