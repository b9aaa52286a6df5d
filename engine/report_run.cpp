// The report line of a finished run, for the program its settings describe.
#include "base/bytes.h"
#include "engine/report.h"
#include "engine/run.h"

u32 ReportOutcome(const UpdateSettings& settings, u32 state, u32 error, Text announced,
                  char* buffer, u64 capacity, u64* length) {
    Text fields[5] = {settings.versionText, announced, settings.updateInfoAddress,
                      Text{nullptr, 0}, settings.programName};
    Text& page = fields[PageField];
    while (page.length > 0 && page.bytes[page.length - 1] != '/') --page.length;
    if (!IsProgramName(fields[ProgramField])) fields[ProgramField].length = 0;
    ReportKind kind = ReportKindOf(state);
    *length = FormatLine(kind, error, fields, buffer, capacity);
    return kind == ManualDownloadLine || kind == FailureLine ? 1 : 0;
}

u32 ReportRun(const UpdateSettings& settings, const UpdateRun& run, char* buffer, u64 capacity,
              u64* length) {
    return ReportOutcome(settings, run.state, run.error, AnnouncedText(run), buffer, capacity,
                         length);
}

u32 RunAndReport(const UpdateSettings& settings, Text programPath, char* buffer, u64 capacity,
                 u64* length) {
    Arena pages;
    UpdateRun* run = CommitRun(&pages);
    u32 code = 0;
    if (run == nullptr) {
        code = ReportOutcome(settings, Failed, InfoNotDelivered, Text{nullptr, 0}, buffer,
                             capacity, length);
    } else {
        if (programPath.length == 0) {
            RunUpdate(settings, run);
        } else {
            RunUpdateForFile(settings, programPath.bytes, programPath.length, run);
        }
        code = ReportRun(settings, *run, buffer, capacity, length);
    }
    ArenaRelease(&pages);
    return code;
}
