// Comparing an open file's SHA-256 digest with an expected one.
#pragma once

#include "base/types.h"

// True when the whole file, read from its first byte through the handle
// (read access), has exactly the expected digest; a read error is false.
bool FileMatchesDigest(void* file, const u8 expected[32]);
