// The file work of the fetch and swap steps: the download file, its checks and renames.
#include <windows.h>

#include "base/bytes.h"
#include "engine/file_work.h"
#include "engine/system_calls.h"
#include "verify/file_digest.h"
#include "verify/signer.h"
#include "verify/version_reader.h"

SystemCalls g_systemCalls;

namespace {

BOOL SetFileInformation(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
                        DWORD size) {
    if (g_systemCalls.setFileInformationByHandle) {
        return g_systemCalls.setFileInformationByHandle(file, kind, information, size);
    }
    return SetFileInformationByHandle(file, kind, information, size);
}

BOOL FlushFile(HANDLE file) {
    if (g_systemCalls.flushFileBuffers) return g_systemCalls.flushFileBuffers(file);
    return FlushFileBuffers(file);
}

LPCWSTR Wide(const PathBuffer& path) { return reinterpret_cast<LPCWSTR>(path.text); }

// The layout SetFileInformationByHandle expects on x64: the name starts at 20.
constexpr u64 RenameFixedPart = 20;
static_assert(offsetof(FILE_RENAME_INFO, FileName) == RenameFixedPart, "FILE_RENAME_INFO layout");
static_assert(sizeof(FILE_RENAME_INFO) == 24, "FILE_RENAME_INFO size");

}  // namespace

u32 CreateDownloadFile(UpdatePaths* paths) {
    paths->downloadHandle = nullptr;
    // Read for the checks, write for the body, DELETE for the rename through
    // this handle; others may only read while the step works on the file.
    HANDLE file = CreateFileW(Wide(paths->download), GENERIC_READ | GENERIC_WRITE | DELETE,
                              FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    DWORD error = GetLastError();
    if (IsValidHandle(file)) {
        paths->downloadHandle = file;
        return Created;
    }
    // NOTE: a directory standing at the path is refused with access denied
    // too, on Windows and under Wine, so it also reads as a read-only folder.
    return error == ERROR_ACCESS_DENIED ? AccessDenied : CreateFailed;
}

u32 VerifyFile(const UpdateSettings& settings, const PathBuffer& path, void* file,
               const u8 digest[32], const UpdateInfo& info, Version installed,
               VerifyResult* result) {
    FillBytes(result, 0, sizeof *result);
    if (!FileMatchesDigest(file, digest)) {
        result->verdict = DigestMismatch;
        return DigestMismatch;
    }

    bool noRevocation = (settings.options & NoRevocationCheck) != 0;
    u32 revocationChecks = noRevocation ? 0u : 1u;  // WTD_REVOKE_WHOLECHAIN
    u32 providerFlags = noRevocation ? 0u : 0x80u;  // WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT
    bool trusted = false;
    bool nameMatches = false;
    CheckSigner(path, file, settings.publisher.bytes, settings.publisher.length, revocationChecks,
                providerFlags, result, &trusted, &nameMatches);

    bool versionOk = false;
    if (trusted && nameMatches) {
        if ((settings.options & SkipVersionResource) != 0) {
            versionOk = IsNewerVersion(info.version, installed);
        } else {
            Version fileVersion = FreshVersion();
            versionOk = ReadDownloadVersion(file, &fileVersion) &&
                        IsSameRelease(fileVersion, info.version) &&
                        IsNewerVersion(fileVersion, installed);
        }
    }

    u32 verdict = Ok;
    if (!trusted) {
        verdict = NotSigned;
    } else if (!nameMatches) {
        verdict = WrongSigner;
    } else if (!versionOk) {
        verdict = WrongVersion;
    }
    result->verdict = verdict;
    return verdict;
}

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
    return SetFileInformation(file, FileRenameInfo, buffer, size) != 0;
}

bool StageDownload(UpdatePaths* paths) {
    HANDLE file = paths->downloadHandle;
    paths->downloadHandle = nullptr;
    if (!IsValidHandle(file)) return false;
    // The body must be on the disk before it takes the staged name: after a
    // power cut the swap must not find a .new whose data never got written.
    bool staged = false;
    if (FlushFile(file)) staged = RenameOpenFile(file, paths->staged);
    CloseHandle(file);
    return staged;
}

void DiscardDownload(UpdatePaths* paths) {
    if (IsValidHandle(paths->downloadHandle)) CloseHandle(paths->downloadHandle);
    paths->downloadHandle = nullptr;
    DeleteFileW(Wide(paths->download));
}

bool WriteUpdateRecord(const UpdateRun& run) {
    HANDLE file = CreateFileW(Wide(run.paths.latest), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!IsValidHandle(file)) return false;
    u64 count = run.documentLength <= DocumentCapacity ? run.documentLength : DocumentCapacity;
    DWORD written = 0;
    BOOL wrote = WriteFile(file, run.document, static_cast<DWORD>(count), &written, nullptr);
    bool ok = wrote != 0 && written == count;
    CloseHandle(file);
    if (!ok) DeleteFileW(Wide(run.paths.latest));
    return ok;
}

u32 SwapInStaged(const UpdateSettings& settings, UpdatePaths* paths, const u8 digest[32],
                 const UpdateInfo& info, Version installed) {
    // DELETE access lets the verified file itself be renamed through this
    // handle; others may read it but not change, delete or rename it meanwhile.
    HANDLE staged = CreateFileW(Wide(paths->staged), GENERIC_READ | DELETE, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = GetLastError();
    if (!IsValidHandle(staged)) return OpenFailureVerdict(error);

    u32 verdict =
        VerifyFile(settings, paths->staged, staged, digest, info, installed, &paths->verify);
    if (verdict != Ok) {
        CloseHandle(staged);
        DeleteFileW(Wide(paths->staged));
        return verdict;
    }

    DeleteFileW(Wide(paths->old));
    bool moved = MoveFileExW(Wide(paths->program), Wide(paths->old), MOVEFILE_REPLACE_EXISTING) != 0;
    bool swapped = moved && RenameOpenFile(staged, paths->program);
    CloseHandle(staged);
    if (moved && !swapped) {
        MoveFileExW(Wide(paths->old), Wide(paths->program), MOVEFILE_REPLACE_EXISTING);
    }
    return swapped ? Ok : NotReplaced;
}
