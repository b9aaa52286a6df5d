// The run record's initialisation and the driver that takes it through the steps.
#include "engine/run.h"

#include "base/bytes.h"
#include "files/installed_version.h"

void FailRun(UpdateRun* run, u32 code) {
    run->state = Failed;
    run->error = code;
}

bool ResolveInstalledVersion(const UpdateSettings& settings, Version* out) {
    *out = FreshVersion();
    if (settings.versionText.length == 0) return ReadInstalledVersion(out);
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
    CopyBytes(&run->paths, &paths, sizeof paths);

    // Resolved first but reported last: invalid settings hide a missing
    // program file, which hides an unknown version.
    Version installed = FreshVersion();
    bool installedKnown = ResolveInstalledVersion(settings, &installed);
    run->installed = installed;

    if (!ValidateSettings(settings)) {
        FailRun(run, SettingsInvalid);
    } else if (!pathsFound) {
        FailRun(run, ProgramFileNotFound);
    } else if (!installedKnown) {
        FailRun(run, InstalledVersionUnknown);
    }
}

void InitRunForRunningProgram(const UpdateSettings& settings, UpdateRun* run) {
    UpdatePaths paths;
    FillBytes(&paths, 0, sizeof paths);
    bool found = PathsForRunningProgram(&paths);
    InitRun(settings, paths, found, run);
}

void InitRunForProgramFile(const UpdateSettings& settings, const char* path, u64 pathLength,
                           UpdateRun* run) {
    UpdatePaths paths;
    FillBytes(&paths, 0, sizeof paths);
    bool found = PathsForProgramFile(path, pathLength, &paths);
    InitRun(settings, paths, found, run);
}

void InitRunFor(const UpdateSettings& settings, const char* path, u64 pathLength, UpdateRun* run) {
    if (pathLength == 0) {
        InitRunForRunningProgram(settings, run);
    } else {
        InitRunForProgramFile(settings, path, pathLength, run);
    }
}

u32 DriveRun(const UpdateSettings& settings, UpdateRun* run) {
    if (run->state == Initial) CheckStep(settings, run);
    if (run->state == Available) FetchStep(settings, run);
    if (run->state == Staged) SwapStep(settings, run);
    return run->error;
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
