// The update lock: a named mutex per program file, held by its existence.
#pragma once

#include "base/types.h"
#include "engine/settings.h"
#include "files/paths.h"

// The value in lower-case hexadecimal without leading zeros ("0" for 0).
struct HexText {
    char digits[16];
    u64 length;  // 1 to 16
};
HexText HexDigits(u64 value);

// The first 8 bytes of a digest read as a big-endian number.
u64 KeyFromDigest(const u8 digest[32]);

// "Local\" + programName + "Update-" + HexDigits(key), capped at 1099 units.
void BuildLockName(Text programName, u64 key, PathBuffer* out);

// The lock key of a program path: SHA-256 of the system's upper-cased path
// (UTF-16LE, no terminator), first 8 bytes big-endian.
u64 ProgramPathKey(const PathBuffer& program);

// True and a non-null handle when this process now holds the lock of the
// paths' program file; false and null otherwise, whatever the reason.
bool TakeUpdateLock(const UpdateSettings& settings, const UpdatePaths& paths, void** handle);

// Closes a held lock and nulls the handle; a null handle is left alone.
void ReleaseUpdateLock(void** handle);
