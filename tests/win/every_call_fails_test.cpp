// A whole update with the k-th system call failing, for every k: the line is
// one the steps give, the program file is whole, nothing but the siblings
// changed, every handle was closed, and the next start and update recover.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "engine/report.h"
#include "engine/deployment.h"
#include "tests/win/call_plan.h"
#include "tests/win/engine_support.h"
#include "tests/win/system_override.h"

namespace {

std::wstring g_program;  // the program path whose rename target the scenario refuses
bool g_renameRefused = false;  // the staged file's rename, the first onto it, was refused

BOOL WINAPI RenameOntoProgramFails(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info,
                                   DWORD size) {
    using Counted = Wrapped<Sys_SetFileInformationByHandle, decltype(&::SetFileInformationByHandle)>;
    if (kind == FileRenameInfo) {
        auto* rename = static_cast<FILE_RENAME_INFO*>(info);
        std::wstring target(rename->FileName, rename->FileNameLength / sizeof(WCHAR));
        if (target == g_program && !g_renameRefused) {
            g_renameRefused = true;  // the program's move back goes through
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    return Counted::Call(file, kind, info, size);
}

class EveryCallFails : public EngineTest {
protected:
    void Restore() {
        ASSERT_TRUE(WriteFileBytes(program_, previous_));
        for (const wchar_t* suffix : {L".old", L".old1", L".new", L".download", L".latest"}) {
            DeleteFileW(Sibling(suffix).c_str());
        }
    }
    // Runs one update under the counting table; the scenario may refuse the
    // rename onto the program path.
    std::string CountedUpdate(unsigned long long failAt, bool renameFails) {
        g_plan = CallPlan{};
        g_plan.failAt = failAt;
        CountingTable table;
        g_program = program_;
        g_renameRefused = false;
        if (!renameFails) return UpdateLine();
        auto refused = OverrideSystem(SetFileInformationByHandle, RenameOntoProgramFails);
        return UpdateLine();
    }
    std::set<std::string> Folder() {
        std::set<std::string> names;
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder_.Path() + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return names;
        do {
            std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") names.insert(Narrow(name));
        } while (FindNextFileW(search, &found));
        FindClose(search);
        return names;
    }
};

TEST_F(EveryCallFails, TheProgramStaysWholeAndTheNextUpdateRecovers) {
    AnnounceRelease();
    const std::wstring notes = folder_.File(L"notes.txt");
    ASSERT_TRUE(WriteFileBytes(notes, "notes"));
    const std::string updated = "fwstack updated to 0.0.3\n";
    // The read-only line names the downloads page of the settings' address.
    std::set<std::string> lines = {
        updated, "fwstack 0.0.3 is available but the program folder is read-only: download it "
                 "from " + base_ + "\n"};
    for (u32 code : {2u, 6u, 9u, 10u, 11u, 12u, 13u, 14u, 15u, 16u, 17u, 18u, 23u}) {
        lines.insert("fwstack update failed: " + std::string(MessageFor(code).bytes,
                                                              MessageFor(code).length) + "\n");
    }
    // A failed removal of .old moves the program aside to .old1 instead.
    const std::set<std::string> siblings = {"fwstack.exe",     "fwstack.exe.old",
                                            "fwstack.exe.old1", "fwstack.exe.new",
                                            "fwstack.exe.latest", "notes.txt"};

    for (bool renameFails : {false, true}) {
        Restore();
        std::string baseline = CountedUpdate(0, renameFails);
        ASSERT_EQ(baseline, renameFails ? "fwstack update failed: the program file could not be "
                                          "replaced\n"
                                        : updated);
        const unsigned long long total = g_plan.count;
        std::vector<u32> sequence = g_plan.calls;
        ASSERT_GT(total, 50u);
        int updates = 0;
        for (unsigned long long k = 1; k <= total; ++k) {
            Restore();
            std::string line = CountedUpdate(k, renameFails);
            const char* function = SystemFunctionName(sequence[k - 1]);
            SCOPED_TRACE(std::string(renameFails ? "rename refused, " : "") + "call " +
                         std::to_string(k) + " " + function + " fails");
            EXPECT_EQ(lines.count(line), 1u) << line;
            bool didUpdate = line == updated;
            updates += didUpdate;
            auto program = ReadFileBytes(program_);
            EXPECT_TRUE(program == (didUpdate ? release_ : previous_))
                << (program ? "the program file holds other bytes" : "no program file");
            EXPECT_EQ(ReadFileBytes(notes), "notes");
            std::set<std::string> names = Folder();
            for (const std::string& name : names) EXPECT_EQ(siblings.count(name), 1u) << name;
            EXPECT_TRUE(g_plan.open.empty()) << g_plan.open.size() << " left open";

            std::string path = Narrow(program_);
            StartupCleanup(settings_, Text{path.data(), path.size()});
            // A program file that already holds the release is not updated again.
            EXPECT_EQ(UpdateLine(), didUpdate ? "fwstack 0.0.3 is installed; restart to use it\n"
                                              : updated)
                << "the next update";
            EXPECT_TRUE(ReadFileBytes(program_) == release_) << "the next update";
        }
        std::printf("%s: %llu system calls, %llu runs with one failing, %d still updated\n",
                    renameFails ? "update whose rename onto the program fails" : "whole update",
                    total, total, updates);
    }
}

}  // namespace
