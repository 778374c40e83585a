// shm_layout.h - what a global shared-memory segment holds: its own header
// (identity, geometry, the allocator's state and the basic blocks), followed
// by the blocks, each preceded by an 8-byte block header.
//
// A gadd is the offset of a block's first byte from the start of the
// segment; the block header sits in the 8 bytes before it.  Blocks are carved
// from a frontier that only moves up ("brk"); a freed block goes on the free
// list of its size class and is handed out again for the same class.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace plat::shm {

constexpr uint32_t kMagic = 0x5653474du; // "VSGM"
constexpr uint32_t kVersion = 1;

constexpr uint32_t kMaxBasicBlocks = 256;
constexpr uint32_t kMaxBlockSize = 1u << 20;

// Size classes: every multiple of 8 up to 4 KiB has a class of its own (the
// records of the library fit exactly, with no rounding beyond 8 bytes);
// larger blocks up to 1 MiB use eight classes per power of two.
constexpr uint32_t kExactLimit = 4096;
constexpr uint32_t kExactClasses = kExactLimit / 8; // 512
constexpr uint32_t kStepsPerOctave = 8;
constexpr uint32_t kFirstOctave = 12;                                        // 4 KiB
constexpr uint32_t kOctaves = 20 - kFirstOctave;                             // up to 1 MiB
constexpr uint32_t kNumClasses = kExactClasses + kOctaves * kStepsPerOctave; // 576
constexpr uint32_t kNoClass = 0xFFFFFFFFu;

constexpr uint32_t class_of(uint32_t size)
{
    const uint32_t rounded = (size + 7u) & ~7u;
    if (rounded <= kExactLimit)
        return rounded / 8u - 1u;
    const uint32_t octave = 31u - static_cast<uint32_t>(__builtin_clz(rounded - 1u)); // 2^octave < rounded
    const uint32_t step = 1u << (octave - 3u);
    const uint32_t k = (rounded + step - 1u) / step - kStepsPerOctave; // 1..8
    return kExactClasses + (octave - kFirstOctave) * kStepsPerOctave + (k - 1u);
}

constexpr uint32_t class_size(uint32_t cls)
{
    if (cls < kExactClasses)
        return (cls + 1u) * 8u;
    const uint32_t j = cls - kExactClasses;
    const uint32_t octave = kFirstOctave + j / kStepsPerOctave;
    return (1u << octave) + (j % kStepsPerOctave + 1u) * (1u << (octave - 3u));
}

static_assert(class_size(class_of(8)) == 8 && class_size(class_of(1)) == 8);
static_assert(class_size(class_of(1832)) == 1832 && class_size(class_of(2060)) == 2064);
static_assert(class_size(class_of(4096)) == 4096 && class_size(class_of(4097)) == 4608);
static_assert(class_of(kMaxBlockSize) == kNumClasses - 1 && class_size(kNumClasses - 1) == kMaxBlockSize);

// Block header tags: the high half says live or free, the low half the class.
constexpr uint32_t kTagLive = 0xB10Cu;
constexpr uint32_t kTagFree = 0xF4EEu;
constexpr uint32_t tag(uint32_t state, uint32_t cls) { return state << 16 | cls; }

struct BlockHeader {
    uint32_t tag;  // tag(kTagLive / kTagFree, class)
    uint32_t link; // live: the size asked for; free: gadd of the next free block of the class (0 ends)
};
constexpr uint32_t kBlockHeaderSize = sizeof(BlockHeader);

struct ClassState {
    uint32_t free_head; // gadd of the first free block, 0 when none
    uint32_t live;      // blocks handed out
    uint32_t free;      // blocks on the free list
};

struct SegmentHeader {
    std::atomic<uint32_t> magic; // written last when the segment is created
    uint32_t version;
    uint32_t layout_size; // sizeof(SegmentHeader) of the creator's build
    uint32_t key;
    uint32_t limit;             // largest size the segment may grow to
    uint32_t step;              // growth step
    std::atomic<uint32_t> size; // current size of the object
    uint32_t num_basic;
    // Allocator state, guarded by `mutex`.
    pthread_mutex_t mutex; // process-shared, robust
    uint32_t brk;          // first byte never handed out
    uint32_t blocks_in_use;
    uint32_t largest_class; // largest class served so far, kNoClass before the first block
    uint32_t reserved;
    uint64_t bytes_in_use; // live blocks with their headers
    ClassState classes[kNumClasses];
    std::atomic<uint32_t> basic[kMaxBasicBlocks];
};

constexpr uint32_t kDataStart = (sizeof(SegmentHeader) + 63u) & ~63u;
// The lowest gadd a block can have.
constexpr uint32_t kFirstGadd = kDataStart + kBlockHeaderSize;

static_assert(std::atomic<uint32_t>::is_always_lock_free, "segment words are shared between processes");
static_assert(sizeof(std::atomic<uint32_t>) == 4);

} // namespace plat::shm
