// The floor of the update figure: the same system work as an update and
// nothing else. GET the document into memory, GET the release into a file
// next to the program, then WinVerifyTrust on that file twice.
//   floor_update.exe <document address> <release address> <download file>
#include <windows.h>
#include <softpub.h>
#include <winhttp.h>
#include <wintrust.h>

#include <string>
#include <vector>

namespace {

bool Get(const std::wstring& url, HANDLE file, std::string* body) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    wchar_t host[256] = {}, path[2048] = {};
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return false;
    HINTERNET session = WinHttpOpen(L"Ferrowstack", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, nullptr,
                                    nullptr, 0);
    HINTERNET connection = WinHttpConnect(session, host, parts.nPort, 0);
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", path, nullptr, nullptr, nullptr,
                                           WINHTTP_FLAG_SECURE);
    bool ok = request && WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) &&
              WinHttpReceiveResponse(request, nullptr);
    static char piece[65536];
    for (DWORD got = 0; ok; ) {
        ok = WinHttpReadData(request, piece, sizeof piece, &got) != 0;
        if (!ok || got == 0) break;
        DWORD written = 0;
        if (file != nullptr) ok = WriteFile(file, piece, got, &written, nullptr) && written == got;
        else body->append(piece, got);
    }
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    return ok;
}

LONG Verify(const wchar_t* path, HANDLE file) {
    WINTRUST_FILE_INFO info{};
    info.cbStruct = sizeof info;
    info.pcwszFilePath = path;
    info.hFile = file;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    std::string document;
    if (!Get(argv[1], nullptr, &document)) return 1;
    HANDLE file = CreateFileW(argv[3], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE || !Get(argv[2], file, nullptr)) return 1;
    LONG first = Verify(argv[3], file);
    LONG second = Verify(argv[3], file);
    CloseHandle(file);
    DeleteFileW(argv[3]);
    return first == 0 && second == 0 ? 0 : 1;
}
