// The one report line of an update attempt and the messages of the failure reasons.
#include "app/report.h"

#include "base/bytes.h"
#include "engine/deployment.h"
#include "engine/run.h"

namespace {

struct Message {
    u32 code;  // an ErrorCode
    Text text;
};

// Every code with a message; any other code reads "unknown".
constexpr Message kMessages[] = {
    {SettingsInvalid, TextOf("the update settings are invalid")},
    {ProgramFileNotFound, TextOf("the program file was not found")},
    {UpdatesNotSupported, TextOf("updates are not supported on this system")},
    {InstalledVersionUnknown, TextOf("the installed version is unknown")},
    {StepsOutOfOrder, TextOf("the steps ran out of order")},
    {InfoNotDelivered, TextOf("the update server did not deliver the update information")},
    {InfoMalformed, TextOf("the update information is malformed")},
    {DownloadNotOnServer, TextOf("the download is not on the update server")},
    {AnotherUpdateRunning, TextOf("another update is running")},
    {DownloadNotSaved, TextOf("the download cannot be saved")},
    {DownloadFailed, TextOf("the download failed")},
    {DownloadDamaged, TextOf("the download is damaged (SHA-256)")},
    {DownloadNotSigned, TextOf("the download is not signed")},
    {DownloadWrongSigner, TextOf("the download is signed by someone else")},
    {DownloadWrongVersion, TextOf("the download has the wrong version")},
    {StagedUpdateMissing, TextOf("the staged update is missing")},
    {StageFailed, TextOf("the program file could not be replaced")},
    {ProgramNotReplaced, TextOf("the program file could not be replaced")},
    {ReplaceFailed, TextOf("the program file could not be replaced")},
    {FolderReadOnly, TextOf("the program folder is read-only")},
    {UpdateRecordUnwritten, TextOf("the update record is unreadable")},
};
static_assert(sizeof kMessages / sizeof kMessages[0] == 21, "codes 1 to 20 and 23");

u64 Append(Text text, u64 position, char* buffer, u64 capacity) {
    return AppendClamped(text.bytes, text.length, position, buffer, capacity);
}

}  // namespace

ReportKind ReportKindOf(u32 state) {
    switch (state) {
        case UpToDate: return UpToDateLine;
        case Updated: return UpdatedLine;
        case AvailableReadOnly: return ManualDownloadLine;
        default: return FailureLine;
    }
}

Text MessageFor(u32 code) {
    for (const Message& message : kMessages) {
        if (message.code == code) return message.text;
    }
    return TextOf("unknown");
}

u64 AppendClamped(const char* text, u64 n, u64 position, char* buffer, u64 capacity) {
    if (position >= capacity) return position;
    u64 taken = n > capacity - position ? capacity - position : n;
    CopyBytes(buffer + position, text, taken);
    return position + taken;
}

u64 FormatReport(ReportKind kind, u32 code, Text installed, Text announced, char* buffer,
                 u64 capacity) {
    u64 at = Append(TextOf("fwstack "), 0, buffer, capacity);
    switch (kind) {
        case UpToDateLine:
            at = Append(installed, at, buffer, capacity);
            at = Append(TextOf(" is up to date\n"), at, buffer, capacity);
            break;
        case UpdatedLine:
            at = Append(TextOf("updated to "), at, buffer, capacity);
            at = Append(announced, at, buffer, capacity);
            at = Append(TextOf("\n"), at, buffer, capacity);
            break;
        case ManualDownloadLine:
            at = Append(announced, at, buffer, capacity);
            at = Append(TextOf(" is available but the program folder is read-only: download it from "),
                        at, buffer, capacity);
            at = Append(TheDeployment.downloadsPage, at, buffer, capacity);
            at = Append(TextOf("\n"), at, buffer, capacity);
            break;
        default:
            at = Append(TextOf("update failed: "), at, buffer, capacity);
            at = Append(MessageFor(code), at, buffer, capacity);
            at = Append(TextOf("\n"), at, buffer, capacity);
            break;
    }
    return at;
}
