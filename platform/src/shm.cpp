// shm.cpp - global shared memory: one POSIX shared-memory object per key,
// growing on demand, with an allocator of segregated free lists and the
// numbered basic blocks kept inside it.
//
// Every attachment reserves the address range of the segment's whole limit
// once (PROT_NONE), so a local address stays valid while the segment grows:
// growing extends the object and maps the new part in place.  A process
// maps parts grown by another process the first time it meets a gadd beyond
// what it has mapped.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "fail.h"
#include "rundir.h"
#include "shm_layout.h"
#include "vorel_platform.h"

namespace {

using namespace plat::shm;

constexpr uint32_t kMaxAttachments = 64;
constexpr uint32_t kDefaultStep = 1u << 20;
constexpr uint64_t kMaxLimit = 0xFFFFFFFFull; // a gadd is 32 bits

// The pages of a mapping are populated when it is made: a segment that grows
// by whole steps would otherwise take one page fault per page as its blocks
// are handed out, and a reader one per page it visits.
#ifdef MAP_POPULATE
constexpr int kMapFlags = MAP_SHARED | MAP_FIXED | MAP_POPULATE;
#else
constexpr int kMapFlags = MAP_SHARED | MAP_FIXED;
#endif

// One attachment of this process to a segment.  `span` is the mapped size
// minus kFirstGadd (0 while the slot is free), so the hot check of a gadd is a
// single unsigned comparison.
struct Attachment {
    std::atomic<uint32_t> span{0};
    uint8_t *base = nullptr;
    uint32_t reserved = 0; // length of the reserved address range
    uint32_t mapped = 0;   // bytes mapped, guarded by map_mutex
    int fd = -1;
    bool in_use = false; // guarded by g_table_mutex
    std::mutex map_mutex;

    SegmentHeader *header() const { return reinterpret_cast<SegmentHeader *>(base); }
};

Attachment g_attachments[kMaxAttachments];
std::mutex g_table_mutex;

uint32_t page_size()
{
    static const uint32_t page = static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
    return page;
}

uint64_t round_up(uint64_t v, uint64_t to) { return (v + to - 1) / to * to; }

uint64_t default_limit() { return sizeof(void *) == 8 ? 1ull << 30 : 256ull << 20; }

// VOREL_SHM_LIMIT: bytes, with an optional K, M or G suffix.
uint64_t configured_limit()
{
    uint64_t limit = default_limit();
    if (const char *env = std::getenv("VOREL_SHM_LIMIT"); env != nullptr && *env != '\0') {
        char *end = nullptr;
        const unsigned long long v = std::strtoull(env, &end, 10);
        uint64_t mult = 1;
        switch (*end) {
        case 'k':
        case 'K':
            mult = 1ull << 10;
            ++end;
            break;
        case 'm':
        case 'M':
            mult = 1ull << 20;
            ++end;
            break;
        case 'g':
        case 'G':
            mult = 1ull << 30;
            ++end;
            break;
        default:
            break;
        }
        if (end != env && *end == '\0' && v > 0)
            limit = v > kMaxLimit / mult ? kMaxLimit : v * mult;
    }
    limit = limit > kMaxLimit ? kMaxLimit : limit;
    return limit / page_size() * page_size();
}

// Objects are named after the runtime directory and the key, so that
// programs with different runtime directories never share a segment, and
// the processes that share one (the owner's and, with VOREL_GROUP, the
// group's members) find the same segment whoever they run as.  This is the
// part before the key: "vorel.<hash of the directory>.".
std::string name_prefix()
{
    uint64_t h = 0xcbf29ce484222325ull; // FNV-1a
    for (const char c : plat::run_dir()) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001b3ull;
    }
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "vorel.%016llx.", static_cast<unsigned long long>(h));
    return prefix;
}

std::string object_name(key_t key)
{
    char name[80];
    std::snprintf(name, sizeof name, "/%s%08x", name_prefix().c_str(), static_cast<unsigned>(key));
    return name;
}

