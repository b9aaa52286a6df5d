// The engine's public C interface: a host's settings in, one call, its result out.
#include "api/fwstack_update.h"

#include "engine/publisher_key_check.h"
#include "base/bytes.h"
#include "engine/report.h"
#include "engine/run.h"
#include "engine/settings.h"

// The DLL is optimised at its link as one whole program (-fwhole-program):
// its exported functions say that they are its ways in.
#ifdef FWSTACK_DLL_BUILD
#define FWSTACK_EXPORTED __attribute__((externally_visible))
#else
#define FWSTACK_EXPORTED
#endif

namespace {

// Longer texts are invalid whatever their field, so a scan stops here and a
// text without a terminator within reach is never read further.
constexpr u64 MaxScan = 4096;

// The count of units of unitBytes each before the terminator, at most
// MaxScan + 1; 0 for null.
__attribute__((noinline)) u64 UnitCount(const void* units, u32 unitBytes) {
    u64 n = 0;
    if (units == nullptr) return 0;
    // A unit's low 16 bits (a wchar_t of 4 bytes outside Windows), little-endian.
    const u8* bytes = static_cast<const u8*>(units);
    for (; n <= MaxScan; ++n) {
        const u8* unit = bytes + n * unitBytes;
        if (unit[0] == 0 && (unitBytes == 1 || unit[1] == 0)) break;
    }
    return n;
}

// The host's five texts, in the order of the engine's own record.
static_assert(offsetof(fwstack_settings, version_text) == 4 * sizeof(const char*),
              "five texts first");
static_assert(offsetof(UpdateSettings, versionText) == 4 * sizeof(Text), "five texts first");

// Version 1.0's record ends with options and its padding; 2.0 adds the
// progress callback and its context, 2.1 the publisher's two keys.
constexpr u64 Version10Size = 56;
static_assert(offsetof(fwstack_settings, progress) == Version10Size &&
                  offsetof(fwstack_settings, progress_context) == Version10Size + 8 &&
                  offsetof(fwstack_settings, publisher_key) == Version10Size + 16 &&
                  sizeof(fwstack_settings) == Version10Size + 32,
              "the settings of 1.0, 2.0 and 2.1");
static_assert(sizeof(fwstack_result) == 512, "the result is 512 bytes");

// The header's numbers are the engine's own.
static_assert(FWSTACK_UP_TO_DATE == UpToDate && FWSTACK_AVAILABLE == Available &&
                  FWSTACK_AVAILABLE_READ_ONLY == AvailableReadOnly && FWSTACK_STAGED == Staged &&
                  FWSTACK_UPDATED == Updated && FWSTACK_FAILED == Failed &&
                  FWSTACK_INSTALLED == Installed,
              "states");
static_assert(FWSTACK_SETTINGS_INVALID == SettingsInvalid && FWSTACK_FOLDER_READ_ONLY == FolderReadOnly &&
                  FWSTACK_REVOCATION_UNCHECKED == RevocationUnchecked &&
                  FWSTACK_UPDATE_RECORD_UNWRITTEN == UpdateRecordUnwritten &&
                  FWSTACK_STAGED_UPDATE_MISSING == StagedUpdateMissing &&
                  FWSTACK_CANCELLED == Cancelled && FWSTACK_INFO_NOT_SIGNED == InfoNotSigned &&
                  FWSTACK_INFO_EXPIRED == InfoExpired,
              "error codes");
static_assert(FWSTACK_KEEP_STAGED == KeepStaged &&
                  FWSTACK_ALLOW_UNSIGNED_RELEASE == AllowUnsignedRelease,
              "options");
static_assert(FWSTACK_REPORT_CAPACITY == ReportCapacity, "report");

// A null record, and one whose size the engine cannot read, read as one
// whose every text is empty, which is invalid.
UpdateSettings EngineSettings(const fwstack_settings* host) {
    UpdateSettings settings;
    FillBytes(&settings, 0, sizeof settings);
    if (host == nullptr) return settings;
    const u64 size = host->size == 0 ? Version10Size : host->size;
    // What lies beyond the fields this engine knows must ask for nothing.
    const u8* bytes = reinterpret_cast<const u8*>(host);
    for (u64 i = sizeof *host; i < size; ++i) {
        if (bytes[i] != 0) return settings;
    }
    if (size < Version10Size) return settings;
    const char* const* texts = &host->program_name;
    Text* fields = &settings.programName;
    for (u32 i = 0; i < 5; ++i) fields[i] = Text{texts[i], UnitCount(texts[i], 1)};
    settings.maxDownloadSize = host->max_download_size;
    settings.options = host->options;
    if (size >= Version10Size + 8) settings.progress = host->progress;
    if (size >= Version10Size + 16) settings.progressContext = host->progress_context;
    if (size >= Version10Size + 24) settings.publisherKey = host->publisher_key;
    if (size >= Version10Size + 32) settings.secondPublisherKey = host->second_publisher_key;
    // Only a keyed host reaches the signature code.
    if (settings.publisherKey != nullptr) settings.signedInfoCheck = kPublisherKeyCheck;
    return settings;
}

// ERROR_NOT_ENOUGH_MEMORY, the system's code for pages it cannot commit.
constexpr u32 NotEnoughMemory = 8;

// The result of a call without memory for its run record: nothing was
// fetched, as a document not delivered.
u32 NoMemory(const UpdateSettings& settings, fwstack_result* result) {
    u64 length = 0;
    result->exit_code = ReportOutcome(settings, Failed, InfoNotDelivered, Text{nullptr, 0},
                                      result->report, ReportCapacity, &length);
    result->report_length = static_cast<u32>(length);
    result->state = Failed;
    result->error = InfoNotDelivered;
    result->transfer_stage = static_cast<u32>(HttpStage::Response);
    result->system_error = NotEnoughMemory;
    return result->exit_code;
}

// The result of a finished run, reported as the host's program; returns
// the exit code. A null run found no memory.
u32 Finish(const UpdateSettings& settings, const UpdateRun* found, fwstack_result* result) {
    fwstack_result local;
    if (result == nullptr) result = &local;
    FillBytes(result, 0, sizeof *result);
    if (found == nullptr) return NoMemory(settings, result);
    const UpdateRun& run = *found;
    u64 length = 0;
    const u32 exitCode = ReportRun(settings, run, result->report, ReportCapacity, &length);
    result->state = run.state;
    const u32 error = run.error;
    result->error = error;
    result->exit_code = exitCode;
    result->report_length = static_cast<u32>(length);
    result->release_size = run.releaseSize;
    if (error == InfoNotDelivered || error == DownloadFailed || error == Cancelled) {
        result->transfer_stage = run.transfer.stage;
        result->system_error = run.transfer.systemError;
        result->http_status = run.transfer.status;
    }
    // The installed version is known once the run initialised: the
    // settings' own text, or the program file's version (a release).
    if (run.state != Failed || error > InstalledVersionUnknown) {
        const Text own = settings.versionText;
        char* at = result->installed_version;
        CopyBytes(at, own.bytes, own.length);
        for (u32 i = 0; own.length == 0 && i < 3; ++i) {
            u32 value = (&run.installed.major)[i];
            char digits[10];
            u32 n = 0;
            do {
                digits[n++] = static_cast<char>('0' + value % 10);
                value /= 10;
            } while (value != 0);
            if (i > 0) *at++ = '.';
            while (n > 0) *at++ = digits[--n];
        }
    }
    const Text announced = AnnouncedText(run);
    CopyBytes(result->available_version, announced.bytes,
              announced.length < FWSTACK_VERSION_CAPACITY ? announced.length
                                                          : FWSTACK_VERSION_CAPACITY);
    return exitCode;
}

// One call: the run, in pages of its own (CommitRun), initialised for path,
// prepared (the apply's staged record) and driven as far as wanted.
u32 Call(const fwstack_settings* host, ProgramPath path, u32 wanted,
         void (*prepare)(const UpdateSettings&, UpdateRun*), fwstack_result* result) {
    const UpdateSettings settings = EngineSettings(host);
    Arena pages;
    UpdateRun* run = CommitRun(&pages);
    if (run != nullptr) {
        InitRunFor(settings, path, run);
        if (prepare != nullptr && run->state == Initial) prepare(settings, run);
        DriveRun(settings, run, wanted);
    }
    const u32 exitCode = Finish(settings, run, result);
    ArenaRelease(&pages);
    return exitCode;
}

// A path the host names; null is the running program's own file.
ProgramPath StepPath(const wchar_t* path) {
    return ProgramPath{path, UnitCount(path, sizeof(wchar_t)), sizeof(wchar_t)};
}

// The file of fwstack_update_file: null names no file, as an empty path.
ProgramPath NamedPath(const void* path, u32 unitBytes) {
    return ProgramPath{path != nullptr ? path : "", UnitCount(path, unitBytes), unitBytes};
}

void Cleanup(const fwstack_settings* settings, const void* path, u32 unitBytes) {
    // Null or empty: the running program's file. Deletes nothing unless the
    // settings are valid and the file is found.
    const u64 n = UnitCount(path, unitBytes);
    StartupCleanup(EngineSettings(settings), ProgramPath{n == 0 ? nullptr : path, n, unitBytes});
}

}  // namespace

