// The run record's initialisation, the check step and the driver, against a local server.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/run.h"
#include "files/installed_version.h"
#include "tests/win/engine_support.h"
#include "tests/win/support.h"

namespace {

std::wstring TextOfPath(const PathBuffer& path) {
    return std::wstring(reinterpret_cast<const wchar_t*>(path.text), path.length);
}

// --- Initialisation -------------------------------------------------------

struct InitCase {
    const char* name;
    const char* programName;
    const char* versionText;
    bool programPathFound;
    u32 state;
    u32 error;
};

// Settings first, then the program path, then the installed version.
const InitCase kInitCases[] = {
    {"Valid", "fwstack", "0.0.2", true, Initial, 0},
    {"InvalidSettingsHideMissingPath", "", "0.0.2", false, Failed, 1},
    {"UnparsableVersionTextIsInvalidSettings", "fwstack", "0.0.2x", true, Failed, 1},
    {"MissingPathHidesUnknownVersion", "fwstack", "", false, Failed, 2},
    // The version resource of the program file the run concerns, not the
    // running program's (which has none).
    {"EmptyVersionTextReadsTheProgramFile", "fwstack", "", true, Initial, 0},
};

class InitRunOrder : public EngineTest, public ::testing::WithParamInterface<InitCase> {};

TEST_P(InitRunOrder, ReportsTheFirstFailureInOrderOneTwoFour) {
    const InitCase& c = GetParam();
    // The test program itself carries no version resource.
    Version own = FreshVersion();
    ASSERT_FALSE(ReadInstalledVersion(&own));

    std::string program = std::string(c.programName);
    std::string version = std::string(c.versionText);
    settings_.programName = Text{program.data(), program.size()};
    settings_.versionText = Text{version.data(), version.size()};
    std::memset(&run_, 0x5A, sizeof run_);  // initialisation must set every field that matters
    std::string path = c.programPathFound ? Narrow(program_) : std::string(1200, 'x');
    InitRunForProgramFile(settings_, path.data(), path.size(), &run_);

    EXPECT_EQ(run_.state, c.state);
    EXPECT_EQ(run_.error, c.error);
    EXPECT_EQ(run_.documentLength, 0u);
    EXPECT_EQ(run_.transfer.status, 0u);
    EXPECT_EQ(run_.transfer.bytes, 0u);
    EXPECT_EQ(run_.available.prerelease, NoPrerelease);
    EXPECT_EQ(run_.info.url.end, 0u);
    if (c.state == Initial) {
        EXPECT_EQ(run_.installed.major, 0u);
        EXPECT_EQ(run_.installed.patch, 2u);
        EXPECT_EQ(run_.installed.prerelease, NoPrerelease);
        EXPECT_EQ(TextOfPath(run_.paths.program), program_);
        EXPECT_EQ(TextOfPath(run_.paths.latest), program_ + L".latest");
        EXPECT_EQ(run_.paths.downloadHandle, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, InitRunOrder, ::testing::ValuesIn(kInitCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, InitRunForWithoutAPathConcernsTheRunningProgram) {
    InitRunFor(settings_, nullptr, 0, &run_);
    EXPECT_EQ(run_.state, Initial);
    std::wstring program = TextOfPath(run_.paths.program);
    ASSERT_GE(program.size(), 13u);
    EXPECT_EQ(program.substr(program.size() - 13), L"win_tests.exe");
    EXPECT_EQ(TextOfPath(run_.paths.old), program + L".old");
}

// --- Check step -----------------------------------------------------------

struct CheckCase {
    const char* name;
    const char* announced;
    const char* documentStatus;  // sidecar status of latest.txt, or ""
    const char* program;         // first line's program, or "" for fwstack
    bool otherPort;              // the download on the same host, another port
    u32 state;
    u32 error;
};

const CheckCase kCheckCases[] = {
    {"SameVersionIsUpToDate", "0.0.2", "", "", false, UpToDate, 0},
    {"OlderVersionIsUpToDate", "0.0.1", "", "", false, UpToDate, 0},
    {"NewerVersionIsAvailable", "0.0.3", "", "", false, Available, 0},
    {"MissingDocumentIsNotDelivered", "0.0.3", "404", "", false, Failed, 6},
    {"RedirectIsNotDelivered", "0.0.3", "302", "", false, Failed, 6},
    {"OtherProgramIsMalformed", "0.0.3", "", "fwstick", false, Failed, 7},
    {"PrereleaseIsMalformed", "0.0.3-beta.1", "", "", false, Failed, 7},
    {"OtherPortIsAnotherServer", "0.0.3", "", "", true, Failed, 8},
    {"OtherServerFailsEvenWhenOlder", "0.0.1", "", "", true, Failed, 8},
};

class CheckStepRows : public EngineTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(CheckStepRows, EndsInTheStateOfItsOutcome) {
    const CheckCase& c = GetParam();
    std::string url = c.otherPort ? "http://127.0.0.1:" + std::to_string(HttpPort() + 1) + "/" +
                                        served_ + "fwstack-0.0.3.exe"
                                  : base_ + "fwstack-0.0.3.exe";
    std::string document =
        MakeDocument(c.announced, "fwstack-0.0.3.exe", std::string(64, 'a'), url);
    if (*c.program != '\0') document.replace(0, 7, c.program);
    Serve("latest.txt", document);
    if (*c.documentStatus != '\0') Serve("latest.txt.status", c.documentStatus);

    Init();
    CheckStep(settings_, &run_);

    EXPECT_EQ(run_.state, c.state);
    EXPECT_EQ(run_.error, c.error);
    if (c.error == 6) {
        // The cause stays readable in the transfer record.
        EXPECT_EQ(std::to_string(run_.transfer.status), c.documentStatus);
    } else {
        EXPECT_EQ(run_.transfer.status, 200u);
        ASSERT_EQ(run_.documentLength, document.size());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(run_.document), run_.documentLength),
                  document);
    }
    if (c.error == 0 || c.error == 8) {
        std::string announced(reinterpret_cast<const char*>(run_.document) +
                                  run_.info.versionText.start,
                              run_.info.versionText.end - run_.info.versionText.start);
        EXPECT_EQ(announced, c.announced);
        EXPECT_EQ(run_.available.patch, static_cast<u32>(c.announced[4] - '0'));
    } else {
        EXPECT_EQ(run_.available.patch, 0u);
    }
    ExpectNoSiblings();
    ExpectProgramUnchanged();
}

INSTANTIATE_TEST_SUITE_P(Rows, CheckStepRows, ::testing::ValuesIn(kCheckCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, CheckStepOutOfOrderSendsNoRequest) {
    AnnounceRelease();
    Init();
    run_.state = UpToDate;
    ClearRequestLog();
    CheckStep(settings_, &run_);
    EXPECT_EQ(run_.state, Failed);
    EXPECT_EQ(run_.error, 5u);
    EXPECT_EQ(RequestLog().find(served_), std::string::npos);
}

// --- Driver ---------------------------------------------------------------

TEST_F(EngineTest, DriveRunInstallsANewerReleaseAndTheNextStartTidiesUp) {
    AnnounceRelease();
    std::string path = Narrow(program_);
    EXPECT_EQ(RunUpdateForFile(settings_, path.data(), path.size(), &run_), 0u);

    EXPECT_EQ(run_.state, Updated);
    EXPECT_EQ(ReadFileBytes(program_), release_);
    EXPECT_EQ(ReadFileBytes(Sibling(L".old")), previous_);
    EXPECT_EQ(ReadFileBytes(Sibling(L".latest")), document_);
    EXPECT_FALSE(FileExists(Sibling(L".new")));
    EXPECT_FALSE(FileExists(Sibling(L".download")));
    EXPECT_EQ(run_.paths.downloadHandle, nullptr);
    EXPECT_EQ(run_.paths.verify.verdict, 0u);

    // The next start, as the running release 0.0.3.
    UpdateRun next;
    std::memset(&next, 0, sizeof next);
    UpdateSettings settings = settings_;
    settings.versionText = TextOf("0.0.3");
    InitRunFor(settings, path.data(), path.size(), &next);
    ASSERT_EQ(next.state, Initial);
    CleanUpLeftovers(next);
    EXPECT_EQ(ReadFileBytes(program_), release_);
    ExpectNoSiblings();
}

TEST_F(EngineTest, DriveRunStopsAtUpToDateWithoutTouchingFiles) {
    Announce("0.0.2", Release("fwstack-0.0.3.exe"), Release("fwstack-0.0.3.exe"));
    Init();
    ClearRequestLog();
    EXPECT_EQ(DriveRun(settings_, &run_), 0u);
    EXPECT_EQ(run_.state, UpToDate);
    EXPECT_EQ(RequestLog().find("fwstack-0.0.3.exe"), std::string::npos);

    // A finished record passes the driver unchanged; a step called on it
    // directly is out of order.
    UpdateRun before = run_;
    EXPECT_EQ(DriveRun(settings_, &run_), 0u);
    EXPECT_EQ(std::memcmp(&before, &run_, sizeof run_), 0);
    FetchStep(settings_, &run_);
    EXPECT_EQ(run_.state, Failed);
    EXPECT_EQ(run_.error, 5u);
    ExpectNoSiblings();
    ExpectProgramUnchanged();
}

TEST_F(EngineTest, DriveRunLeavesAFailedInitialisationAlone) {
    AnnounceRelease();
    settings_.versionText = TextOf("x");
    Init();
    ASSERT_EQ(run_.error, 1u);
    ClearRequestLog();
    EXPECT_EQ(DriveRun(settings_, &run_), 1u);
    EXPECT_EQ(run_.state, Failed);
    EXPECT_EQ(RequestLog().find(served_), std::string::npos);
    ExpectNoSiblings();
    ExpectProgramUnchanged();
}

TEST_F(EngineTest, DriveRunEndsReadOnlyWithoutSwapping) {
    AnnounceRelease();
    // NOTE: a folder standing at the download path is refused with access
    // denied, the error of a read-only folder; a really read-only folder needs
    // capabilities dropped for the whole of Wine and is left to the
    // end-to-end tests.
    MakeFolderAt(Sibling(L".download"));
    Init();
    EXPECT_EQ(DriveRun(settings_, &run_), 20u);
    EXPECT_EQ(run_.state, AvailableReadOnly);
    EXPECT_FALSE(FileExists(Sibling(L".new")));
    EXPECT_FALSE(FileExists(Sibling(L".latest")));
    ExpectProgramUnchanged();
}

}  // namespace