// ---- attachments ---------------------------------------------------------------

Attachment *find(gshm_handle_t handle)
{
    const uint32_t idx = handle - 1u;
    if (idx >= kMaxAttachments)
        return nullptr;
    Attachment &a = g_attachments[idx];
    // Acquire; partners: the release stores of `span` in attach, map_more
    // and detach: a slot in use shows the base and mapping written before.
    return a.span.load(std::memory_order_acquire) != 0 ? &a : nullptr;
}

// Takes a free slot and maps `size` bytes of `fd` at the start of a fresh
// reservation of `reserve` bytes.  On success the slot owns `fd`.
int attach(int fd, uint32_t reserve, uint32_t size, gshm_handle_t *handle)
{
    std::lock_guard table(g_table_mutex);
    uint32_t idx = 0;
    while (idx < kMaxAttachments && g_attachments[idx].in_use)
        ++idx;
    if (idx == kMaxAttachments)
        return PLAT_ERR_NOMEM;
    void *range = mmap(nullptr, reserve, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (range == MAP_FAILED)
        return PLAT_ERR_NOMEM;
    if (mmap(range, size, PROT_READ | PROT_WRITE, kMapFlags, fd, 0) == MAP_FAILED) {
        munmap(range, reserve);
        return PLAT_ERR_IO;
    }
    Attachment &a = g_attachments[idx];
    a.base = static_cast<uint8_t *>(range);
    a.reserved = reserve;
    a.mapped = size;
    a.fd = fd;
    a.in_use = true;
    // Release; partners: the acquire loads of `span` in find and map_up_to.
    a.span.store(size - kFirstGadd, std::memory_order_release);
    *handle = idx + 1;
    return 0;
}

void detach(Attachment &a)
{
    std::lock_guard table(g_table_mutex);
    // Release; partner: the acquire load of `span` in find.
    a.span.store(0, std::memory_order_release);
    munmap(a.base, a.reserved);
    close(a.fd);
    a.base = nullptr;
    a.fd = -1;
    a.mapped = 0;
    a.in_use = false;
}

// The slow part of map_up_to: under the attachment's mutex.
int map_more(Attachment &a, uint64_t end);

// Maps the parts of the segment that grew since this attachment last looked,
// so that `end` bytes are mapped; PLAT_ERR_RANGE when the segment is smaller.
inline int map_up_to(Attachment &a, uint64_t end)
{
    // Acquire; partners: the release stores of `span` in map_more and attach:
    // the bytes below the span are mapped.
    if (end <= uint64_t{a.span.load(std::memory_order_acquire)} + kFirstGadd)
        return 0; // mapped already: the common case, without the mutex
    return map_more(a, end);
}

[[gnu::noinline]] int map_more(Attachment &a, uint64_t end)
{
    std::lock_guard lock(a.map_mutex);
    if (end <= a.mapped)
        return 0;
    // Acquire; partner: the release store of `size` in grow, in the process
    // that extended the object.
    const uint32_t size = a.header()->size.load(std::memory_order_acquire);
    if (end > size || size > a.reserved)
        return PLAT_ERR_RANGE;
    if (mmap(a.base + a.mapped, size - a.mapped, PROT_READ | PROT_WRITE, kMapFlags, a.fd,
             static_cast<off_t>(a.mapped)) == MAP_FAILED)
        return PLAT_ERR_IO;
    a.mapped = size;
    // Release; partner: the acquire load of `span` in map_up_to (and find).
    a.span.store(size - kFirstGadd, std::memory_order_release);
    return 0;
}

// The allocator's words that gshm_availability reads without the segment's
// lock: written under the lock, read by anyone.
void publish(uint32_t &word, uint32_t value)
{
    std::atomic_ref<uint32_t>(word).store(value, std::memory_order_relaxed);
}
uint32_t observe(uint32_t &word) { return std::atomic_ref<uint32_t>(word).load(std::memory_order_relaxed); }

BlockHeader *block_header(const Attachment &a, uint32_t gadd)
{
    return reinterpret_cast<BlockHeader *>(a.base + gadd - kBlockHeaderSize);
}

// ---- the segment's lock ------------------------------------------------------------

// Holds the allocator's process-shared mutex.  A holder that died leaves the
// mutex marked; the state it guarded is taken over as it is.
class SegmentLock {
  public:
    explicit SegmentLock(SegmentHeader *h) : mutex_(&h->mutex)
    {
        int rc = pthread_mutex_lock(mutex_);
        if (rc == EOWNERDEAD)
            rc = pthread_mutex_consistent(mutex_);
        held_ = rc == 0;
    }
    ~SegmentLock()
    {
        if (held_)
            pthread_mutex_unlock(mutex_);
    }
    SegmentLock(const SegmentLock &) = delete;
    SegmentLock &operator=(const SegmentLock &) = delete;
    bool held() const { return held_; }

  private:
    pthread_mutex_t *mutex_;
    bool held_ = false;
};

int init_mutex(pthread_mutex_t *m)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    const int rc = pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc;
}

