// Test-only replacement for the trust provider call of the signer check; null calls the real one.
#pragma once

#include <windows.h>

// Zero-initialised: the product never sets the entry. A test sets it to watch
// the requests (and usually hands them on to the real WinVerifyTrust).
struct SignerSeams {
    LONG(WINAPI* winVerifyTrust)(HWND window, GUID* action, LPVOID data);
};

extern SignerSeams g_signerSeams;
