// SHA-256 (FIPS 180-4): block compression, streaming updates and padding.
#include "verify/sha256.h"

#include "base/bytes.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

// The initial hash value, eight words stored as big-endian bytes.
constexpr u8 InitialHashBytes[32] = {
    0x6a, 0x09, 0xe6, 0x67, 0xbb, 0x67, 0xae, 0x85, 0x3c, 0x6e, 0xf3, 0x72, 0xa5, 0x4f, 0xf5, 0x3a,
    0x51, 0x0e, 0x52, 0x7f, 0x9b, 0x05, 0x68, 0x8c, 0x1f, 0x83, 0xd9, 0xab, 0x5b, 0xe0, 0xcd, 0x19,
};

// The 64 round constants, stored as big-endian bytes.
constexpr u8 RoundConstantBytes[256] = {
    0x42, 0x8a, 0x2f, 0x98, 0x71, 0x37, 0x44, 0x91, 0xb5, 0xc0, 0xfb, 0xcf, 0xe9, 0xb5, 0xdb, 0xa5,
    0x39, 0x56, 0xc2, 0x5b, 0x59, 0xf1, 0x11, 0xf1, 0x92, 0x3f, 0x82, 0xa4, 0xab, 0x1c, 0x5e, 0xd5,
    0xd8, 0x07, 0xaa, 0x98, 0x12, 0x83, 0x5b, 0x01, 0x24, 0x31, 0x85, 0xbe, 0x55, 0x0c, 0x7d, 0xc3,
    0x72, 0xbe, 0x5d, 0x74, 0x80, 0xde, 0xb1, 0xfe, 0x9b, 0xdc, 0x06, 0xa7, 0xc1, 0x9b, 0xf1, 0x74,
    0xe4, 0x9b, 0x69, 0xc1, 0xef, 0xbe, 0x47, 0x86, 0x0f, 0xc1, 0x9d, 0xc6, 0x24, 0x0c, 0xa1, 0xcc,
    0x2d, 0xe9, 0x2c, 0x6f, 0x4a, 0x74, 0x84, 0xaa, 0x5c, 0xb0, 0xa9, 0xdc, 0x76, 0xf9, 0x88, 0xda,
    0x98, 0x3e, 0x51, 0x52, 0xa8, 0x31, 0xc6, 0x6d, 0xb0, 0x03, 0x27, 0xc8, 0xbf, 0x59, 0x7f, 0xc7,
    0xc6, 0xe0, 0x0b, 0xf3, 0xd5, 0xa7, 0x91, 0x47, 0x06, 0xca, 0x63, 0x51, 0x14, 0x29, 0x29, 0x67,
    0x27, 0xb7, 0x0a, 0x85, 0x2e, 0x1b, 0x21, 0x38, 0x4d, 0x2c, 0x6d, 0xfc, 0x53, 0x38, 0x0d, 0x13,
    0x65, 0x0a, 0x73, 0x54, 0x76, 0x6a, 0x0a, 0xbb, 0x81, 0xc2, 0xc9, 0x2e, 0x92, 0x72, 0x2c, 0x85,
    0xa2, 0xbf, 0xe8, 0xa1, 0xa8, 0x1a, 0x66, 0x4b, 0xc2, 0x4b, 0x8b, 0x70, 0xc7, 0x6c, 0x51, 0xa3,
    0xd1, 0x92, 0xe8, 0x19, 0xd6, 0x99, 0x06, 0x24, 0xf4, 0x0e, 0x35, 0x85, 0x10, 0x6a, 0xa0, 0x70,
    0x19, 0xa4, 0xc1, 0x16, 0x1e, 0x37, 0x6c, 0x08, 0x27, 0x48, 0x77, 0x4c, 0x34, 0xb0, 0xbc, 0xb5,
    0x39, 0x1c, 0x0c, 0xb3, 0x4e, 0xd8, 0xaa, 0x4a, 0x5b, 0x9c, 0xca, 0x4f, 0x68, 0x2e, 0x6f, 0xf3,
    0x74, 0x8f, 0x82, 0xee, 0x78, 0xa5, 0x63, 0x6f, 0x84, 0xc8, 0x78, 0x14, 0x8c, 0xc7, 0x02, 0x08,
    0x90, 0xbe, 0xff, 0xfa, 0xa4, 0x50, 0x6c, 0xeb, 0xbe, 0xf9, 0xa3, 0xf7, 0xc6, 0x71, 0x78, 0xf2,
};

