// Lower-case hexadecimal text of bytes.
#pragma once

#include "base/types.h"

// Writes the two lower-case digits of each of the count bytes to out, which
// holds 2 * count chars; nothing is terminated.
void EncodeHex(const u8* bytes, u64 count, char* out);
