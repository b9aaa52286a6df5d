// The update lock: a session-local named mutex per program file, held by its existence.
#include "base/bytes.h"
#include "engine/update_lock.h"
#include "platform/system_win32.h"
#include "verify/sha256.h"

u64 ProgramPathKey(const PathBuffer& program) {
    PathBuffer upper;
    CopyBytes(&upper, &program, sizeof upper);
    u64 length = upper.length < PathCapacity ? upper.length : PathCapacity - 1;
    Sys(CharUpperBuffW)(reinterpret_cast<LPWSTR>(upper.text), static_cast<DWORD>(length));

    // The units' bytes little-endian, as Windows holds them.
    u8 digest[32];
    Sha256(reinterpret_cast<const u8*>(upper.text), 2 * length, digest);
    return KeyFromDigest(digest);
}

bool TakeUpdateLock(const UpdateSettings& settings, const UpdatePaths& paths, void** handle) {
    *handle = nullptr;
    // The key needs user32's case mapping; without user32 the lock is not
    // taken, the same outcome as a failed CreateMutexW.
    if (!SystemDllReady(User32Dll)) return false;
    PathBuffer name;
    FillBytes(&name, 0, sizeof name);
    BuildLockName(settings.programName, ProgramPathKey(paths.named), &name);

    // Not owned and never waited on: whoever created the name holds the lock
    // until its handle is closed; anyone opening the existing name is refused.
    HANDLE mutex = Sys(CreateMutexW)(nullptr, FALSE, reinterpret_cast<LPCWSTR>(name.text));
    if (mutex == nullptr) return false;
    if (Sys(GetLastError)() == ERROR_ALREADY_EXISTS) {
        Sys(CloseHandle)(mutex);
        return false;
    }
    *handle = mutex;
    return true;
}

void ReleaseUpdateLock(void** handle) {
    if (*handle == nullptr) return;
    Sys(CloseHandle)(*handle);
    *handle = nullptr;
}
