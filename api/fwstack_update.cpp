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

Text TextOfString(const char* s) {
    u64 n = 0;
    if (s != nullptr) {
        while (n <= MaxScan && s[n] != 0) ++n;
    }
    return Text{s, n};
}

// A null record reads as one whose every text is empty, which is invalid.
UpdateSettings EngineSettings(const fwstack_settings* host) {
    UpdateSettings settings;
    FillBytes(&settings, 0, sizeof settings);
    if (host == nullptr) return settings;
    settings.programName = TextOfString(host->program_name);
    settings.updateInfoAddress = TextOfString(host->update_info_address);
    settings.publisher = TextOfString(host->publisher);
    settings.productName = TextOfString(host->product_name);
    settings.versionText = TextOfString(host->version_text);
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

// One attempt on a record of its own, reported as the host's program.
u32 ReportAttempt(const UpdateSettings& settings, Text programPath, Text page, char* line,
                  u64* length, u32* state, u32* error) {
    UpdateRun run;
    FillBytes(&run, 0, sizeof run);
    if (programPath.length == 0) {
        RunUpdate(settings, &run);
    } else {
        RunUpdateForFile(settings, programPath.bytes, programPath.length, &run);
    }
    ReportKind kind = ReportKindOf(run.state);
    *length = FormatReport(settings.programName, page, kind, run.error, settings.versionText,
                              AnnouncedText(run), line, FWSTACK_REPORT_CAPACITY);
    *state = run.state;
    *error = run.error;
    return kind == ManualDownloadLine || kind == FailureLine ? 1 : 0;
}

u32 Attempt(const fwstack_settings* host, Text programPath, bool namedFile,
            fwstack_result* result) {
    UpdateSettings settings = EngineSettings(host);
    Text page = DownloadsPage(settings.updateInfoAddress);
    char line[FWSTACK_REPORT_CAPACITY];
    FillBytes(line, 0, sizeof line);
    u64 length = 0;
    u32 state = Failed;
    u32 error = SettingsInvalid;
    u32 exitCode = 1;
    if (ValidateSettings(settings) && namedFile && programPath.length == 0) {
        // An empty name must not fall back to the running program.
        error = ProgramFileNotFound;
    }
    if (ValidateSettings(settings) && (!namedFile || programPath.length > 0)) {
        exitCode = ReportAttempt(settings, programPath, page, line, &length, &state, &error);
    } else {
        length = FormatReport(settings.programName, page, FailureLine, error,
                                 settings.versionText, Text{nullptr, 0}, line, sizeof line);
    }
    if (result != nullptr) {
        FillBytes(result, 0, sizeof *result);
        result->state = state;
        result->error = error;
        result->exit_code = exitCode;
        result->report_length = static_cast<u32>(length);
        CopyBytes(result->report, line, length);
    }
    return exitCode;
}

}  // namespace

extern "C" void fwstack_cleanup(const fwstack_settings* settings, const char* program_path) {
    UpdateSettings engine = EngineSettings(settings);
    if (!ValidateSettings(engine)) return;
    StartupCleanup(engine, TextOfString(program_path));
}

extern "C" uint32_t fwstack_update(const fwstack_settings* settings, fwstack_result* result) {
    return Attempt(settings, Text{nullptr, 0}, false, result);
}

extern "C" uint32_t fwstack_update_file(const fwstack_settings* settings, const char* program_path,
                                        fwstack_result* result) {
    return Attempt(settings, TextOfString(program_path), true, result);
}
