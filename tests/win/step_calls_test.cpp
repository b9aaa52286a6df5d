// The step calls of the C interface (check, download, apply) one at a time:
// bad input and wrong orders in one table, a host that runs on after its
// update, and a program file in a folder named outside Latin-1.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "api/fwstack_update.h"
#include "tests/win/engine_support.h"
#include "tests/win/support.h"

namespace {

using StepCall = uint32_t (*)(const fwstack_settings*, const wchar_t*, fwstack_result*);

// A settings record with room behind it, as a host built against a later
// header hands it over.
struct LargerSettings {
    fwstack_settings settings;
    uint64_t tail;
};

class StepCalls : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        std::memset(&host_, 0, sizeof host_);
        host_.settings.program_name = "fwstack";
        host_.settings.update_info_address = infoAddress_.c_str();
        host_.settings.publisher = "Kelvardo s.r.o.";
        host_.settings.product_name = "Ferrowstack";
        host_.settings.version_text = "0.0.2";
        host_.settings.options = FWSTACK_ALLOW_LOCAL_HTTP;
    }
    fwstack_result Run(StepCall call, const wchar_t* path = nullptr) {
        fwstack_result result;
        std::memset(&result, 0xAB, sizeof result);
        call(&host_.settings, path ? path : program_.c_str(), &result);
        return result;
    }
    static std::string Report(const fwstack_result& r) { return std::string(r.report); }

    LargerSettings host_;
};

struct StepRow {
    const char* rule;
    std::function<void(StepCalls&, LargerSettings&)> arrange;
    StepCall call;
    uint32_t state;
    uint32_t error;
    std::string line;
    bool updated;  // the program file holds the release afterwards
};

const std::string kInvalid = "update failed: the update settings are invalid\n";

