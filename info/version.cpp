// Version numbers: the strict text parser, the update order and file-version words.
#include "info/version.h"

#include "base/bytes.h"

namespace {

constexpr u64 MaxDigits = 9;  // 999,999,999 fits in 32 bits, so no overflow check is needed

struct DigitRun {
    u64 end;   // the position after the last digit
    u32 value;
    bool ok;   // 1 to 9 digits, and no leading zero unless the run is "0"
};

DigitRun ReadNumber(const char* text, u64 length, u64 start) {
    DigitRun run = {start, 0, false};
    u64 i = start;
    while (i < length && text[i] >= '0' && text[i] <= '9') ++i;
    run.end = i;
    const u64 digits = i - start;
    if (digits == 0 || digits > MaxDigits) return run;
    if (text[start] == '0' && digits != 1) return run;
    u32 value = 0;
    for (u64 k = start; k < i; ++k) value = value * 10u + static_cast<u32>(text[k] - '0');
    run.value = value;
    run.ok = true;
    return run;
}

}  // namespace

bool ParseVersion(const char* text, u64 length, Version* out) {
    *out = FreshVersion();
    DigitRun major = ReadNumber(text, length, 0);
    if (!major.ok || major.end == length || text[major.end] != '.') return false;
    DigitRun minor = ReadNumber(text, length, major.end + 1);
    if (!minor.ok || minor.end == length || text[minor.end] != '.') return false;
    DigitRun patch = ReadNumber(text, length, minor.end + 1);
    if (!patch.ok) return false;
    out->major = major.value;
    out->minor = minor.value;
    out->patch = patch.value;
    if (patch.end == length) return true;

    static constexpr char marker[] = "-beta.";
    constexpr u64 markerLength = sizeof(marker) - 1;
    if (length - patch.end < markerLength + 1) return false;
    if (!BytesEqual(text + patch.end, marker, markerLength)) return false;
    DigitRun pre = ReadNumber(text, length, patch.end + markerLength);
    if (!pre.ok || pre.end != length) return false;
    out->prerelease = pre.value;
    return true;
}

bool IsVersionText(const char* text, u64 length) {
    Version scratch = FreshVersion();
    return ParseVersion(text, length, &scratch);
}

bool IsNewerVersion(Version a, Version b) {
    const u64 ka = (static_cast<u64>(a.major) << 32) | a.minor;
    const u64 kb = (static_cast<u64>(b.major) << 32) | b.minor;
    if (ka != kb) return ka > kb;
    const u64 la = (static_cast<u64>(a.patch) << 32) | a.prerelease;
    const u64 lb = (static_cast<u64>(b.patch) << 32) | b.prerelease;
    return la > lb;
}

bool IsSameRelease(Version fileVersion, Version announced) {
    return announced.prerelease == NoPrerelease && fileVersion.major == announced.major &&
           fileVersion.minor == announced.minor && fileVersion.patch == announced.patch;
}

Version VersionFromWords(u32 ms, u32 ls) {
    return Version{ms >> 16, ms & 0xFFFFu, ls >> 16, NoPrerelease};
}
