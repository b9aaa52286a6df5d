// Hashing an open file from its first byte and comparing the digest.
#include "verify/file_digest.h"

#include "base/arena.h"
#include "base/bytes.h"
#include "files/file_system.h"
#include "verify/sha256.h"

namespace {
constexpr u64 ChunkBytes = 65536;
}

// The chunk lives in pages of its own, not on the caller's stack.
bool FileMatchesDigest(void* file, const u8 expected[32]) {
    Arena arena;
    if (!ArenaCreate(&arena, ChunkBytes)) return false;
    u8* chunk = arena.base;
    Sha256Context context;
    FillBytes(&context, 0, sizeof(context));
    Sha256Init(&context);
    u64 offset = 0;
    bool read = true;
    for (;;) {
        u64 got = 0;
        read = ReadFileAt(file, offset, chunk, ChunkBytes, &got);
        if (!read || got == 0) break;
        Sha256Update(&context, chunk, got);
        offset += got;
    }
    ArenaRelease(&arena);
    if (!read) return false;
    u8 digest[32];
    Sha256Final(&context, digest);
    for (u64 i = 0; i < 32; ++i) {
        if (digest[i] != expected[i]) return false;
    }
    return true;
}