// ---- allocation (the caller holds the segment's lock) ---------------------------------

// Extends the object so that `end` bytes exist, in whole steps, up to the limit.
int grow(Attachment &a, uint64_t end)
{
    SegmentHeader *h = a.header();
    const uint32_t size = h->size.load(std::memory_order_relaxed);
    if (end <= size)
        return 0;
    if (end > h->limit)
        return PLAT_ERR_NOMEM;
    uint64_t new_size = size + round_up(end - size, h->step);
    if (new_size > h->limit)
        new_size = h->limit;
    if (ftruncate(a.fd, static_cast<off_t>(new_size)) != 0)
        return PLAT_ERR_NOMEM;
    // Release; partner: the acquire load of `size` in map_more, in every
    // process that maps the grown part.
    h->size.store(static_cast<uint32_t>(new_size), std::memory_order_release);
    return 0;
}

int take_free_block(Attachment &a, ClassState &c, uint32_t cls, uint32_t *gadd)
{
    const uint32_t g = c.free_head;
    if (const int rc = map_up_to(a, uint64_t{g} + class_size(cls)); rc < 0)
        return rc;
    c.free_head = block_header(a, g)->link;
    publish(c.free, c.free - 1);
    // The next block of the class is handed out by the next allocation, most
    // likely to be written from its start: fetch its first lines now, while
    // this block is being filled, rather than miss on them then; and the
    // header of the one after it, whose link the next allocation follows.
    // (This block's header was fetched the same way by the allocation
    // before.)
    const uint64_t mapped = uint64_t{a.span.load(std::memory_order_relaxed)} + kFirstGadd;
    if (const uint32_t next = c.free_head; next != 0 && uint64_t{next} + 256 <= mapped) {
        for (uint32_t off = 0; off < 256; off += 64)
            __builtin_prefetch(a.base + next + off, 1);
        if (const uint32_t after = block_header(a, next)->link; after != 0 && uint64_t{after} + 256 <= mapped) {
            for (uint32_t off = 0; off < 256; off += 64)
                __builtin_prefetch(a.base + after - kBlockHeaderSize + off, 1);
        }
    }
    *gadd = g;
    return 0;
}

int carve_block(Attachment &a, uint32_t cls, uint32_t *gadd)
{
    SegmentHeader *h = a.header();
    const uint64_t end = uint64_t{h->brk} + kBlockHeaderSize + class_size(cls);
    if (const int rc = grow(a, end); rc < 0)
        return rc;
    if (const int rc = map_up_to(a, end); rc < 0)
        return rc;
    *gadd = h->brk + kBlockHeaderSize;
    publish(h->brk, static_cast<uint32_t>(end));
    return 0;
}

// True when `gadd` can name a block that was handed out by this segment.
bool plausible(const SegmentHeader *h, gadd_t gadd) { return gadd >= kFirstGadd && gadd < h->brk && (gadd & 7u) == 0; }

