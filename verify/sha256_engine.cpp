// The choice of the SHA-256 compression engine: the x86 SHA extensions where
// the processor has them, portable code elsewhere.
#include "verify/sha256.h"
#include "verify/sha256_compress.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

#if defined(__x86_64__)
bool ProcessorHasExtensions() {
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

}  // namespace

void Sha256Compress(u32 hash[8], const u32 k[64], const u8* blocks, u64 count) {
#if defined(__x86_64__)
    if (Sha256ActiveEngine() == Sha256Extensions) {
        Sha256CompressExtensions(hash, k, blocks, count);
        return;
    }
#endif
    Sha256CompressPortable(hash, k, blocks, count);
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
