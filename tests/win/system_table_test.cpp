// The system table under failure: a DLL that cannot be loaded or a function
// that cannot be found fails the step that needed it, never the process.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/report.h"
#include "files/installed_version.h"
#include "platform/system_win32.h"
#include "tests/win/engine_support.h"
#include "tests/win/system_override.h"

namespace {

std::wstring g_refusedDll;       // a DLL name LoadLibraryExW refuses, lower case
std::string g_refusedFunction;   // a function GetProcAddress does not find
bool g_refuseSearchFlag = false; // LoadLibraryExW refuses LOAD_LIBRARY_SEARCH_SYSTEM32
std::vector<std::wstring> g_loads;

std::wstring Lower(const wchar_t* text) {
    std::wstring out(text);
    for (wchar_t& c : out) c = static_cast<wchar_t>(towlower(c));
    return out;
}

HMODULE WINAPI FailingLoad(LPCWSTR name, HANDLE file, DWORD flags) {
    std::wstring lower = Lower(name);
    g_loads.push_back(lower);
    if (!g_refusedDll.empty() && lower.size() >= g_refusedDll.size() &&
        lower.compare(lower.size() - g_refusedDll.size(), g_refusedDll.size(), g_refusedDll) == 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (g_refuseSearchFlag && (flags & 0x800) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return LoadLibraryExW(name, file, flags);
}

FARPROC WINAPI FailingLookUp(HMODULE module, LPCSTR name) {
    if (g_refusedFunction == name) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return GetProcAddress(module, name);
}

// The loader of the table, failing as one case asks, with every look-up fresh.
struct FailingLoader {
    FailingLoader(const wchar_t* dll, const char* function, bool refuseSearchFlag = false) {
        g_refusedDll = dll;
        g_refusedFunction = function;
        g_refuseSearchFlag = refuseSearchFlag;
        g_loads.clear();
    }
    FreshSystemBindings fresh;
    SystemOverride load = OverrideSystem(LoadLibraryExW, FailingLoad);
    SystemOverride lookUp = OverrideSystem(GetProcAddress, FailingLookUp);
};

using SystemTable = EngineTest;

TEST_F(SystemTable, AMissingDllOrFunctionFailsTheStepThatNeedsIt) {
    struct Case {
        const wchar_t* dll;
        const char* function;
        const char* message;
    };
    const Case cases[] = {
        {L"user32.dll", "", "another update is running"},
        {L"", "CharUpperBuffW", "another update is running"},
        {L"winhttp.dll", "", "the update server did not deliver the update information"},
        {L"", "WinHttpOpen", "the update server did not deliver the update information"},
        {L"", "WinHttpReadData", "the update server did not deliver the update information"},
        {L"wintrust.dll", "", "the download is not signed"},
        {L"", "WTHelperProvDataFromStateData", "the download is not signed"},
        {L"crypt32.dll", "", "the download is not signed"},
        {L"", "CertGetNameStringW", "the download is not signed"},
    };
    AnnounceRelease();
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.dll) + c.function);
        FailingLoader loader(c.dll, c.function);
        EXPECT_EQ(UpdateLine(), std::string("fwstack update failed: ") + c.message + "\n");
        ExpectProgramUnchanged();
        EXPECT_FALSE(FileExists(Sibling(L".download")));
        DeleteFileW(Sibling(L".latest").c_str());
    }
    FailingLoader none(L"", "");
    EXPECT_EQ(UpdateLine(), "fwstack updated to 0.0.3\n");
}

TEST_F(SystemTable, DllsComeFromTheSystemFolderAlsoWhereTheSearchFlagIsRefused) {
    AnnounceRelease();
    FailingLoader loader(L"", "", true);
    EXPECT_EQ(UpdateLine(), "fwstack updated to 0.0.3\n");
    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    std::wstring folder = Lower(system) + L"\\";
    for (const wchar_t* dll : {L"user32.dll", L"winhttp.dll", L"wintrust.dll", L"crypt32.dll"}) {
        EXPECT_NE(std::find(g_loads.begin(), g_loads.end(), folder + dll), g_loads.end())
            << Narrow(dll);
    }
    for (const std::wstring& load : g_loads) {
        EXPECT_TRUE(load.find(L'\\') == std::wstring::npos || load.rfind(folder, 0) == 0)
            << Narrow(load);
    }
}

// The installed version is read from the program file through its handle
// when the settings carry no version text; a file that cannot be opened or
// read leaves it unknown.
TEST(SystemTableVersion, AnUnreadableProgramFileMakesTheVersionUnknown) {
    std::wstring release = AssetPath("releases/fwstack-0.0.2.exe");
    static std::wstring s_program;
    s_program = release;
    auto program = OverrideSystem(GetModuleFileNameW, [](HMODULE, LPWSTR out, DWORD size) -> DWORD {
        lstrcpynW(out, s_program.c_str(), static_cast<int>(size));
        return static_cast<DWORD>(s_program.size());
    });
    Version version{};
    EXPECT_TRUE(ReadInstalledVersion(&version));
    EXPECT_EQ(version.patch, 2u);
    auto unknown = [](const char* refused) {
        Version seen{7, 7, 7, 7};
        EXPECT_FALSE(ReadInstalledVersion(&seen)) << refused;
        EXPECT_EQ(seen.major + seen.minor + seen.patch, 0u) << refused;
    };
    {
        auto open = OverrideSystem(CreateFileW, [](LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                                                   DWORD, HANDLE) -> HANDLE {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        });
        unknown("CreateFileW");
    }
    {
        auto read = OverrideSystem(ReadFile, [](HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) -> BOOL {
            SetLastError(ERROR_READ_FAULT);
            return FALSE;
        });
        unknown("ReadFile");
    }
}

// The names are stored packed, apart from the table: each entry must still
// be bound to the export of its own name in its own DLL.
TEST(SystemTableNames, EveryEntryIsTheExportOfItsName) {
    FreshSystemBindings fresh;
    const wchar_t* dlls[] = {L"kernel32.dll", L"user32.dll", L"winhttp.dll", L"wintrust.dll",
                             L"crypt32.dll", L"bcrypt.dll"};
    static_assert(sizeof dlls / sizeof dlls[0] == SystemDllCount);
    for (u32 f = 0; f < SystemFunctionCount; ++f) {
        SCOPED_TRACE(SystemFunctionName(f));
        HMODULE module = LoadLibraryW(dlls[SystemFunctionDll(f)]);
        ASSERT_NE(module, nullptr);
        FARPROC exported = GetProcAddress(module, SystemFunctionName(f));
        ASSERT_NE(exported, nullptr);
        EXPECT_EQ(reinterpret_cast<void*>(SystemDefaultAddress(f)), reinterpret_cast<void*>(exported));
    }
    EXPECT_STREQ(SystemFunctionName(SystemFunctionCount), "");
}

}  // namespace
