// The entry point of fwstack_update.dll: nothing to set up or tear down. The
// engine keeps no state between calls and binds system DLLs on first use, so
// loading and unloading the DLL only has to succeed.
#include <windows.h>

extern "C" BOOL WINAPI DllEntry(HINSTANCE, DWORD, LPVOID) { return TRUE; }
