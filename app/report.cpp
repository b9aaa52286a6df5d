// The one report line of an update attempt and the messages of the failure reasons.
#include "app/report.h"

#include "base/bytes.h"
#include "engine/deployment.h"

namespace {

constexpr Text kMessages[] = {
    TextOf("unknown"),
    TextOf("the update settings are invalid"),
    TextOf("the program file was not found"),
    TextOf("updates are not supported on this system"),
    TextOf("the installed version is unknown"),
    TextOf("the steps ran out of order"),
    TextOf("the update server did not deliver the update information"),
    TextOf("the update information is malformed"),
    TextOf("the download is not on the update server"),
    TextOf("another update is running"),
    TextOf("the download cannot be saved"),
    TextOf("the download failed"),
    TextOf("the download is damaged (SHA-256)"),
    TextOf("the download is not signed"),
    TextOf("the download is signed by someone else"),
    TextOf("the download has the wrong version"),
    TextOf("the staged update is missing"),
    TextOf("the program file could not be replaced"),
    TextOf("the program file could not be replaced"),
    TextOf("the program file could not be replaced"),
    TextOf("the program folder is read-only"),
    TextOf("unknown"),
    TextOf("unknown"),
    TextOf("the update record is unreadable"),
};
constexpr u32 kMessageCount = sizeof(kMessages) / sizeof(kMessages[0]);

u64 Append(Text text, u64 position, char* buffer, u64 capacity) {
    return AppendClamped(text.bytes, text.length, position, buffer, capacity);
}

}  // namespace

ReportKind ReportKindOf(u32 state) {
    switch (state) {
        case 1: return UpToDateLine;
        case 5: return UpdatedLine;
        case 3: return ManualDownloadLine;
        default: return FailureLine;
    }
}

Text MessageFor(u32 code) { return code < kMessageCount ? kMessages[code] : kMessages[0]; }

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
