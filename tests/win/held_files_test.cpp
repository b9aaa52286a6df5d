// Outcomes that hang on other processes: an unreachable revocation server, a
// leftover another process still holds, a staged file held as the swap opens
// it, a program file held during the roll-back.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/run.h"
#include "tests/win/engine_support.h"
#include "tests/win/support.h"
#include "tests/win/system_override.h"

namespace {

LONG g_trustAnswer = 0;
LONG WINAPI AnsweringTrustProvider(HWND, GUID*, LPVOID data) {
    DWORD stateAction = 0;
    std::memcpy(&stateAction, static_cast<const char*>(data) + 48, sizeof stateAction);
    return stateAction == 1 ? g_trustAnswer : 0;
}

TEST_F(EngineTest, RevocationThatCannotBeCheckedIsNotReadAsUnsigned) {
    const std::string unchecked =
        "fwstack update failed: the signature could not be checked for revocation: its CA's "
        "servers must be reachable\n";
    const std::string notSigned = "fwstack update failed: the download is not signed\n";
    const struct {
        LONG answer;
        const std::string& line;
    } rows[] = {
        {static_cast<LONG>(0x800B010E), unchecked},  // CERT_E_REVOCATION_FAILURE
        {static_cast<LONG>(0x80092013), unchecked},  // CRYPT_E_REVOCATION_OFFLINE
        {static_cast<LONG>(0x800B010C), notSigned},  // CERT_E_REVOKED
        {static_cast<LONG>(0x80096010), notSigned},  // TRUST_E_BAD_DIGEST
        {static_cast<LONG>(0x800B0100), notSigned},  // TRUST_E_NOSIGNATURE
    };
    AnnounceRelease();
    auto answering = OverrideSystem(WinVerifyTrust, AnsweringTrustProvider);
    for (const auto& row : rows) {
        g_trustAnswer = row.answer;
        EXPECT_EQ(UpdateLine(), row.line) << std::hex << row.answer;
        ExpectNoSiblings();
        ExpectProgramUnchanged();
    }
}

// The disposition calls of one clean-up: the class and the flags word.
std::vector<std::pair<int, DWORD>> g_dispositions;
bool g_refusePosix = false;
BOOL WINAPI WatchingDisposition(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info,
                                DWORD size) {
    DWORD flags = 0;
    if (kind == 21) std::memcpy(&flags, info, sizeof flags);
    if (kind == FileDispositionInfo || kind == 21) g_dispositions.emplace_back(kind, flags);
    if (kind == 21 && g_refusePosix && (flags & 0x2) != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return SetFileInformationByHandle(file, kind, info, size);
}

TEST_F(EngineTest, LeftoversGoWithPosixSemanticsAndOtherwiseAsBefore) {
    for (bool refuse : {false, true}) {
        SCOPED_TRACE(refuse ? "POSIX semantics refused" : "POSIX semantics offered");
        for (const wchar_t* suffix : {L".old", L".new", L".download", L".latest"}) {
            ASSERT_TRUE(WriteFileBytes(Sibling(suffix), "left"));
        }
        Init();
        g_dispositions.clear();
        g_refusePosix = refuse;
        {
            auto watching = OverrideSystem(SetFileInformationByHandle, WatchingDisposition);
            CleanUpLeftovers(run_);
        }
        ExpectNoSiblings();
        ExpectProgramUnchanged();
        // Each entry is first asked to go with POSIX semantics (delete, POSIX,
        // ignore read-only); where that is refused or unknown, it is marked
        // for deletion as before.
        ASSERT_GE(g_dispositions.size(), 4u);
        size_t posix = 0;
        for (const auto& call : g_dispositions) posix += call.first == 21 && call.second == 0x13;
        EXPECT_EQ(posix, 4u);
        bool fellBack = g_dispositions.size() == 8u && g_dispositions.back().first == FileDispositionInfo;
        if (refuse) EXPECT_TRUE(fellBack);
    }
}

std::wstring g_old;
std::wstring g_program;
int g_renamesOntoProgram = 0;
int g_refusedMovesBack = 0;
int g_pauses = 0;
// Refuses the staged file's rename onto the program path, the first one
// there, and then g_refusedMovesBack moves of the program back.
BOOL WINAPI RefuseRenamesOntoProgram(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info,
                                     DWORD size) {
    if (kind == FileRenameInfo) {
        const auto* rename = static_cast<const FILE_RENAME_INFO*>(info);
        const std::wstring to(rename->FileName, rename->FileNameLength / sizeof(WCHAR));
        if (to == g_program && (g_renamesOntoProgram++ == 0 || g_refusedMovesBack-- > 0)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
    }
    return SetFileInformationByHandle(file, kind, info, size);
}
void WINAPI CountPause(DWORD milliseconds) {
    ++g_pauses;
    EXPECT_GE(milliseconds, 100u);
}

std::wstring g_staged;
int g_refusedOpens = 0;
bool g_deletedMeanwhile = false;
HANDLE WINAPI RefuseStagedOpens(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE model) {
    if (g_staged == name && (access & DELETE) != 0 && g_refusedOpens > 0) {
        --g_refusedOpens;
        if (g_deletedMeanwhile) DeleteFileW(name);  // a start of the program deleting leftovers
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(name, access, share, security, disposition, flags, model);
}

TEST_F(EngineTest, StagedFileHeldAsTheSwapOpensItIsLookedAtAgain) {
    const struct {
        int refused;
        bool deleted;
        u32 state, error;
    } rows[] = {
        {1, true, Failed, 16},  // the staged update is missing
        {1, false, Updated, 0},
        {2, false, Failed, 18},  // still held: the program file could not be replaced
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.refused << row.deleted);
        AnnounceRelease();
        ReachStaged();
        g_staged = Sibling(L".new");
        g_refusedOpens = row.refused;
        g_deletedMeanwhile = row.deleted;
        g_pauses = 0;
        {
            auto open = OverrideSystem(CreateFileW, RefuseStagedOpens);
            auto pause = OverrideSystem(Sleep, CountPause);
            SwapStep(settings_, &run_);
        }
        EXPECT_EQ(run_.state, row.state);
        EXPECT_EQ(run_.error, row.error);
        EXPECT_EQ(g_pauses, 1);
        EXPECT_EQ(ReadFileBytes(program_), row.state == Updated ? release_ : previous_);
        EXPECT_EQ(FileExists(Sibling(L".new")), !row.deleted && row.state == Failed);
        ASSERT_TRUE(WriteFileBytes(program_, previous_));
        for (const wchar_t* suffix : {L".old", L".new", L".latest"}) DeleteFileW(Sibling(suffix).c_str());
        std::memset(&run_, 0, sizeof run_);
    }
}

TEST_F(EngineTest, RollBackOutlastsAHoldOfAboutASecond) {
    const struct {
        int refused;     // moves back refused before one is let through
        bool restored;   // the program is at its path again
        int pauses;
    } rows[] = {{0, true, 0}, {1, true, 1}, {4, true, 4}, {5, false, 4}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.refused);
        AnnounceRelease();
        ReachStaged();
        g_old = Sibling(L".old");
        g_program = program_;
        g_renamesOntoProgram = 0;
        g_refusedMovesBack = row.refused;
        g_pauses = 0;
        {
            auto rename = OverrideSystem(SetFileInformationByHandle, RefuseRenamesOntoProgram);
            auto pause = OverrideSystem(Sleep, CountPause);
            SwapStep(settings_, &run_);
        }
        EXPECT_EQ(run_.state, Failed);
        EXPECT_EQ(run_.error, 18u);
        EXPECT_EQ(g_pauses, row.pauses);
        EXPECT_EQ(ReadFileBytes(Sibling(L".new")), release_);
        if (row.restored) {
            ExpectProgramUnchanged();
            EXPECT_FALSE(FileExists(Sibling(L".old")));
        } else {
            // Every attempt refused: the program survives only as .old.
            EXPECT_FALSE(FileExists(program_));
            ASSERT_TRUE(MoveFileExW(g_old.c_str(), program_.c_str(), 0));
        }
        std::memset(&run_, 0, sizeof run_);
        ASSERT_TRUE(DeleteFileW(Sibling(L".new").c_str()));
        DeleteFileW(Sibling(L".latest").c_str());
    }
}

}  // namespace
