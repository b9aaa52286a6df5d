// The one table of system functions: every call of the Win32 layer into Windows goes through it.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>
#include <wintrust.h>

#include "base/types.h"

// The DLLs the program calls into. Only kernel32 is imported; the others are
// loaded from the system folder when a step first needs them.
enum SystemDll : u32 {
    Kernel32Dll = 0,
    User32Dll,
    WinHttpDll,
    WinTrustDll,
    Crypt32Dll,
    SystemDllCount,
};

// The functions that only a program's own entry point and console call
// (its command line, its standard handles, its exit): the engine built alone
// for other programs (FWSTACK_ENGINE_ONLY: the library and the DLL) neither
// lists nor imports them.
#ifdef FWSTACK_ENGINE_ONLY
#define FWSTACK_PROGRAM_ONLY(entry)
#else
#define FWSTACK_PROGRAM_ONLY(entry) entry
#endif

// Every system function the program calls, with the DLL that exports it:
// first those of kernel32, the one DLL the program imports.
#define FWSTACK_KERNEL32_FUNCTIONS(X)                     \
    X(Kernel32Dll, CloseHandle)                           \
    X(Kernel32Dll, CreateFileW)                           \
    X(Kernel32Dll, CreateMutexW)                          \
    FWSTACK_PROGRAM_ONLY(X(Kernel32Dll, ExitProcess))     \
    X(Kernel32Dll, FlushFileBuffers)                      \
    FWSTACK_PROGRAM_ONLY(X(Kernel32Dll, GetCommandLineW)) \
    X(Kernel32Dll, GetFileAttributesW)                    \
    X(Kernel32Dll, GetFileInformationByHandleEx)          \
    X(Kernel32Dll, GetFullPathNameW)                      \
    X(Kernel32Dll, GetLastError)                          \
    X(Kernel32Dll, GetModuleHandleW)                      \
    X(Kernel32Dll, GetModuleFileNameW)                    \
    X(Kernel32Dll, GetProcAddress)                        \
    X(Kernel32Dll, GetProcessHeap)                        \
    FWSTACK_PROGRAM_ONLY(X(Kernel32Dll, GetStdHandle))    \
    X(Kernel32Dll, GetSystemDirectoryW)                   \
    X(Kernel32Dll, GetTickCount64)                        \
    X(Kernel32Dll, HeapAlloc)                             \
    X(Kernel32Dll, HeapFree)                              \
    X(Kernel32Dll, LoadLibraryExW)                        \
    X(Kernel32Dll, ReadFile)                              \
    X(Kernel32Dll, SetFileInformationByHandle)            \
    X(Kernel32Dll, SetFilePointerEx)                      \
    X(Kernel32Dll, SetLastError)                          \
    X(Kernel32Dll, Sleep)                                 \
    X(Kernel32Dll, VirtualAlloc)                          \
    X(Kernel32Dll, VirtualFree)                           \
    X(Kernel32Dll, WriteFile)

#define FWSTACK_LOADED_FUNCTIONS(X)              \
    X(User32Dll, CharUpperBuffW)                 \
    X(WinHttpDll, WinHttpCloseHandle)            \
    X(WinHttpDll, WinHttpConnect)                \
    X(WinHttpDll, WinHttpOpen)                   \
    X(WinHttpDll, WinHttpOpenRequest)            \
    X(WinHttpDll, WinHttpQueryDataAvailable)     \
    X(WinHttpDll, WinHttpQueryHeaders)           \
    X(WinHttpDll, WinHttpReadData)               \
    X(WinHttpDll, WinHttpReceiveResponse)        \
    X(WinHttpDll, WinHttpSendRequest)            \
    X(WinHttpDll, WinHttpSetOption)              \
    X(WinHttpDll, WinHttpSetTimeouts)            \
    X(WinTrustDll, WinVerifyTrust)               \
    X(WinTrustDll, WTHelperGetProvSignerFromChain) \
    X(WinTrustDll, WTHelperProvDataFromStateData)  \
    X(Crypt32Dll, CertGetNameStringW)

#define FWSTACK_SYSTEM_FUNCTIONS(X) FWSTACK_KERNEL32_FUNCTIONS(X) FWSTACK_LOADED_FUNCTIONS(X)

enum SystemFunction : u32 {
#define FWSTACK_SYSTEM_ENUMERATOR(dll, name) Sys_##name,
    FWSTACK_SYSTEM_FUNCTIONS(FWSTACK_SYSTEM_ENUMERATOR)
#undef FWSTACK_SYSTEM_ENUMERATOR
    SystemFunctionCount,
};

// The stored form of a function address; the typed call casts it back.
using SystemProc = void (*)();

// The function's current address: a test's replacement if one is set,
// otherwise the system's. Null only for a function of a DLL that could not be
// loaded or that lacks it; callers of non-kernel32 functions ask
// SystemDllReady first and so never see null.
SystemProc SystemFunctionAddress(u32 function);

// Loads the DLL from the system folder (once) and looks up all of its
// functions (once). False, with the last error set (126 for a DLL that cannot
// be loaded, 127 for a missing function), when any of them is unavailable.
bool SystemDllReady(u32 dll);

// Makes the system folder the default DLL search path of the whole process,
// for the rest of its life: for a program's entry point, never for the
// engine inside someone else's process. The engine's own loads name the
// system folder themselves either way.
void RestrictDefaultDllSearch();

// The DLL of a function and its name as exported.
u32 SystemFunctionDll(u32 function);
const char* SystemFunctionName(u32 function);

// For tests: replaces one entry (null restores the system's function) and
// returns the replacement it held; the system's own address, bypassing any
// replacement (null when unavailable); and forgetting every look-up, so DLLs
// and functions are bound anew.
SystemProc ReplaceSystemFunction(u32 function, SystemProc replacement);
SystemProc SystemDefaultAddress(u32 function);
void ResetSystemBindings();

// The typed function of the table: Sys(CreateFileW)(...).
#define Sys(name) (reinterpret_cast<decltype(&::name)>(SystemFunctionAddress(Sys_##name)))
