// The swap step: verify the staged release again and put it in the program's place.
#include "engine/file_work.h"
#include "engine/run.h"
#include "engine/update_lock.h"
#include "engine/verdict.h"

void SwapStep(const UpdateSettings& settings, UpdateRun* run) {
    if (run->state != Staged) {
        FailRun(run, StepsOutOfOrder);
        return;
    }
    void* lock = nullptr;
    if (!TakeUpdateLock(settings, run->paths, &lock)) {
        FailRun(run, AnotherUpdateRunning);
        return;
    }
    u32 verdict = SwapInStaged(settings, &run->paths, run->info.sha256, run->info, run->installed);
    ReleaseUpdateLock(&lock);

    u32 code = ErrorCodeForVerdict(verdict);
    if (code != NoError) {
        FailRun(run, code);
        return;
    }
    run->state = Updated;
}