TEST_F(StepCalls, BadInputAndWrongOrdersGetTheirDocumentedResult) {
    AnnounceRelease();
    const std::wstring overLong(1084, L'x');
    const std::string name33(33, 'n');
    const std::wstring unversioned = folder_.File(L"plain.exe");
    ASSERT_TRUE(WriteFileBytes(unversioned, "no version resource"));
    auto download = [](StepCalls&, LargerSettings& h, const std::wstring& path) {
        fwstack_result r{};
        ASSERT_EQ(fwstack_download(&h.settings, path.c_str(), &r), 0u) << r.report;
        ASSERT_EQ(r.state, unsigned{FWSTACK_STAGED});
    };
    const std::wstring program = program_;
    const StepRow rows[] = {
        {"null settings", [](StepCalls&, LargerSettings&) {}, nullptr, FWSTACK_FAILED,
         FWSTACK_SETTINGS_INVALID, kInvalid, false},
        {"an over-long program name is left out of the line",
         [&](StepCalls&, LargerSettings& h) { h.settings.program_name = name33.c_str(); },
         fwstack_download, FWSTACK_FAILED, FWSTACK_SETTINGS_INVALID, kInvalid, false},
        {"a size below version 1.0's record",
         [](StepCalls&, LargerSettings& h) { h.settings.size = 40; }, fwstack_check,
         FWSTACK_FAILED, FWSTACK_SETTINGS_INVALID, kInvalid, false},
        {"a larger record asking for something unknown",
         [](StepCalls&, LargerSettings& h) {
             h.settings.size = sizeof h;
             h.tail = 1;
         },
         fwstack_check, FWSTACK_FAILED, FWSTACK_SETTINGS_INVALID, kInvalid, false},
        {"a larger record with a zero tail",
         [](StepCalls&, LargerSettings& h) { h.settings.size = sizeof h; }, fwstack_check,
         FWSTACK_AVAILABLE, 0, "fwstack 0.0.3 is available\n", false},
        {"version 1.0's size", [](StepCalls&, LargerSettings& h) { h.settings.size = 56; },
         fwstack_check, FWSTACK_AVAILABLE, 0, "fwstack 0.0.3 is available\n", false},
        {"an empty path", [](StepCalls&, LargerSettings&) {}, fwstack_check, FWSTACK_FAILED,
         FWSTACK_PROGRAM_FILE_NOT_FOUND, "fwstack update failed: the program file was not found\n",
         false},
        {"an over-long path", [](StepCalls&, LargerSettings&) {}, fwstack_download,
         FWSTACK_FAILED, FWSTACK_PROGRAM_FILE_NOT_FOUND,
         "fwstack update failed: the program file was not found\n", false},
        {"no version text and a program file without a version resource",
         [](StepCalls&, LargerSettings& h) { h.settings.version_text = nullptr; }, fwstack_check,
         FWSTACK_FAILED, FWSTACK_INSTALLED_VERSION_UNKNOWN,
         "fwstack update failed: the installed version is unknown\n", false},
        {"a check reports the announced release and writes nothing",
         [](StepCalls&, LargerSettings&) {}, fwstack_check, FWSTACK_AVAILABLE, 0,
         "fwstack 0.0.3 is available\n", false},
        {"a download stages the release", [](StepCalls&, LargerSettings&) {}, fwstack_download,
         FWSTACK_STAGED, 0, "fwstack 0.0.3 is ready to install\n", false},
        {"an apply with nothing staged", [](StepCalls&, LargerSettings&) {}, fwstack_apply,
         FWSTACK_FAILED, FWSTACK_STAGED_UPDATE_MISSING,
         "fwstack update failed: the staged update is missing\n", false},
        {"download, then apply",
         [&](StepCalls& t, LargerSettings& h) { download(t, h, program); }, fwstack_apply,
         FWSTACK_UPDATED, 0, "fwstack updated to 0.0.3\n", true},
        {"apply twice",
         [&](StepCalls& t, LargerSettings& h) {
             download(t, h, program);
             fwstack_result r{};
             ASSERT_EQ(fwstack_apply(&h.settings, program.c_str(), &r), 0u) << r.report;
         },
         fwstack_apply, FWSTACK_FAILED, FWSTACK_STAGED_UPDATE_MISSING,
         "fwstack update failed: the staged update is missing\n", true},
        {"an apply of a release staged by another version",
         [&](StepCalls& t, LargerSettings& h) {
             download(t, h, program);
             h.settings.version_text = "0.0.3";
         },
         fwstack_apply, FWSTACK_FAILED, FWSTACK_DOWNLOAD_WRONG_VERSION,
         "fwstack update failed: the download has the wrong version\n", false},
        {"an apply of a damaged update record",
         [&](StepCalls& t, LargerSettings& h) {
             download(t, h, program);
             ASSERT_TRUE(WriteFileBytes(program + L".latest", "fwstack-latest 2\n"));
         },
         fwstack_apply, FWSTACK_FAILED, FWSTACK_UPDATE_RECORD_UNWRITTEN,
         "fwstack update failed: the update record is unreadable\n", false},
        {"a clean-up keeping the staged release, then apply",
         [&](StepCalls& t, LargerSettings& h) {
             download(t, h, program);
             h.settings.options |= FWSTACK_KEEP_STAGED;
             fwstack_cleanup_w(&h.settings, program.c_str());
         },
         fwstack_apply, FWSTACK_UPDATED, 0, "fwstack updated to 0.0.3\n", true},
        {"a clean-up without it, then apply",
         [&](StepCalls& t, LargerSettings& h) {
             download(t, h, program);
             fwstack_cleanup_w(&h.settings, program.c_str());
         },
         fwstack_apply, FWSTACK_FAILED, FWSTACK_STAGED_UPDATE_MISSING,
         "fwstack update failed: the staged update is missing\n", false},
    };
    for (const StepRow& row : rows) {
        SCOPED_TRACE(row.rule);
        ASSERT_TRUE(WriteFileBytes(program_, previous_));
        for (const wchar_t* suffix : {L".old", L".new", L".latest", L".download"}) {
            DeleteFileW(Sibling(suffix).c_str());
        }
        SetUp();
        row.arrange(*this, host_);
        const std::string rule = row.rule;
        const wchar_t* path = rule == "an empty path"      ? L""
                              : rule == "an over-long path" ? overLong.c_str()
                              : rule.find("without a version resource") != std::string::npos
                                  ? unversioned.c_str()
                                  : program_.c_str();
        StepCall call = row.call ? row.call : fwstack_check;
        const fwstack_settings* settings = row.call ? &host_.settings : nullptr;
        fwstack_result result;
        std::memset(&result, 0xAB, sizeof result);
        const uint32_t code = call(settings, path, &result);
        EXPECT_EQ(result.state, row.state);
        EXPECT_EQ(result.error, row.error);
        EXPECT_EQ(Report(result), row.line);
        EXPECT_EQ(result.report_length, row.line.size());
        const uint32_t exitCode = row.state == FWSTACK_FAILED ? 1u : 0u;
        EXPECT_EQ(code, exitCode);
        EXPECT_EQ(result.exit_code, exitCode);
        EXPECT_EQ(ReadFileBytes(program_), row.updated ? release_ : previous_);
        EXPECT_FALSE(FileExists(Sibling(L".download")));
        const bool staged = row.state == FWSTACK_STAGED;
        EXPECT_EQ(FileExists(Sibling(L".new")), staged);
        if (staged) {
            EXPECT_EQ(ReadFileBytes(Sibling(L".new")), release_);
            EXPECT_EQ(ReadFileBytes(Sibling(L".latest")), document_);
            EXPECT_EQ(result.release_size, release_.size());
        }
        if (row.state == FWSTACK_AVAILABLE) {
            EXPECT_FALSE(FileExists(Sibling(L".latest")));
            EXPECT_STREQ(result.installed_version, "0.0.2");
            EXPECT_STREQ(result.available_version, "0.0.3");
            EXPECT_EQ(result.release_size, 0u);
        }
        if (row.error == FWSTACK_SETTINGS_INVALID) {
            EXPECT_STREQ(result.installed_version, "");
            // A null result changes nothing of the outcome's code.
            EXPECT_EQ(call(settings, path, nullptr), 1u);
        }
        for (size_t i = 0; i < sizeof result.reserved; ++i) ASSERT_EQ(result.reserved[i], 0u);
        EXPECT_EQ(result.transfer_stage | result.system_error | result.http_status, 0u);
    }
}