// ---- creation ------------------------------------------------------------------

void init_header(SegmentHeader *h, key_t key, uint32_t limit, uint32_t step, uint32_t size, uint32_t num_basic)
{
    new (h) SegmentHeader{};
    h->version = kVersion;
    h->layout_size = sizeof(SegmentHeader);
    h->key = static_cast<uint32_t>(key);
    h->limit = limit;
    h->step = step;
    h->size.store(size, std::memory_order_relaxed);
    h->num_basic = num_basic;
    h->brk = kDataStart;
    h->largest_class = kNoClass;
    init_mutex(&h->mutex);
    // Release, written last; partner: read_identity, which reads the magic
    // with pread (no atomic load): a magic that is there shows the header.
    h->magic.store(kMagic, std::memory_order_release);
}

// A fresh object for the key; an earlier object of the same name is removed.
int create_object(const std::string &name, uint32_t size)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        shm_unlink(name.c_str());
        const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, plat::file_mode());
        if (fd < 0) {
            if (errno == EEXIST)
                continue; // another creator came in between
            return PLAT_ERR_IO;
        }
        if (plat::apply_mode(fd) != 0 || ftruncate(fd, size) != 0) {
            close(fd);
            shm_unlink(name.c_str());
            return PLAT_ERR_IO;
        }
        return fd;
    }
    return PLAT_ERR_BUSY;
}

// The first words of an existing segment, read without mapping it.
struct Identity {
    uint32_t magic, version, layout_size, key, limit;
};

int read_identity(int fd, Identity *id)
{
    uint32_t words[5] = {};
    const ssize_t n = pread(fd, words, sizeof words, 0);
    if (n < 0)
        return PLAT_ERR_IO;
    if (n != static_cast<ssize_t>(sizeof words) || words[0] == 0)
        return PLAT_ERR_NOENT; // still being created
    *id = Identity{words[0], words[1], words[2], words[3], words[4]};
    if (id->magic != kMagic || id->version != kVersion || id->layout_size != sizeof(SegmentHeader))
        return PLAT_ERR_BADSEG;
    return 0;
}

// Everything gadd2ladd's hot path does not settle: a part of the segment
// grown by another process, a bad handle, a gadd that names no live block.
[[gnu::noinline]] int gadd2ladd_slow(gshm_handle_t handle, gadd_t gadd, void **ladd)
{
    if (ladd == nullptr)
        return PLAT_ERR_INVAL;
    *ladd = nullptr;
    Attachment *a = find(handle);
    if (a == nullptr)
        return PLAT_ERR_INVAL;
    if (gadd < kFirstGadd || (gadd & 7u) != 0)
        return PLAT_ERR_RANGE;
    if (const int rc = map_up_to(*a, uint64_t{gadd} + 1); rc < 0)
        return PLAT_ERR_RANGE;
    const BlockHeader *b = block_header(*a, gadd);
    if (b->tag >> 16 != kTagLive)
        return PLAT_ERR_RANGE;
    if (const int rc = map_up_to(*a, uint64_t{gadd} + b->link); rc < 0)
        return PLAT_ERR_RANGE;
    *ladd = a->base + gadd;
    return 0;
}

} // namespace

namespace plat {
// The trace ring is named like the segments, so that it follows the runtime
// directory and goes with them in gshm_remove_all().
std::string shm_name_prefix() { return name_prefix(); }
} // namespace plat

