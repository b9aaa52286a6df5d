// The engine's rules on the fake system layer: every outcome of a whole
// drive, the steps' starting states, the clean-up at start and the dispatch.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "app/commands.h"
#include "engine/report.h"
#include "base/bytes.h"
#include "engine/run.h"
#include "engine/settings.h"
#include "engine/update_lock.h"
#include "info/update_info.h"
#include "tests/native/fake_system.h"
#include "verify/pe_scan.h"
#include "verify/sha256.h"

namespace {

const std::string kProgram = "C:\\Tools\\fwstack.exe";
const std::string kOther = "C:\\Tools\\notes.txt";  // never to be touched
const std::string kBase = "https://" FWSTACK_TEST_SERVER "/downloads/fwstack/";
const std::string kOldProgram = FakeRelease(0, 0, 2, "Kelvardo s.r.o.", "the old program");

std::string Document(const std::string& version, const std::string& digestOf,
                     const std::string& url = kBase + "fwstack-0.0.3.exe") {
    u8 digest[32];
    Sha256(reinterpret_cast<const u8*>(digestOf.data()), digestOf.size(), digest);
    const UpdateInfoFields fields = {TextOf("fwstack"), {version.data(), version.size()},
                                     TextOf("fwstack-0.0.3.exe"), digest,
                                     {url.data(), url.size()}};
    std::string document(512, '\0');
    document.resize(FormatUpdateInfo(fields, document.data(), document.size()));
    return document;
}

bool Exists(const std::string& path) { return Fake().files.count(path) != 0; }
std::string Bytes(const std::string& path) {
    return Exists(path) ? Fake().files[path]->bytes : std::string("<missing>");
}

// A program folder holding fwstack.exe 0.0.2 and an unrelated file, and a
// server announcing 0.0.3 with a signed release.
struct World {
    std::string release = FakeRelease(0, 0, 3, "Kelvardo s.r.o.", "the new program");
    UpdateSettings settings{};

