// scan.cpp - the scan of a domain block's entries for one PID, the whole
// cost of a lookup in a large domain and of every peer step of insertion and
// removal.  The scan is linear and the first match wins; the variants below
// differ only in how many entries they compare per step.
//
// The portable variant runs everywhere (the PowerPC target uses it).  On
// x86-64 the SSE2 variant is always available; the AVX-512 or else the AVX2
// variant is chosen once, when the processor has it.
#include <cstddef>

#include "vorel_db.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VOREL_SCAN_X86 1
#endif

namespace vorel {

namespace {

// Four entries per branch: the slot scan every chain walk uses.
int scan_portable(const DomDbEntry *slots, uint32_t n, uint32_t pid) { return find_in_slots(slots, n, pid); }

#if defined(VOREL_SCAN_X86)

static_assert(sizeof(DomDbEntry) == 8 && offsetof(DomDbEntry, pid) == 0);

// The PID words of the entries sit at every other 32-bit word: a shuffle
// (0x88: words 0 and 2 of each operand) of two loads gathers four (SSE2) or
// eight (AVX2, within each 128-bit half) of them.  Sixteen or thirty-two
// entries are compared per branch; the window that holds a match is
// compared again, in order, to find the first.

// True when one of the sixteen entries from `at` holds the PID.
__attribute__((target("sse2"))) inline bool any16(const float *w, __m128i key)
{
    const __m128i p0 = _mm_castps_si128(_mm_shuffle_ps(_mm_loadu_ps(w), _mm_loadu_ps(w + 4), 0x88));
    const __m128i p1 = _mm_castps_si128(_mm_shuffle_ps(_mm_loadu_ps(w + 8), _mm_loadu_ps(w + 12), 0x88));
    const __m128i p2 = _mm_castps_si128(_mm_shuffle_ps(_mm_loadu_ps(w + 16), _mm_loadu_ps(w + 20), 0x88));
    const __m128i p3 = _mm_castps_si128(_mm_shuffle_ps(_mm_loadu_ps(w + 24), _mm_loadu_ps(w + 28), 0x88));
    const __m128i a = _mm_or_si128(_mm_cmpeq_epi32(p0, key), _mm_cmpeq_epi32(p1, key));
    const __m128i b = _mm_or_si128(_mm_cmpeq_epi32(p2, key), _mm_cmpeq_epi32(p3, key));
    return _mm_movemask_epi8(_mm_or_si128(a, b)) != 0;
}

// The first of the sixteen entries from `p` (words) that holds the PID, or
// -1: two entries per compare, the PID words being the even lanes.
__attribute__((target("sse2"))) inline int first16(const int *p, __m128i key)
{
    for (int k = 0; k < 8; ++k) {
        const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 4 * k));
        const int m = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(words, key))) & 0x5;
        if (m != 0)
            return 2 * k + __builtin_ctz(static_cast<unsigned>(m)) / 2;
    }
    return -1;
}

// Windows of sixteen entries; the last window may overlap the one before
// (its first entries are known not to match), so that no entry is left to
// the scalar loop unless the block holds fewer than sixteen.
__attribute__((target("sse2"))) int scan_sse2(const DomDbEntry *slots, uint32_t n, uint32_t pid)
{
    if (n < 16)
        return scan_portable(slots, n, pid);
    const __m128i key = _mm_set1_epi32(static_cast<int>(pid));
    const auto *w = reinterpret_cast<const float *>(slots);
    const auto *p = reinterpret_cast<const int *>(slots);
    uint32_t i = 0;
    for (; i + 16 <= n; i += 16)
        if (any16(w + 2 * i, key))
            return static_cast<int>(i) + first16(p + 2 * i, key);
    // The overlapping last window: its entries before i hold no match.
    if (i == n || !any16(w + 2 * (n - 16), key))
        return -1;
    return static_cast<int>(n - 16) + first16(p + 2 * (n - 16), key);
}

__attribute__((target("avx2"))) inline bool any32(const float *w, __m256i key)
{
    const __m256i p0 = _mm256_castps_si256(_mm256_shuffle_ps(_mm256_loadu_ps(w), _mm256_loadu_ps(w + 8), 0x88));
    const __m256i p1 = _mm256_castps_si256(_mm256_shuffle_ps(_mm256_loadu_ps(w + 16), _mm256_loadu_ps(w + 24), 0x88));
    const __m256i p2 = _mm256_castps_si256(_mm256_shuffle_ps(_mm256_loadu_ps(w + 32), _mm256_loadu_ps(w + 40), 0x88));
    const __m256i p3 = _mm256_castps_si256(_mm256_shuffle_ps(_mm256_loadu_ps(w + 48), _mm256_loadu_ps(w + 56), 0x88));
    const __m256i a = _mm256_or_si256(_mm256_cmpeq_epi32(p0, key), _mm256_cmpeq_epi32(p1, key));
    const __m256i b = _mm256_or_si256(_mm256_cmpeq_epi32(p2, key), _mm256_cmpeq_epi32(p3, key));
    return _mm256_movemask_epi8(_mm256_or_si256(a, b)) != 0;
}

