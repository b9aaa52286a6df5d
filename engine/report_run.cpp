// The report line of a finished run, for the program its settings describe.
#include "base/bytes.h"
#include "engine/report.h"
#include "engine/run.h"

u32 ReportRun(const UpdateSettings& settings, const UpdateRun& run, char* buffer, u64 capacity,
              u64* length) {
    Text fields[5] = {settings.versionText, AnnouncedText(run), settings.updateInfoAddress,
                      Text{nullptr, 0}, settings.programName};
    Text& page = fields[PageField];
    while (page.length > 0 && page.bytes[page.length - 1] != '/') --page.length;
    if (!IsProgramName(fields[ProgramField])) fields[ProgramField].length = 0;
    ReportKind kind = ReportKindOf(run.state);
    *length = FormatLine(kind, run.error, fields, buffer, capacity);
    return kind == ManualDownloadLine || kind == FailureLine ? 1 : 0;
}

u32 RunAndReport(const UpdateSettings& settings, Text programPath, char* buffer, u64 capacity,
                 u64* length) {
    UpdateRun run;
    FillBytes(&run, 0, sizeof run);
    if (programPath.length == 0) {
        RunUpdate(settings, &run);
    } else {
        RunUpdateForFile(settings, programPath.bytes, programPath.length, &run);
    }
    return ReportRun(settings, run, buffer, capacity, length);
}
