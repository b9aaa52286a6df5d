// The C interface on the fake system layer: a host's own program, and every
// kind of bad input a host can hand it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "api/fwstack_update.h"
#include "base/bytes.h"
#include "engine/run.h"
#include "info/update_info.h"
#include "tests/native/fake_system.h"
#include "verify/sha256.h"

namespace {

const std::string kHost = "C:\\Tools\\hello.exe";
const std::string kBase = "https://updates.example.com/downloads/hello/";

// A host "hello" 1.0.0 of "Example Tools Ltd." whose server announces 1.0.1.
struct Host {
    std::string release = FakeRelease(1, 0, 1, "Example Tools Ltd.", "hello 1.0.1");
    std::string address = kBase + "latest.txt";
    fwstack_settings settings{};

    Host() {
        ResetFake();
        Fake().programPath = kHost;
        Fake().files[kHost] = std::make_shared<FakeFile>(
            FakeFile{FakeRelease(1, 0, 0, "Example Tools Ltd.", "hello 1.0.0")});
        u8 digest[32];
        Sha256(reinterpret_cast<const u8*>(release.data()), release.size(), digest);
        const std::string url = kBase + "hello-1.0.1.exe";
        const UpdateInfoFields fields = {TextOf("hello"), TextOf("1.0.1"), TextOf("hello-1.0.1.exe"),
                                         digest, {url.data(), url.size()}};
        std::string document(512, '\0');
        document.resize(FormatUpdateInfo(fields, document.data(), document.size()));
        Fake().server[address] = {200, document, 0};
        Fake().server[url] = {200, release, 0};
        settings.program_name = "hello";
        settings.update_info_address = address.c_str();
        settings.publisher = "Example Tools Ltd.";
        settings.product_name = "Hello";
        settings.version_text = "1.0.0";
    }
};

TEST(PublicInterface, AHostUpdatesItselfUnderItsOwnName) {
    Host host;
    fwstack_cleanup(&host.settings, nullptr);
    fwstack_result result;
    std::memset(&result, 0xAB, sizeof result);
    EXPECT_EQ(fwstack_update(&host.settings, &result), 0u);
    EXPECT_EQ(result.state, unsigned{FWSTACK_UPDATED});
    EXPECT_EQ(result.error, 0u);
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_STREQ(result.report, "hello updated to 1.0.1\n");
    EXPECT_EQ(result.report_length, std::strlen(result.report));
    EXPECT_EQ(Fake().files[kHost]->bytes, host.release);
    // The next start's clean-up leaves the program file alone.
    fwstack_cleanup(&host.settings, nullptr);
    EXPECT_EQ(Fake().files.size(), 1u);
    // Up to date now, and the read-only line names the host's downloads page.
    host.settings.version_text = "1.0.1";
    EXPECT_EQ(fwstack_update(&host.settings, &result), 0u);
    EXPECT_STREQ(result.report, "hello 1.0.1 is up to date\n");
    // Still 1.0.0 in the settings of a host that runs on: the file holds the
    // release, so nothing is fetched again.
    host.settings.version_text = "1.0.0";
    EXPECT_EQ(fwstack_update(&host.settings, &result), 0u);
    EXPECT_EQ(result.state, unsigned{FWSTACK_INSTALLED});
    EXPECT_STREQ(result.report, "hello 1.0.1 is installed; restart to use it\n");
    Fake().files[kHost]->bytes = FakeRelease(1, 0, 0, "Example Tools Ltd.", "hello 1.0.0");
    Fake().failing["OpenFile:" + kHost + ".download"] = 5;
    EXPECT_EQ(fwstack_update_file(&host.settings, kHost.c_str(), &result), 1u);
    EXPECT_EQ(result.state, unsigned{FWSTACK_AVAILABLE_READ_ONLY});
    EXPECT_EQ(result.error, unsigned{FWSTACK_FOLDER_READ_ONLY});
    EXPECT_EQ(std::string(result.report),
              "hello 1.0.1 is available but the program folder is read-only: download it from " +
                  kBase + "\n");
    // No memory for the run record: nothing fetched, and the clean-up leaves
    // the siblings for a later start.
    Fake().failing.clear();
    Fake().files[kHost + ".old"] = std::make_shared<FakeFile>(FakeFile{"old"});
    Fake().failing["ArenaCreate:" + std::to_string(sizeof(UpdateRun))] = 8;
    fwstack_cleanup(&host.settings, nullptr);
    EXPECT_EQ(Fake().files.count(kHost + ".old"), 1u);
    Fake().calls.clear();
    EXPECT_EQ(fwstack_update(&host.settings, &result), 1u);
    EXPECT_EQ(Fake().calls["HttpGetToBuffer"], 0);
    EXPECT_EQ(result.state, unsigned{FWSTACK_FAILED});
    EXPECT_EQ(result.error, unsigned{FWSTACK_INFO_NOT_DELIVERED});
    EXPECT_EQ(result.transfer_stage, unsigned{FWSTACK_STAGE_RESPONSE});
    EXPECT_EQ(result.system_error, 8u);
    EXPECT_STREQ(result.report,
                 "hello update failed: the update server did not deliver the update information\n");
    EXPECT_EQ(result.report_length, std::strlen(result.report));
}

TEST(PublicInterface, BadInputGetsItsDocumentedResultAndTouchesNothing) {
    const std::string overLong(5000, 'a');
    const std::string name33(33, 'n');
    const std::string publisher65(65, 'p');
    struct Row {
        const char* what;
        void (*spoil)(fwstack_settings*, const std::string&, const std::string&,
                      const std::string&);
        bool namedFile;
        const char* path;
        u32 error;
    } rows[] = {
        {"null settings", nullptr, false, nullptr, FWSTACK_SETTINGS_INVALID},
        {"null program name", [](fwstack_settings* s, auto&, auto&, auto&) { s->program_name = nullptr; },
         false, nullptr, FWSTACK_SETTINGS_INVALID},
        {"empty program name", [](fwstack_settings* s, auto&, auto&, auto&) { s->program_name = ""; },
         false, nullptr, FWSTACK_SETTINGS_INVALID},
        {"33-byte program name",
         [](fwstack_settings* s, auto&, auto& n, auto&) { s->program_name = n.c_str(); }, false,
         nullptr, FWSTACK_SETTINGS_INVALID},
        {"over-long address",
         [](fwstack_settings* s, auto& l, auto&, auto&) { s->update_info_address = l.c_str(); },
         false, nullptr, FWSTACK_SETTINGS_INVALID},
        {"non-ASCII program name",
         [](fwstack_settings* s, auto&, auto&, auto&) { s->program_name = "h\xC3\xA9llo"; }, false,
         nullptr, FWSTACK_SETTINGS_INVALID},
        {"non-ASCII publisher",
         [](fwstack_settings* s, auto&, auto&, auto&) { s->publisher = "Caf\xC3\xA9 Ltd."; },
         false, nullptr, FWSTACK_SETTINGS_INVALID},
        {"65-byte publisher",
         [](fwstack_settings* s, auto&, auto&, auto& p) { s->publisher = p.c_str(); }, false,
         nullptr, FWSTACK_SETTINGS_INVALID},
        {"null product name", [](fwstack_settings* s, auto&, auto&, auto&) { s->product_name = nullptr; },
         false, nullptr, FWSTACK_SETTINGS_INVALID},
        {"plain http address",
         [](fwstack_settings* s, auto&, auto&, auto&) {
             s->update_info_address = "http://updates.example.com/downloads/hello/latest.txt";
         },
         false, nullptr, FWSTACK_SETTINGS_INVALID},
        {"address without a host",
         [](fwstack_settings* s, auto&, auto&, auto&) { s->update_info_address = "https:///x"; },
         false, nullptr, FWSTACK_SETTINGS_INVALID},
        {"version text 1.2", [](fwstack_settings* s, auto&, auto&, auto&) { s->version_text = "1.2"; },
         false, nullptr, FWSTACK_SETTINGS_INVALID},
        {"invalid settings hide a missing path",
         [](fwstack_settings* s, auto&, auto&, auto&) { s->publisher = ""; }, true, nullptr,
         FWSTACK_SETTINGS_INVALID},
        {"null program path", nullptr, true, nullptr, FWSTACK_PROGRAM_FILE_NOT_FOUND},
        {"empty program path", nullptr, true, "", FWSTACK_PROGRAM_FILE_NOT_FOUND},
        {"over-long program path", nullptr, true, overLong.c_str(), FWSTACK_PROGRAM_FILE_NOT_FOUND},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Host host;
        const bool nullSettings = std::string(row.what) == "null settings";
        if (row.spoil != nullptr) row.spoil(&host.settings, overLong, name33, publisher65);
        // Invalid settings with a path named: the settings are judged first.
        const char* path = row.path;
        if (row.namedFile && path == nullptr && row.spoil != nullptr) path = kHost.c_str();
        const fwstack_settings* settings = nullSettings ? nullptr : &host.settings;
        const auto before = Fake().files;
        Fake().calls.clear();

        if (row.error == FWSTACK_SETTINGS_INVALID) fwstack_cleanup(settings, path);
        fwstack_result result;
        std::memset(&result, 0xAB, sizeof result);
        u32 exitCode = row.namedFile ? fwstack_update_file(settings, path, &result)
                                     : fwstack_update(settings, &result);
        EXPECT_EQ(exitCode, 1u);
        EXPECT_EQ(result.exit_code, 1u);
        EXPECT_EQ(result.state, unsigned{FWSTACK_FAILED});
        EXPECT_EQ(result.error, row.error);
        const std::string report = result.report;
        EXPECT_EQ(report.size(), result.report_length);
        const std::string message = row.error == FWSTACK_SETTINGS_INVALID
                                        ? "update failed: the update settings are invalid\n"
                                        : "update failed: the program file was not found\n";
        EXPECT_GE(report.size(), message.size());
        EXPECT_EQ(report.substr(report.size() - std::min(report.size(), message.size())), message);
        // No file was opened, written or removed, and no request was sent.
        EXPECT_EQ(Fake().calls.count("OpenFile"), 0u);
        EXPECT_EQ(Fake().calls.count("HttpGetToBuffer"), 0u);
        EXPECT_EQ(Fake().calls.count("RemoveFile"), 0u);
        EXPECT_EQ(Fake().files.size(), before.size());
        // A null result is allowed and changes nothing of the outcome.
        EXPECT_EQ(row.namedFile ? fwstack_update_file(settings, path, nullptr)
                                : fwstack_update(settings, nullptr),
                  1u);
    }
}

}  // namespace
