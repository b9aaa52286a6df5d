// Hashing an open file from its first byte and comparing the digest.
#include "verify/file_digest.h"

#include "base/bytes.h"
#include "files/file_system.h"
#include "verify/sha256.h"

namespace {
constexpr u64 ChunkBytes = 65536;
}

bool FileMatchesDigest(void* file, const u8 expected[32]) {
    Sha256Context context;
    FillBytes(&context, 0, sizeof(context));
    Sha256Init(&context);
    u8 chunk[ChunkBytes];
    u64 offset = 0;
    for (;;) {
        u64 got = 0;
        if (!ReadFileAt(file, offset, chunk, ChunkBytes, &got)) return false;
        if (got == 0) break;
        Sha256Update(&context, chunk, got);
        offset += got;
    }
    u8 digest[32];
    Sha256Final(&context, digest);
    for (u64 i = 0; i < 32; ++i) {
        if (digest[i] != expected[i]) return false;
    }
    return true;
}