extern "C" {

int gshm_init0(gshm_handle_t *handle, const gshm_create_t *create)
{
    if (plat::should_fail("gshm_init0"))
        return PLAT_ERR_INJECTED;
    if (handle == nullptr || create == nullptr)
        return PLAT_ERR_INVAL;
    const key_t key = static_cast<key_t>(create->w[0]);
    const uint32_t num_basic = create->w[4];
    if (num_basic == 0 || num_basic > kMaxBasicBlocks)
        return PLAT_ERR_INVAL;
    const uint64_t page = page_size();
    const uint64_t limit = configured_limit();
    const uint64_t step = round_up(create->w[2] != 0 ? create->w[2] : kDefaultStep, page);
    uint64_t size = round_up(create->w[1] > kDataStart ? create->w[1] : kDataStart + 1, page);
    if (size > limit)
        size = limit;
    if (size <= kDataStart || step > kMaxLimit)
        return PLAT_ERR_NOMEM;

    const int fd = create_object(object_name(key), static_cast<uint32_t>(size));
    if (fd < 0)
        return fd;
    gshm_handle_t h = 0;
    if (const int rc = attach(fd, static_cast<uint32_t>(limit), static_cast<uint32_t>(size), &h); rc < 0) {
        close(fd);
        return rc;
    }
    init_header(find(h)->header(), key, static_cast<uint32_t>(limit), static_cast<uint32_t>(step),
                static_cast<uint32_t>(size), num_basic);
    *handle = h;
    return 0;
}

int gshm_init(gshm_handle_t *handle, key_t key)
{
    if (plat::should_fail("gshm_init"))
        return PLAT_ERR_INJECTED;
    if (handle == nullptr)
        return PLAT_ERR_INVAL;
    const int fd = shm_open(object_name(key).c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0)
        return errno == ENOENT ? PLAT_ERR_NOENT : PLAT_ERR_IO;
    Identity id{};
    struct stat st {};
    int rc = read_identity(fd, &id);
    if (rc == 0 && fstat(fd, &st) != 0)
        rc = PLAT_ERR_IO;
    if (rc == 0 && (static_cast<uint64_t>(st.st_size) > id.limit || st.st_size <= static_cast<off_t>(kDataStart)))
        rc = PLAT_ERR_BADSEG;
    if (rc == 0)
        rc = attach(fd, id.limit, static_cast<uint32_t>(st.st_size), handle);
    if (rc < 0)
        close(fd);
    return rc;
}

int gshm_quit(gshm_handle_t *handle)
{
    if (plat::should_fail("gshm_quit"))
        return PLAT_ERR_INJECTED;
    if (handle == nullptr)
        return PLAT_ERR_INVAL;
    Attachment *a = find(*handle);
    if (a == nullptr)
        return PLAT_ERR_INVAL;
    detach(*a);
    *handle = 0;
    return 0;
}

int gshm_remove(key_t key)
{
    if (shm_unlink(object_name(key).c_str()) == 0)
        return 0;
    return errno == ENOENT ? PLAT_ERR_NOENT : PLAT_ERR_IO;
}

int gshm_remove_all(void)
{
    // POSIX shared-memory objects are the files of /dev/shm on Linux.
    DIR *dir = opendir("/dev/shm");
    if (dir == nullptr)
        return errno == ENOENT ? 0 : PLAT_ERR_IO;
    const std::string prefix = name_prefix();
    int removed = 0;
    while (const dirent *entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0)
            continue;
        char name[NAME_MAX + 2];
        std::snprintf(name, sizeof name, "/%s", entry->d_name);
        if (shm_unlink(name) == 0)
            ++removed;
    }
    closedir(dir);
    return removed;
}

int gshm_alloc(gshm_handle_t handle, gadd_t *gadd, uint32_t size)
{
    if (plat::should_fail("gshm_alloc"))
        return PLAT_ERR_INJECTED;
    Attachment *a = find(handle);
    if (a == nullptr || gadd == nullptr || size == 0 || size > kMaxBlockSize)
        return PLAT_ERR_INVAL;
    SegmentHeader *h = a->header();
    const uint32_t cls = class_of(size);
    uint32_t g = 0;
    {
        SegmentLock lock(h);
        if (!lock.held())
            return PLAT_ERR_IO;
        ClassState &c = h->classes[cls];
        if (const int rc = c.free_head != 0 ? take_free_block(*a, c, cls, &g) : carve_block(*a, cls, &g); rc < 0)
            return rc;
        *block_header(*a, g) = BlockHeader{tag(kTagLive, cls), size};
        ++c.live;
        ++h->blocks_in_use;
        h->bytes_in_use += kBlockHeaderSize + class_size(cls);
        if (h->largest_class == kNoClass || cls > h->largest_class)
            publish(h->largest_class, cls);
    }
    // Every block starts cleared: a carved one is fresh (zero) memory, a
    // reused one was cleared when it was freed.
    *gadd = g;
    return 0;
}

