// The run record's initialisation and the driver that takes it through the steps.
#include "engine/run.h"

#include "base/bytes.h"
#include "files/file_system.h"
#include "files/installed_version.h"

void FailRun(UpdateRun* run, u32 code) {
    run->state = Failed;
    run->error = code;
}

bool ResolveInstalledVersion(const UpdateSettings& settings, const PathBuffer& program,
                             Version* out) {
    *out = FreshVersion();
    if (settings.versionText.length == 0) return ReadInstalledVersion(program, out);
    return ParseVersion(settings.versionText.bytes, settings.versionText.length, out);
}

void InitRun(const UpdateSettings& settings, const UpdatePaths& paths, bool pathsFound,
             UpdateRun* run) {
    run->state = Initial;
    run->error = NoError;
    run->installed = FreshVersion();
    run->available = FreshVersion();
    run->info = FreshUpdateInfo();
    run->documentLength = 0;
    FillBytes(&run->transfer, 0, sizeof run->transfer);
    run->releaseSize = 0;
    CopyBytes(&run->paths, &paths, sizeof paths);

    // Resolved first but reported last: invalid settings hide a missing
    // program file, which hides an unknown version.
    Version installed = FreshVersion();
    bool installedKnown = ResolveInstalledVersion(settings, paths.program, &installed);
    run->installed = installed;

    if (!ValidateSettings(settings)) {
        FailRun(run, SettingsInvalid);
    } else if (!pathsFound) {
        FailRun(run, ProgramFileNotFound);
    } else if (!installedKnown) {
        FailRun(run, InstalledVersionUnknown);
    }
}

void InitRunFor(const UpdateSettings& settings, ProgramPath path, UpdateRun* run) {
    UpdatePaths paths;
    FillBytes(&paths, 0, sizeof paths);
    bool found = path.units == nullptr
                     ? PathsForRunningProgram(&paths)
                     : PathsForProgramFile(path.units, path.length, path.unitBytes, &paths);
    InitRun(settings, paths, found, run);
}

void InitRunForRunningProgram(const UpdateSettings& settings, UpdateRun* run) {
    InitRunFor(settings, ProgramPath{nullptr, 0, 1}, run);
}

void InitRunForProgramFile(const UpdateSettings& settings, const char* path, u64 pathLength,
                           UpdateRun* run) {
    // A null pointer with a length of 0 names no file, as an empty path.
    InitRunFor(settings, ProgramPath{path != nullptr ? path : "", pathLength, 1}, run);
}

void InitRunFor(const UpdateSettings& settings, const char* path, u64 pathLength, UpdateRun* run) {
    InitRunFor(settings, ProgramPath{pathLength == 0 ? nullptr : path, pathLength, 1}, run);
}

u32 SignedInfoError(const UpdateSettings& settings, const u8* document, u64 length,
                    const UpdateInfo& info, bool checkExpiry) {
    if (settings.publisherKey == nullptr) return NoError;
    if (settings.signedInfoCheck == nullptr) return InfoNotSigned;
    return settings.signedInfoCheck(settings, reinterpret_cast<const char*>(document), length,
                                    info.url.end + 1, checkExpiry);
}

u32 DriveRun(const UpdateSettings& settings, UpdateRun* run, u32 last) {
    if (run->state == Initial) CheckStep(settings, run);
    if (run->state == Available && last >= Staged) FetchStep(settings, run);
    if (run->state == Staged && last >= Updated) SwapStep(settings, run);
    return run->error;
}

void ReadStagedRecord(const UpdateSettings& settings, UpdateRun* run) {
    OpenedFile record = OpenFile(run->paths.latest, OpenForReading);
    if (record.handle == nullptr) {
        FailRun(run, StagedUpdateMissing);
        return;
    }
    u64 got = 0;
    bool read = ReadFileAt(record.handle, 0, run->document, DocumentCapacity, &got);
    CloseFile(record.handle);
    UpdateInfo info = FreshUpdateInfo();
    // A keyed host's record must still bear the publisher's signature; its
    // expiry was judged when it was fetched.
    if (!read ||
        !ParseUpdateInfo(reinterpret_cast<const char*>(run->document), got,
                         settings.programName.bytes, settings.programName.length,
                         (settings.options & AllowLocalHttp) != 0, &info) ||
        SignedInfoError(settings, run->document, got, info, false) != NoError) {
        // The staged file cannot be verified without its record: it goes.
        RemoveFile(run->paths.staged);
        FailRun(run, UpdateRecordUnwritten);
        return;
    }
    run->documentLength = got;
    run->info = info;
    run->available = info.version;
    run->state = Staged;
}

u32 RunUpdate(const UpdateSettings& settings, UpdateRun* run) {
    InitRunForRunningProgram(settings, run);
    return DriveRun(settings, run);
}

u32 RunUpdateForFile(const UpdateSettings& settings, const char* path, u64 pathLength,
                     UpdateRun* run) {
    InitRunForProgramFile(settings, path, pathLength, run);
    return DriveRun(settings, run);
}