extern "C" FWSTACK_EXPORTED void fwstack_cleanup(const fwstack_settings* settings, const char* program_path) {
    Cleanup(settings, program_path, 1);
}

extern "C" FWSTACK_EXPORTED void fwstack_cleanup_w(const fwstack_settings* settings, const wchar_t* program_path) {
    Cleanup(settings, program_path, sizeof(wchar_t));
}

// Each call runs on a record of its own. The run's initialisation refuses
// invalid settings, and an empty or over-long named path, before anything is
// touched.
extern "C" FWSTACK_EXPORTED uint32_t fwstack_check(const fwstack_settings* settings, const wchar_t* program_path,
                                                   fwstack_result* result) {
    return Call(settings, StepPath(program_path), CheckOnly, nullptr, result);
}

extern "C" FWSTACK_EXPORTED uint32_t fwstack_download(const fwstack_settings* settings,
                                                      const wchar_t* program_path, fwstack_result* result) {
    return Call(settings, StepPath(program_path), CheckAndFetch, nullptr, result);
}

extern "C" FWSTACK_EXPORTED uint32_t fwstack_apply(const fwstack_settings* settings, const wchar_t* program_path,
                                                   fwstack_result* result) {
    return Call(settings, StepPath(program_path), AllSteps, ReadStagedRecord, result);
}

extern "C" FWSTACK_EXPORTED uint32_t fwstack_update(const fwstack_settings* settings, fwstack_result* result) {
    return Call(settings, ProgramPath{nullptr, 0, 1}, AllSteps, nullptr, result);
}

extern "C" FWSTACK_EXPORTED uint32_t fwstack_update_file(const fwstack_settings* settings, const char* program_path,
                                                         fwstack_result* result) {
    return Call(settings, NamedPath(program_path, 1), AllSteps, nullptr, result);
}

extern "C" FWSTACK_EXPORTED uint32_t fwstack_update_file_w(const fwstack_settings* settings,
                                                           const wchar_t* program_path, fwstack_result* result) {
    return Call(settings, NamedPath(program_path, sizeof(wchar_t)), AllSteps, nullptr, result);
}
