// The engine's public C interface: a host's settings in, one attempt, its result out.
#include "api/fwstack_update.h"

#include "app/commands.h"
#include "app/report.h"
#include "base/bytes.h"
#include "engine/run.h"
#include "engine/settings.h"

namespace {

// Longer texts are invalid whatever their field, so a scan stops here and a
// text without a terminator within reach is never read further.
constexpr u64 MaxScan = 4096;

__attribute__((noinline)) Text TextOfString(const char* s) {
    u64 n = 0;
    if (s != nullptr) {
        while (n <= MaxScan && s[n] != 0) ++n;
    }
    return Text{s, n};
}

// The host's five texts, in the order of the engine's own record.
static_assert(offsetof(fwstack_settings, version_text) == 4 * sizeof(const char*),
              "five texts first");
static_assert(offsetof(UpdateSettings, versionText) == 4 * sizeof(Text), "five texts first");

// The header's numbers are the engine's own.
static_assert(FWSTACK_UP_TO_DATE == UpToDate && FWSTACK_AVAILABLE_READ_ONLY == AvailableReadOnly &&
                  FWSTACK_UPDATED == Updated && FWSTACK_FAILED == Failed,
              "states");
static_assert(FWSTACK_SETTINGS_INVALID == SettingsInvalid && FWSTACK_FOLDER_READ_ONLY == FolderReadOnly &&
                  FWSTACK_REVOCATION_UNCHECKED == RevocationUnchecked &&
                  FWSTACK_UPDATE_RECORD_UNWRITTEN == UpdateRecordUnwritten,
              "error codes");

// A null record reads as one whose every text is empty, which is invalid.
UpdateSettings EngineSettings(const fwstack_settings* host) {
    UpdateSettings settings;
    FillBytes(&settings, 0, sizeof settings);
    if (host == nullptr) return settings;
    const char* const* texts = &host->program_name;
    Text* fields = &settings.programName;
    for (u32 i = 0; i < 5; ++i) fields[i] = TextOfString(texts[i]);
    settings.maxDownloadSize = host->max_download_size;
    settings.options = host->options;
    return settings;
}

// The update document's address up to and including its last "/".
Text DownloadsPage(Text address) {
    u64 n = address.length;
    while (n > 0 && address.bytes[n - 1] != '/') --n;
    return Text{address.bytes, n};
}

// The result of a finished run, reported as the host's program; returns
// the exit code.
u32 Report(const UpdateSettings& settings, const UpdateRun& run, fwstack_result* result) {
    ReportKind kind = ReportKindOf(run.state);
    char line[FWSTACK_REPORT_CAPACITY];
    u64 length = FormatReport(settings.programName, DownloadsPage(settings.updateInfoAddress),
                              kind, run.error, settings.versionText, AnnouncedText(run), line,
                              sizeof line);
    u32 exitCode = kind == ManualDownloadLine || kind == FailureLine ? 1 : 0;
    if (result != nullptr) {
        FillBytes(result, 0, sizeof *result);
        result->state = run.state;
        result->error = run.error;
        result->exit_code = exitCode;
        result->report_length = static_cast<u32>(length);
        CopyBytes(result->report, line, length);
    }
    return exitCode;
}

}  // namespace

extern "C" void fwstack_cleanup(const fwstack_settings* settings, const char* program_path) {
    // Deletes nothing unless the settings are valid and the file is found.
    StartupCleanup(EngineSettings(settings), TextOfString(program_path));
}

// Each attempt runs on a record of its own. The run's initialisation refuses
// invalid settings, and an empty or over-long named path, before anything is
// touched.
extern "C" uint32_t fwstack_update(const fwstack_settings* settings, fwstack_result* result) {
    const UpdateSettings engine = EngineSettings(settings);
    UpdateRun run;
    FillBytes(&run, 0, sizeof run);
    RunUpdate(engine, &run);
    return Report(engine, run, result);
}

extern "C" uint32_t fwstack_update_file(const fwstack_settings* settings, const char* program_path,
                                        fwstack_result* result) {
    const UpdateSettings engine = EngineSettings(settings);
    const Text path = TextOfString(program_path);
    UpdateRun run;
    FillBytes(&run, 0, sizeof run);
    RunUpdateForFile(engine, path.bytes, path.length, &run);
    return Report(engine, run, result);
}