int gshm_free(gshm_handle_t handle, gadd_t gadd)
{
    if (plat::should_fail("gshm_free"))
        return PLAT_ERR_INJECTED;
    Attachment *a = find(handle);
    if (a == nullptr)
        return PLAT_ERR_INVAL;
    SegmentHeader *h = a->header();
    SegmentLock lock(h);
    if (!lock.held())
        return PLAT_ERR_IO;
    if (!plausible(h, gadd))
        return PLAT_ERR_RANGE;
    if (const int rc = map_up_to(*a, gadd); rc < 0)
        return rc;
    BlockHeader *b = block_header(*a, gadd);
    const uint32_t cls = b->tag & 0xFFFFu;
    if (b->tag >> 16 != kTagLive || cls >= kNumClasses)
        return PLAT_ERR_INVAL; // not a live block: freed twice, or not a block start
    if (const int rc = map_up_to(*a, uint64_t{gadd} + class_size(cls)); rc < 0)
        return rc;
    // Cleared now, while the block is likely still in the cache of the one who
    // used it last, so that the next allocation of the class can hand it out
    // as it is.
    std::memset(a->base + gadd, 0, class_size(cls));
    ClassState &c = h->classes[cls];
    *b = BlockHeader{tag(kTagFree, cls), c.free_head};
    c.free_head = gadd;
    --c.live;
    publish(c.free, c.free + 1);
    --h->blocks_in_use;
    h->bytes_in_use -= kBlockHeaderSize + class_size(cls);
    return 0;
}

// Not 0 while one more block of the largest class served so far can be had:
// the number of such blocks (free ones and room left up to the limit), at
// most INT_MAX.  An injected failure reports no room.  Read without the
// segment's lock: the answer is a snapshot either way, since an allocation
// may follow in another process before the caller allocates.
int gshm_availability(gshm_handle_t handle)
{
    if (plat::should_fail("gshm_availability"))
        return 0;
    Attachment *a = find(handle);
    if (a == nullptr)
        return PLAT_ERR_INVAL;
    SegmentHeader *h = a->header();
    const uint32_t largest = observe(h->largest_class);
    const uint32_t cls = largest == kNoClass || largest >= kNumClasses ? 0 : largest;
    const uint32_t brk = observe(h->brk);
    const uint32_t room = h->limit > brk ? h->limit - brk : 0; // both fit 32 bits
    const uint64_t count = uint64_t{observe(h->classes[cls].free)} + room / (kBlockHeaderSize + class_size(cls));
    return count > INT_MAX ? INT_MAX : static_cast<int>(count);
}

} // extern "C"

namespace {

// The two hottest calls keep the failure check out of line, so that their
// usual path saves no registers: a failure armed anywhere sends every call
// through here.
// The basic block's gadd, read the same way with and without failure injection.
inline int read_basic_block(gshm_handle_t handle, uint32_t block, gadd_t *gadd)
{
    Attachment *a = find(handle);
    if (a == nullptr || gadd == nullptr)
        return PLAT_ERR_INVAL;
    const SegmentHeader *h = a->header();
    if (block >= h->num_basic)
        return PLAT_ERR_RANGE;
    // Acquire; partner: the release store in set_basic_block.
    *gadd = h->basic[block].load(std::memory_order_acquire);
    return 0;
}

[[gnu::noinline, gnu::cold]] int get_basic_block_checked(gshm_handle_t handle, uint32_t block, gadd_t *gadd);
[[gnu::noinline, gnu::cold]] int gadd2ladd_checked(gshm_handle_t handle, gadd_t gadd, void **ladd);

} // namespace

