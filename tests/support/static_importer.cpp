// Imports version, winhttp, wintrust and crypt32 statically, as fwstack once
// did: a DLL planted beside it under one of those names is loaded and runs.
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>
#include <wintrust.h>

int main(int argc, char**) {
    if (argc > 100) {  // never true: the calls only make the imports
        GetFileVersionInfoSizeW(L"", nullptr);
        WinHttpCheckPlatform();
        WinVerifyTrust(nullptr, nullptr, nullptr);
        CertGetNameStringW(nullptr, 0, 0, nullptr, nullptr, 0);
    }
    return 0;
}
