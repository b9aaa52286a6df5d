// Hashing an open file from its first byte and comparing the digest.
#include <windows.h>

#include "base/bytes.h"
#include "verify/file_digest.h"
#include "verify/sha256.h"

namespace {
constexpr DWORD ChunkBytes = 65536;
}

bool FileMatchesDigest(void* file, const u8 expected[32]) {
    LARGE_INTEGER start;
    start.QuadPart = 0;
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;

    Sha256Context context;
    FillBytes(&context, 0, sizeof(context));
    Sha256Init(&context);
    u8 chunk[ChunkBytes];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, ChunkBytes, &got, nullptr)) return false;
        if (got == 0) break;
        Sha256Update(&context, chunk, got);
    }
    u8 digest[32];
    Sha256Final(&context, digest);
    for (u64 i = 0; i < 32; ++i) {
        if (digest[i] != expected[i]) return false;
    }
    return true;
}
