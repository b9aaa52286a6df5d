// The update information document: five strict "key value\n" lines and their parser.
#include "info/update_info.h"

#include "base/bytes.h"
#include "base/hex.h"
#include "info/update_url.h"

namespace {

constexpr u8 BadDigit = 16;  // any set bit at 16 or above marks a non-digit

// The value of a lower-case hexadecimal digit, BadDigit for any other byte.
// Computed, not looked up: a 256-byte table would be a tenth of the
// program's constant data.
constexpr u8 HexValue(u8 c) {
    return c >= '0' && c <= '9'   ? static_cast<u8>(c - '0')
           : c >= 'a' && c <= 'f' ? static_cast<u8>(c - 'a' + 10)
                                  : BadDigit;
}
static_assert(HexValue(u8{'f'}) == 15 && HexValue(u8{'F'}) == BadDigit);

constexpr u64 MaxKeyLength = 64;
constexpr char LatestSuffix[] = "-latest";
constexpr u64 LatestSuffixLength = sizeof(LatestSuffix) - 1;
constexpr u64 MaxFileNameLength = 255;

// Appends n bytes at *at when they fit; a false result sticks.
bool Put(char* out, u64 capacity, u64* at, const char* bytes, u64 n) {
    if (n > capacity - *at) return false;
    CopyBytes(out + *at, bytes, n);
    *at += n;
    return true;
}

template <u64 N>
bool PutLiteral(char* out, u64 capacity, u64* at, const char (&literal)[N]) {
    return Put(out, capacity, at, literal, N - 1);
}

template <u64 N>
u64 ReadLine(const char* text, u64 length, u64 lineStart, const char (&key)[N], TextSpan* value) {
    return ReadKeyLine(text, length, lineStart, key, N - 1, value);
}

}  // namespace

UpdateInfo FreshUpdateInfo() {
    UpdateInfo info = {};
    info.version = FreshVersion();
    return info;
}

u64 FormatUpdateInfo(const UpdateInfoFields& fields, char* out, u64 capacity) {
    char digest[64];
    EncodeHex(fields.sha256, 32, digest);
    u64 at = 0;
    const bool fits =
        Put(out, capacity, &at, fields.programName.bytes, fields.programName.length) &&
        PutLiteral(out, capacity, &at, "-latest 1\nversion ") &&
        Put(out, capacity, &at, fields.versionText.bytes, fields.versionText.length) &&
        PutLiteral(out, capacity, &at, "\nfile ") &&
        Put(out, capacity, &at, fields.file.bytes, fields.file.length) &&
        PutLiteral(out, capacity, &at, "\nsha256 ") && Put(out, capacity, &at, digest, 64) &&
        PutLiteral(out, capacity, &at, "\nurl ") &&
        Put(out, capacity, &at, fields.url.bytes, fields.url.length) &&
        PutLiteral(out, capacity, &at, "\n");
    return fits ? at : 0;
}

u64 ReadKeyLine(const char* text, u64 length, u64 lineStart, const char* key, u64 keyLength,
                TextSpan* value) {
    *value = TextSpan{0, 0};
    if (lineStart > length || keyLength >= length - lineStart) return NoLine;
    const u64 a = lineStart + keyLength + 1;
    if (!BytesEqual(text + lineStart, key, keyLength) || text[lineStart + keyLength] != ' ') {
        return NoLine;
    }
    u64 i = a;
    while (i < length && text[i] != '\n' && text[i] != ' ') ++i;
    if (i == a || i == length || text[i] != '\n') return NoLine;
    *value = TextSpan{a, i};
    return i + 1;
}

bool DecodeSha256Hex(const char* value, u64 valueLength, u8 out[32]) {
    if (valueLength != 64) return false;
    u8 digest[32];
    u8 seen = 0;
    for (u32 i = 0; i < 32; ++i) {
        const u8 high = HexValue(static_cast<u8>(value[2 * i]));
        const u8 low = HexValue(static_cast<u8>(value[2 * i + 1]));
        seen = static_cast<u8>(seen | high | low);
        digest[i] = static_cast<u8>((high << 4) | low);
    }
    if (seen >= BadDigit) return false;
    CopyBytes(out, digest, sizeof(digest));
    return true;
}

bool IsNameByte(u8 byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
           (byte >= '0' && byte <= '9') || byte == '.' || byte == '-' || byte == '_';
}

bool IsFileName(const char* value, u64 valueLength) {
    if (valueLength == 0 || valueLength > MaxFileNameLength) return false;
    for (u64 i = 0; i < valueLength; ++i) {
        if (!IsNameByte(static_cast<u8>(value[i]))) return false;
    }
    return true;
}

bool ParseUpdateInfo(const char* text, u64 length, const char* programName,
                     u64 programNameLength, bool allowLocalHttp, UpdateInfo* out) {
    *out = FreshUpdateInfo();
    if (programNameLength > MaxKeyLength - LatestSuffixLength) return false;
    char firstKey[MaxKeyLength];
    CopyBytes(firstKey, programName, programNameLength);
    CopyBytes(firstKey + programNameLength, LatestSuffix, LatestSuffixLength);

    TextSpan value = {0, 0};
    u64 p = ReadKeyLine(text, length, 0, firstKey, programNameLength + LatestSuffixLength, &value);
    if (p == NoLine || value.end - value.start != 1 || text[value.start] != '1') return false;

    p = ReadLine(text, length, p, "version", &out->versionText);
    if (p == NoLine) return false;
    const TextSpan v = out->versionText;
    if (!ParseVersion(text + v.start, v.end - v.start, &out->version) ||
        out->version.prerelease != NoPrerelease) {
        return false;
    }

    p = ReadLine(text, length, p, "file", &out->file);
    if (p == NoLine) return false;
    const TextSpan f = out->file;
    const u64 fileLength = f.end - f.start;
    if (!IsFileName(text + f.start, fileLength)) return false;

    p = ReadLine(text, length, p, "sha256", &value);
    if (p == NoLine || !DecodeSha256Hex(text + value.start, value.end - value.start, out->sha256)) {
        return false;
    }

    p = ReadLine(text, length, p, "url", &out->url);
    if (p == NoLine) return false;
    const TextSpan u = out->url;
    const u64 urlLength = u.end - u.start;
    UrlParts parts = {};
    if (!ParseUpdateUrl(text + u.start, urlLength, allowLocalHttp, &parts)) return false;
    if (urlLength <= fileLength) return false;
    if (text[u.end - fileLength - 1] != '/') return false;
    if (!BytesEqual(text + u.end - fileLength, text + f.start, fileLength)) return false;
    // Whatever follows the fifth line is not examined.
    return true;
}
