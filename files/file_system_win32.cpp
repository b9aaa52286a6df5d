// The file primitives of the update engine on Win32 files, through the system table.
#include "base/bytes.h"
#include "files/file_system.h"
#include "platform/system_win32.h"

namespace {

LPCWSTR Wide(const PathBuffer& path) { return reinterpret_cast<LPCWSTR>(path.text); }

struct ModeFlags {
    DWORD access;
    DWORD share;
    DWORD disposition;
};

// Indexed by FileOpenMode.
constexpr ModeFlags kModes[] = {
    {GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, CREATE_ALWAYS},  // CreateForDownload
    {GENERIC_WRITE, 0, CREATE_ALWAYS},                                          // CreateForRecord
    {GENERIC_READ | DELETE, FILE_SHARE_READ, OPEN_EXISTING},                   // OpenForSwap
};
static_assert(sizeof kModes / sizeof kModes[0] == OpenForSwap + 1, "one entry a mode");

// The layout SetFileInformationByHandle expects on x64: the name starts at 20.
constexpr u64 RenameFixedPart = 20;
static_assert(offsetof(FILE_RENAME_INFO, FileName) == RenameFixedPart, "FILE_RENAME_INFO layout");
static_assert(sizeof(FILE_RENAME_INFO) == 24, "FILE_RENAME_INFO size");

constexpr u64 MaxChunk = 0x40000000u;  // 1 GiB a ReadFile or WriteFile

}  // namespace

OpenedFile OpenFile(const PathBuffer& path, u32 mode) {
    OpenedFile opened = {nullptr, 0};
    if (mode > OpenForSwap) {
        opened.error = ERROR_INVALID_PARAMETER;
        return opened;
    }
    const ModeFlags& flags = kModes[mode];
    HANDLE file = Sys(CreateFileW)(Wide(path), flags.access, flags.share, nullptr,
                                   flags.disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    opened.error = Sys(GetLastError)();
    if (IsValidHandle(file)) {
        opened.handle = file;
        opened.error = 0;
    }
    return opened;
}

void CloseFile(void* file) {
    if (!IsValidHandle(file)) return;
    DWORD error = Sys(GetLastError)();
    Sys(CloseHandle)(file);
    Sys(SetLastError)(error);
}

bool ReadFileAt(void* file, u64 offset, void* buffer, u64 n, u64* got) {
    *got = 0;
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!Sys(SetFilePointerEx)(file, position, nullptr, FILE_BEGIN)) return false;
    u8* bytes = static_cast<u8*>(buffer);
    while (*got < n) {
        u64 rest = n - *got;
        DWORD chunk = static_cast<DWORD>(rest > MaxChunk ? MaxChunk : rest);
        DWORD read = 0;
        if (!Sys(ReadFile)(file, bytes + *got, chunk, &read, nullptr)) return false;
        if (read == 0) break;
        *got += read;
    }
    return true;
}

bool WriteToFile(void* file, const void* bytes, u64 n) {
    const u8* data = static_cast<const u8*>(bytes);
    u64 done = 0;
    while (done < n) {
        u64 rest = n - done;
        DWORD chunk = static_cast<DWORD>(rest > MaxChunk ? MaxChunk : rest);
        DWORD written = 0;
        if (!Sys(WriteFile)(file, data + done, chunk, &written, nullptr) || written != chunk) {
            return false;
        }
        done += written;
    }
    return true;
}

bool FlushFile(void* file) { return Sys(FlushFileBuffers)(file) != 0; }

bool RenameOpenFile(void* file, const PathBuffer& newPath) {
    u64 length = newPath.length < PathCapacity ? newPath.length : PathCapacity - 1;
    // The fixed part, the name and its terminator; zeroed, so the terminator
    // and the unused bytes of the union are zero.
    alignas(8) u8 buffer[RenameFixedPart + 2 * PathCapacity + 2];
    FillBytes(buffer, 0, sizeof buffer);
    FILE_RENAME_INFO* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(2 * length);
    CopyBytes(buffer + RenameFixedPart, newPath.text, 2 * length);
    DWORD size = static_cast<DWORD>(RenameFixedPart + 2 * length + 2);
    return Sys(SetFileInformationByHandle)(file, FileRenameInfo, buffer, size) != 0;
}

bool MoveFileReplacing(const PathBuffer& from, const PathBuffer& to) {
    // Flags 1 only: no copy across volumes, no write-through; siblings share a folder.
    return Sys(MoveFileExW)(Wide(from), Wide(to), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool RemoveFile(const PathBuffer& path) { return Sys(DeleteFileW)(Wide(path)) != 0; }
