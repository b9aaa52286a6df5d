// The clean-up at start: deletes the siblings an earlier update left behind.
#include "engine/run.h"
#include "files/file_system.h"

void CleanUpLeftovers(const UpdateRun& run) {
    // Each deletion may fail (missing, in use, protected); that file simply
    // waits for a later start.
    for (u32 k = 0; k < OldNameCount; ++k) {
        PathBuffer old;
        OldName(run.paths.program, k, &old);
        RemoveFile(old);
    }
    RemoveFile(run.paths.staged);
    RemoveFile(run.paths.download);
    RemoveFile(run.paths.latest);
}
