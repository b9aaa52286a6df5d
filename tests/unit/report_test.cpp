// The report line: its four kinds, the messages and the clamping at capacity.
#include <gtest/gtest.h>

#include <string>

#include "engine/report.h"
#include "engine/deployment.h"

namespace {

std::string Format(ReportKind kind, u32 code, const std::string& installed,
                   const std::string& announced, u64 capacity = ReportCapacity) {
    std::string buffer(ReportCapacity, '\0');
    u64 n = FormatReport(TextOf("fwstack"), TheDeployment().downloadsPage, kind, code,
                         Text{installed.data(), installed.size()},
                         Text{announced.data(), announced.size()}, buffer.data(), capacity);
    return buffer.substr(0, n);
}

std::string Message(u32 code) {
    Text t = MessageFor(code);
    return std::string(t.bytes, t.length);
}

TEST(ReportKindOf, MapsFinalStatesToLines) {
    EXPECT_EQ(ReportKindOf(1), UpToDateLine);
    EXPECT_EQ(ReportKindOf(5), UpdatedLine);
    EXPECT_EQ(ReportKindOf(3), ManualDownloadLine);
    EXPECT_EQ(ReportKindOf(2), AvailableLine);
    EXPECT_EQ(ReportKindOf(4), StagedLine);
    EXPECT_EQ(ReportKindOf(8), InstalledLine);
    for (u32 state : {0u, 6u, 7u, 9u, 0xFFFFFFFFu}) {
        EXPECT_EQ(ReportKindOf(state), FailureLine) << state;
    }
}

TEST(FormatReport, WritesTheFourLines) {
    EXPECT_EQ(Format(UpToDateLine, 0, "0.0.2", "0.0.1"), "fwstack 0.0.2 is up to date\n");
    EXPECT_EQ(Format(UpdatedLine, 0, "0.0.2", "0.0.3"), "fwstack updated to 0.0.3\n");
    const Deployment deployment = TheDeployment();
    std::string page(deployment.downloadsPage.bytes, deployment.downloadsPage.length);
    EXPECT_EQ(Format(ManualDownloadLine, 20, "0.0.2", "0.0.3"),
              "fwstack 0.0.3 is available but the program folder is read-only: download it from " +
                  page + "\n");
    EXPECT_EQ(Format(FailureLine, 9, "0.0.2", ""), "fwstack update failed: another update is running\n");
    // An empty installed text leaves two blanks in a row.
    EXPECT_EQ(Format(UpToDateLine, 0, "", ""), "fwstack  is up to date\n");
    // The lines of the step calls name the announced release.
    EXPECT_EQ(Format(AvailableLine, 0, "0.0.2", "0.0.3"), "fwstack 0.0.3 is available\n");
    EXPECT_EQ(Format(StagedLine, 0, "0.0.2", "0.0.3"), "fwstack 0.0.3 is ready to install\n");
    EXPECT_EQ(Format(InstalledLine, 0, "0.0.2", "0.0.3"),
              "fwstack 0.0.3 is installed; restart to use it\n");
    // Without a program name the line starts with what follows it.
    std::string buffer(ReportCapacity, '\0');
    u64 n = FormatReport(Text{nullptr, 0}, Text{nullptr, 0}, FailureLine, 1, Text{nullptr, 0},
                         Text{nullptr, 0}, buffer.data(), ReportCapacity);
    EXPECT_EQ(buffer.substr(0, n), "update failed: the update settings are invalid\n");
}

TEST(FormatReport, DownloadsPageIsOnTheUpdateServer) {
    const Deployment deployment = TheDeployment();
    std::string page(deployment.downloadsPage.bytes, deployment.downloadsPage.length);
    std::string info(deployment.updateInfoAddress.bytes, deployment.updateInfoAddress.length);
    ASSERT_EQ(page.rfind("https://", 0), 0u);
    EXPECT_EQ(info, page + "latest.txt");
}

TEST(FormatReport, CutsAtCapacityWithoutError) {
    std::string full = Format(FailureLine, 6, "0.0.2", "");
    for (u64 capacity : {0ull, 1ull, 8ull, 20ull}) {
        EXPECT_EQ(Format(FailureLine, 6, "0.0.2", "", capacity), full.substr(0, capacity));
    }
    // The longest line, with a 29-byte version text, still fits 256 bytes
    // for the host of this build.
    std::string longest = Format(ManualDownloadLine, 20, "", "999999999.999999999.999999999");
    EXPECT_EQ(longest.back(), '\n');
}

TEST(MessageFor, GivesEachCodeItsMessage) {
    EXPECT_EQ(Message(1), "the update settings are invalid");
    EXPECT_EQ(Message(6), "the update server did not deliver the update information");
    EXPECT_EQ(Message(12), "the download is damaged (SHA-256)");
    EXPECT_EQ(Message(16), "the staged update is missing");
    for (u32 code : {17u, 18u, 19u}) {
        EXPECT_EQ(Message(code), "the program file could not be replaced") << code;
    }
    EXPECT_EQ(Message(20), "the program folder is read-only");
    EXPECT_EQ(Message(21),
              "the signature could not be checked for revocation: its CA's servers must be reachable");
    EXPECT_EQ(Message(23), "the update record is unreadable");
    EXPECT_EQ(Message(24), "the update was cancelled");
    EXPECT_EQ(Message(25), "the update information is not signed by the publisher");
    EXPECT_EQ(Message(26), "the update information has expired");
    for (u32 code : {0u, 22u, 27u, 1000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Message(code), "unknown") << code;
    }
    for (u32 code = 0; code < 30; ++code) {
        std::string m = Message(code);
        ASSERT_FALSE(m.empty());
        EXPECT_TRUE(m[0] >= 'a' && m[0] <= 'z') << code;
        EXPECT_NE(m.back(), '.') << code;
    }
}

TEST(AppendClamped, TakesOnlyTheRoomLeft) {
    char buffer[8] = {};
    EXPECT_EQ(AppendClamped("abcdef", 6, 0, buffer, 8), 6u);
    EXPECT_EQ(AppendClamped("xyz", 3, 6, buffer, 8), 8u);
    EXPECT_EQ(std::string(buffer, 8), "abcdefxy");
    EXPECT_EQ(AppendClamped("q", 1, 8, buffer, 8), 8u);
    EXPECT_EQ(AppendClamped("", 0, 3, buffer, 8), 3u);
}

}  // namespace
