// The two lines that follow the five of a signed update document: its expiry and signature.
#pragma once

#include "base/types.h"

struct SignedTail {
    u64 signedLength;  // bytes from the document's start through the expires line's line feed
    i64 expires;       // seconds since 1970-01-01T00:00:00Z
    u8 signature[64];  // r then s, 32 bytes each, big-endian
};

// Reads "expires YYYY-MM-DDTHH:MM:SSZ\n" and "signature <128 lower-case hex
// digits>\n" at tailStart (the byte after the fifth line's line feed); the
// document must end with them. False for any other byte; out has no meaning then.
bool ParseSignedTail(const char* text, u64 length, u64 tailStart, SignedTail* out);

// Exactly "YYYY-MM-DDTHH:MM:SSZ" naming a real UTC date and time (years 0000
// to 9999 of the Gregorian calendar, no leap second), as seconds since 1970.
bool ParseUtcTime(const char* text, u64 length, i64* seconds);
