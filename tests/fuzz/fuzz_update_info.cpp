// libFuzzer target: the update document, its signed tail, address and version parsers on any bytes.
#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "info/signed_tail.h"
#include "info/update_info.h"
#include "info/update_url.h"
#include "info/version.h"

namespace {

void Check(bool holds) {
    if (!holds) __builtin_trap();
}

void FuzzVersion(const char* text, u64 n) {
    Version v = FreshVersion();
    if (!ParseVersion(text, n, &v)) return;
    Check(IsVersionText(text, n));
    Check(!IsNewerVersion(v, v));
    Check(v.prerelease == NoPrerelease || v.prerelease <= 999999999u);
    Check(v.major <= 999999999u && v.minor <= 999999999u && v.patch <= 999999999u);
}

void FuzzUrl(const char* text, u64 n, bool allowLocalHttp) {
    UrlParts parts = {};
    const bool ok = ParseUpdateUrl(text, n, allowLocalHttp, &parts);
    Check(SameUpdateServer(text, n, text, n, allowLocalHttp) == ok);
    if (!ok) return;
    Check(parts.hostStart == (parts.secure ? 8u : 7u));
    Check(parts.hostStart < parts.hostEnd && parts.hostEnd <= parts.pathStart);
    Check(parts.pathStart < n && text[parts.pathStart] == '/');
    Check(parts.port >= 1 && parts.port <= 65535);
    Check(allowLocalHttp || parts.secure == 1);
}

// The tail after a parsed document: accepted only as its two exact lines.
void FuzzTail(const char* text, u64 n, u64 tailStart) {
    SignedTail tail;
    if (!ParseSignedTail(text, n, tailStart, &tail)) return;
    const u64 expiresLine = 8 + 20 + 1;
    Check(tail.signedLength == tailStart + expiresLine && n == tail.signedLength + 10 + 128 + 1);
    Check(text[tail.signedLength - 1] == '\n' && text[n - 1] == '\n');
    i64 seconds = 0;
    Check(ParseUtcTime(text + tailStart + 8, 20, &seconds) && seconds == tail.expires);
    Check(tail.expires >= -62167219200 && tail.expires <= 253402300799);
}

void FuzzDocument(const char* text, u64 n, bool allowLocalHttp) {
    UpdateInfo info = FreshUpdateInfo();
    if (!ParseUpdateInfo(text, n, "fwstack", 7, allowLocalHttp, &info)) return;
    Check(info.version.prerelease == NoPrerelease);
    for (TextSpan s : {info.versionText, info.file, info.url}) {
        Check(s.start < s.end && s.end < n && text[s.end] == '\n');
    }
    const u64 fileLength = info.file.end - info.file.start;
    Check(IsFileName(text + info.file.start, fileLength));
    UrlParts parts = {};
    Check(ParseUpdateUrl(text + info.url.start, info.url.end - info.url.start, allowLocalHttp,
                         &parts));
    Check(text[info.url.end - fileLength - 1] == '/');
    FuzzTail(text, n, info.url.end + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 4097) return 0;
    // The first byte chooses the parser and the option; the rest is an exact-size copy.
    const u8 mode = data[0];
    const std::vector<char> text(data + 1, data + size);
    const char* bytes = text.data();
    const u64 n = text.size();
    const bool allowLocalHttp = (mode & 1) != 0;
    switch ((mode >> 1) % 4) {
        case 0: FuzzDocument(bytes, n, allowLocalHttp); break;
        case 1: FuzzUrl(bytes, n, allowLocalHttp); break;
        case 3: FuzzTail(bytes, n, 0); break;
        default: FuzzVersion(bytes, n); break;
    }
    return 0;
}
