// The clean-up at start: deletes the siblings an earlier update left behind.
#include "engine/run.h"
#include "files/file_system.h"

void CleanUpLeftovers(const UpdateRun& run) {
    // Each deletion may fail (missing, in use, protected); that file simply
    // waits for a later start.
    RemoveFile(run.paths.old);
    RemoveFile(run.paths.staged);
    RemoveFile(run.paths.download);
    RemoveFile(run.paths.latest);
}
