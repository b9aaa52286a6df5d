// Byte copies and comparisons that the core uses instead of a C runtime.
#include "base/bytes.h"

void CopyBytes(void* destination, const void* source, u64 n) {
    u8* to = static_cast<u8*>(destination);
    const u8* from = static_cast<const u8*>(source);
    if (to == from || n == 0) return;
    if (to < from) {
        for (u64 i = 0; i < n; ++i) to[i] = from[i];
    } else {
        for (u64 i = n; i > 0; --i) to[i - 1] = from[i - 1];
    }
}

void FillBytes(void* destination, u8 value, u64 n) {
    u8* to = static_cast<u8*>(destination);
    for (u64 i = 0; i < n; ++i) to[i] = value;
}

bool BytesEqual(const void* a, const void* b, u64 n) {
    const u8* x = static_cast<const u8*>(a);
    const u8* y = static_cast<const u8*>(b);
    for (u64 i = 0; i < n; ++i) {
        if (x[i] != y[i]) return false;
    }
    return true;
}

bool TextEquals(Text a, Text b) {
    return a.length == b.length && BytesEqual(a.bytes, b.bytes, a.length);
}

const char* PackedString(const char* packed, u64 index) {
    for (; index > 0; --index) {
        while (*packed != 0) ++packed;
        ++packed;
    }
    return packed;
}
