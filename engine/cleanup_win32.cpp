// The clean-up at start: deletes the siblings an earlier update left behind.
#include <windows.h>

#include "engine/run.h"

void CleanUpLeftovers(const UpdateRun& run) {
    // Each deletion may fail (missing, in use, protected); that file simply
    // waits for a later start.
    DeleteFileW(reinterpret_cast<LPCWSTR>(run.paths.old.text));
    DeleteFileW(reinterpret_cast<LPCWSTR>(run.paths.staged.text));
    DeleteFileW(reinterpret_cast<LPCWSTR>(run.paths.download.text));
    DeleteFileW(reinterpret_cast<LPCWSTR>(run.paths.latest.text));
}
