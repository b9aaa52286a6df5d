// The memory functions that GCC emits calls to, for the Windows program without C runtime.
#include "base/bytes.h"

extern "C" {

void* memset(void* destination, int value, size_t n) {
    FillBytes(destination, static_cast<u8>(value), n);
    return destination;
}

void* memcpy(void* destination, const void* source, size_t n) {
    CopyBytes(destination, source, n);
    return destination;
}

void* memmove(void* destination, const void* source, size_t n) {
    CopyBytes(destination, source, n);
    return destination;
}

int memcmp(const void* a, const void* b, size_t n) {
    const u8* x = static_cast<const u8*>(a);
    const u8* y = static_cast<const u8*>(b);
    for (size_t i = 0; i < n; ++i) {
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    }
    return 0;
}
}
