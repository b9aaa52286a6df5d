// The one report line of an update attempt and the messages of the failure reasons.
#include "app/report.h"

#include "base/bytes.h"
#include "engine/deployment.h"
#include "engine/run.h"

namespace {

// The messages of codes 1 to 16, of 17 to 19 (one message), 20 and 23, each
// ended by a zero byte: one string, so the program holds no table of
// pointers to relocate.
constexpr char kMessages[] =
    "the update settings are invalid\0"
    "the program file was not found\0"
    "updates are not supported on this system\0"
    "the installed version is unknown\0"
    "the steps ran out of order\0"
    "the update server did not deliver the update information\0"
    "the update information is malformed\0"
    "the download is not on the update server\0"
    "another update is running\0"
    "the download cannot be saved\0"
    "the download failed\0"
    "the download is damaged (SHA-256)\0"
    "the download is not signed\0"
    "the download is signed by someone else\0"
    "the download has the wrong version\0"
    "the staged update is missing\0"
    "the program file could not be replaced\0"
    "the program folder is read-only\0"
    "the update record is unreadable";
static_assert(PackedCount(kMessages) == 19, "one message a code, 17 to 19 sharing one");

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
    u32 index = code >= SettingsInvalid && code <= StagedUpdateMissing ? code - 1
                : code >= StageFailed && code <= ReplaceFailed        ? 16
                : code == FolderReadOnly                              ? 17
                : code == UpdateRecordUnwritten                       ? 18
                                                                      : 19;
    if (index == 19) return TextOf("unknown");
    const char* message = PackedString(kMessages, index);
    u64 length = 0;
    while (message[length] != 0) ++length;
    return Text{message, length};
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
            at = Append(TheDeployment().downloadsPage, at, buffer, capacity);
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
