// Raw byte output on the standard handles.
#pragma once

#include "base/types.h"

constexpr u32 StdOutputHandle = static_cast<u32>(-11);
constexpr u32 StdErrorHandle = static_cast<u32>(-12);

// Writes the bytes unchanged, continuing partial writes; failures are silent.
void WriteStd(u32 handleNumber, const char* bytes, u64 n);
void WriteOut(const char* bytes, u64 n);
void WriteErr(const char* bytes, u64 n);
