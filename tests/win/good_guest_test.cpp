// The engine as a guest in a host's process: progress told and a stop obeyed
// at every point of both transfers, a whole update on a thread with a small
// stack, and the host's own DLL loading by its plain name afterwards.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "api/fwstack_update.h"
#include "tests/win/engine_support.h"
#include "tests/win/support.h"

namespace {

struct Told {
    uint32_t transfer;
    uint64_t received;
    uint64_t total;
};

// What the host's callback saw, and the call at which it says stop.
struct Host {
    std::vector<Told> told;
    bool (*stopAt)(const Told& call) = nullptr;
    ULONGLONG stoppedAt = 0;  // GetTickCount64 when it said stop
    DWORD thread = 0;
};

int TellHost(void* context, uint32_t transfer, uint64_t received, uint64_t total) {
    Host* host = static_cast<Host*>(context);
    EXPECT_EQ(GetCurrentThreadId(), host->thread) << "called on another thread";
    host->told.push_back({transfer, received, total});
    if (host->stopAt == nullptr || host->stoppedAt != 0 || !host->stopAt(host->told.back())) return 0;
    host->stoppedAt = GetTickCount64();
    return 1;
}

class GoodGuest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        settings_host_ = HostSettings();
    }
    fwstack_result Update(Host* host) {
        fwstack_settings settings = settings_host_;
        if (host != nullptr) {
            host->thread = GetCurrentThreadId();
            settings.progress = TellHost;
            settings.progress_context = host;
        }
        fwstack_result result;
        std::memset(&result, 0xA5, sizeof result);
        const std::string path = Narrow(program_);
        fwstack_update_file(&settings, path.c_str(), &result);
        return result;
    }
    std::set<std::wstring> Folder() const {
        std::set<std::wstring> names;
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder_.Path() + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return names;
        do {
            if (found.cFileName[0] != L'.') names.insert(found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
        return names;
    }
    fwstack_settings settings_host_;
};

TEST_F(GoodGuest, ProgressIsToldInOrderAndAStopAnywhereLeavesOnlyTheProgram) {
    AnnounceRelease();
    const uint64_t documentSize = document_.size();
    const uint64_t releaseSize = release_.size();
    struct Row {
        const char* point;
        bool (*stopAt)(const Told&);
        bool slow;     // the release comes 1 KiB every 0.25 s
        bool request;  // the document was asked for
    } rows[] = {
        {"nowhere", nullptr, false, true},
        {"before the document request", [](const Told& t) { return t.transfer == 1; }, false,
         false},
        {"the document whole", [](const Told& t) { return t.transfer == 1 && t.received > 0; },
         false, true},
        {"the release's first call", [](const Told& t) { return t.transfer == 2; }, false, true},
        {"mid-release from a slow server",
         [](const Told& t) { return t.transfer == 2 && t.received >= 4096; }, true, true},
        {"the release whole",
         [](const Told& t) { return t.transfer == 2 && t.total != 0 && t.received == t.total; },
         false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.point);
        ASSERT_TRUE(WriteFileBytes(program_, previous_));
        if (row.slow) Serve("fwstack-0.0.3.exe.drip", "1024 0.25");
        ClearRequestLog();
        Host host;
        host.stopAt = row.stopAt;
        const fwstack_result result = Update(&host);
        const ULONGLONG ended = GetTickCount64();
        DeleteFileW(ServedPath(served_ + "fwstack-0.0.3.exe.drip").c_str());

        // What was told: the document, then the release; each from 0 before
        // its request, never going back, with the announced length, whole last.
        ASSERT_FALSE(host.told.empty());
        EXPECT_EQ(host.told[0].transfer, 1u);
        EXPECT_EQ(host.told[0].received, 0u);
        for (size_t i = 1; i < host.told.size(); ++i) {
            const Told& before = host.told[i - 1];
            const Told& now = host.told[i];
            ASSERT_GE(now.transfer, before.transfer);
            if (now.transfer != before.transfer) {
                EXPECT_EQ(now.received, 0u) << "a transfer's first call";
                continue;
            }
            EXPECT_GE(now.received, before.received);
            EXPECT_EQ(now.total, now.transfer == 1 ? documentSize : releaseSize);
            EXPECT_LE(now.received, now.total);
        }
        EXPECT_EQ(RequestLog().empty(), !row.request);

        if (row.stopAt == nullptr) {
            EXPECT_EQ(result.state, unsigned{FWSTACK_UPDATED}) << result.report;
            ASSERT_GE(host.told.size(), 4u);
            EXPECT_EQ(host.told.back().transfer, 2u);
            EXPECT_EQ(host.told.back().received, releaseSize);
            EXPECT_EQ(ReadFileBytes(program_), release_);
            for (const wchar_t* suffix : {L".old", L".latest"}) DeleteFileW(Sibling(suffix).c_str());
            continue;
        }
        ASSERT_NE(host.stoppedAt, 0u) << "the stop was never asked for";
        EXPECT_EQ(result.state, unsigned{FWSTACK_FAILED});
        EXPECT_EQ(result.error, unsigned{FWSTACK_CANCELLED});
        EXPECT_EQ(result.transfer_stage, unsigned{FWSTACK_STAGE_CANCELLED});
        EXPECT_EQ(result.exit_code, 1u);
        EXPECT_STREQ(result.report, "fwstack update failed: the update was cancelled\n");
        // The slow release would take seconds more: the stop ends it at once.
        EXPECT_LT(ended - host.stoppedAt, 1500u) << "ms from the stop to the end";
        EXPECT_EQ(Folder(), std::set<std::wstring>{L"fwstack.exe"});
        ExpectProgramUnchanged();
        // The lock is free: the next attempt takes it and updates.
        const fwstack_result next = Update(nullptr);
        EXPECT_EQ(next.state, unsigned{FWSTACK_UPDATED}) << next.report;
        for (const wchar_t* suffix : {L".old", L".latest"}) DeleteFileW(Sibling(suffix).c_str());
    }
}

struct ThreadRun {
    GoodGuest* test;
    fwstack_settings settings;
    std::string path;
    fwstack_result result;
    uintptr_t lowest;  // the lowest stack address the call wrote
    uintptr_t top;     // the stack pointer before the call
};

constexpr uint32_t Paint = 0x5AF0C3E1u;

DWORD WINAPI UpdateOnSmallStack(void* context) {
    ThreadRun* run = static_cast<ThreadRun*>(context);
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    // Paints the stack below this frame, page by page downwards as the guard
    // page lets it grow, leaving the last pages for the guard itself.
    volatile uint32_t here = 0;
    uintptr_t top = (reinterpret_cast<uintptr_t>(&here) - 512) & ~uintptr_t{15};
    uintptr_t floor = low + 3 * 4096;
    for (uintptr_t at = top; at > floor; at -= 4) *reinterpret_cast<volatile uint32_t*>(at - 4) = Paint;
    fwstack_update_file(&run->settings, run->path.c_str(), &run->result);
    uintptr_t lowest = floor;
    while (lowest < top && *reinterpret_cast<volatile uint32_t*>(lowest) == Paint) lowest += 4;
    run->lowest = lowest;
    run->top = top;
    return 0;
}

TEST_F(GoodGuest, AWholeUpdateRunsOnAThreadWith128KiBOfStack) {
    AnnounceRelease();
    ThreadRun run{this, settings_host_, Narrow(program_), {}, 0, 0};
    HANDLE thread = CreateThread(nullptr, 128 * 1024, UpdateOnSmallStack, &run,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(run.result.state, unsigned{FWSTACK_UPDATED}) << run.result.report;
    EXPECT_EQ(ReadFileBytes(program_), release_);
    // NOTE: Wine does not hold a thread to a small reservation, so the stack
    // the call wrote, its own and Wine's functions', is what shows the fit.
    const uintptr_t used = run.top - run.lowest;
    std::printf("stack written by a whole update: %zu bytes (FWSTACK_STACK_BYTES %d)\n",
                static_cast<size_t>(used), FWSTACK_STACK_BYTES);
    EXPECT_LT(used, size_t{128 * 1024 - 3 * 4096});
}

TEST_F(GoodGuest, TheHostsOwnDllBesideItLoadsAfterAnUpdate) {
    AnnounceRelease();
    const fwstack_result result = Update(nullptr);
    ASSERT_EQ(result.state, unsigned{FWSTACK_UPDATED}) << result.report;
    // The plain name: the search a host makes for its own plug-in, which the
    // process-wide restriction to the system folder would refuse with 126.
    HMODULE plugin = LoadLibraryW(L"host_plugin.dll");
    EXPECT_NE(plugin, nullptr) << "error " << GetLastError();
    if (plugin != nullptr) {
        auto answer = reinterpret_cast<int (*)()>(
            reinterpret_cast<void (*)()>(GetProcAddress(plugin, "HostPluginAnswer")));
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(answer(), 42);
        FreeLibrary(plugin);
    }
}

}  // namespace