u32 LoadBigEndian32(const u8* p) {
    return (static_cast<u32>(p[0]) << 24) | (static_cast<u32>(p[1]) << 16) |
           (static_cast<u32>(p[2]) << 8) | static_cast<u32>(p[3]);
}

void StoreBigEndian32(u8* p, u32 value) {
    p[0] = static_cast<u8>(value >> 24);
    p[1] = static_cast<u8>(value >> 16);
    p[2] = static_cast<u8>(value >> 8);
    p[3] = static_cast<u8>(value);
}

u32 Rotr(u32 x, u32 n) { return (x >> n) | (x << (32 - n)); }

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

// Eight rounds a step, one loop body: small enough for the program's size,
// and the schedule words a step computes are used two steps later, so that
// work fills the gaps of the rounds' dependency chain. Not inlined: GCC
// allocates registers worse inside the engine switch (7% slower there).
__attribute__((noinline)) void CompressPortable(u32 hash[8], const u32 k[64], const u8* blocks, u64 count) {
    for (; count > 0; --count, blocks += 64) {
        u32 w[64];
        for (u32 t = 0; t < 16; ++t) w[t] = LoadBigEndian32(blocks + 4 * t);
        u32 a = hash[0], b = hash[1], c = hash[2], d = hash[3];
        u32 e = hash[4], f = hash[5], g = hash[6], h = hash[7];
        u32 bc = b ^ c;
        const u32* kt = k;
        for (u32* wt = w; wt < w + 64; wt += 8, kt += 8) {
            if (wt < w + 48) {
#pragma GCC unroll 8
                for (u32 j = 16; j < 24; ++j) {
                    wt[j] = SmallSigma1(wt[j - 2]) + wt[j - 7] + SmallSigma0(wt[j - 15]) + wt[j - 16];
                }
            }
            FWSTACK_SHA256_ROUND(a, b, c, d, e, f, g, h, 0);
            FWSTACK_SHA256_ROUND(h, a, b, c, d, e, f, g, 1);
            FWSTACK_SHA256_ROUND(g, h, a, b, c, d, e, f, 2);
            FWSTACK_SHA256_ROUND(f, g, h, a, b, c, d, e, 3);
            FWSTACK_SHA256_ROUND(e, f, g, h, a, b, c, d, 4);
            FWSTACK_SHA256_ROUND(d, e, f, g, h, a, b, c, 5);
            FWSTACK_SHA256_ROUND(c, d, e, f, g, h, a, b, 6);
            FWSTACK_SHA256_ROUND(b, c, d, e, f, g, h, a, 7);
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
__attribute__((target("sha,sse4.1"))) void CompressExtensions(u32 hash[8], const u32 k[64],
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
        // constant in each expansion so the four stay in registers. Steps 0 to 3
        // load the block; from step 4 on every step extends the schedule, and
        // what steps 13 to 15 compute past the 64 words is never used.
#define FWSTACK_SHA256_STEP(i, j, extend)                                                     \
    do {                                                                                     \
        __m128i message = _mm_add_epi32(                                                     \
            m[j], _mm_loadu_si128(reinterpret_cast<const __m128i*>(k + 4 * (i))));           \
        cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);                                   \
        if ((extend) && (i) >= 3) {                                                          \
            m[((j) + 1) & 3] = _mm_sha256msg2_epu32(                                         \
                _mm_add_epi32(m[((j) + 1) & 3], _mm_alignr_epi8(m[j], m[((j) + 3) & 3], 4)), \
                m[j]);                                                                       \
        }                                                                                    \
        abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(message, 0x0E));          \
        if ((extend) && (i) >= 1) m[((j) + 3) & 3] = _mm_sha256msg1_epu32(m[((j) + 3) & 3], m[j]); \
    } while (0)
        for (u32 j = 0; j < 4; ++j) {
            m[j] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * j)),
                                    byteSwap);
        }
        FWSTACK_SHA256_STEP(0, 0, false);
        FWSTACK_SHA256_STEP(1, 1, true);
        FWSTACK_SHA256_STEP(2, 2, true);
        FWSTACK_SHA256_STEP(3, 3, true);
        for (u32 i = 4; i < 16; i += 4) {
            FWSTACK_SHA256_STEP(i, 0, true);
            FWSTACK_SHA256_STEP(i + 1, 1, true);
            FWSTACK_SHA256_STEP(i + 2, 2, true);
            FWSTACK_SHA256_STEP(i + 3, 3, true);
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

// Asked once a process: out of line, so its callers stay small.
__attribute__((noinline)) bool ProcessorHasExtensions() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || (c & bit_SSE4_1) == 0) return false;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return (b & bit_SHA) != 0;
}
#else
bool ProcessorHasExtensions() { return false; }
#endif

