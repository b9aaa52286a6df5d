// Test-only replacements for the file system calls of the update engine; null calls the real one.
#pragma once

#include <windows.h>

// Zero-initialised and never set by the product, so every call goes to the
// system. A test sets an entry to stage a failure that a real disk cannot
// produce on demand (a rename that fails after the program was moved aside,
// a flush that fails), and clears it again. Never initialise an entry with a
// function address: that would need a constructor before the entry point.
struct SystemCalls {
    BOOL(WINAPI* setFileInformationByHandle)(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                             LPVOID information, DWORD size);
    BOOL(WINAPI* flushFileBuffers)(HANDLE file);
};

extern SystemCalls g_systemCalls;
