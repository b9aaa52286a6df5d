// Test-only replacements for the system calls of the HTTP GET; null calls the real one.
#pragma once

#include <windows.h>
#include <winhttp.h>

// Zero-initialised: the product never sets an entry, so every call goes to
// the system. A test sets an entry to stage a failure that a real server and
// a real disk cannot produce, and clears it again.
struct HttpSeams {
    HINTERNET(WINAPI* winHttpOpen)(LPCWSTR agent, DWORD accessType, LPCWSTR proxy,
                                   LPCWSTR bypass, DWORD flags);
    BOOL(WINAPI* writeFile)(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                            LPOVERLAPPED overlapped);
};

extern HttpSeams g_httpSeams;
