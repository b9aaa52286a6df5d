// Byte copies and comparisons that the core uses instead of a C runtime.
#pragma once

#include "base/types.h"

// Copies n bytes from source to destination; the two may overlap.
void CopyBytes(void* destination, const void* source, u64 n);

// Sets n bytes at destination to value.
void FillBytes(void* destination, u8 value, u64 n);

// True when the n bytes at a and b are equal.
bool BytesEqual(const void* a, const void* b, u64 n);

// True when the two counted strings have the same length and bytes.
bool TextEquals(Text a, Text b);

// The 32-bit number stored big-endian in the four bytes at p.
inline u32 LoadBigEndian32(const u8* p) {
    return (static_cast<u32>(p[0]) << 24) | (static_cast<u32>(p[1]) << 16) |
           (static_cast<u32>(p[2]) << 8) | static_cast<u32>(p[3]);
}

// The index-th of the zero-ended strings stored one after another in packed
// (tables of texts kept as one string hold no pointers to relocate); the
// caller keeps index below their number.
const char* PackedString(const char* packed, u64 index);

// The number of strings in a packed string literal whose last string ends
// with the literal's own terminator.
template <u64 N>
constexpr u64 PackedCount(const char (&packed)[N]) {
    u64 n = 0;
    for (u64 i = 0; i < N; ++i) n += packed[i] == 0 ? 1 : 0;
    return n;
}
