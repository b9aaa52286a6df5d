// The SHA-256 block compression engines (FIPS 180-4): portable code, and the
// x86 SHA extensions. Built for speed; the choice between them is made in
// sha256_engine.cpp, built for size.
#include "verify/sha256_compress.h"

#include "base/bytes.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

u32 Rotr(u32 x, u32 n) { return (x >> n) | (x << (32 - n)); }

void Swap(u32& x, u32& y) {
    u32 t = x;
    x = y;
    y = t;
}

u32 SmallSigma0(u32 x) { return Rotr(x, 7) ^ Rotr(x, 18) ^ (x >> 3); }
u32 SmallSigma1(u32 x) { return Rotr(x, 17) ^ Rotr(x, 19) ^ (x >> 10); }

// Round i of a step; the caller rotates the roles of the eight working variables
// instead of moving them. Maj(a, b, c) is b ^ ((a ^ b) & (b ^ c)), and this
// round's a ^ b is the next round's b ^ c, so bc carries it over.
#define FWSTACK_SHA256_ROUND(a, b, c, d, e, f, g, h, i)                                \
    do {                                                                             \
        u32 t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + (g ^ (e & (f ^ g))) + \
                 kt[i] + wt[i];                                                      \
        u32 ab = a ^ b;                                                              \
        d += t1;                                                                     \
        h = t1 + (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + (b ^ (ab & bc));         \
        bc = ab;                                                                     \
    } while (0)

}  // namespace

// Four rounds a step, one loop body, after which the working variables trade
// halves: the copies cost no time (the processor renames registers; measured
// against eight rounds a step, which took 320 bytes more). The schedule words
// a step computes are used two steps later, so that work fills the gaps of
// the rounds' dependency chain. In a file of its own: GCC allocates
// registers worse inlined into the engine switch (7% slower there).
void Sha256CompressPortable(u32 hash[8], const u32 k[64], const u8* blocks, u64 count) {
    for (; count > 0; --count, blocks += 64) {
        u32 w[64];
        for (u32 t = 0; t < 16; ++t) w[t] = LoadBigEndian32(blocks + 4 * t);
        u32 a = hash[0], b = hash[1], c = hash[2], d = hash[3];
        u32 e = hash[4], f = hash[5], g = hash[6], h = hash[7];
        u32 bc = b ^ c;
        const u32* kt = k;
#pragma GCC unroll 1
        for (u32* wt = w; wt < w + 64; wt += 4, kt += 4) {
            if (wt < w + 48) {
#pragma GCC unroll 1
                for (u32 j = 16; j < 20; ++j) {
                    wt[j] = SmallSigma1(wt[j - 2]) + wt[j - 7] + SmallSigma0(wt[j - 15]) + wt[j - 16];
                }
            }
            FWSTACK_SHA256_ROUND(a, b, c, d, e, f, g, h, 0);
            FWSTACK_SHA256_ROUND(h, a, b, c, d, e, f, g, 1);
            FWSTACK_SHA256_ROUND(g, h, a, b, c, d, e, f, 2);
            FWSTACK_SHA256_ROUND(f, g, h, a, b, c, d, e, 3);
            Swap(a, e);
            Swap(b, f);
            Swap(c, g);
            Swap(d, h);
        }
        hash[0] += a;
        hash[1] += b;
        hash[2] += c;
        hash[3] += d;
        hash[4] += e;
        hash[5] += f;
        hash[6] += g;
        hash[7] += h;
    }
}
#undef FWSTACK_SHA256_ROUND

#if defined(__x86_64__)
// The x86 SHA extensions: four rounds a step, two per sha256rnds2, on the
// state split as ABEF and CDGH; sha256msg1/msg2 extend the schedule.
__attribute__((target("sha,sse4.1"))) void Sha256CompressExtensions(u32 hash[8], const u32 k[64],
                                                                    const u8* blocks, u64 count) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i low = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(hash)), 0xB1);
    __m128i high = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(hash + 4)), 0x1B);
    __m128i abef = _mm_alignr_epi8(low, high, 8);
    __m128i cdgh = _mm_blend_epi16(high, low, 0xF0);

    for (; count > 0; --count, blocks += 64) {
        const __m128i abefBefore = abef;
        const __m128i cdghBefore = cdgh;
        __m128i m[4];
        // Step i: rounds 4i to 4i+3, on schedule register m[j], j = i mod 4, a
        // constant in each expansion so the four stay in registers. Steps 0
        // to 3 load the block, the others extend the schedule; what steps 13
        // to 15 compute past the 64 words is never used.
#define FWSTACK_SHA256_STEP(i, j)                                                              \
    do {                                                                                     \
        if ((i) < 4) {                                                                       \
            m[j] = _mm_shuffle_epi8(                                                         \
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * (j))), byteSwap); \
        }                                                                                    \
        __m128i message = _mm_add_epi32(                                                     \
            m[j], _mm_loadu_si128(reinterpret_cast<const __m128i*>(k + 4 * (i))));           \
        cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);                                   \
        if ((i) >= 3) {                                                                      \
            m[((j) + 1) & 3] = _mm_sha256msg2_epu32(                                         \
                _mm_add_epi32(m[((j) + 1) & 3], _mm_alignr_epi8(m[j], m[((j) + 3) & 3], 4)), \
                m[j]);                                                                       \
        }                                                                                    \
        abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(message, 0x0E));          \
        if ((i) >= 1) m[((j) + 3) & 3] = _mm_sha256msg1_epu32(m[((j) + 3) & 3], m[j]);       \
    } while (0)
        for (u32 i = 0; i < 16; i += 4) {
            FWSTACK_SHA256_STEP(i, 0);
            FWSTACK_SHA256_STEP(i + 1, 1);
            FWSTACK_SHA256_STEP(i + 2, 2);
            FWSTACK_SHA256_STEP(i + 3, 3);
        }
#undef FWSTACK_SHA256_STEP
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }

    __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(hash), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(hash + 4), _mm_alignr_epi8(dchg, feba, 8));
}
#endif
