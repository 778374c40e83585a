// trace_ring.h - the trace ring of a switch instance: a shared-memory object
// that every process of the instance appends its trace records to, and that
// any process reads, also after the writers are gone.
//
// The ring is an array of 128-byte slots after a one-page header.  A record
// takes one or more consecutive slots.  A writer reserves its slots with one
// atomic add on `head` (a 32-bit slot counter that runs on past the ring's
// size; positions are compared modulo 2^32), writes its pid and slot count,
// marks the first slot busy, copies the record in, and commits it by storing
// the commit tag of its position in the first word, last.  No lock is held,
// so a writer that dies leaves at most its own record torn; readers skip a
// busy record whose writer is gone, and an unclaimed slot after a while.
//
// Tags carry the position, so a slot left from an earlier lap never passes
// for a record of this one; their top bit is set, so text never does either.
// All words are 32-bit and in the machine's order: every process of an
// instance runs on the same machine.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace plat {

// The part before the key of the names of shared-memory objects (shm.cpp).
std::string shm_name_prefix();

namespace ring {

constexpr uint32_t kMagic = 0x56545243u; // "VTRC"
constexpr uint32_t kVersion = 1;
constexpr uint32_t kSlotSize = 128;
constexpr uint32_t kMaxSlots = 17; // a record with the longest text fits
constexpr uint32_t kDataOffset = 4096;
constexpr uint32_t kMinSlots = 32;
constexpr uint32_t kMaxSlotCount = 1u << 23; // 1 GiB
constexpr size_t kDefaultBytes = 8u << 20;

// Tags of the first word of a record's first slot.
constexpr uint32_t kPositionMask = 0x3fffffffu;
constexpr uint32_t busy_tag(uint32_t pos) { return 0x80000000u | (pos & kPositionMask); }
constexpr uint32_t commit_tag(uint32_t pos) { return 0xc0000000u | (pos & kPositionMask); }

struct Header {
    uint32_t magic; // stored last when the ring is made
    uint32_t version;
    uint32_t data_offset;
    uint32_t slot_size;
    uint32_t slot_count; // a power of two
    uint32_t check;      // the words above folded, to catch a corrupt header
    uint32_t reserved0[10];
    std::atomic<uint32_t> head; // next slot to reserve; its own cache line
    uint32_t reserved1[15];
    std::atomic<uint32_t> base;       // first slot after the last clear
    std::atomic<uint32_t> level_word; // generation << 8 | level, set by log_ring_set_level
    uint32_t reserved2[14];
};
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(sizeof(Header) <= kDataOffset);

// The first 28 bytes of a record's first slot; the source name, the module
// name and the text follow, without terminators.
struct SlotHeader {
    uint32_t tag;  // read and written with atomic loads and stores
    uint32_t meta; // slots | level << 8 | instance << 16
    uint32_t pid;
    uint32_t sec;
    uint32_t nsec;
    int32_t line;
    uint8_t source_len;
    uint8_t module_len;
    uint16_t text_len;
};
static_assert(sizeof(SlotHeader) == 28);
constexpr size_t kMaxRecord = size_t{kMaxSlots} * kSlotSize;

constexpr uint32_t fold(uint32_t version, uint32_t offset, uint32_t slot_size, uint32_t count)
{
    return kMagic ^ (version * 0x9e3779b9u) ^ (offset << 7) ^ (slot_size << 13) ^ count;
}

// A mapped ring.  Trivially destructible: the writers' views stay mapped for
// the life of the process (records may be written while it exits).
struct View {
    Header *hdr = nullptr;
    uint8_t *data = nullptr;
    uint32_t count = 0; // slots
    size_t length = 0;  // bytes mapped

    uint8_t *slot(uint32_t pos) const { return data + size_t{pos & (count - 1)} * kSlotSize; }
    // Copies n bytes from/to ring position `pos` (slot-aligned), wrapping at the end.
    void put(uint32_t pos, size_t offset, const void *src, size_t n) const;
    void get(uint32_t pos, void *dst, size_t n) const;
};

// The object's name for an instance.
std::string name(int instance);
// Slots for VOREL_TRACE_RING (default 8 MiB), a power of two.
uint32_t configured_slots();
bool size_configured();

// Results: 0, or PLAT_ERR_NOENT / PLAT_ERR_BADSEG / PLAT_ERR_IO.
int open_view(int instance, bool writable, View *view);
// Makes a fresh ring, replacing any object of the name.
int create_view(int instance, uint32_t slots, View *view);
// Opens the ring for writing, making it when there is none.
int open_or_create(int instance, View *view);
void close_view(View *view);

// Appends one record already laid out in `record` (a SlotHeader with tag and
// meta's slot count unset, then the strings).  No system call.
void append(const View &view, uint8_t *record, size_t length);

} // namespace ring
} // namespace plat
