// One update attempt: the run record, its states and failure reasons, the driver.
#pragma once

#include "base/types.h"
#include "engine/settings.h"
#include "files/paths.h"
#include "info/update_info.h"
#include "info/version.h"
#include "net/http_get.h"

enum RunState : u32 {
    Initial = 0,
    UpToDate = 1,
    Available = 2,
    AvailableReadOnly = 3,
    Staged = 4,
    Updated = 5,
    Failed = 7,
    Installed = 8,  // the program file already holds the announced release
};

// The one failure reason of a run; 0 is none. Messages are in app/report.
enum ErrorCode : u32 {
    NoError = 0,
    SettingsInvalid = 1,
    ProgramFileNotFound = 2,
    UpdatesNotSupported = 3,  // never set by this program
    InstalledVersionUnknown = 4,
    StepsOutOfOrder = 5,
    InfoNotDelivered = 6,
    InfoMalformed = 7,
    DownloadNotOnServer = 8,
    AnotherUpdateRunning = 9,
    DownloadNotSaved = 10,
    DownloadFailed = 11,
    DownloadDamaged = 12,
    DownloadNotSigned = 13,
    DownloadWrongSigner = 14,
    DownloadWrongVersion = 15,
    StagedUpdateMissing = 16,
    StageFailed = 17,
    ProgramNotReplaced = 18,
    ReplaceFailed = 19,  // never set by this program
    FolderReadOnly = 20,
    RevocationUnchecked = 21,
    UpdateRecordUnwritten = 23,
    Cancelled = 24,  // the host's progress callback asked to stop
};

constexpr u64 DocumentCapacity = 4096;

// Everything one attempt learns; zero-filled by its owner, copied only whole
// (info holds offsets into document).
struct UpdateRun {
    u32 state;  // a RunState
    u32 error;  // an ErrorCode
    Version installed;
    Version available;
    UpdatePaths paths;
    UpdateInfo info;
    u8 document[DocumentCapacity];
    u64 documentLength;
    HttpResult transfer;
};

// Ends the attempt: state Failed with this one ErrorCode.
void FailRun(UpdateRun* run, u32 code);

// The common initialisation: Initial, or Failed with 1, 2 or 4 (in that
// order of precedence).
void InitRun(const UpdateSettings& settings, const UpdatePaths& paths, bool pathsFound,
             UpdateRun* run);
void InitRunForRunningProgram(const UpdateSettings& settings, UpdateRun* run);
void InitRunForProgramFile(const UpdateSettings& settings, const char* path, u64 pathLength,
                           UpdateRun* run);
// The running program when pathLength is 0, otherwise the named file.
void InitRunFor(const UpdateSettings& settings, const char* path, u64 pathLength, UpdateRun* run);

// The settings' version text parsed, or the program file's version when the
// text is empty; out is 0.0.0 first.
bool ResolveInstalledVersion(const UpdateSettings& settings, Version* out);

// Check from Initial, fetch from Available, swap from Staged; returns the
// error field.
u32 DriveRun(const UpdateSettings& settings, UpdateRun* run);
u32 RunUpdate(const UpdateSettings& settings, UpdateRun* run);
u32 RunUpdateForFile(const UpdateSettings& settings, const char* path, u64 pathLength,
                     UpdateRun* run);

// The three steps; each fails the run with StepsOutOfOrder unless it is in
// its own starting state.
void CheckStep(const UpdateSettings& settings, UpdateRun* run);
void FetchStep(const UpdateSettings& settings, UpdateRun* run);
void SwapStep(const UpdateSettings& settings, UpdateRun* run);

// Deletes the .old, .new, .download and .latest siblings, ignoring failures.
void CleanUpLeftovers(const UpdateRun& run);
