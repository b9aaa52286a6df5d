// The fetch and swap steps on a real program file, against a local server and signed releases.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/run.h"
#include "engine/update_lock.h"
#include "tests/win/engine_support.h"
#include "tests/win/support.h"
#include "tests/win/system_override.h"

namespace {

// A step called in any state but its own changes the state and the code only.
void ExpectOutOfOrder(void (*step)(const UpdateSettings&, UpdateRun*),
                      const UpdateSettings& settings, UpdateRun* run, u32 state) {
    run->state = state;
    UpdateRun expected = *run;
    expected.state = Failed;
    expected.error = 5;
    step(settings, run);
    EXPECT_EQ(std::memcmp(&expected, run, sizeof expected), 0) << "from state " << state;
}

// --- Fetch step -----------------------------------------------------------

TEST_F(EngineTest, FetchStepRefusesEveryStateButAvailable) {
    AnnounceRelease();
    ReachAvailable();
    for (u32 state : {Initial, UpToDate, AvailableReadOnly, Staged, Updated, Failed}) {
        ExpectOutOfOrder(FetchStep, settings_, &run_, state);
    }
    ExpectNoSiblings();
    ExpectProgramUnchanged();
}

struct FetchCase {
    const char* name;
    const char* served;    // release served as fwstack-0.0.3.exe; "" for none
    const char* digestOf;  // the release whose digest the document announces
    const char* status;    // sidecar status of the release, or ""
    bool damaged;          // the served bytes have their last byte flipped
    u32 error;
    u32 verdict;           // the verify result's verdict word afterwards
};

const FetchCase kFetchRefusals[] = {
    {"MissingReleaseFailsTheDownload", "", "fwstack-0.0.3.exe", "", false, 11, 0},
    {"RedirectFailsTheDownload", "fwstack-0.0.3.exe", "fwstack-0.0.3.exe", "302", false, 11, 0},
    {"LastByteChangedIsDamaged", "fwstack-0.0.3.exe", "fwstack-0.0.3.exe", "", true, 12, 1},
    {"UnsignedIsRefused", "fwstack-0.0.3-unsigned.exe", "fwstack-0.0.3-unsigned.exe", "", false,
     13, 2},
    {"OtherSignerIsRefused", "fwstack-0.0.3-other.exe", "fwstack-0.0.3-other.exe", "", false, 14,
     3},
    {"OtherReleaseIsTheWrongVersion", "fwstack-0.0.4.exe", "fwstack-0.0.4.exe", "", false, 15, 4},
    {"NoVersionResourceIsTheWrongVersion", "fwstack-0.0.3-noversion.exe",
     "fwstack-0.0.3-noversion.exe", "", false, 15, 4},
    {"BadVersionResourceIsTheWrongVersion", "fwstack-0.0.3-badversion.exe",
     "fwstack-0.0.3-badversion.exe", "", false, 15, 4},
};

class FetchRefusal : public EngineTest, public ::testing::WithParamInterface<FetchCase> {};

TEST_P(FetchRefusal, DeletesTheDownloadAndKeepsEarlierLeftovers) {
    const FetchCase& c = GetParam();
    std::string served = *c.served ? Release(c.served) : std::string();
    if (*c.served) ASSERT_FALSE(served.empty()) << c.served;
    if (c.damaged) served.back() = static_cast<char>(served.back() ^ 1);
    Announce("0.0.3", served, Release(c.digestOf));
    if (*c.status) Serve("fwstack-0.0.3.exe.status", c.status);
    // What an earlier run left stays as it was.
    ASSERT_TRUE(WriteFileBytes(Sibling(L".new"), "earlier new"));
    ASSERT_TRUE(WriteFileBytes(Sibling(L".latest"), "earlier record"));

    ReachAvailable();
    FetchStep(settings_, &run_);

    EXPECT_EQ(run_.state, Failed);
    EXPECT_EQ(run_.error, c.error);
    EXPECT_EQ(run_.paths.verify.verdict, c.verdict);
    EXPECT_EQ(run_.paths.downloadHandle, nullptr);
    if (*c.status) EXPECT_EQ(std::to_string(run_.transfer.status), c.status);
    EXPECT_FALSE(FileExists(Sibling(L".download")));
    EXPECT_EQ(ReadFileBytes(Sibling(L".new")), "earlier new");
    EXPECT_EQ(ReadFileBytes(Sibling(L".latest")), "earlier record");
    ExpectProgramUnchanged();
}

INSTANTIATE_TEST_SUITE_P(Rows, FetchRefusal, ::testing::ValuesIn(kFetchRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, FetchStepStagesTheVerifiedReleaseOverLeftovers) {
    AnnounceRelease();
    // An interrupted run's files: the download is truncated and reused, the
    // staged file replaced.
    ASSERT_TRUE(WriteFileBytes(Sibling(L".download"), std::string(release_.size() + 4096, 'd')));
    ASSERT_TRUE(WriteFileBytes(Sibling(L".new"), "earlier new"));
    ReachAvailable();
    FetchStep(settings_, &run_);

    EXPECT_EQ(run_.state, Staged);
    EXPECT_EQ(run_.error, 0u);
    EXPECT_EQ(run_.paths.downloadHandle, nullptr);
    EXPECT_EQ(run_.paths.verify.verdict, 0u);
    EXPECT_EQ(run_.transfer.bytes, release_.size());
    EXPECT_EQ(ReadFileBytes(Sibling(L".new")), release_);
    EXPECT_EQ(ReadFileBytes(Sibling(L".latest")), document_);
    EXPECT_FALSE(FileExists(Sibling(L".download")));
    EXPECT_FALSE(FileExists(Sibling(L".old")));
    ExpectProgramUnchanged();
}

TEST_F(EngineTest, FetchStepAcceptsABodyOfExactlyTheCapAndRefusesOneMore) {
    AnnounceRelease();
    settings_.maxDownloadSize = release_.size() - 1;
    ReachAvailable();
    FetchStep(settings_, &run_);
    EXPECT_EQ(run_.error, 11u);
    EXPECT_FALSE(FileExists(Sibling(L".download")));
    ExpectProgramUnchanged();

    settings_.maxDownloadSize = release_.size();
    std::memset(&run_, 0, sizeof run_);
    ReachAvailable();
    FetchStep(settings_, &run_);
    EXPECT_EQ(run_.state, Staged);
    EXPECT_EQ(ReadFileBytes(Sibling(L".new")), release_);
}

TEST_F(EngineTest, FetchStepIsRefusedWhileTheLockIsHeld) {
    AnnounceRelease();
    ReachAvailable();
    void* lock = nullptr;
    ASSERT_TRUE(TakeUpdateLock(settings_, run_.paths, &lock));
    FetchStep(settings_, &run_);
    ReleaseUpdateLock(&lock);
    EXPECT_EQ(run_.state, Failed);
    EXPECT_EQ(run_.error, 9u);
    EXPECT_EQ(run_.transfer.status, 200u);  // still the document's transfer
    ExpectNoSiblings();
    ExpectProgramUnchanged();
}

TEST_F(EngineTest, FetchStepTakesADeniedDownloadFileForAReadOnlyFolder) {
    AnnounceRelease();
    MakeFolderAt(Sibling(L".download"));
    ReachAvailable();
    FetchStep(settings_, &run_);
    EXPECT_EQ(run_.state, AvailableReadOnly);
    EXPECT_EQ(run_.error, 20u);
    EXPECT_EQ(run_.transfer.status, 0u);  // no transfer was started
    EXPECT_TRUE(FileExists(Sibling(L".download\\keep")));
    EXPECT_FALSE(FileExists(Sibling(L".new")));
    EXPECT_FALSE(FileExists(Sibling(L".latest")));
    ExpectProgramUnchanged();
}

TEST_F(EngineTest, FetchStepCannotSaveADownloadHeldOpenElsewhere) {
    AnnounceRelease();
    ASSERT_TRUE(WriteFileBytes(Sibling(L".download"), "someone else's"));
    ReachAvailable();
    {
        HeldFile other(Sibling(L".download"), GENERIC_READ, 0);
        ASSERT_NE(other.handle, INVALID_HANDLE_VALUE);
        FetchStep(settings_, &run_);
    }
    EXPECT_EQ(run_.state, Failed);
    EXPECT_EQ(run_.error, 10u);
    EXPECT_EQ(ReadFileBytes(Sibling(L".download")), "someone else's");
    EXPECT_FALSE(FileExists(Sibling(L".new")));
    EXPECT_FALSE(FileExists(Sibling(L".latest")));
    ExpectProgramUnchanged();
}

TEST_F(EngineTest, FetchStepCannotSaveADownloadInAMissingFolder) {
    AnnounceRelease();
    program_ = folder_.File(L"gone\\fwstack.exe");
    ReachAvailable();
    FetchStep(settings_, &run_);
    EXPECT_EQ(run_.state, Failed);
    EXPECT_EQ(run_.error, 10u);
    EXPECT_FALSE(FileExists(folder_.File(L"gone")));
}

TEST_F(EngineTest, FetchStepFailsToStageOntoAFolder) {
    AnnounceRelease();
    MakeFolderAt(Sibling(L".new"));
    ReachAvailable();
    FetchStep(settings_, &run_);
    EXPECT_EQ(run_.state, Failed);
    EXPECT_EQ(run_.error, 17u);
    EXPECT_FALSE(FileExists(Sibling(L".download")));
    EXPECT_TRUE(FileExists(Sibling(L".new\\keep")));
    EXPECT_FALSE(FileExists(Sibling(L".latest")));
    ExpectProgramUnchanged();
}

int g_flushes = 0;
BOOL WINAPI RefuseFlush(HANDLE) {
    ++g_flushes;
    SetLastError(ERROR_IO_DEVICE);
    return FALSE;
}

TEST_F(EngineTest, FetchStepDoesNotStageADownloadThatWasNotFlushed) {
    AnnounceRelease();
    ReachAvailable();
    g_flushes = 0;
    auto refused = OverrideSystem(FlushFileBuffers, RefuseFlush);
    FetchStep(settings_, &run_);
    EXPECT_EQ(g_flushes, 1);
    EXPECT_EQ(run_.state, Failed);
    EXPECT_EQ(run_.error, 17u);
    ExpectNoSiblings();
    ExpectProgramUnchanged();
}

TEST_F(EngineTest, FetchStepKeepsTheStagedFileWhenTheRecordCannotBeWritten) {
    AnnounceRelease();
    MakeFolderAt(Sibling(L".latest"));
    ReachAvailable();
    FetchStep(settings_, &run_);
    EXPECT_EQ(run_.state, Failed);
    EXPECT_EQ(run_.error, 23u);
    EXPECT_EQ(ReadFileBytes(Sibling(L".new")), release_);
    EXPECT_FALSE(FileExists(Sibling(L".download")));
    EXPECT_TRUE(FileExists(Sibling(L".latest\\keep")));
    ExpectProgramUnchanged();
}

// --- Swap step ------------------------------------------------------------

TEST_F(EngineTest, SwapStepRefusesEveryStateButStaged) {
    AnnounceRelease();
    ReachStaged();
    for (u32 state : {Initial, UpToDate, Available, AvailableReadOnly, Updated, Failed}) {
        ExpectOutOfOrder(SwapStep, settings_, &run_, state);
    }
    EXPECT_EQ(ReadFileBytes(Sibling(L".new")), release_);
    ExpectProgramUnchanged();
}

TEST_F(EngineTest, SwapStepIsRefusedWhileTheLockIsHeld) {
    AnnounceRelease();
    ReachStaged();
    void* lock = nullptr;
    ASSERT_TRUE(TakeUpdateLock(settings_, run_.paths, &lock));
    SwapStep(settings_, &run_);
    ReleaseUpdateLock(&lock);
    EXPECT_EQ(run_.state, Failed);
    EXPECT_EQ(run_.error, 9u);
    EXPECT_EQ(ReadFileBytes(Sibling(L".new")), release_);
    ExpectProgramUnchanged();
}

TEST_F(EngineTest, SwapStepReportsADeletedStagedFileAsMissing) {
    AnnounceRelease();
    ReachStaged();
    ASSERT_TRUE(DeleteFileW(Sibling(L".new").c_str()));
    run_.paths.verify.trustResult = 77;  // kept: nothing was verified
    SwapStep(settings_, &run_);
    EXPECT_EQ(run_.state, Failed);
    EXPECT_EQ(run_.error, 16u);
    EXPECT_EQ(run_.paths.verify.trustResult, 77);
    EXPECT_FALSE(FileExists(Sibling(L".old")));
    ExpectProgramUnchanged();
}

TEST_F(EngineTest, SwapStepCannotReplaceWithAStagedFileHeldOpenElsewhere) {
    AnnounceRelease();
    ReachStaged();
    {
        HeldFile other(Sibling(L".new"), GENERIC_READ, 0);
        ASSERT_NE(other.handle, INVALID_HANDLE_VALUE);
        SwapStep(settings_, &run_);
    }
    EXPECT_EQ(run_.state, Failed);
    EXPECT_EQ(run_.error, 18u);
    EXPECT_EQ(ReadFileBytes(Sibling(L".new")), release_);
    EXPECT_FALSE(FileExists(Sibling(L".old")));
    ExpectProgramUnchanged();
}

TEST_F(EngineTest, SwapStepDeletesAStagedFileThatWasReplaced) {
    AnnounceRelease();
    ReachStaged();
    ASSERT_TRUE(WriteFileBytes(Sibling(L".new"), Release("fwstack-0.0.4.exe")));
    SwapStep(settings_, &run_);
    EXPECT_EQ(run_.state, Failed);
    EXPECT_EQ(run_.error, 12u);
    EXPECT_EQ(run_.paths.verify.verdict, 1u);
    EXPECT_FALSE(FileExists(Sibling(L".new")));
    EXPECT_FALSE(FileExists(Sibling(L".old")));
    ExpectProgramUnchanged();
}

TEST_F(EngineTest, SwapStepLeavesAProgramThatCannotBeMovedInPlace) {
    AnnounceRelease();
    ReachStaged();
    ASSERT_TRUE(WriteFileBytes(Sibling(L".old"), "older program"));
    {
        // Open elsewhere without delete sharing: the program cannot be moved.
        HeldFile running(program_, GENERIC_READ, FILE_SHARE_READ);
        ASSERT_NE(running.handle, INVALID_HANDLE_VALUE);
        SwapStep(settings_, &run_);
    }
    EXPECT_EQ(run_.state, Failed);
    EXPECT_EQ(run_.error, 18u);
    EXPECT_EQ(ReadFileBytes(Sibling(L".new")), release_);
    EXPECT_FALSE(FileExists(Sibling(L".old")));  // deleted before the move
    ExpectProgramUnchanged();
}

std::wstring g_program;
bool g_programWasMoved = false;
bool g_renameRefused = false;
// Refuses the first rename onto the program path: the staged file's.
BOOL WINAPI RefuseRename(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
    if (kind == FileRenameInfo && !g_renameRefused) {
        const auto* rename = static_cast<const FILE_RENAME_INFO*>(info);
        if (std::wstring(rename->FileName, rename->FileNameLength / sizeof(WCHAR)) == g_program) {
            g_renameRefused = true;
            g_programWasMoved = !FileExists(g_program) && FileExists(g_program + L".old");
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    return SetFileInformationByHandle(file, kind, info, size);
}

TEST_F(EngineTest, SwapStepMovesTheProgramBackWhenTheRenameFails) {
    AnnounceRelease();
    ReachStaged();
    g_program = program_;
    g_programWasMoved = false;
    g_renameRefused = false;
    auto refused = OverrideSystem(SetFileInformationByHandle, RefuseRename);
    SwapStep(settings_, &run_);
    EXPECT_TRUE(g_programWasMoved);
    EXPECT_EQ(run_.state, Failed);
    EXPECT_EQ(run_.error, 18u);
    EXPECT_EQ(ReadFileBytes(Sibling(L".new")), release_);
    EXPECT_FALSE(FileExists(Sibling(L".old")));
    ExpectProgramUnchanged();
}

TEST_F(EngineTest, SwapStepPutsTheReleaseInPlaceAndKeepsThePreviousProgram) {
    AnnounceRelease();
    ReachStaged();
    ASSERT_TRUE(WriteFileBytes(Sibling(L".old"), "older program"));
    SwapStep(settings_, &run_);
    EXPECT_EQ(run_.state, Updated);
    EXPECT_EQ(run_.error, 0u);
    EXPECT_EQ(run_.paths.verify.verdict, 0u);
    EXPECT_EQ(ReadFileBytes(program_), release_);
    EXPECT_EQ(ReadFileBytes(Sibling(L".old")), previous_);
    EXPECT_EQ(ReadFileBytes(Sibling(L".latest")), document_);
    EXPECT_FALSE(FileExists(Sibling(L".new")));
}

}  // namespace
