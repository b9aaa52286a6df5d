// Helpers for the Windows tests under Wine: paths, scratch folders, files,
// the local update server and update information documents.
#include "tests/win/support.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "base/hex.h"
#include "info/update_info.h"
#include "verify/sha256.h"

std::wstring Widen(const std::string& utf8) {
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string Narrow(const std::wstring& utf16) {
    if (utf16.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), nullptr,
                                0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::wstring WindowsPath(const std::string& unixPath) {
    std::wstring path = L"Z:" + Widen(unixPath);
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

std::string Env(const char* name) {
    std::wstring wideName = Widen(name);
    DWORD n = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (n == 0) return {};
    std::wstring value(n, L'\0');
    DWORD got = GetEnvironmentVariableW(wideName.c_str(), value.data(), n);
    value.resize(got);
    return Narrow(value);
}

TempFolder::TempFolder() {
    wchar_t temp[MAX_PATH + 1] = {};
    DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    std::wstring base(temp, n);
    if (!base.empty() && base.back() != L'\\') base += L'\\';
    static unsigned counter = 0;
    for (;;) {
        std::wstring candidate = base + L"fwstack-test-" + std::to_wstring(GetCurrentProcessId()) +
                                 L"-" + std::to_wstring(GetTickCount64()) + L"-" +
                                 std::to_wstring(++counter);
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) std::abort();  // no temp folder: no test
    }
}

TempFolder::~TempFolder() { DeleteTree(path_); }

std::wstring TempFolder::File(const std::wstring& name) const { return path_ + L"\\" + name; }

bool DeleteTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path + L"\\" + name;
            // Tests make files read-only on purpose; they must still go.
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(child);
            } else {
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
    return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        DWORD written = 0;
        ok = WriteFile(file, bytes.data() + done, piece, &written, nullptr) && written == piece;
        done += written;
    }
    CloseHandle(file);
    return ok;
}

std::optional<std::string> ReadFileBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                              FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string bytes;
    std::vector<char> piece(1 << 16);
    bool ok = true;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, piece.data(), static_cast<DWORD>(piece.size()), &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0) break;
        bytes.append(piece.data(), got);
    }
    CloseHandle(file);
    if (!ok) return std::nullopt;
    return bytes;
}

bool FileExists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CopyFileTo(const std::wstring& from, const std::wstring& to) {
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != 0;
}

std::wstring ServedPath(const std::string& relative) {
    return WindowsPath(Env("FWSTACK_SERVED") + "/" + relative);
}

bool WriteServedFile(const std::string& relative, const std::string& bytes) {
    std::wstring path = ServedPath(relative);
    // Make each missing folder on the way, from the served root down.
    size_t rootLength = ServedPath("").size();
    for (size_t at = path.find(L'\\', rootLength); at != std::wstring::npos;
         at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    return WriteFileBytes(path, bytes);
}

static unsigned PortFrom(const char* name) {
    std::string text = Env(name);
    return text.empty() ? 0u : static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
}

unsigned HttpPort() { return PortFrom("FWSTACK_HTTP_PORT"); }
unsigned HttpsPort() { return PortFrom("FWSTACK_HTTPS_PORT"); }

std::wstring AssetPath(const std::string& relative) {
    return WindowsPath(Env("FWSTACK_ASSETS") + "/" + relative);
}

std::string Sha256Hex(const std::string& bytes) {
    u8 digest[32] = {};
    Sha256(bytes.data(), bytes.size(), digest);
    char hex[64];
    EncodeHex(digest, sizeof digest, hex);
    return std::string(hex, sizeof hex);
}

std::string MakeDocument(const std::string& version, const std::string& file,
                         const std::string& sha256hex, const std::string& url) {
    u8 digest[32] = {};
    if (!DecodeSha256Hex(sha256hex.data(), sha256hex.size(), digest)) return {};
    const UpdateInfoFields fields = {TextOf("fwstack"), {version.data(), version.size()},
                                     {file.data(), file.size()}, digest, {url.data(), url.size()}};
    std::string document(version.size() + file.size() + url.size() + 128, '\0');
    document.resize(FormatUpdateInfo(fields, document.data(), document.size()));
    return document;
}

std::string RequestLog() { return ReadFileBytes(ServedPath("requests.log")).value_or(""); }

void ClearRequestLog() { DeleteFileW(ServedPath("requests.log").c_str()); }
