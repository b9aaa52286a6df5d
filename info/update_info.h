// The five-line update information document and its strict parser.
#pragma once

#include "base/types.h"
#include "info/version.h"

// Bytes [start, end) of the document that a span was parsed from.
struct TextSpan {
    u64 start;
    u64 end;
};

struct UpdateInfo {
    Version version;      // the announced version, always a release
    TextSpan versionText;  // the version value as written
    TextSpan file;         // the release's file name
    u8 sha256[32];         // the decoded digest
    TextSpan url;          // the download address
};

// version 0.0.0, empty spans, zero digest.
UpdateInfo FreshUpdateInfo();

// ReadKeyLine's failure mark.
constexpr u64 NoLine = ~static_cast<u64>(0);

// Reads "key value\n" at lineStart: returns the start of the next line and
// the value's span, or NoLine when the line does not have exactly that shape.
u64 ReadKeyLine(const char* text, u64 length, u64 lineStart, const char* key, u64 keyLength,
                TextSpan* value);

// Decodes exactly 64 lower-case hexadecimal digits into out; on false out is
// left as it was.
bool DecodeSha256Hex(const char* value, u64 valueLength, u8 out[32]);

// A to Z, a to z, 0 to 9, ".", "-" and "_".
bool IsNameByte(u8 byte);

// 1 to 255 name bytes.
bool IsFileName(const char* value, u64 valueLength);

// The document's fields as a publisher gives them; texts are written as they
// are, without checks, so a test can also write a document the parser refuses.
struct UpdateInfoFields {
    Text programName;
    Text versionText;
    Text file;
    const u8* sha256;  // 32 bytes
    Text url;
};

// Writes the five lines of the document into out; returns their length, or 0
// when they do not fit in capacity (out may then hold a part of them).
u64 FormatUpdateInfo(const UpdateInfoFields& fields, char* out, u64 capacity);

// True when text is a well-formed document for programName; fills out with
// spans into text. After false, out has no meaning.
bool ParseUpdateInfo(const char* text, u64 length, const char* programName,
                     u64 programNameLength, bool allowLocalHttp, UpdateInfo* out);
