// Update addresses: the one accepted shape, its split, and the same-server rule.
#include "info/update_url.h"

#include "base/bytes.h"

namespace {

constexpr char SecureScheme[] = "https://";
constexpr char PlainScheme[] = "http://";
constexpr u64 SecureSchemeLength = sizeof(SecureScheme) - 1;
constexpr u64 PlainSchemeLength = sizeof(PlainScheme) - 1;
constexpr char LocalHost[] = "127.0.0.1";
constexpr u64 LocalHostLength = sizeof(LocalHost) - 1;

// The length of the accepted scheme, or 0. The text must go on after it.
u64 SchemeLength(const char* text, u64 length, bool allowLocalHttp) {
    if (length > SecureSchemeLength && BytesEqual(text, SecureScheme, SecureSchemeLength)) {
        return SecureSchemeLength;
    }
    if (allowLocalHttp && length > PlainSchemeLength &&
        BytesEqual(text, PlainScheme, PlainSchemeLength)) {
        return PlainSchemeLength;
    }
    return 0;
}

bool IsHostByte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
}

}  // namespace

u32 ParsePort(const char* text, u64 start, u64 end) {
    if (end <= start || end - start > 5 || text[start] == '0') return 0;
    u32 value = 0;
    for (u64 i = start; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
        value = value * 10u + static_cast<u32>(text[i] - '0');
    }
    return value <= 65535u ? value : 0;
}

bool ParseUpdateUrl(const char* text, u64 length, bool allowLocalHttp, UrlParts* out) {
    const u64 s = SchemeLength(text, length, allowLocalHttp);
    out->secure = s == SecureSchemeLength ? 1 : 0;
    out->hostStart = s;
    out->hostEnd = s;
    out->port = s == PlainSchemeLength ? 80u : 443u;
    out->pathStart = length;
    if (s == 0) return false;

    u64 h = s;
    while (h < length && IsHostByte(text[h])) ++h;
    out->hostEnd = h;
    if (h == s || h == length) return false;
    if (s == PlainSchemeLength &&
        (h - s != LocalHostLength || !BytesEqual(text + s, LocalHost, LocalHostLength))) {
        return false;
    }

    if (text[h] == ':') {
        u64 q = h + 1;
        while (q < length && text[q] != '/') ++q;
        const u32 port = ParsePort(text, h + 1, q);
        if (port == 0 || q == length) return false;
        out->port = port;
        h = q;
    }

    if (text[h] != '/') return false;
    out->pathStart = h;
    for (u64 i = h; i < length; ++i) {
        const u8 b = static_cast<u8>(text[i]);
        if (b < 0x21 || b > 0x7E) return false;
    }
    return true;
}

bool SameUpdateServer(const char* first, u64 firstLength, const char* second, u64 secondLength,
                      bool allowLocalHttp) {
    UrlParts a = {};
    UrlParts b = {};
    if (!ParseUpdateUrl(first, firstLength, allowLocalHttp, &a)) return false;
    if (!ParseUpdateUrl(second, secondLength, allowLocalHttp, &b)) return false;
    if (a.secure != b.secure || a.port != b.port) return false;
    return TextEquals(Text{first + a.hostStart, a.hostEnd - a.hostStart},
                      Text{second + b.hostStart, b.hostEnd - b.hostStart});
}
