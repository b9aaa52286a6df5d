// Helpers for the Windows tests under Wine: paths, scratch folders, files,
// the local update server and update information documents.
#pragma once

#include <optional>
#include <string>

// UTF-8 <-> UTF-16 for test texts.
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);

// A Unix path as Wine sees it: "Z:" + the path, '/' turned into '\'.
std::wstring WindowsPath(const std::string& unixPath);

// The environment variable's value, "" when it is not set.
std::string Env(const char* name);

// A fresh, uniquely named folder under the Windows temp directory, deleted
// with everything in it when the object goes.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& Path() const { return path_; }
    // Path() + '\' + name; the file need not exist.
    std::wstring File(const std::wstring& name) const;

private:
    std::wstring path_;
};

// Deletes a folder and all it holds; true when it is gone afterwards.
bool DeleteTree(const std::wstring& path);

// Whole-file helpers on Windows paths; bytes are held in std::string.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::optional<std::string> ReadFileBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
bool CopyFileTo(const std::wstring& from, const std::wstring& to);

// The folder the test server serves ($FWSTACK_SERVED) and a path inside it;
// relative uses '/' separators.
std::wstring ServedPath(const std::string& relative);
// Writes bytes to a served path, creating its folders.
bool WriteServedFile(const std::string& relative, const std::string& bytes);
// Ports of the running test servers (0 when there is none).
unsigned HttpPort();
unsigned HttpsPort();
// A path inside the test assets ($FWSTACK_ASSETS) as a Windows path.
std::wstring AssetPath(const std::string& relative);

// Lower-case hexadecimal SHA-256 of bytes, by the program's own hash.
std::string Sha256Hex(const std::string& bytes);

// An update information document for the program fwstack.
std::string MakeDocument(const std::string& version, const std::string& file,
                         const std::string& sha256hex, const std::string& url);

// What the test server logged: one request path per line ("" when none).
std::string RequestLog();
// Forgets the logged requests, so a test sees only its own.
void ClearRequestLog();
