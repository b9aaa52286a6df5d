// The file work of the fetch and swap steps: the download file, its staging and the swap.
#include "engine/file_work.h"

#include "engine/verdict.h"
#include "engine/verify_file.h"
#include "files/file_system.h"
#include "verify/file_digest.h"

namespace {
constexpr u32 ErrorAccessDenied = 5;
// Moves back of the program file after a failed swap: until one succeeds
// there is no program at its path, so a refusal that passes (a scanner
// holding the file a moment) must not cost the user the program.
// NOTE: the one place the engine waits. Such a hold lasts a fraction of a
// second, which moves made back to back cannot outlast, so the attempts are
// spread over about a second.
constexpr u32 RollBackAttempts = 5;
constexpr u32 RollBackPause = 250;  // milliseconds between attempts

// True when the file at path has exactly this SHA-256 digest.
bool FileHasDigest(const PathBuffer& path, const u8 digest[32]) {
    OpenedFile opened = OpenFile(path, OpenForReading);
    if (opened.handle == nullptr) return false;
    bool same = FileMatchesDigest(opened.handle, digest);
    CloseFile(opened.handle);
    return same;
}
}

u32 CreateDownloadFile(UpdatePaths* paths) {
    paths->downloadHandle = nullptr;
    OpenedFile opened = OpenFile(paths->download, CreateForDownload);
    if (opened.handle != nullptr) {
        paths->downloadHandle = opened.handle;
        return Created;
    }
    // NOTE: a directory standing at the path is refused with access denied
    // too, on Windows and under Wine, so it also reads as a read-only folder.
    return opened.error == ErrorAccessDenied ? AccessDenied : CreateFailed;
}

bool StageDownload(UpdatePaths* paths) {
    void* file = paths->downloadHandle;
    paths->downloadHandle = nullptr;
    if (!IsValidHandle(file)) return false;
    // The body must be on the disk before it takes the staged name: after a
    // power cut the swap must not find a .new whose data never got written.
    bool staged = FlushFile(file) && RenameOpenFile(file, paths->staged);
    CloseFile(file);
    return staged;
}

void DiscardDownload(UpdatePaths* paths) {
    CloseFile(paths->downloadHandle);
    paths->downloadHandle = nullptr;
    RemoveFile(paths->download);
}

bool WriteUpdateRecord(const UpdateRun& run) {
    OpenedFile opened = OpenFile(run.paths.latest, CreateForRecord);
    if (opened.handle == nullptr) return false;
    u64 count = run.documentLength <= DocumentCapacity ? run.documentLength : DocumentCapacity;
    bool ok = WriteToFile(opened.handle, run.document, count);
    CloseFile(opened.handle);
    if (!ok) RemoveFile(run.paths.latest);
    return ok;
}

u32 SwapInStaged(const UpdateSettings& settings, UpdatePaths* paths, const u8 digest[32],
                 const UpdateInfo& info, Version installed) {
    // DELETE access lets the verified file itself be renamed through this
    // handle; others may read it but not change, delete or rename it meanwhile.
    // A start of the program deleting leftovers may hold the staged file
    // this very moment: a moment later it is gone (the staged update is
    // missing) or free again.
    OpenedFile staged;
    for (u32 attempt = 0;; ++attempt) {
        staged = OpenFile(paths->staged, OpenForSwap);
        if (staged.handle != nullptr) break;
        u32 verdict = OpenFailureVerdict(staged.error);
        if (verdict != NotReplaced || attempt > 0) return verdict;
        Pause(RollBackPause);
    }

    u32 verdict =
        VerifyFile(settings, paths->staged, staged.handle, digest, info, installed, &paths->verify);
    if (verdict != Ok) {
        CloseFile(staged.handle);
        RemoveFile(paths->staged);
        return verdict;
    }

    // The program file is moved aside, and back if need be, through one
    // handle held until the swap ends: meanwhile no one (a clean-up at
    // another start) can delete the moved file, the one copy of the program.
    // An older instance of the program may still run from ".old" (an update
    // it did itself, hours ago), or an instance starting meanwhile may be
    // deleting it: the program goes to the first name it can take.
    OpenedFile program = OpenFile(paths->program, OpenForMoving);
    bool moved = false;
    for (u32 k = 0; !moved && k < OldNameCount; ++k) {
        OldName(paths->program, k, &paths->old);
        moved = RemoveFile(paths->old) && program.handle != nullptr &&
                MoveFileReplacing(program.handle, paths->old);
    }
    // Another update may have put this very release in place since this
    // one's check, and the program file cannot be moved aside. Nothing is
    // left to swap: the staged copy goes and the update is done.
    const bool inPlace = !moved && FileHasDigest(paths->program, digest);
    bool swapped = inPlace || (moved && RenameOpenFile(staged.handle, paths->program));
    CloseFile(staged.handle);
    if (inPlace) RemoveFile(paths->staged);
    for (u32 attempt = 0; moved && !swapped && attempt < RollBackAttempts; ++attempt) {
        if (attempt > 0) Pause(RollBackPause);
        if (MoveFileReplacing(program.handle, paths->program)) break;
    }
    CloseFile(program.handle);
    return swapped ? Ok : NotReplaced;
}
