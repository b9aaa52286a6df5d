// The update lock's named mutex and the clean-up of leftovers at start, on the real system.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/run.h"
#include "engine/update_lock.h"
#include "files/paths.h"
#include "tests/win/engine_support.h"
#include "tests/win/support.h"

namespace {

UpdatePaths PathsFor(const std::string& program) {
    UpdatePaths paths;
    std::memset(&paths, 0, sizeof paths);
    EXPECT_TRUE(PathsForProgramFile(program.data(), program.size(), &paths));
    return paths;
}

UpdateSettings Settings() {
    UpdateSettings settings{};
    MakeUpdateSettings(TextOf("0.0.2"), &settings);
    return settings;
}

bool MutexExists(const wchar_t* name) {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name);
    if (mutex == nullptr) return false;
    CloseHandle(mutex);
    return true;
}

TEST(UpdateLock, KeyIgnoresTheLetterCaseOfThePath) {
    // SHA-256 of the UTF-16LE bytes of C:\TOOLS\FWSTACK.EXE begins f1 56 22 0a ...
    for (const char* spelling :
         {"C:\\Tools\\fwstack.exe", "C:\\TOOLS\\FWSTACK.EXE", "c:\\tools\\fwstack.exe"}) {
        EXPECT_EQ(ProgramPathKey(PathsFor(spelling).program), 0xF156220A9A9518B1u) << spelling;
    }
    EXPECT_NE(ProgramPathKey(PathsFor("C:\\Tools\\fwstack2.exe").program), 0xF156220A9A9518B1u);
}

TEST(UpdateLock, KeyLeavesTheCallersPathAlone) {
    UpdatePaths paths = PathsFor("c:\\tools\\fwstack.exe");
    UpdatePaths before = paths;
    ProgramPathKey(paths.program);
    EXPECT_EQ(std::memcmp(&before, &paths, sizeof paths), 0);
}

TEST(UpdateLock, SecondTakerIsRefusedUntilTheFirstReleases) {
    UpdateSettings settings = Settings();
    UpdatePaths first = PathsFor("C:\\Tools\\fwstack.exe");
    UpdatePaths otherCase = PathsFor("c:\\TOOLS\\FwStack.exe");
    UpdatePaths otherFile = PathsFor("C:\\Tools\\other\\fwstack.exe");

    void* held = nullptr;
    ASSERT_TRUE(TakeUpdateLock(settings, first, &held));
    ASSERT_NE(held, nullptr);
    EXPECT_TRUE(MutexExists(L"Local\\fwstackUpdate-f156220a9a9518b1"));

    void* second = reinterpret_cast<void*>(1);
    EXPECT_FALSE(TakeUpdateLock(settings, first, &second));
    EXPECT_EQ(second, nullptr);
    EXPECT_FALSE(TakeUpdateLock(settings, otherCase, &second));
    EXPECT_EQ(second, nullptr);

    void* unrelated = nullptr;
    EXPECT_TRUE(TakeUpdateLock(settings, otherFile, &unrelated));
    ReleaseUpdateLock(&unrelated);

    ReleaseUpdateLock(&held);
    EXPECT_EQ(held, nullptr);
    ReleaseUpdateLock(&held);  // a second release is harmless
    EXPECT_FALSE(MutexExists(L"Local\\fwstackUpdate-f156220a9a9518b1"));

    EXPECT_TRUE(TakeUpdateLock(settings, otherCase, &second));
    ReleaseUpdateLock(&second);
}

TEST(UpdateLock, NameHeldByAnotherKindOfObjectIsRefused) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, L"Local\\fwstackUpdate-f156220a9a9518b1");
    ASSERT_NE(event, nullptr);
    void* lock = reinterpret_cast<void*>(1);
    EXPECT_FALSE(TakeUpdateLock(Settings(), PathsFor("C:\\Tools\\fwstack.exe"), &lock));
    EXPECT_EQ(lock, nullptr);
    CloseHandle(event);
}

TEST_F(EngineTest, CleanUpLeftoversDeletesTheFourSiblingsOnly) {
    for (const wchar_t* suffix : {L".old", L".new", L".download", L".latest", L".keep"}) {
        ASSERT_TRUE(WriteFileBytes(Sibling(suffix), "left"));
    }
    Init();
    ASSERT_EQ(run_.state, Initial);
    UpdateRun before = run_;
    CleanUpLeftovers(run_);
    ExpectNoSiblings();
    EXPECT_TRUE(FileExists(Sibling(L".keep")));
    ExpectProgramUnchanged();
    EXPECT_EQ(std::memcmp(&before, &run_, sizeof run_), 0);
}

TEST_F(EngineTest, CleanUpLeftoversSkipsADownloadInUseAndGoesOn) {
    for (const wchar_t* suffix : {L".old", L".new", L".download", L".latest"}) {
        ASSERT_TRUE(WriteFileBytes(Sibling(suffix), "left"));
    }
    Init();
    {
        // Another run writing its download shares it for reading only.
        HeldFile writer(Sibling(L".download"), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
        ASSERT_NE(writer.handle, INVALID_HANDLE_VALUE);
        CleanUpLeftovers(run_);
    }
    EXPECT_EQ(ReadFileBytes(Sibling(L".download")), "left");
    EXPECT_FALSE(FileExists(Sibling(L".old")));
    EXPECT_FALSE(FileExists(Sibling(L".new")));
    EXPECT_FALSE(FileExists(Sibling(L".latest")));
}

}  // namespace
