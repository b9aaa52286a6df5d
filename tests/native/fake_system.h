// A fake of the program's system layer for native tests: files in memory, a
// scripted HTTP GET, a lock, a scripted trust verdict, captured console output.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "base/types.h"
#include "info/version.h"

struct FakeFile {
    std::string bytes;
};

// What the fake server answers for one address.
struct FakeResponse {
    u32 status = 200;
    std::string body;
    u32 stage = 0;  // a failed transfer at this HttpStage, when not 0
};

struct FakeSystem {
    // Files by full path; a name maps to a file, several names may share one.
    std::map<std::string, std::shared_ptr<FakeFile>> files;
    std::map<std::string, FakeResponse> server;
    std::string programPath = "C:\\Tools\\fwstack.exe";
    i64 clockSeconds = 1800000000;  // the system's clock: 2027-01-15T08:00:00Z
    bool installedKnown = true;
    Version installed = {0, 0, 2, NoPrerelease};
    std::string out;
    std::string err;
    std::set<std::string> heldLocks;
    // Operations that fail: the name of a primitive ("OpenFile", "RemoveFile",
    // "RenameOpenFile", "MoveFileReplacing", "FlushFile", "WriteToFile",
    // "ReadFileAt", "TakeUpdateLock", "ArenaCreate") mapped to the error its
    // failure reports; "OpenFile:<path>" fails one path only, "ArenaCreate:<size>"
    // one size only.
    std::map<std::string, u32> failing;
    std::map<std::string, u32> failingOnce;  // the same, for the next call only
    std::map<std::string, int> calls;  // how often each primitive ran
    int openHandles = 0;
    int openLocks = 0;
};

// The fake that the system functions of the native build act on.
FakeSystem& Fake();
// A fresh fake: no files, no answers, nothing failing.
void ResetFake();

// Holds the update lock of that program file as another process would.
struct UpdateSettings;
void HoldLockElsewhere(const UpdateSettings& settings, const std::string& programPath);

// A file that the trust fake takes as signed by signer (no signer: unsigned)
// and whose version resource names major.minor.patch; payload makes it unique.
std::string FakeRelease(u32 major, u32 minor, u32 patch, const std::string& signer,
                        const std::string& payload = "");
