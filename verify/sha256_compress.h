// The SHA-256 block compression engines: count 64-byte blocks into hash,
// with the round constants k.
#pragma once

#include "base/types.h"

void Sha256CompressPortable(u32 hash[8], const u32 k[64], const u8* blocks, u64 count);

#if defined(__x86_64__)
// Only where the processor has the SHA extensions and SSE4.1.
void Sha256CompressExtensions(u32 hash[8], const u32 k[64], const u8* blocks, u64 count);
#endif
