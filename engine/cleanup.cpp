// The clean-up at start: deletes the siblings an earlier update left behind.
#include "base/bytes.h"
#include "engine/run.h"
#include "files/file_system.h"

void CleanUpLeftovers(const UpdateRun& run, bool keepStaged) {
    // Each deletion may fail (missing, in use, protected); that file simply
    // waits for a later start.
    for (u32 k = 0; k < OldNameCount; ++k) {
        PathBuffer old;
        OldName(run.paths.program, k, &old);
        RemoveFile(old);
    }
    RemoveFile(run.paths.download);
    if (keepStaged) return;
    RemoveFile(run.paths.staged);
    RemoveFile(run.paths.latest);
}

void StartupCleanup(const UpdateSettings& settings, ProgramPath path) {
    // Without memory for the record nothing is deleted; a later start tries again.
    Arena pages;
    UpdateRun* run = CommitRun(&pages);
    if (run != nullptr) {
        InitRunFor(settings, path, run);
        if (run->state == Initial) CleanUpLeftovers(*run, (settings.options & KeepStaged) != 0);
    }
    ArenaRelease(&pages);
}

void StartupCleanup(const UpdateSettings& settings, Text programPath) {
    StartupCleanup(settings, ProgramPath{programPath.length == 0 ? nullptr : programPath.bytes,
                                         programPath.length, 1});
}
