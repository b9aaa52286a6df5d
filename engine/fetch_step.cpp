// The fetch step: download, verify and stage the announced release under the lock.
#include "base/bytes.h"
#include "engine/file_work.h"
#include "engine/verify_file.h"
#include "engine/run.h"
#include "engine/update_lock.h"
#include "engine/verdict.h"
#include "net/http_get.h"

namespace {

// Runs with the lock held. Returns 0 or an ErrorCode; staged false with 0 is
// the read-only outcome. The download handle is closed on every path.
u32 DownloadAndStage(const UpdateSettings& settings, UpdateRun* run, bool* staged) {
    *staged = false;
    FillBytes(&run->transfer, 0, sizeof run->transfer);
    UpdatePaths* paths = &run->paths;

    u32 created = CreateDownloadFile(paths);
    if (created == AccessDenied) return NoError;
    if (created != Created) return DownloadNotSaved;

    u64 cap = settings.maxDownloadSize == 0 ? DefaultMaxDownloadSize : settings.maxDownloadSize;
    const char* url = reinterpret_cast<const char*>(run->document) + run->info.url.start;
    u64 urlLength = run->info.url.end - run->info.url.start;
    bool got = HttpGetToFile(settings, url, urlLength, *paths, cap, &run->transfer);
    run->releaseSize = run->transfer.bytes;
    if (!got || run->transfer.stage != 0 || run->transfer.status != 200) {
        DiscardDownload(paths);
        return run->transfer.stage == static_cast<u32>(HttpStage::Cancelled) ? Cancelled
                                                                               : DownloadFailed;
    }

    u32 verdict = VerifyFile(settings, paths->download, paths->downloadHandle, run->info.sha256,
                             run->info, run->installed, &paths->verify);
    if (verdict != Ok) {
        DiscardDownload(paths);
        return ErrorCodeForVerdict(verdict);
    }

    if (!StageDownload(paths)) {
        DiscardDownload(paths);
        return StageFailed;
    }
    *staged = true;
    return NoError;
}
}  // namespace

void FetchStep(const UpdateSettings& settings, UpdateRun* run) {
    if (run->state != Available) {
        FailRun(run, StepsOutOfOrder);
        return;
    }
    void* lock = nullptr;
    if (!TakeUpdateLock(settings, run->paths, &lock)) {
        FailRun(run, AnotherUpdateRunning);
        return;
    }
    bool staged = false;
    u32 code = DownloadAndStage(settings, run, &staged);
    ReleaseUpdateLock(&lock);

    if (code != NoError) {
        FailRun(run, code);
        return;
    }
    if (!staged) {
        run->state = AvailableReadOnly;
        run->error = FolderReadOnly;
        return;
    }
    // Written after the lock is given back; the staged file stays if it fails.
    if (!WriteUpdateRecord(*run)) {
        FailRun(run, UpdateRecordUnwritten);
        return;
    }
    run->state = Staged;
    run->error = NoError;
}
