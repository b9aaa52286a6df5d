// The HTTP GET of the update engine: one synchronous WinHTTP request per call.
#include "base/arena.h"
#include "base/bytes.h"
#include "info/update_url.h"
#include "net/http_get.h"
#include "platform/system_win32.h"

#ifndef WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY
#define WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY 4
#endif
#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

namespace {

constexpr u64 WideCapacity = 2100;  // units, terminator included
constexpr DWORD PieceSize = 65536;
// A document must arrive within this time of its request; a release may take
// longer only while its body comes at BodyFloor bytes a second on average.
constexpr u64 TransferBoundMs = 60000;
constexpr u64 BodyFloor = 4096;
// The progress callback is told again once this much more has come, or this
// long after it was last told, whichever is first.
constexpr u64 ProgressBytes = 65536;
constexpr u64 ProgressMs = 100;
// The buffer transfer is the update document, the file transfer the release.
constexpr u32 DocumentTransfer = 1;
constexpr u32 ReleaseTransfer = 2;

struct WideText {
    WCHAR units[WideCapacity];
};

struct HttpHandles {
    HINTERNET session;
    HINTERNET connection;
    HINTERNET request;
    u64 sentAt;  // GetTickCount64 just before the request was sent
    u64 total;   // the announced length, told to the progress callback; 0 when none
    u32 transfer;
};

// Each byte becomes one unit of the same value; at most 2099 bytes are taken.
void WidenAscii(const char* bytes, u64 n, WideText* out) {
    if (n > WideCapacity - 1) {
        n = WideCapacity - 1;
    }
    for (u64 i = 0; i < n; ++i) {
        out->units[i] = static_cast<WCHAR>(static_cast<u8>(bytes[i]));
    }
    out->units[n] = 0;
}

HINTERNET OpenSession(const WCHAR* agent, DWORD accessType) {
    return Sys(WinHttpOpen)(agent, accessType, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
}

bool Fail(HttpResult* result, HttpStage stage) {
    result->stage = static_cast<u32>(stage);
    result->systemError = Sys(GetLastError)();
    return false;
}

// Tells the settings' progress callback, if any; true when it asks to stop,
// which fails the transfer as Cancelled.
bool StopAsked(const UpdateSettings& settings, const HttpHandles& handles, HttpResult* result) {
    if (settings.progress == nullptr ||
        settings.progress(settings.progressContext, handles.transfer, result->bytes,
                          handles.total) == 0) {
        return false;
    }
    result->stage = static_cast<u32>(HttpStage::Cancelled);
    return true;
}

// Opens, connects, sends and reads the status, widening each text into text.
// On false the handles opened so far are left in handles for HttpClose.
bool HttpStartRequest(const UpdateSettings& settings, const char* url, u64 urlLength,
                      HttpHandles* handles, WideText& text, HttpResult* result) {
    handles->session = nullptr;
    handles->connection = nullptr;
    handles->request = nullptr;
    if (StopAsked(settings, *handles, result)) return false;

    UrlParts parts{};
    if (!ParseUpdateUrl(url, urlLength, (settings.options & AllowLocalHttp) != 0, &parts)) {
        result->stage = static_cast<u32>(HttpStage::Address);
        return false;
    }

    // WinHTTP is loaded on first use; a system without it fails like a
    // session that cannot be opened.
    if (!SystemDllReady(WinHttpDll)) {
        return Fail(result, HttpStage::Session);
    }

    WidenAscii(settings.productName.bytes, settings.productName.length, &text);
    handles->session = OpenSession(text.units, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY);
    if (!handles->session) {
        // NOTE: systems before Windows 8.1 refuse the automatic-proxy type.
        handles->session = OpenSession(text.units, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY);
    }
    if (!handles->session) {
        return Fail(result, HttpStage::Session);
    }
    if (!Sys(WinHttpSetTimeouts)(handles->session, 15000, 15000, 30000, 30000)) {
        return Fail(result, HttpStage::Session);
    }
    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    if (!Sys(WinHttpSetOption)(handles->session, WINHTTP_OPTION_REDIRECT_POLICY, &redirectPolicy,
                          sizeof(redirectPolicy))) {
        return Fail(result, HttpStage::Session);
    }
    // TLS 1.2 and 1.3, else TLS 1.2 alone, never the system's defaults nor
    // anything older: a system that can do neither fails here. NOTE: Windows
    // 7 SP1 and 8.0 leave TLS 1.1 and 1.2 out of their defaults (the option
    // needs KB3140245 there); systems before Windows 11 may refuse the TLS 1.3
    // flag. Wine 8 takes both values but speaks no TLS 1.3. Plain http (local
    // tests only) asks for nothing.
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    while (parts.secure && !Sys(WinHttpSetOption)(handles->session, WINHTTP_OPTION_SECURE_PROTOCOLS,
                                                  &protocols, sizeof(protocols))) {
        if (protocols == WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2) {
            return Fail(result, HttpStage::Session);
        }
        protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    }

    WidenAscii(url + parts.hostStart, parts.hostEnd - parts.hostStart, &text);
    handles->connection =
        Sys(WinHttpConnect)(handles->session, text.units, static_cast<INTERNET_PORT>(parts.port), 0);
    if (!handles->connection) {
        return Fail(result, HttpStage::Connection);
    }

    WidenAscii(url + parts.pathStart, urlLength - parts.pathStart, &text);
    handles->request = Sys(WinHttpOpenRequest)(handles->connection, L"GET", text.units, nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          parts.secure ? WINHTTP_FLAG_SECURE : 0);
    if (!handles->request) {
        return Fail(result, HttpStage::Connection);
    }
    DWORD disabled = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_AUTHENTICATION;
    if (!Sys(WinHttpSetOption)(handles->request, WINHTTP_OPTION_DISABLE_FEATURE, &disabled,
                          sizeof(disabled))) {
        return Fail(result, HttpStage::Session);
    }

    handles->sentAt = Sys(GetTickCount64)();
    if (!Sys(WinHttpSendRequest)(handles->request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        return Fail(result, HttpStage::Exchange);
    }
    if (!Sys(WinHttpReceiveResponse)(handles->request, nullptr)) {
        return Fail(result, HttpStage::Exchange);
    }

    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    if (!Sys(WinHttpQueryHeaders)(handles->request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                             WINHTTP_NO_HEADER_INDEX)) {
        return Fail(result, HttpStage::Response);
    }
    result->status = status;
    // The length is asked for only to be told; the body's end is what counts.
    // NOTE: Wine 8 answers only the 32-bit form, which Windows answers too.
    DWORD total = 0;
    DWORD totalSize = sizeof total;
    if (settings.progress != nullptr &&
        Sys(WinHttpQueryHeaders)(handles->request,
                                 WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &total, &totalSize,
                                 WINHTTP_NO_HEADER_INDEX)) {
        handles->total = total;
    }
    return true;
}

// Writes bytes[0, n) to file whole.
bool WritePiece(HANDLE file, const u8* bytes, DWORD n) {
    DWORD written = 0;
    return Sys(WriteFile)(file, bytes, n, &written, nullptr) && written == n;
}

// Reads the body into buffer[0, capacity) when file is null, else writes it
// to file in pieces of PieceSize, the last one shorter, through scratch. The
// length is learnt only from the end of the data. Each turn waits once, in
// WinHttpQueryDataAvailable, and reads only what is there: NOTE:
// WinHttpReadData waits until the whole size asked for has come, so a server
// that sends a byte now and then would hold one read for ever (and the
// progress callback would not be asked); and Wine makes only one TLS record
// (16 KiB) available at a time. Between waits the clock bounds the whole
// transfer: the buffer's within TransferBoundMs of the request, the file's,
// after that long, to BodyFloor since its body began. Passing a bound fails as
// a receive time-out does.
bool HttpReadBody(const UpdateSettings& settings, const HttpHandles& handles, u8* buffer,
                  u64 capacity, HANDLE file, u8* scratch, u64 maxBytes, HttpResult* result) {
    DWORD filled = 0;  // scratch bytes not yet written
    const u64 start = file ? Sys(GetTickCount64)() : handles.sentAt;
    u64 told = 0;
    u64 toldAt = Sys(GetTickCount64)();
    for (;;) {
        const u64 now = Sys(GetTickCount64)();
        const u64 elapsed = now - start;
        if (elapsed > TransferBoundMs && (!file || result->bytes * 1000 < elapsed * BodyFloor)) {
            result->stage = static_cast<u32>(HttpStage::Response);
            result->systemError = ERROR_WINHTTP_TIMEOUT;
            return false;
        }
        // Every turn after the first has brought bytes.
        if (settings.progress != nullptr &&
            (result->bytes - told >= ProgressBytes || now - toldAt >= ProgressMs)) {
            if (StopAsked(settings, handles, result)) return false;
            told = result->bytes;
            toldAt = now;
        }
        DWORD available = 0;
        if (!Sys(WinHttpQueryDataAvailable)(handles.request, &available)) {
            return Fail(result, HttpStage::Response);
        }
        if (available == 0) {
            break;
        }
        u8* target = scratch + filled;
        u64 size = PieceSize - filled;
        if (!file) {
            size = capacity - result->bytes;
            if (size == 0) {
                result->stage = static_cast<u32>(HttpStage::TooLarge);
                return false;
            }
            target = buffer + result->bytes;
        }
        size = size < available ? size : available;
        size = size < PieceSize ? size : PieceSize;

        DWORD received = 0;
        if (!Sys(WinHttpReadData)(handles.request, target, static_cast<DWORD>(size), &received)) {
            return Fail(result, HttpStage::Response);
        }
        if (received == 0) {
            break;
        }
        result->bytes += received;
        if (result->bytes > maxBytes) {
            result->stage = static_cast<u32>(HttpStage::TooLarge);
            return false;
        }
        if (file) {
            filled += received;
            if (filled == PieceSize) {
                if (!WritePiece(file, scratch, filled)) {
                    return Fail(result, HttpStage::FileWrite);
                }
                filled = 0;
            }
        }
    }
    if (filled != 0 && !WritePiece(file, scratch, filled)) {
        return Fail(result, HttpStage::FileWrite);
    }
    // The body is whole: told once more, and a stop still counts.
    return !StopAsked(settings, handles, result);
}

// Closes request, connection and session; the caller's last error survives.
void HttpClose(HttpHandles* handles) {
    DWORD error = Sys(GetLastError)();
    HINTERNET* opened[] = {&handles->request, &handles->connection, &handles->session};
    for (HINTERNET* handle : opened) {
        if (*handle) Sys(WinHttpCloseHandle)(*handle);
        *handle = nullptr;
    }
    Sys(SetLastError)(error);
}

// One request: the body into buffer[0, capacity) when file is null, else
// into file through 64 KiB of scratch. The scratch and the wide texts of the
// request live in pages committed for the transfer, which keep the stack
// small (a frame over 4 KiB would call the compiler's stack probe).
bool HttpGet(const UpdateSettings& settings, const char* url, u64 urlLength, u8* buffer,
             u64 capacity, HANDLE file, u64 maxBytes, HttpResult* result) {
    HttpHandles handles{};
    handles.transfer = file ? ReleaseTransfer : DocumentTransfer;
    *result = HttpResult{};
    Arena arena{};
    bool ok = ArenaCreate(&arena, sizeof(WideText) + (file ? PieceSize : 0))
                  ? HttpStartRequest(settings, url, urlLength, &handles,
                                     *reinterpret_cast<WideText*>(arena.base), result)
                  : Fail(result, HttpStage::Response);
    ok = ok && HttpReadBody(settings, handles, buffer, capacity, file,
                            arena.base + sizeof(WideText), maxBytes, result);
    ArenaRelease(&arena);
    HttpClose(&handles);
    return ok;
}

}  // namespace

bool HttpGetToBuffer(const UpdateSettings& settings, const char* url, u64 urlLength, u8* buffer,
                     u64 capacity, HttpResult* result) {
    return HttpGet(settings, url, urlLength, buffer, capacity, nullptr, capacity, result);
}

bool HttpGetToFile(const UpdateSettings& settings, const char* url, u64 urlLength,
                   const UpdatePaths& paths, u64 maxBytes, HttpResult* result) {
    return HttpGet(settings, url, urlLength, nullptr, 0, paths.downloadHandle, maxBytes, result);
}
