// The one report line of an update attempt and the messages of the failure reasons.
#include "engine/report.h"

#include "base/bytes.h"
#include "engine/run.h"

namespace {

// The messages of codes 1 to 16, of 17 to 19 (one message), 20, 21 and 23 to 26, each
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
    "the signature could not be checked for revocation: its CA's servers must be reachable\0"
    "the update record is unreadable\0"
    "the update was cancelled\0"
    "the update information is not signed by the publisher\0"
    "the update information has expired";
static_assert(PackedCount(kMessages) == 23, "one message a code, 17 to 19 sharing one");

// The lines in ReportKind order, packed the same way; bytes 1 to 5 stand for
// the installed version, the announced one, the downloads page, the
// failure's message and the program name.
constexpr char kLines[] =
    "\5 \1 is up to date\n\0"
    "\5 updated to \2\n\0"
    "\5 \2 is available but the program folder is read-only: download it from \3\n\0"
    "\5 update failed: \4\n\0"
    "\5 \2 is available\n\0"
    "\5 \2 is ready to install\n\0"
    "\5 \2 is installed; restart to use it\n";
static_assert(PackedCount(kLines) == InstalledLine + 1, "one line a kind");

// The ReportKind of each RunState from Initial to Installed.
constexpr char kKindOfState[] = "\3\0\4\2\5\1\3\3\6";

}  // namespace

ReportKind ReportKindOf(u32 state) {
    u32 kind = state <= Installed ? static_cast<u8>(kKindOfState[state]) : u32{FailureLine};
    return static_cast<ReportKind>(kind);
}

Text MessageFor(u32 code) {
    u32 index = code >= SettingsInvalid && code <= StagedUpdateMissing ? code - 1
                : code >= StageFailed && code <= ReplaceFailed        ? 16
                : code == FolderReadOnly || code == RevocationUnchecked ? code - 3
                : code == UpdateRecordUnwritten                       ? 19
                : code >= Cancelled && code <= InfoExpired            ? code - 4
                                                                      : 23;
    if (index == 23) return TextOf("unknown");
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

u64 FormatLine(ReportKind kind, u32 code, Text fields[5], char* buffer, u64 capacity) {
    fields[MessageField] = MessageFor(code);
    u64 at = 0;
    for (const char* p = PackedString(kLines, kind <= InstalledLine ? kind : FailureLine); *p != 0;
         ++p) {
        u8 c = static_cast<u8>(*p);
        // Without a program name its blank goes too.
        if (c == ' ' && at == 0) continue;
        Text piece = c <= 5 ? fields[c - 1] : Text{p, 1};
        at = AppendClamped(piece.bytes, piece.length, at, buffer, capacity);
    }
    return at;
}

Text AnnouncedText(const UpdateRun& run) {
    if (run.info.versionText.end > run.info.versionText.start &&
        run.info.versionText.end <= run.documentLength) {
        return Text{reinterpret_cast<const char*>(run.document) + run.info.versionText.start,
                    run.info.versionText.end - run.info.versionText.start};
    }
    return Text{nullptr, 0};
}