// Zero until the first use: nothing runs before the entry point.
u32 g_engine = Sha256Automatic;

void Compress(Sha256Context* context, const u8* blocks, u64 count) {
#if defined(__x86_64__)
    if (Sha256ActiveEngine() == Sha256Extensions) {
        CompressExtensions(context->hash, context->roundConstants, blocks, count);
        return;
    }
#endif
    CompressPortable(context->hash, context->roundConstants, blocks, count);
}

}  // namespace

void Sha256Init(Sha256Context* context) {
    context->buffered = 0;
    context->total = 0;
    for (u32 i = 0; i < 8; ++i) context->hash[i] = LoadBigEndian32(InitialHashBytes + 4 * i);
    for (u32 i = 0; i < 64; ++i) {
        context->roundConstants[i] = LoadBigEndian32(RoundConstantBytes + 4 * i);
    }
    FillBytes(context->block, 0, sizeof context->block);
}

void Sha256Update(Sha256Context* context, const void* bytes, u64 n) {
    const u8* input = static_cast<const u8*>(bytes);
    context->total += n;
    u64 taken = 0;
    if (context->buffered != 0) {
        u64 room = 64 - context->buffered;
        taken = n < room ? n : room;
        CopyBytes(context->block + context->buffered, input, taken);
        context->buffered += taken;
        if (context->buffered == 64) {
            Compress(context, context->block, 1);
            context->buffered = 0;
        }
    }
    // Whole blocks go straight from the input, all in one call.
    u64 whole = (n - taken) / 64;
    if (whole > 0) {
        Compress(context, input + taken, whole);
        taken += 64 * whole;
    }
    u64 rest = n - taken;
    CopyBytes(context->block + context->buffered, input + taken, rest);
    context->buffered += rest;
}

void Sha256Final(Sha256Context* context, u8 digest[32]) {
    u64 i = context->buffered;
    context->block[i++] = 0x80;
    if (i > 56) {
        FillBytes(context->block + i, 0, 64 - i);
        Compress(context, context->block, 1);
        i = 0;
    }
    FillBytes(context->block + i, 0, 56 - i);
    u64 bits = context->total * 8;
    for (u32 k = 0; k < 8; ++k) context->block[56 + k] = static_cast<u8>(bits >> (56 - 8 * k));
    Compress(context, context->block, 1);
    context->buffered = 0;
    for (u32 k = 0; k < 8; ++k) StoreBigEndian32(digest + 4 * k, context->hash[k]);
}

void Sha256(const void* bytes, u64 n, u8 digest[32]) {
    Sha256Context context;
    FillBytes(&context, 0, sizeof context);
    Sha256Init(&context);
    Sha256Update(&context, bytes, n);
    Sha256Final(&context, digest);
}

bool Sha256ExtensionsAvailable() { return ProcessorHasExtensions(); }

u32 Sha256ActiveEngine() {
    if (g_engine == Sha256Automatic) {
        g_engine = ProcessorHasExtensions() ? Sha256Extensions : Sha256Portable;
    }
    return g_engine;
}

void Sha256UseEngine(u32 engine) {
    bool usable = engine == Sha256Portable || (engine == Sha256Extensions && ProcessorHasExtensions());
    g_engine = usable ? engine : Sha256Automatic;
}
