// The file primitives of the update engine on Win32 files, through the system table.
#include "base/bytes.h"
#include "files/file_system.h"
#include "platform/system_win32.h"

namespace {

// Paths come in the form the system takes at their length (UseSystemForm):
// CreateFileW and GetFileAttributesW take the "\\?\" form beyond
// MAX_PATH (Microsoft's pages for each, and Naming Files, Paths, and
// Namespaces).
LPCWSTR Wide(const PathBuffer& path) { return reinterpret_cast<LPCWSTR>(path.text); }

struct ModeFlags {
    DWORD access;
    DWORD share;
    DWORD disposition;
    DWORD flags;
};

// Indexed by FileOpenMode. CREATE_NEW never opens what stands at the name,
// and a reparse point there is taken as the name's own entry.
constexpr ModeFlags kModes[] = {
    {GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, CREATE_NEW,
     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT},                       // CreateForDownload
    {GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT},  // CreateForRecord
    {GENERIC_READ | DELETE, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL},  // OpenForSwap
    {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
     FILE_ATTRIBUTE_NORMAL},                                                        // OpenForReading
    {DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT},                         // OpenForMoving
};
static_assert(sizeof kModes / sizeof kModes[0] == OpenForMoving + 1, "one entry a mode");

// The layout SetFileInformationByHandle expects on x64: the name starts at 20.
constexpr u64 RenameFixedPart = 20;
static_assert(offsetof(FILE_RENAME_INFO, FileName) == RenameFixedPart, "FILE_RENAME_INFO layout");
static_assert(sizeof(FILE_RENAME_INFO) == 24, "FILE_RENAME_INFO size");

constexpr u64 MaxChunk = 0x40000000u;  // 1 GiB a ReadFile or WriteFile

// Attributes that SetFileInformationByHandle(FileBasicInfo) may carry back.
constexpr DWORD SettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                     FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE;

// Named here because MinGW declares them only for newer Windows targets.
constexpr FILE_INFO_BY_HANDLE_CLASS DispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD DispositionDelete = 0x1;               // FILE_DISPOSITION_FLAG_DELETE
constexpr DWORD DispositionPosixSemantics = 0x2;       // FILE_DISPOSITION_FLAG_POSIX_SEMANTICS
constexpr DWORD DispositionIgnoreReadOnly = 0x10;      // FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE
struct DispositionEx {
    DWORD flags;
};

bool SetAttributes(HANDLE file, DWORD attributes) {
    FILE_BASIC_INFO basic;
    FillBytes(&basic, 0, sizeof basic);  // zero times: leave them as they are
    basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    return Sys(SetFileInformationByHandle)(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

bool MarkForDeletion(HANDLE file) {
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    return Sys(SetFileInformationByHandle)(file, FileDispositionInfo, &disposition,
                                           sizeof disposition) != 0;
}

// Deletes the entry the handle was opened by, when the handle is closed.
bool DeleteOpenEntry(HANDLE file) {
    FILE_BASIC_INFO basic;
    FillBytes(&basic, 0, sizeof basic);
    if (!Sys(GetFileInformationByHandleEx)(file, FileBasicInfo, &basic, sizeof basic)) return false;
    const DWORD attributes = basic.FileAttributes;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return false;  // a real folder is never one of ours
    }
    // NOTE: Windows 10 1809 and later on NTFS take the name away as the
    // handle closes even while another process (a scanner, the indexer, a
    // sync client) still holds the file with delete sharing; without POSIX
    // semantics the name stays until that handle closes too, and a new
    // download of that name is refused with access denied in the meantime.
    // Read-only entries go the same way, attributes untouched.
    DispositionEx ex = {DispositionDelete | DispositionPosixSemantics | DispositionIgnoreReadOnly};
    if (Sys(SetFileInformationByHandle)(file, DispositionInfoEx, &ex, sizeof ex)) return true;
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) return MarkForDeletion(file);
    ex.flags = DispositionDelete | DispositionIgnoreReadOnly;
    if (Sys(SetFileInformationByHandle)(file, DispositionInfoEx, &ex, sizeof ex)) return true;

    // Elsewhere the attribute is cleared for the moment of marking. It
    // belongs to the file, not to this name, so it is put back through the
    // same handle: another hard link keeps a read-only file, and so does a
    // file whose deletion fails.
    const DWORD kept = attributes & SettableAttributes;
    if (!SetAttributes(file, kept & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) return false;
    const bool marked = MarkForDeletion(file);
    SetAttributes(file, kept);
    return marked;
}

// Opens the name itself, never what a symbolic link or junction leads to;
// sharing everything keeps out only holders that deny deletion (a download
// another process is writing).
HANDLE OpenEntry(const PathBuffer& path, DWORD access) {
    return Sys(CreateFileW)(Wide(path), access,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                            nullptr);
}

}  // namespace

OpenedFile OpenFile(const PathBuffer& path, u32 mode) {
    OpenedFile opened = {nullptr, 0};
    if (mode > OpenForMoving) {
        opened.error = ERROR_INVALID_PARAMETER;
        return opened;
    }
    const ModeFlags& flags = kModes[mode];
    if (flags.disposition == CREATE_NEW) RemoveFile(path);
    HANDLE file = Sys(CreateFileW)(Wide(path), flags.access, flags.share, nullptr,
                                   flags.disposition, flags.flags, nullptr);
    opened.error = Sys(GetLastError)();
    if (IsValidHandle(file)) {
        opened.handle = file;
        opened.error = 0;
        return opened;
    }
    // A folder left standing at the name refuses the file with access
    // denied, as it did when the file was opened over whatever stood there.
    if (opened.error == ERROR_FILE_EXISTS) {
        DWORD attributes = Sys(GetFileAttributesW)(Wide(path));
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                FILE_ATTRIBUTE_DIRECTORY) {
            opened.error = ERROR_ACCESS_DENIED;
        }
    }
    if (opened.error == 0) opened.error = ERROR_GEN_FAILURE;
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

// NOTE: FILE_RENAME_INFO takes an absolute path, and beyond MAX_PATH the
// "\\?\" form is how Windows names one; a rename cannot do without a name,
// so there is no road around a path here. Wine takes either form.
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

void Pause(u32 milliseconds) { Sys(Sleep)(milliseconds); }

bool MoveFileReplacing(void* file, const PathBuffer& to) { return RenameOpenFile(file, to); }

bool RemoveFile(const PathBuffer& path) {
    // NOTE: Wine 8 follows a Unix symbolic link even with
    // FILE_FLAG_OPEN_REPARSE_POINT, so there the link's target is removed;
    // on Windows the link itself is. Hard links behave alike on both.
    HANDLE file = OpenEntry(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    DWORD error = Sys(GetLastError)();
    if (!IsValidHandle(file) && error == ERROR_ACCESS_DENIED) {
        // NOTE: Wine refuses write-attribute access to a read-only file but
        // changes its attributes through a handle without it; Windows grants it.
        file = OpenEntry(path, DELETE | FILE_READ_ATTRIBUTES);
        error = Sys(GetLastError)();
    }
    if (!IsValidHandle(file)) return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    const bool removed = DeleteOpenEntry(file);
    CloseFile(file);
    return removed;
}