TEST_F(StepCalls, AHostThatRunsOnDownloadsNothingItsFileAlreadyHolds) {
    AnnounceRelease();
    fwstack_result result = Run([](const fwstack_settings* s, const wchar_t* p,
                                   fwstack_result* r) { return fwstack_update_file_w(s, p, r); });
    ASSERT_EQ(result.state, unsigned{FWSTACK_UPDATED}) << result.report;
    EXPECT_EQ(result.release_size, release_.size());
    // The same process, its settings still those of its start (0.0.2).
    ClearRequestLog();
    for (StepCall call : {fwstack_check, fwstack_download,
                          static_cast<StepCall>([](const fwstack_settings* s, const wchar_t* p,
                                                   fwstack_result* r) {
                              return fwstack_update_file_w(s, p, r);
                          })}) {
        result = Run(call);
        EXPECT_EQ(result.state, unsigned{FWSTACK_INSTALLED});
        EXPECT_EQ(Report(result), "fwstack 0.0.3 is installed; restart to use it\n");
        EXPECT_EQ(result.exit_code, 0u);
        EXPECT_STREQ(result.installed_version, "0.0.2");
        EXPECT_STREQ(result.available_version, "0.0.3");
    }
    // Without a version text the file's own version (now 0.0.3) is installed.
    host_.settings.version_text = nullptr;
    result = Run(fwstack_download);
    EXPECT_EQ(result.state, unsigned{FWSTACK_UP_TO_DATE});
    EXPECT_EQ(Report(result), "fwstack  is up to date\n");
    EXPECT_STREQ(result.installed_version, "0.0.3");
    const std::string log = RequestLog();
    EXPECT_NE(log.find("latest.txt"), std::string::npos);
    EXPECT_EQ(log.find("fwstack-0.0.3.exe"), std::string::npos) << log;
    EXPECT_FALSE(FileExists(Sibling(L".new")));
    EXPECT_EQ(ReadFileBytes(program_), release_);
}

TEST_F(StepCalls, AProgramInAFolderNamedInChineseAndCyrillicUpdates) {
    AnnounceRelease();
    const std::wstring folder = folder_.File(L"\u66f4\u65b0-\u043e\u0431\u043d\u043e\u0432\u043b\u0435\u043d\u0438\u0435");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring program = folder + L"\\fwstack.exe";
    ASSERT_TRUE(WriteFileBytes(program, previous_));
    fwstack_result result = Run(fwstack_download, program.c_str());
    ASSERT_EQ(result.state, unsigned{FWSTACK_STAGED}) << result.report;
    EXPECT_TRUE(FileExists(program + L".new"));
    result = Run(fwstack_apply, program.c_str());
    EXPECT_EQ(Report(result), "fwstack updated to 0.0.3\n");
    EXPECT_EQ(ReadFileBytes(program), release_);
    EXPECT_EQ(ReadFileBytes(program + L".old"), previous_);
    // The next start tidies up beside it, as the 8-bit calls cannot name it.
    host_.settings.version_text = "0.0.3";
    fwstack_cleanup_w(&host_.settings, program.c_str());
    EXPECT_FALSE(FileExists(program + L".old"));
    EXPECT_FALSE(FileExists(program + L".latest"));
    // The whole update through the wide call, from the folder as current
    // folder and a relative path.
    ASSERT_TRUE(WriteFileBytes(program, previous_));
    host_.settings.version_text = "0.0.2";
    wchar_t before[MAX_PATH];
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, before), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
    result = fwstack_result{};
    fwstack_update_file_w(&host_.settings, L"fwstack.exe", &result);
    SetCurrentDirectoryW(before);
    EXPECT_EQ(Report(result), "fwstack updated to 0.0.3\n");
    EXPECT_EQ(ReadFileBytes(program), release_);
    DeleteTree(folder);
}

}  // namespace
