// Counting every call through the program's system table, and failing or
// crashing at the k-th one; shared by the fault test and the crash runner.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "platform/system_win32.h"

// What the wrappers do: count the calls that can fail, make call failAt fail
// (or end the process there when crash is set), and track open handles.
struct CallPlan {
    unsigned long long count = 0;
    unsigned long long failAt = 0;  // 0: nothing fails
    bool crash = false;
    std::vector<u32> calls;         // the function of each counted call
    std::set<void*> open;           // handles and memory opened and not yet closed
};

inline CallPlan g_plan;

// The last error a failing call leaves: a device error for the kernel,
// WinHTTP's "cannot connect", the loader's "module not found".
inline DWORD FailureError(u32 function) {
    switch (SystemFunctionDll(function)) {
        case WinHttpDll: return ERROR_WINHTTP_CANNOT_CONNECT;
        default: break;
    }
    if (function == Sys_LoadLibraryExW || function == Sys_GetProcAddress) return ERROR_MOD_NOT_FOUND;
    return ERROR_IO_DEVICE;
}

// Calls that cannot fail or that only report: never counted.
constexpr bool Counted(u32 function) {
    return function != Sys_GetLastError && function != Sys_SetLastError &&
           function != Sys_ExitProcess && function != Sys_GetCommandLineW &&
           function != Sys_GetProcessHeap;
}

// Releases still release when they report failure, as the system's do.
constexpr bool Releases(u32 function) {
    return function == Sys_CloseHandle || function == Sys_WinHttpCloseHandle ||
           function == Sys_VirtualFree || function == Sys_HeapFree ||
           function == Sys_BCryptDestroyKey || function == Sys_BCryptCloseAlgorithmProvider;
}

template <u32 Id, typename R>
R FailureValue() {
    if constexpr (Id == Sys_CreateFileW || Id == Sys_GetStdHandle) {
        return INVALID_HANDLE_VALUE;
    } else if constexpr (Id == Sys_WinVerifyTrust) {
        return static_cast<LONG>(TRUST_E_NOSIGNATURE);
    } else if constexpr (Id == Sys_BCryptOpenAlgorithmProvider || Id == Sys_BCryptImportKeyPair ||
                         Id == Sys_BCryptVerifySignature || Id == Sys_BCryptDestroyKey ||
                         Id == Sys_BCryptCloseAlgorithmProvider) {
        return static_cast<NTSTATUS>(0xC0000001L);  // STATUS_UNSUCCESSFUL
    } else {
        return R{};
    }
}

template <u32 Id, typename R, typename... A>
void Track(const R& result, A... args) {
    auto first = [](auto a, auto...) { return reinterpret_cast<void*>(a); };
    if constexpr (Id == Sys_CreateFileW || Id == Sys_CreateMutexW || Id == Sys_WinHttpOpen ||
                  Id == Sys_WinHttpConnect || Id == Sys_WinHttpOpenRequest ||
                  Id == Sys_VirtualAlloc) {
        void* handle = reinterpret_cast<void*>(result);
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) g_plan.open.insert(handle);
    } else if constexpr (Id == Sys_CloseHandle || Id == Sys_WinHttpCloseHandle ||
                         Id == Sys_VirtualFree || Id == Sys_BCryptDestroyKey ||
                         Id == Sys_BCryptCloseAlgorithmProvider) {
        g_plan.open.erase(first(args...));
    } else if constexpr (Id == Sys_BCryptOpenAlgorithmProvider || Id == Sys_BCryptImportKeyPair) {
        // The handle comes back through the first or the fourth argument.
        constexpr size_t at = Id == Sys_BCryptOpenAlgorithmProvider ? 0 : 3;
        auto out = std::get<at>(std::tuple<A...>(args...));
        if (result == 0 && *out != nullptr) g_plan.open.insert(*out);
    }
}

template <u32 Id, typename F>
struct Wrapped;

template <u32 Id, typename R, typename... A>
struct Wrapped<Id, R(WINAPI*)(A...)> {
    using Function = R(WINAPI*)(A...);
    static R WINAPI Call(A... args) {
        auto real = reinterpret_cast<Function>(SystemDefaultAddress(Id));
        bool fail = false;
        if (Counted(Id)) {
            g_plan.count += 1;
            g_plan.calls.push_back(Id);
            fail = g_plan.count == g_plan.failAt;
            if (fail && g_plan.crash) TerminateProcess(GetCurrentProcess(), 99);
        }
        if constexpr (std::is_void_v<R>) {
            real(args...);
        } else {
            if (fail && !Releases(Id)) {
                SetLastError(FailureError(Id));
                return FailureValue<Id, R>();
            }
            R result = real(args...);
            Track<Id>(result, args...);
            if (fail) {
                SetLastError(FailureError(Id));
                return FailureValue<Id, R>();
            }
            return result;
        }
    }
};

// Puts the wrappers in every entry of the table for the life of the object,
// with the DLLs bound anew so the loader's calls count too.
struct CountingTable {
    CountingTable() {
        ResetSystemBindings();
#define FWSTACK_WRAP(dll, name) \
    ReplaceSystemFunction(Sys_##name, \
                          reinterpret_cast<SystemProc>(&Wrapped<Sys_##name, decltype(&::name)>::Call));
        FWSTACK_SYSTEM_FUNCTIONS(FWSTACK_WRAP)
#undef FWSTACK_WRAP
    }
    ~CountingTable() {
        for (u32 f = 0; f < SystemFunctionCount; ++f) ReplaceSystemFunction(f, nullptr);
        ResetSystemBindings();
    }
    CountingTable(const CountingTable&) = delete;
    CountingTable& operator=(const CountingTable&) = delete;
};