extern "C" {

int get_basic_block(gshm_handle_t handle, uint32_t block, gadd_t *gadd)
{
    if (plat::fail_detail::g_armed.load(std::memory_order_relaxed))
        return get_basic_block_checked(handle, block, gadd);
    return read_basic_block(handle, block, gadd);
}

int set_basic_block(gshm_handle_t handle, uint32_t block, const gadd_t *gadd)
{
    if (plat::should_fail("set_basic_block"))
        return PLAT_ERR_INJECTED;
    Attachment *a = find(handle);
    if (a == nullptr || gadd == nullptr)
        return PLAT_ERR_INVAL;
    SegmentHeader *h = a->header();
    if (block >= h->num_basic)
        return PLAT_ERR_RANGE;
    // Release; partner: the acquire load in read_basic_block (get_basic_block).
    h->basic[block].store(*gadd, std::memory_order_release);
    return 0;
}

// The hottest call of the system: one comparison against what this process
// has mapped, one look at the block's tag, one addition.
int gadd2ladd(gshm_handle_t handle, gadd_t gadd, void **ladd)
{
    if (plat::fail_detail::g_armed.load(std::memory_order_relaxed))
        return gadd2ladd_checked(handle, gadd, ladd);
    const uint32_t idx = handle - 1u;
    if (idx < kMaxAttachments) {
        const Attachment &a = g_attachments[idx];
        const uint64_t span = a.span.load(std::memory_order_relaxed);
        const uint64_t offset = gadd - kFirstGadd;
        // The whole block must lie in this process's mapping: a block carved
        // after another process grew the segment may start inside it and end
        // beyond it.
        if (offset < span && (gadd & 7u) == 0) {
            const BlockHeader *b = block_header(a, gadd);
            if (b->tag >> 16 == kTagLive && offset + b->link <= span) {
                *ladd = a.base + gadd;
                return 0;
            }
        }
    }
    return gadd2ladd_slow(handle, gadd, ladd);
}

} // extern "C"

namespace {

int get_basic_block_checked(gshm_handle_t handle, uint32_t block, gadd_t *gadd)
{
    if (plat::fail_detail::due("get_basic_block"))
        return PLAT_ERR_INJECTED;
    return read_basic_block(handle, block, gadd);
}

int gadd2ladd_checked(gshm_handle_t handle, gadd_t gadd, void **ladd)
{
    if (plat::fail_detail::due("gadd2ladd")) {
        *ladd = nullptr;
        return PLAT_ERR_INJECTED;
    }
    return gadd2ladd_slow(handle, gadd, ladd);
}

} // namespace

extern "C" {

int gshm_get_stats(gshm_handle_t handle, gshm_stats_t *stats)
{
    if (plat::should_fail("gshm_get_stats"))
        return PLAT_ERR_INJECTED;
    Attachment *a = find(handle);
    if (a == nullptr || stats == nullptr)
        return PLAT_ERR_INVAL;
    SegmentHeader *h = a->header();
    SegmentLock lock(h);
    if (!lock.held())
        return PLAT_ERR_IO;
    *stats = gshm_stats_t{};
    stats->bytes_in_use = h->bytes_in_use;
    stats->bytes_mapped = h->size.load(std::memory_order_relaxed);
    stats->bytes_limit = h->limit;
    stats->blocks_in_use = h->blocks_in_use;
    // Only the classes that hold blocks are listed, smallest first.
    for (uint32_t cls = 0; cls < kNumClasses && stats->num_classes < GSHM_MAX_CLASSES; ++cls) {
        const ClassState &c = h->classes[cls];
        if (c.live == 0 && c.free == 0)
            continue;
        const uint32_t i = stats->num_classes++;
        stats->class_size[i] = class_size(cls);
        stats->class_in_use[i] = c.live;
        stats->class_free[i] = c.free;
    }
    return 0;
}

} // extern "C"