    World() {
        ResetFake();
        Fake().programPath = kProgram;
        Fake().files[kProgram] = std::make_shared<FakeFile>(FakeFile{kOldProgram});
        Fake().files[kOther] = std::make_shared<FakeFile>(FakeFile{"notes"});
        MakeUpdateSettings(TextOf("0.0.2"), &settings);
        Announce("0.0.3", release, release);
    }
    void Announce(const std::string& version, const std::string& served,
                  const std::string& digestOf) {
        Fake().server[kBase + "latest.txt"] = {200, Document(version, digestOf), 0};
        Fake().server[kBase + "fwstack-0.0.3.exe"] = {200, served, 0};
    }
    // Runs one whole attempt as `update` does; returns the report line.
    std::string Update(u32* failed = nullptr) {
        char line[256] = {};
        u64 length = 0;
        u32 code = RunAndReport(settings, Text{nullptr, 0}, line, sizeof line, &length);
        if (failed) *failed = code;
        return std::string(line, length);
    }
};

struct DriveCase {
    const char* rule;
    std::function<void(World&)> arrange;
    std::string line;        // after "fwstack "
    bool updated;            // the program file holds the release afterwards
    const char* notCalled;   // a primitive that no step after the failure may reach
};

const std::string kFailed = "update failed: ";

const DriveCase kDrives[] = {
    {"announced version equal is up to date",
     [](World& w) { w.Announce("0.0.2", w.release, w.release); }, "0.0.2 is up to date\n", false,
     "TakeUpdateLock"},
    {"announced version older is up to date",
     [](World& w) { w.Announce("0.0.1", w.release, w.release); }, "0.0.2 is up to date\n", false,
     "TakeUpdateLock"},
    {"a missing document is not delivered",
     [](World&) { Fake().server.erase(kBase + "latest.txt"); },
     "update failed: the update server did not deliver the update information\n", false,
     "TakeUpdateLock"},
    {"a broken transfer of the document is not delivered",
     [](World&) { Fake().server[kBase + "latest.txt"].stage = 4; },
     "update failed: the update server did not deliver the update information\n", false,
     "TakeUpdateLock"},
    {"a redirect is not delivered",
     [](World&) { Fake().server[kBase + "latest.txt"].status = 302; },
     "update failed: the update server did not deliver the update information\n", false,
     "TakeUpdateLock"},
    {"a document with CR LF is malformed",
     [](World&) { Fake().server[kBase + "latest.txt"].body = "fwstack-latest 1\r\n"; },
     "update failed: the update information is malformed\n", false, "TakeUpdateLock"},
    {"a download on another server is refused before the versions count",
     [](World& w) {
         Fake().server[kBase + "latest.txt"].body =
             Document("0.0.1", w.release, "https://elsewhere.example/fwstack-0.0.3.exe");
     },
     "update failed: the download is not on the update server\n", false, "TakeUpdateLock"},
    {"a held lock stops the fetch before any file",
     [](World& w) { HoldLockElsewhere(w.settings, kProgram); },
     "update failed: another update is running\n", false, "OpenFile"},
    {"a folder refusing the download is the read-only outcome",
     [](World&) { Fake().failing["OpenFile:" + kProgram + ".download"] = 5; },
     "0.0.3 is available but the program folder is read-only: download it from " + kBase + "\n",
     false, "HttpGetToFile"},
    {"another refusal of the download file cannot save",
     [](World&) { Fake().failing["OpenFile:" + kProgram + ".download"] = 3; },
     "update failed: the download cannot be saved\n", false, "HttpGetToFile"},
    {"a missing release fails the download",
     [](World&) { Fake().server.erase(kBase + "fwstack-0.0.3.exe"); },
     "update failed: the download failed\n", false, "CheckSigner"},
    {"a broken transfer fails the download",
     [](World&) { Fake().server[kBase + "fwstack-0.0.3.exe"].stage = 5; },
     "update failed: the download failed\n", false, "CheckSigner"},
    {"a release over the cap fails the download",
     [](World& w) { w.settings.maxDownloadSize = 100; }, "update failed: the download failed\n",
     false, "CheckSigner"},
    {"a full disk fails the download",
     [](World&) { Fake().failing["WriteToFile"] = 112; }, "update failed: the download failed\n",
     false, "CheckSigner"},
    {"other bytes than announced are damaged, and nothing else is checked",
     [](World& w) { w.Announce("0.0.3", w.release, "other bytes"); },
     "update failed: the download is damaged (SHA-256)\n", false, "CheckSigner"},
    {"a read error while hashing is damage",
     [](World&) { Fake().failing["ReadFileAt"] = 23; },
     "update failed: the download is damaged (SHA-256)\n", false, "CheckSigner"},
    {"an unsigned release is refused",
     [](World& w) {
         std::string unsigned_ = FakeRelease(0, 0, 3, "");
         w.Announce("0.0.3", unsigned_, unsigned_);
     },
     "update failed: the download is not signed\n", false, "RenameOpenFile"},
    {"another signer is refused",
     [](World& w) {
         std::string other = FakeRelease(0, 0, 3, "Kelvardo s.r.o");
         w.Announce("0.0.3", other, other);
     },
     "update failed: the download is signed by someone else\n", false, "RenameOpenFile"},
    {"another release in the version resource is the wrong version",
     [](World& w) {
         std::string other = FakeRelease(0, 0, 4, "Kelvardo s.r.o.");
         w.Announce("0.0.3", other, other);
     },
     "update failed: the download has the wrong version\n", false, "RenameOpenFile"},
    {"no memory to read the version resource is the wrong version",
     [](World&) { Fake().failing["ArenaCreate:" + std::to_string(MaxResourceSection)] = 8; },
     "update failed: the download has the wrong version\n", false, "RenameOpenFile"},
    {"no memory for the run record is a document not delivered",
     [](World&) { Fake().failing["ArenaCreate:" + std::to_string(sizeof(UpdateRun))] = 8; },
     "update failed: the update server did not deliver the update information\n", false,
     "HttpGetToBuffer"},
    {"no memory to hash the download is damage",
     [](World&) { Fake().failing["ArenaCreate:65536"] = 8; },
     "update failed: the download is damaged (SHA-256)\n", false, "CheckSigner"},
    {"a document transfer the host stopped is cancelled",
     [](World&) { Fake().server[kBase + "latest.txt"].stage = 8; },
     "update failed: the update was cancelled\n", false, "TakeUpdateLock"},
    {"a release transfer the host stopped is cancelled",
     [](World&) { Fake().server[kBase + "fwstack-0.0.3.exe"].stage = 8; },
     "update failed: the update was cancelled\n", false, "CheckSigner"},
    {"a download that cannot be flushed is not staged",
     [](World&) { Fake().failing["FlushFile"] = 1117; },
     "update failed: the program file could not be replaced\n", false, "MoveFileReplacing"},
    {"a download that cannot take the staged name is not staged",
     [](World&) { Fake().failing["RenameOpenFile:" + kProgram + ".new"] = 5; },
     "update failed: the program file could not be replaced\n", false, "MoveFileReplacing"},
    {"an unwritten record stops before the swap",
     [](World&) { Fake().failing["OpenFile:" + kProgram + ".latest"] = 5; },
     "update failed: the update record is unreadable\n", false, "MoveFileReplacing"},
    {"a staged file that vanished is missing",
     [](World&) { Fake().failing["OpenFile:" + kProgram + ".new"] = 2; },
     "update failed: the staged update is missing\n", false, "MoveFileReplacing"},
    {"a staged file that cannot be opened is not replaced",
     [](World&) { Fake().failing["OpenFile:" + kProgram + ".new"] = 32; },
     "update failed: the program file could not be replaced\n", false, "MoveFileReplacing"},
    {"a program file that cannot be moved aside stays",
     [](World&) { Fake().failing["MoveFileReplacing:" + kProgram] = 5; },
     "update failed: the program file could not be replaced\n", false, nullptr},
    {"a failed rename onto the program path is rolled back",
     [](World&) { Fake().failing["RenameOpenFile:" + kProgram] = 5; },
     "update failed: the program file could not be replaced\n", false, nullptr},
    {"a roll-back refused once is tried again",
     [](World&) {
         Fake().failing["RenameOpenFile:" + kProgram] = 5;
         Fake().failingOnce["MoveFileReplacing:" + kProgram + ".old"] = 32;
     },
     "update failed: the program file could not be replaced\n", false, nullptr},
    {"a whole update puts the release in place", [](World&) {}, "updated to 0.0.3\n", true,
     nullptr},
};

TEST(EngineDrive, EveryOutcomeKeepsTheProgramWholeAndReleasesEverything) {
    for (const DriveCase& c : kDrives) {
        SCOPED_TRACE(c.rule);
        World world;
        c.arrange(world);
        Fake().calls.clear();
        u32 failed = 9;
        std::string line = world.Update(&failed);

        EXPECT_EQ(line, "fwstack " + c.line);
        bool success = line.find("up to date") != std::string::npos || c.updated;
        EXPECT_EQ(failed, success ? 0u : 1u);
        EXPECT_EQ(Bytes(kProgram), c.updated ? world.release : kOldProgram);
        EXPECT_EQ(Bytes(kOther), "notes");
        EXPECT_FALSE(Exists(kProgram + ".download")) << "the download outlived a failure";
        if (c.updated) EXPECT_EQ(Bytes(kProgram + ".old"), kOldProgram);
        for (const auto& [path, file] : Fake().files) {
            EXPECT_TRUE(path == kOther || path.rfind(kProgram, 0) == 0) << path;
        }
        EXPECT_EQ(Fake().openHandles, 0) << "a file handle was left open";
        EXPECT_EQ(Fake().openLocks, 0) << "the lock was not released";
        if (c.notCalled) EXPECT_EQ(Fake().calls[c.notCalled], 0) << c.notCalled;
    }
}

TEST(EngineDrive, AFailedSwapKeepsTheStagedFileForTheNextStartAndTheNextUpdateRecovers) {
    World world;
    Fake().failing["RenameOpenFile:" + kProgram] = 5;
    world.Update();
    EXPECT_EQ(Bytes(kProgram + ".new"), world.release);
    Fake().failing.clear();

    UpdateSettings settings = world.settings;
    StartupCleanup(settings, Text{nullptr, 0});
    for (const char* suffix : {".old", ".new", ".download", ".latest"}) {
        EXPECT_FALSE(Exists(kProgram + suffix)) << suffix;
    }
    EXPECT_EQ(world.Update(), "fwstack updated to 0.0.3\n");
}

TEST(EngineDrive, AReleaseAnotherUpdatePutInPlaceIsNotSwappedAgain) {
    World world;
    Fake().failing["MoveFileReplacing:" + kProgram] = 5;  // .old held by running programs
    EXPECT_EQ(world.Update(), "fwstack update failed: the program file could not be replaced\n");
    Fake().files[kProgram]->bytes = world.release;  // meanwhile another update swapped
    // The program file already holds the announced release: nothing is
    // fetched again; the staged copy waits for the next start's clean-up.
    Fake().calls.clear();
    EXPECT_EQ(world.Update(), "fwstack 0.0.3 is installed; restart to use it\n");
    EXPECT_EQ(Fake().calls["HttpGetToFile"], 0);
    EXPECT_EQ(Fake().calls["TakeUpdateLock"], 0);
    EXPECT_EQ(Bytes(kProgram), world.release);
    EXPECT_EQ(Fake().openHandles, 0);
}

// Each step, called in any state but its own, changes the state and the code only.
TEST(EngineSteps, EachStepRefusesEveryOtherStartingState) {
    struct Step {
        void (*run)(const UpdateSettings&, UpdateRun*);
        u32 own;
    };
    const Step steps[] = {{CheckStep, Initial}, {FetchStep, Available}, {SwapStep, Staged}};
    const u32 states[] = {Initial, UpToDate, Available, AvailableReadOnly, Staged, Updated, Failed};
    for (const Step& step : steps) {
        for (u32 state : states) {
            if (state == step.own) continue;
            World world;
            UpdateRun run;
            std::memset(&run, 0xA5, sizeof run);
            run.state = state;
            UpdateRun expected = run;
            expected.state = Failed;
            expected.error = StepsOutOfOrder;
            Fake().calls.clear();
            step.run(world.settings, &run);
            EXPECT_EQ(std::memcmp(&run, &expected, sizeof run), 0) << "state " << state;
            EXPECT_TRUE(Fake().calls.empty()) << "state " << state;
        }
    }
}

// The first failure wins: a failed record passes the driver unchanged.
TEST(EngineSteps, ADriveOfAFailedOrFinishedRecordRunsNoStep) {
    for (u32 state : {UpToDate, AvailableReadOnly, Updated, Failed}) {
        World world;
        UpdateRun run{};
        run.state = state;
        run.error = 14;
        Fake().calls.clear();
        EXPECT_EQ(DriveRun(world.settings, &run), 14u);
        EXPECT_EQ(run.state, state);
        EXPECT_TRUE(Fake().calls.empty());
    }
}

TEST(StartupCleanup, DeletesTheFourSiblingsOnlyWhenTheRunInitialises) {
    struct Case {
        const char* rule;
        std::function<void(UpdateSettings&)> arrange;
        bool deletes;
    };
    const Case cases[] = {
        {"valid settings and a known program", [](UpdateSettings&) {}, true},
        {"invalid settings", [](UpdateSettings& s) { s.publisher = Text{"", 0}; }, false},
        {"no program path", [](UpdateSettings&) { Fake().programPath.clear(); }, false},
        {"unknown installed version",
         [](UpdateSettings& s) {
             s.versionText = Text{"", 0};
             Fake().installedKnown = false;
         },
         false},
        {"version read from the program file",
         [](UpdateSettings& s) { s.versionText = Text{"", 0}; }, true},
    };
    const char* suffixes[] = {".old", ".new", ".download", ".latest"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        World world;
        for (const char* suffix : suffixes) {
            Fake().files[kProgram + suffix] = std::make_shared<FakeFile>(FakeFile{"left"});
        }
        c.arrange(world.settings);
        StartupCleanup(world.settings, Text{nullptr, 0});
        for (const char* suffix : suffixes) EXPECT_EQ(Exists(kProgram + suffix), !c.deletes);
        EXPECT_EQ(Bytes(kProgram), kOldProgram);
        EXPECT_EQ(Fake().out + Fake().err, "");
    }
}

TEST(DispatchCommand, KeywordsExactlyOrTheUsageText) {
    struct Case {
        u64 count;
        const char* argument;
        u32 code;
        const char* out;
        const char* err;
    };
    const char* usage = "usage: fwstack --version | update\n";
    const Case cases[] = {
        {2, "--version", 0, "fwstack 0.0.2\n", ""},
        {2, "update", 0, "fwstack 0.0.2 is up to date\n", ""},
        {3, "--version", 2, "", usage},
        {2, "--Version", 2, "", usage},
        {2, "UPDATE", 2, "", usage},
        {1, "", 2, "", usage},
        {2, "", 2, "", usage},
    };
    for (const Case& c : cases) {
        World world;
        world.Announce("0.0.2", world.release, world.release);
        Text argument{c.argument, std::strlen(c.argument)};
        // fwstack's own settings, as its entry point hands them over.
        fwstack_settings settings{};
        settings.program_name = "fwstack";
        settings.update_info_address = world.settings.updateInfoAddress.bytes;
        settings.publisher = "Kelvardo s.r.o.";
        settings.product_name = "Ferrowstack";
        settings.version_text = "0.0.2";
        EXPECT_EQ(DispatchCommand(settings, c.count, argument), c.code)
            << c.argument << " " << c.count;
        EXPECT_EQ(Fake().out, c.out) << c.argument;
        EXPECT_EQ(Fake().err, c.err) << c.argument;
    }
}

}  // namespace
