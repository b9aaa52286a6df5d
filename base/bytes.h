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