__attribute__((target("avx2"))) inline int first32(const int *p, __m256i key)
{
    for (int k = 0; k < 8; ++k) {
        const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 8 * k));
        const int m = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(words, key))) & 0x55;
        if (m != 0)
            return 4 * k + __builtin_ctz(static_cast<unsigned>(m)) / 2;
    }
    return -1;
}

// As scan_sse2, with windows of thirty-two entries.
__attribute__((target("avx2"))) int scan_avx2(const DomDbEntry *slots, uint32_t n, uint32_t pid)
{
    if (n < 32)
        return scan_sse2(slots, n, pid);
    const __m256i key = _mm256_set1_epi32(static_cast<int>(pid));
    const auto *w = reinterpret_cast<const float *>(slots);
    const auto *p = reinterpret_cast<const int *>(slots);
    uint32_t i = 0;
    for (; i + 32 <= n; i += 32)
        if (any32(w + 2 * i, key))
            return static_cast<int>(i) + first32(p + 2 * i, key);
    if (i == n || !any32(w + 2 * (n - 32), key))
        return -1;
    return static_cast<int>(n - 32) + first32(p + 2 * (n - 32), key);
}

// True when one of the sixty-four entries from `p` holds the PID: eight
// compares of sixteen words each, of which only the even ones (the PIDs)
// count.
__attribute__((target("avx512f,avx512bw"))) inline bool any64(const int *p, __m512i key)
{
    constexpr __mmask16 kPidWords = 0x5555;
    const __mmask16 a = _mm512_mask_cmpeq_epi32_mask(kPidWords, _mm512_loadu_si512(p), key) |
                        _mm512_mask_cmpeq_epi32_mask(kPidWords, _mm512_loadu_si512(p + 16), key);
    const __mmask16 b = _mm512_mask_cmpeq_epi32_mask(kPidWords, _mm512_loadu_si512(p + 32), key) |
                        _mm512_mask_cmpeq_epi32_mask(kPidWords, _mm512_loadu_si512(p + 48), key);
    const __mmask16 c = _mm512_mask_cmpeq_epi32_mask(kPidWords, _mm512_loadu_si512(p + 64), key) |
                        _mm512_mask_cmpeq_epi32_mask(kPidWords, _mm512_loadu_si512(p + 80), key);
    const __mmask16 d = _mm512_mask_cmpeq_epi32_mask(kPidWords, _mm512_loadu_si512(p + 96), key) |
                        _mm512_mask_cmpeq_epi32_mask(kPidWords, _mm512_loadu_si512(p + 112), key);
    return (a | b | c | d) != 0;
}

__attribute__((target("avx512f,avx512bw"))) inline int first64(const int *p, __m512i key)
{
    for (int k = 0; k < 8; ++k) {
        const __mmask16 m = _mm512_mask_cmpeq_epi32_mask(0x5555, _mm512_loadu_si512(p + 16 * k), key);
        if (m != 0)
            return 8 * k + __builtin_ctz(static_cast<unsigned>(m)) / 2;
    }
    return -1;
}

// As scan_avx2, with windows of sixty-four entries.
__attribute__((target("avx512f,avx512bw"))) int scan_avx512(const DomDbEntry *slots, uint32_t n, uint32_t pid)
{
    if (n < 64)
        return scan_avx2(slots, n, pid);
    const __m512i key = _mm512_set1_epi32(static_cast<int>(pid));
    const auto *p = reinterpret_cast<const int *>(slots);
    uint32_t i = 0;
    for (; i + 64 <= n; i += 64)
        if (any64(p + 2 * i, key))
            return static_cast<int>(i) + first64(p + 2 * i, key);
    if (i == n || !any64(p + 2 * (n - 64), key))
        return -1;
    return static_cast<int>(n - 64) + first64(p + 2 * (n - 64), key);
}

#endif

constexpr ScanVariant kVariants[] = {
    {"portable", scan_portable, true},
#if defined(VOREL_SCAN_X86)
    {"sse2", scan_sse2, true},
    {"avx2", scan_avx2, false}, // usable: decided at run time
    {"avx512", scan_avx512, false},
#endif
};

ScanFn choose()
{
#if defined(VOREL_SCAN_X86)
    __builtin_cpu_init(); // this runs among the library's static initialisers
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"))
        return scan_avx512;
    if (__builtin_cpu_supports("avx2"))
        return scan_avx2;
    return scan_sse2;
#else
    return scan_portable;
#endif
}

const ScanFn g_scan = choose();

} // namespace

std::span<const ScanVariant> scan_variants() { return kVariants; }

bool scan_variant_usable(const ScanVariant &v)
{
#if defined(VOREL_SCAN_X86)
    if (v.fn == scan_avx2)
        return __builtin_cpu_supports("avx2");
    if (v.fn == scan_avx512)
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#endif
    return v.always;
}

int scan_domain_block(const DomDbEntry *slots, uint32_t n, uint32_t pid) { return g_scan(slots, n, pid); }

} // namespace vorel
