// Program paths from 200 to 1083 units, and one on a share: the program
// updates itself, the next start leaves only the program file, and every
// path handed to Windows is in the form Windows takes at its length.
// NOTE: Wine opens paths of any length, so the form is seen here through the
// system table; only Windows refuses a long path without it.
#include <windows.h>
#include <wintrust.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#include "tests/win/support.h"

#include "tests/win/engine_support.h"
#include "tests/win/system_override.h"

namespace {

std::set<std::pair<std::string, std::wstring>> g_seen;  // function, path

template <u32 Id, typename F>
F System() {
    return reinterpret_cast<F>(SystemDefaultAddress(Id));
}

HANDLE WINAPI SeenCreate(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                         DWORD disposition, DWORD flags, HANDLE model) {
    g_seen.insert({"CreateFileW", path});
    return System<Sys_CreateFileW, decltype(&CreateFileW)>()(path, access, share, security,
                                                             disposition, flags, model);
}
DWORD WINAPI SeenAttributes(LPCWSTR path) {
    g_seen.insert({"GetFileAttributesW", path});
    return System<Sys_GetFileAttributesW, decltype(&GetFileAttributesW)>()(path);
}
BOOL WINAPI SeenInformation(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
    if (kind == FileRenameInfo) {
        const auto* rename = static_cast<const FILE_RENAME_INFO*>(info);
        g_seen.insert({"FileRenameInfo",
                       std::wstring(rename->FileName, rename->FileNameLength / sizeof(WCHAR))});
    }
    return System<Sys_SetFileInformationByHandle, decltype(&SetFileInformationByHandle)>()(
        file, kind, info, size);
}
LONG WINAPI SeenTrust(HWND window, GUID* action, LPVOID data) {
    const auto* trust = static_cast<const WINTRUST_DATA*>(data);
    if (trust->dwUnionChoice == WTD_CHOICE_FILE) g_seen.insert({"WinVerifyTrust", trust->pFile->pcwszFilePath});
    return System<Sys_WinVerifyTrust, decltype(&WinVerifyTrust)>()(window, action, data);
}
DWORD WINAPI SeenFullPath(LPCWSTR path, DWORD size, LPWSTR out, LPWSTR* part) {
    g_seen.insert({"GetFullPathNameW", path});
    return System<Sys_GetFullPathNameW, decltype(&GetFullPathNameW)>()(path, size, out, part);
}

// A share under Wine: \\localhost\<name> is the prefix's dosdevices\unc\localhost\<name>.
std::wstring WineShare(const std::wstring& name) {
    wchar_t prefix[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH) == 0) return L"";
    std::wstring folder = L"Z:" + std::wstring(prefix) + L"/dosdevices/unc";
    for (wchar_t& c : folder) {
        if (c == L'/') c = L'\\';
    }
    CreateDirectoryW(folder.c_str(), nullptr);
    folder += L"\\localhost";
    CreateDirectoryW(folder.c_str(), nullptr);
    folder += L"\\" + name;
    return CreateDirectoryW(folder.c_str(), nullptr) ? folder : L"";
}

// The "\\?\" form of a full path, as Windows takes it at any length.
std::wstring ExtendedForm(const std::wstring& path) {
    return path[1] == L'\\' ? L"\\\\?\\UNC" + path.substr(1) : L"\\\\?\\" + path;
}

class LongPaths : public EngineTest {
protected:
    // A program file path of exactly units units under base, its folders made.
    static std::wstring ProgramAt(std::wstring folder, size_t units) {
        const std::wstring name = L"\\fwstack.exe";
        while (folder.size() + name.size() < units) {
            size_t room = units - name.size() - folder.size() - 1;
            // Never leave a remainder too short for a folder of its own.
            size_t part = room > 200 ? (room - 200 < 2 ? 150 : 200) : room;
            folder += L"\\" + std::wstring(part, L'd');
            CreateDirectoryW(ExtendedForm(folder).c_str(), nullptr);
        }
        return folder + name;
    }
};

TEST_F(LongPaths, EveryPathHasTheFormOfItsLength) {
    AnnounceRelease();
    const std::wstring share = L"fwstack-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring shareFolder = WineShare(share);
    ASSERT_FALSE(shareFolder.empty()) << "not under Wine";
    struct Row {
        std::wstring base;
        size_t units;
    } rows[] = {{folder_.Path(), 200}, {folder_.Path(), 251}, {folder_.Path(), 259},
                {folder_.Path(), 600}, {folder_.Path(), 1083},
                {L"\\\\localhost\\" + share, 600}};
    for (const Row& row : rows) {
        program_ = ProgramAt(row.base, row.units);
        SCOPED_TRACE(Narrow(program_.substr(0, 24)) + "... " + std::to_string(program_.size()));
        ASSERT_EQ(program_.size(), row.units);
        ASSERT_TRUE(WriteFileBytes(ExtendedForm(program_), previous_));
        // The set takes the form once its longest name, ".download", reaches 260 units.
        const std::wstring formed = program_.size() + 9 < 260 ? program_ : ExtendedForm(program_);
        g_seen.clear();
        {
            auto create = OverrideSystem(CreateFileW, SeenCreate);
            auto attributes = OverrideSystem(GetFileAttributesW, SeenAttributes);
            auto information = OverrideSystem(SetFileInformationByHandle, SeenInformation);
            auto trust = OverrideSystem(WinVerifyTrust, SeenTrust);
            auto full = OverrideSystem(GetFullPathNameW, SeenFullPath);
            EXPECT_EQ(UpdateLine(), "fwstack updated to 0.0.3\n");
            const std::string path = Narrow(program_);
            StartupCleanup(settings_, Text{path.data(), path.size()});  // the next start
        }
        EXPECT_TRUE(ReadFileBytes(ExtendedForm(program_)) == release_);
        const std::wstring folder = ExtendedForm(program_.substr(0, program_.rfind(L'\\')));
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
        ASSERT_NE(search, INVALID_HANDLE_VALUE);
        std::set<std::wstring> left;
        do {
            left.insert(found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
        EXPECT_EQ(left, (std::set<std::wstring>{L".", L"..", L"fwstack.exe"}));
        // Every path handed over names the program or a sibling, in the one form.
        std::set<std::wstring> names = {formed};
        for (const wchar_t* suffix : {L".old", L".new", L".download", L".latest"}) {
            names.insert(formed + suffix);
        }
        for (wchar_t k = L'1'; k <= L'9'; ++k) names.insert(formed + L".old" + k);
        for (const auto& [function, path] : g_seen) {
            EXPECT_TRUE(names.count(path)) << function << " " << Narrow(path);
        }
        for (const char* function : {"GetFullPathNameW", "CreateFileW", "FileRenameInfo",
                                     "WinVerifyTrust"}) {
            bool called = false;
            for (const auto& seen : g_seen) called = called || seen.first == function;
            EXPECT_TRUE(called) << function;
        }
    }
    DeleteTree(shareFolder);
}

}  // namespace
