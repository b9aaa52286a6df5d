// The table of system functions and the loader that binds DLLs from the system folder only.
#include "platform/system_win32.h"

#include "base/bytes.h"

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace {

// The DLL of each function, in table order.
constexpr u8 kFunctionDll[] = {
#define FWSTACK_SYSTEM_DLL(dll, name) dll,
    FWSTACK_SYSTEM_FUNCTIONS(FWSTACK_SYSTEM_DLL)
#undef FWSTACK_SYSTEM_DLL
};
static_assert(sizeof kFunctionDll == SystemFunctionCount, "one DLL a function");

// The names GetProcAddress looks up, those of the loaded DLLs' functions in
// table order, each ended by a zero byte; kernel32's are in the import table.
// One string, so the table holds no pointers the loader would relocate.
constexpr u32 kKernel32Count = 0
#define FWSTACK_SYSTEM_ONE(dll, name) +1
    FWSTACK_KERNEL32_FUNCTIONS(FWSTACK_SYSTEM_ONE);
#undef FWSTACK_SYSTEM_ONE
constexpr char kLoadedNames[] =
#define FWSTACK_SYSTEM_NAME(dll, name) #name "\0"
    FWSTACK_LOADED_FUNCTIONS(FWSTACK_SYSTEM_NAME);
#undef FWSTACK_SYSTEM_NAME

// The DLLs' file names in SystemDll order, packed the same way.
constexpr char kDllNames[] =
    "kernel32.dll\0user32.dll\0winhttp.dll\0wintrust.dll\0crypt32.dll\0bcrypt.dll";
static_assert(PackedCount(kDllNames) == SystemDllCount, "one name a DLL");

// The DLL's file name widened, with its terminator.
void DllName(u32 dll, wchar_t out[16]) {
    const char* name = PackedString(kDllNames, dll);
    u32 i = 0;
    for (; name[i] != 0; ++i) out[i] = static_cast<wchar_t>(name[i]);
    out[i] = 0;
}

// A DLL of ours that a DLL loads by itself later, loaded first from the
// system folder so that the later load finds it in place. NOTE: Wine's winhttp
// delay-loads crypt32 with a search that ignores SetDefaultDllDirectories and
// looks in the program's folder first.
constexpr u32 kLoadedFirst[] = {
    SystemDllCount, SystemDllCount, Crypt32Dll, Crypt32Dll, SystemDllCount, SystemDllCount,
};
static_assert(sizeof kLoadedFirst / sizeof kLoadedFirst[0] == SystemDllCount, "one a DLL");

// Zero-filled data, filled on first use: nothing runs before the entry point.
struct SystemTable {
    SystemProc replaced[SystemFunctionCount];  // a test's replacement, or null
    SystemProc bound[SystemFunctionCount];     // the system's function once looked up
    HMODULE modules[SystemDllCount];
    bool ready[SystemDllCount];                // every function of the DLL is bound
};
SystemTable g_system;

// NOTE: two threads of a host may bind a DLL at the same moment. Both load
// the same module and look up the same addresses, so either's stores will
// do; a DLL is marked ready only after its functions are stored, and a
// function is read only once stored whole.
template <typename T>
T LoadAcquire(const T& value) {
    return __atomic_load_n(&value, __ATOMIC_ACQUIRE);
}
template <typename T>
void StoreRelease(T& slot, T value) {
    __atomic_store_n(&slot, value, __ATOMIC_RELEASE);
}

// The import address table slots of the imported kernel32 functions, in table
// order, as offsets from the image base: four bytes each and nothing for the
// loader to relocate, where a table of addresses would need relocations and a
// switch takes a jump table and eight bytes of code a function.
extern "C" const IMAGE_DOS_HEADER __ImageBase;
extern "C" const u32 fwstack_kernel32_slots[];
asm(".section .rdata,\"dr\"\n"
    ".p2align 2\n"
    "fwstack_kernel32_slots:\n"
#define FWSTACK_KERNEL32_SLOT(dll, name) ".rva __imp_" #name "\n"
    FWSTACK_KERNEL32_FUNCTIONS(FWSTACK_KERNEL32_SLOT)
#undef FWSTACK_KERNEL32_SLOT
    ".text\n");

// The imported kernel32 function, as the loader bound it.
SystemProc Kernel32Function(u32 function) {
    const u8* base = reinterpret_cast<const u8*>(&__ImageBase);
    return *reinterpret_cast<const SystemProc*>(base + fwstack_kernel32_slots[function]);
}

// The DLL from the system folder, never from the program's folder or the
// search path, where a planted DLL of the same name would run our code.
HMODULE LoadFromSystemFolder(u32 dll) {
    wchar_t name[16];
    DllName(dll, name);
    HMODULE module = Sys(LoadLibraryExW)(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr || Sys(GetLastError)() != ERROR_INVALID_PARAMETER) return module;

    // NOTE: Windows 7 without its loader update refuses the search flag with
    // ERROR_INVALID_PARAMETER; the full path of the system folder then names
    // the same file, and the altered search path finds its dependencies there.
    wchar_t path[MAX_PATH + 16];
    UINT n = Sys(GetSystemDirectoryW)(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return nullptr;
    path[n++] = L'\\';
    for (u32 i = 0; name[i] != 0; ++i) path[n++] = name[i];
    path[n] = 0;
    return Sys(LoadLibraryExW)(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

// NOTE: system DLLs load further DLLs themselves, with the default search,
// which would look in the program's folder first; on Windows this closes that
// door too. The setting is the whole process's, for the rest of its life, so
// only a program's own entry point may make it. Windows 7 without its loader
// update lacks the function.
void RestrictDefaultDllSearch() {
    using SetDirectories = BOOL(WINAPI*)(DWORD);
    wchar_t name[16];
    DllName(Kernel32Dll, name);
    HMODULE kernel32 = Sys(GetModuleHandleW)(name);
    FARPROC set = kernel32 ? Sys(GetProcAddress)(kernel32, "SetDefaultDllDirectories") : nullptr;
    if (set == nullptr) return;
    reinterpret_cast<SetDirectories>(reinterpret_cast<SystemProc>(set))(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

bool SystemDllReady(u32 dll) {
    if (dll >= SystemDllCount) return false;
    if (dll == Kernel32Dll || LoadAcquire(g_system.ready[dll])) return true;
    if (g_system.modules[dll] == nullptr) {
        u32 first = kLoadedFirst[dll];
        if (first != SystemDllCount && g_system.modules[first] == nullptr) {
            g_system.modules[first] = LoadFromSystemFolder(first);
        }
        g_system.modules[dll] = LoadFromSystemFolder(dll);
        if (g_system.modules[dll] == nullptr) return false;
    }
    const char* name = kLoadedNames;
    for (u32 f = kKernel32Count; f < SystemFunctionCount; ++f, name = PackedString(name, 1)) {
        if (kFunctionDll[f] != dll || LoadAcquire(g_system.bound[f]) != nullptr) continue;
        FARPROC address = Sys(GetProcAddress)(g_system.modules[dll], name);
        if (address == nullptr) return false;
        StoreRelease(g_system.bound[f], reinterpret_cast<SystemProc>(address));
    }
    StoreRelease(g_system.ready[dll], true);
    return true;
}

SystemProc SystemDefaultAddress(u32 function) {
    if (function >= SystemFunctionCount) return nullptr;
    SystemProc bound = LoadAcquire(g_system.bound[function]);
    if (bound != nullptr) return bound;
    if (kFunctionDll[function] == Kernel32Dll) {
        bound = Kernel32Function(function);
        StoreRelease(g_system.bound[function], bound);
        return bound;
    }
    SystemDllReady(kFunctionDll[function]);
    return LoadAcquire(g_system.bound[function]);
}

SystemProc SystemFunctionAddress(u32 function) {
    if (function < SystemFunctionCount && g_system.replaced[function] != nullptr) {
        return g_system.replaced[function];
    }
    return SystemDefaultAddress(function);
}

u32 SystemFunctionDll(u32 function) {
    return function < SystemFunctionCount ? kFunctionDll[function] : u32{SystemDllCount};
}

SystemProc ReplaceSystemFunction(u32 function, SystemProc replacement) {
    if (function >= SystemFunctionCount) return nullptr;
    SystemProc previous = g_system.replaced[function];
    g_system.replaced[function] = replacement;
    return previous;
}

void ResetSystemBindings() {
    for (u32 f = 0; f < SystemFunctionCount; ++f) g_system.bound[f] = nullptr;
    for (u32 d = 0; d < SystemDllCount; ++d) {
        g_system.modules[d] = nullptr;
        g_system.ready[d] = false;
    }
}
