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

// The one failure reason of a run; 0 is none. Messages are in engine/report.
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
    InfoNotSigned = 25,  // with a publisher key: no tail, or none of the keys signed it
    InfoExpired = 26,    // with a publisher key: the signed expiry has passed
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
    u64 releaseSize;  // bytes of the release received by the fetch step, 0 before
};

// A program file as a caller names it: units null for the running program's
// own file, otherwise length 8-bit units (each one UTF-16 unit) or UTF-16
// units (unitBytes 2).
struct ProgramPath {
    const void* units;
    u64 length;
    u32 unitBytes;
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
void InitRunFor(const UpdateSettings& settings, ProgramPath path, UpdateRun* run);

// The settings' version text parsed, or the version of the program file at
// program when the text is empty; out is 0.0.0 first.
bool ResolveInstalledVersion(const UpdateSettings& settings, const PathBuffer& program,
                             Version* out);

// The signed tail of a document whose five lines parsed into info, for a
// keyed host: 0, InfoNotSigned or InfoExpired; 0 without a key.
u32 SignedInfoError(const UpdateSettings& settings, const u8* document, u64 length,
                    const UpdateInfo& info, bool checkExpiry);

// Check from Initial, fetch from Available, swap from Staged, as far as a
// StepsWanted value says; returns the error field.
u32 DriveRun(const UpdateSettings& settings, UpdateRun* run, u32 last = Updated);
u32 RunUpdate(const UpdateSettings& settings, UpdateRun* run);
u32 RunUpdateForFile(const UpdateSettings& settings, const char* path, u64 pathLength,
                     UpdateRun* run);

// The three steps; each fails the run with StepsOutOfOrder unless it is in
// its own starting state.
void CheckStep(const UpdateSettings& settings, UpdateRun* run);
void FetchStep(const UpdateSettings& settings, UpdateRun* run);
void SwapStep(const UpdateSettings& settings, UpdateRun* run);

// How far one call of a host goes: the check alone, check and fetch, or all
// three steps (DriveRun's last).
enum StepsWanted : u32 {
    CheckOnly = Available,
    CheckAndFetch = Staged,
    AllSteps = Updated,
};

// For a swap alone of what an earlier fetch staged: reads the update record
// ".latest" of the fetch step back into the Initial run, which becomes
// Staged with the record's document, info and announced version; the swap
// step then verifies the staged file against them again. Nothing staged
// fails the run with StagedUpdateMissing, a record that does not parse
// (damaged, or another program's) with UpdateRecordUnwritten, and the staged
// file, which cannot be verified without it, is removed.
void ReadStagedRecord(const UpdateSettings& settings, UpdateRun* run);

// Deletes the .old (.old1 to .old9), .new, .download and .latest siblings,
// ignoring failures; with keepStaged .new and .latest stay.
void CleanUpLeftovers(const UpdateRun& run, bool keepStaged = false);

// The clean-up at start: deletes what an earlier update left next to the
// program file, silently, when the run initialises to Initial; the running
// program's file for an empty path. KeepStaged in the settings keeps a
// staged release.
void StartupCleanup(const UpdateSettings& settings, ProgramPath path);
void StartupCleanup(const UpdateSettings& settings, Text programPath);
