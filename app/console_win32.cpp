// Raw byte output on the standard handles with WriteFile.
#include "app/console.h"
#include "platform/system_win32.h"

void WriteStd(u32 handleNumber, const char* bytes, u64 n) {
    HANDLE handle = Sys(GetStdHandle)(static_cast<DWORD>(handleNumber));
    u64 done = 0;
    while (done < n) {
        u64 rest = n - done;
        DWORD chunk = static_cast<DWORD>(rest > 0x40000000u ? 0x40000000u : rest);
        DWORD written = 0;
        if (!Sys(WriteFile)(handle, bytes + done, chunk, &written, nullptr) || written == 0) return;
        done += written;
    }
}
