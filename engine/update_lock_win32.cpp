// The update lock: a session-local named mutex per program file, held by its existence.
#include <windows.h>

#include "base/bytes.h"
#include "engine/update_lock.h"
#include "verify/sha256.h"

u64 ProgramPathKey(const PathBuffer& program) {
    PathBuffer upper;
    CopyBytes(&upper, &program, sizeof upper);
    u64 length = upper.length < PathCapacity ? upper.length : PathCapacity - 1;
    CharUpperBuffW(reinterpret_cast<LPWSTR>(upper.text), static_cast<DWORD>(length));

    u8 bytes[2 * PathCapacity];
    FillBytes(bytes, 0, sizeof bytes);
    for (u64 i = 0; i < length; ++i) {
        bytes[2 * i] = static_cast<u8>(upper.text[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<u8>(upper.text[i] >> 8);
    }
    u8 digest[32];
    Sha256(bytes, 2 * length, digest);
    return KeyFromDigest(digest);
}

bool TakeUpdateLock(const UpdateSettings& settings, const UpdatePaths& paths, void** handle) {
    *handle = nullptr;
    PathBuffer name;
    FillBytes(&name, 0, sizeof name);
    BuildLockName(settings.programName, ProgramPathKey(paths.program), &name);

    // Not owned and never waited on: whoever created the name holds the lock
    // until its handle is closed; anyone opening the existing name is refused.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, reinterpret_cast<LPCWSTR>(name.text));
    if (mutex == nullptr) return false;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return false;
    }
    *handle = mutex;
    return true;
}

void ReleaseUpdateLock(void** handle) {
    if (*handle == nullptr) return;
    CloseHandle(*handle);
    *handle = nullptr;
}
