// A program file in a scratch folder, a served release and the run record of one engine test.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "api/fwstack_update.h"
#include "engine/report.h"
#include "engine/run.h"
#include "engine/settings.h"
#include "tests/win/support.h"

// The bytes of a file of the test assets' releases folder ("" when missing).
inline std::string Release(const std::string& name) {
    return ReadFileBytes(AssetPath("releases/" + name)).value_or("");
}

// A handle the test holds for the length of a scope.
struct HeldFile {
    HANDLE handle;
    HeldFile(const std::wstring& path, DWORD access, DWORD share)
        : handle(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~HeldFile() { Close(); }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    void Close() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
};

// A copy of fwstack-0.0.2.exe as fwstack.exe in a scratch folder, a served
// folder of its own for the update information and the release, and the
// settings of 0.0.2 pointed at that folder over local HTTP.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(HttpPort(), 0u) << "no test server";
        previous_ = Release("fwstack-0.0.2.exe");
        ASSERT_FALSE(previous_.empty()) << "test assets missing";
        program_ = folder_.File(L"fwstack.exe");
        ASSERT_TRUE(WriteFileBytes(program_, previous_));

        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(test->test_suite_name()) + "." + test->name();
        for (char& c : name) {
            if (c == '/') c = '-';
        }
        served_ = "engine/" + name + "/downloads/fwstack/";
        base_ = "http://127.0.0.1:" + std::to_string(HttpPort()) + "/" + served_;
        infoAddress_ = base_ + "latest.txt";
        MakeUpdateSettings(TextOf("0.0.2"), &settings_);
        settings_.options |= AllowLocalHttp;
        settings_.updateInfoAddress = Text{infoAddress_.data(), infoAddress_.size()};
        std::memset(&run_, 0, sizeof run_);
    }

    void Serve(const std::string& name, const std::string& bytes) {
        ASSERT_TRUE(WriteServedFile(served_ + name, bytes));
    }

    // Serves release as fwstack-0.0.3.exe and a document announcing version
    // with the SHA-256 of digestOf.
    void Announce(const std::string& version, const std::string& release,
                  const std::string& digestOf) {
        if (!release.empty()) Serve("fwstack-0.0.3.exe", release);
        document_ = MakeDocument(version, "fwstack-0.0.3.exe", Sha256Hex(digestOf),
                                 base_ + "fwstack-0.0.3.exe");
        Serve("latest.txt", document_);
    }
    void AnnounceRelease() {
        release_ = Release("fwstack-0.0.3.exe");
        ASSERT_FALSE(release_.empty());
        Announce("0.0.3", release_, release_);
    }

    void Init() {
        std::string path = Narrow(program_);
        InitRunForProgramFile(settings_, path.data(), path.size(), &run_);
    }
    void ReachAvailable() {
        Init();
        CheckStep(settings_, &run_);
        ASSERT_EQ(run_.state, Available) << "error " << run_.error;
    }
    void ReachStaged() {
        ReachAvailable();
        FetchStep(settings_, &run_);
        ASSERT_EQ(run_.state, Staged) << "error " << run_.error;
    }

    // One whole attempt on the program file, as `update` runs it; its line.
    std::string UpdateLine() {
        char line[256] = {};
        u64 length = 0;
        std::string path = Narrow(program_);
        RunAndReport(settings_, Text{path.data(), path.size()}, line, sizeof line, &length);
        return std::string(line, length);
    }

    // The same settings as a host of the public interface gives them.
    fwstack_settings HostSettings() const {
        fwstack_settings host;
        std::memset(&host, 0, sizeof host);
        host.size = sizeof host;
        host.program_name = "fwstack";
        host.update_info_address = infoAddress_.c_str();
        host.publisher = "Kelvardo s.r.o.";
        host.product_name = "Ferrowstack";
        host.version_text = "0.0.2";
        host.options = FWSTACK_ALLOW_LOCAL_HTTP;
        return host;
    }

    std::wstring Sibling(const wchar_t* suffix) const { return program_ + suffix; }
    void ExpectProgramUnchanged() const { EXPECT_EQ(ReadFileBytes(program_), previous_); }
    void ExpectNoSiblings(bool latestToo = true) const {
        EXPECT_FALSE(FileExists(Sibling(L".download")));
        EXPECT_FALSE(FileExists(Sibling(L".new")));
        EXPECT_FALSE(FileExists(Sibling(L".old")));
        if (latestToo) EXPECT_FALSE(FileExists(Sibling(L".latest")));
    }
    // A folder (with a file in it, so that nothing may replace it) at path.
    static void MakeFolderAt(const std::wstring& path) {
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
        ASSERT_TRUE(WriteFileBytes(path + L"\\keep", "keep"));
    }

    TempFolder folder_;
    std::wstring program_;
    std::string previous_;  // the program file's bytes before the attempt
    std::string release_;
    std::string served_;
    std::string base_;
    std::string infoAddress_;  // the bytes behind settings_.updateInfoAddress
    std::string document_;
    UpdateSettings settings_{};
    UpdateRun run_;
};
