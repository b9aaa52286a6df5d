// SHA-256 (FIPS 180-4): block compression, streaming updates and padding.
#include "verify/sha256.h"

#include "base/bytes.h"

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

void Compress(Sha256Context* context, const u8* block) {
    u32 w[64];
    for (u32 t = 0; t < 16; ++t) w[t] = LoadBigEndian32(block + 4 * t);
    for (u32 t = 16; t < 64; ++t) {
        u32 s0 = Rotr(w[t - 15], 7) ^ Rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
        u32 s1 = Rotr(w[t - 2], 17) ^ Rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    u32 a = context->hash[0], b = context->hash[1], c = context->hash[2], d = context->hash[3];
    u32 e = context->hash[4], f = context->hash[5], g = context->hash[6], h = context->hash[7];
    for (u32 t = 0; t < 64; ++t) {
        u32 bigSigma1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
        u32 choose = (e & f) ^ (~e & g);
        u32 t1 = h + bigSigma1 + choose + context->roundConstants[t] + w[t];
        u32 bigSigma0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
        u32 majority = (a & b) ^ (a & c) ^ (b & c);
        u32 t2 = bigSigma0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    context->hash[0] += a;
    context->hash[1] += b;
    context->hash[2] += c;
    context->hash[3] += d;
    context->hash[4] += e;
    context->hash[5] += f;
    context->hash[6] += g;
    context->hash[7] += h;
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
            Compress(context, context->block);
            context->buffered = 0;
        }
    }
    // Whole blocks go straight from the input.
    while (n - taken >= 64) {
        Compress(context, input + taken);
        taken += 64;
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
        Compress(context, context->block);
        i = 0;
    }
    FillBytes(context->block + i, 0, 56 - i);
    u64 bits = context->total * 8;
    for (u32 k = 0; k < 8; ++k) context->block[56 + k] = static_cast<u8>(bits >> (56 - 8 * k));
    Compress(context, context->block);
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
