// One synchronous HTTP(S) GET through WinHTTP, into a buffer or an open file.
#pragma once

#include "base/types.h"
#include "engine/settings.h"
#include "files/paths.h"

enum class HttpStage : u32 {
    None = 0,        // the transfer succeeded
    Address = 1,     // the URL is not an update address
    Session = 2,     // WinHttpOpen, WinHttpSetTimeouts or a WinHttpSetOption failed
    Connection = 3,  // WinHttpConnect or WinHttpOpenRequest failed
    Exchange = 4,    // WinHttpSendRequest or WinHttpReceiveResponse failed
    Response = 5,    // reading the status or the body failed, or the transfer took too long
    TooLarge = 6,    // the body is longer than allowed
    FileWrite = 7,   // writing the body to the file failed
    Cancelled = 8,   // the settings' progress callback asked to stop
};

// The outcome of one transfer; every transfer resets it first.
struct HttpResult {
    u32 status;       // HTTP status, 0 until read
    u32 stage;        // an HttpStage
    u32 systemError;  // GetLastError at the failure; 0 for stages 1, 6 and 8
    u64 bytes;        // body bytes received, a last overlong or unwritten piece included
};

// GET url into buffer[0, capacity). True when a status came back and the
// whole body fit, whatever the status; otherwise result.stage says where it
// failed. Only TLS 1.2 or newer is spoken. A body still coming 60 s after the
// request fails as a receive time-out (stage 5, ERROR_WINHTTP_TIMEOUT).
// Closes every handle it opened. The settings' progress callback, when set,
// is told (transfer 1 here, 2 for HttpGetToFile) before the request, as the
// body comes (once 64 KiB more came or 100 ms passed) and when it is whole;
// a nonzero answer fails the transfer at once with stage Cancelled.
bool HttpGetToBuffer(const UpdateSettings& settings, const char* url, u64 urlLength, u8* buffer,
                     u64 capacity, HttpResult* result);

// GET url and write the body from the current position of the open download
// handle of paths, at most maxBytes bytes; otherwise as HttpGetToBuffer, but
// the time-out comes once the body, after its first 60 s, averages below
// 4 KiB a second.
bool HttpGetToFile(const UpdateSettings& settings, const char* url, u64 urlLength,
                   const UpdatePaths& paths, u64 maxBytes, HttpResult* result);
