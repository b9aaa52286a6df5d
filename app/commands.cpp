// The two commands, the usage text and the silent clean-up at start.
#include "app/commands.h"

#include "app/console.h"
#include "app/report.h"
#include "base/bytes.h"
#include "engine/deployment.h"
#include "engine/run.h"

void StartupCleanup(const UpdateSettings& settings, Text programPath) {
    UpdateRun run;
    FillBytes(&run, 0, sizeof run);
    InitRunFor(settings, programPath.bytes, programPath.length, &run);
    if (run.state == Initial) CleanUpLeftovers(run);
}

Text AnnouncedText(const UpdateRun& run) {
    if (run.info.versionText.end > run.info.versionText.start &&
        run.info.versionText.end <= run.documentLength) {
        return Text{reinterpret_cast<const char*>(run.document) + run.info.versionText.start,
                    run.info.versionText.end - run.info.versionText.start};
    }
    return Text{nullptr, 0};
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
    ReportKind kind = ReportKindOf(run.state);
    *length = FormatReport(TextOf("fwstack"), TheDeployment().downloadsPage, kind, run.error,
                           settings.versionText, AnnouncedText(run), buffer, capacity);
    return kind == ManualDownloadLine || kind == FailureLine ? 1 : 0;
}

u32 UpdateCommand(const UpdateSettings& settings, Text programPath) {
    char buffer[ReportCapacity];
    FillBytes(buffer, 0, sizeof buffer);
    u64 length = 0;
    u32 failed = RunAndReport(settings, programPath, buffer, sizeof buffer, &length);
    if (failed == 0) {
        WriteOut(buffer, length);
    } else {
        WriteErr(buffer, length);
    }
    return failed;
}

u32 DispatchCommand(const UpdateSettings& settings, Text programPath, u64 argumentCount,
                    Text argument1) {
    if (argumentCount == 2 && TextEquals(argument1, TextOf("--version"))) {
        WriteOut("fwstack ", 8);
        WriteOut(settings.versionText.bytes, settings.versionText.length);
        WriteOut("\n", 1);
        return 0;
    }
    if (argumentCount == 2 && TextEquals(argument1, TextOf("update"))) {
        return UpdateCommand(settings, programPath);
    }
    constexpr Text usage = TextOf("usage: fwstack --version | update\n");
    WriteErr(usage.bytes, usage.length);
    return 2;
}
