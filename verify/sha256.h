// SHA-256 as FIPS 180-4 defines it.
#pragma once

#include "base/types.h"

struct Sha256Context {
    u32 hash[8];
    u32 roundConstants[64];
    u8 block[64];
    u64 buffered;  // bytes held in block, 0 to 63 between calls
    u64 total;     // message bytes taken in
};

void Sha256Init(Sha256Context* context);
void Sha256Update(Sha256Context* context, const void* bytes, u64 n);
// Pads and writes the 32-byte digest; the context is not used again.
void Sha256Final(Sha256Context* context, u8 digest[32]);
// The one-shot form.
void Sha256(const void* bytes, u64 n, u8 digest[32]);

// Compresses count whole 64-byte blocks into hash with the round constants k,
// on the engine that runs (verify/sha256_compress.cpp).
void Sha256Compress(u32 hash[8], const u32 k[64], const u8* blocks, u64 count);

// The block compression that runs: the x86 SHA extensions where the
// processor has them, the portable code everywhere else.
enum Sha256Engine : u32 {
    Sha256Automatic = 0,   // chosen from the processor at first use
    Sha256Portable = 1,
    Sha256Extensions = 2,
};
bool Sha256ExtensionsAvailable();
u32 Sha256ActiveEngine();
// For tests: forces an engine (the extensions only where available);
// Sha256Automatic restores the choice from the processor.
void Sha256UseEngine(u32 engine);
