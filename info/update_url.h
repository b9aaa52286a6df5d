// Update addresses: their accepted shape, their split and the same-server rule.
#pragma once

#include "base/types.h"

// One address split into parts, as offsets into the caller's text. Valid only
// after a successful parse and only as long as the text.
struct UrlParts {
    u8 secure;      // 1 for "https://", 0 for "http://"
    u64 hostStart;  // the scheme length
    u64 hostEnd;
    u32 port;       // explicit port, or 443 / 80
    u64 pathStart;  // the "/" that begins the path; the path runs to the end
};

// True when the whole text is an update address ("https://", or "http://"
// with host 127.0.0.1 when allowLocalHttp); fills out.
bool ParseUpdateUrl(const char* text, u64 length, bool allowLocalHttp, UrlParts* out);

// The port written in text[start, end): 1 to 65535, or 0 when not a port.
u32 ParsePort(const char* text, u64 start, u64 end);

// True when both are update addresses that agree in scheme, host (exactly,
// case included) and port; paths are not compared.
bool SameUpdateServer(const char* first, u64 firstLength, const char* second, u64 secondLength,
                      bool allowLocalHttp);
