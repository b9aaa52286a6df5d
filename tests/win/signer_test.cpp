// The signer check against files signed with a throwaway PKI, under Wine's trust provider.
#include <windows.h>
#include <wintrust.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/paths.h"
#include "verify/signer.h"
#include "tests/win/support.h"
#include "tests/win/system_override.h"

namespace {

const char Publisher[] = "Kelvardo s.r.o.";
constexpr u64 PublisherLength = sizeof(Publisher) - 1;
constexpr i32 NoSignature = static_cast<i32>(0x800B0100);  // TRUST_E_NOSIGNATURE
constexpr i32 BadDigest = static_cast<i32>(0x80096010);    // TRUST_E_BAD_DIGEST

PathBuffer BufferOf(const std::wstring& path) {
    PathBuffer buffer;
    FillMemory(&buffer, sizeof(buffer), 0);
    for (wchar_t unit : path) buffer.text[buffer.length++] = static_cast<u16>(unit);
    return buffer;
}

struct Outcome {
    bool opened;
    bool signedOk;
    bool signerMatches;
    VerifyResult result;
};

// Opens the file with read access as the fetch step does and checks it.
Outcome Check(const std::wstring& path, u32 revocationChecks, u32 providerFlags) {
    Outcome outcome;
    FillMemory(&outcome, sizeof(outcome), 0);
    outcome.result = VerifyResult{0xEEEEEEEEu, 0xEEEEEEEEu, 0x7EEEEEEE, 0xEEEEEEEEu};
    outcome.signedOk = true;
    outcome.signerMatches = true;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return outcome;
    outcome.opened = true;
    PathBuffer buffer = BufferOf(path);
    CheckSigner(buffer, file, Publisher, PublisherLength, revocationChecks, providerFlags,
                &outcome.result, &outcome.signedOk, &outcome.signerMatches);
    CloseHandle(file);
    return outcome;
}

std::wstring Release(const char* name) { return AssetPath(std::string("releases/") + name); }

// What the trust provider was asked, read at the offsets of the SDK's
// 88-byte WINTRUST_DATA and the 32-byte WINTRUST_FILE_INFO.
struct SeenRequest {
    HWND window;
    GUID action;
    DWORD size, uiChoice, revocation, unionChoice, stateAction, providerFlags;
    void* callbackData;
    void* signatureSettings;
    DWORD fileInfoSize;
    std::wstring filePath;
    HANDLE file;
    HANDLE state;
};

std::vector<SeenRequest> g_seen;
LONG g_fakeVerifyResult = 0;
bool g_passThrough = true;

DWORD WordAt(const void* base, size_t offset) {
    DWORD word;
    memcpy(&word, static_cast<const char*>(base) + offset, sizeof(word));
    return word;
}

void* PointerAt(const void* base, size_t offset) {
    void* pointer;
    memcpy(&pointer, static_cast<const char*>(base) + offset, sizeof(pointer));
    return pointer;
}

LONG WINAPI WatchingTrustProvider(HWND window, GUID* action, LPVOID data) {
    SeenRequest seen{};
    seen.window = window;
    seen.action = *action;
    seen.size = WordAt(data, 0);
    seen.callbackData = PointerAt(data, 8);
    seen.uiChoice = WordAt(data, 24);
    seen.revocation = WordAt(data, 28);
    seen.unionChoice = WordAt(data, 32);
    void* fileInfo = PointerAt(data, 40);
    seen.stateAction = WordAt(data, 48);
    seen.state = PointerAt(data, 56);
    seen.providerFlags = WordAt(data, 72);
    seen.signatureSettings = PointerAt(data, 80);
    seen.fileInfoSize = WordAt(fileInfo, 0);
    seen.filePath = static_cast<const wchar_t*>(PointerAt(fileInfo, 8));
    seen.file = PointerAt(fileInfo, 16);
    g_seen.push_back(seen);
    if (g_passThrough) return WinVerifyTrust(window, action, data);
    return seen.stateAction == 1 ? g_fakeVerifyResult : 0;
}

// Installs the watching provider for one test.
class WatchedTrustProvider {
public:
    explicit WatchedTrustProvider(bool passThrough, LONG fakeResult = 0) {
        g_seen.clear();
        g_passThrough = passThrough;
        g_fakeVerifyResult = fakeResult;
    }

private:
    SystemOverride watching_ = OverrideSystem(WinVerifyTrust, WatchingTrustProvider);
};

}  // namespace

TEST(SignerCheck, OnlyTheExactPublisherOnAnIntactSignatureMatches) {
    struct Case {
        const char* file;
        bool signedOk;
        bool signerMatches;
        i32 trustResult;
    } cases[] = {
        {"fwstack-0.0.3.exe", true, true, 0},
        {"fwstack-0.0.3-unsigned.exe", false, false, NoSignature},
        {"fwstack-0.0.3-other.exe", true, false, 0},
        {"fwstack-0.0.3-case.exe", true, false, 0},
        {"fwstack-0.0.3-blank.exe", true, false, 0},
        {"fwstack-0.0.3-prefix.exe", true, false, 0},
    };
    for (const Case& c : cases) {
        Outcome outcome = Check(Release(c.file), 1, 0x80);
        ASSERT_TRUE(outcome.opened) << c.file;
        EXPECT_EQ(outcome.signedOk, c.signedOk) << c.file;
        EXPECT_EQ(outcome.signerMatches, c.signerMatches) << c.file;
        EXPECT_EQ(outcome.result.trustResult, c.trustResult) << c.file;
    }
}

TEST(SignerCheck, FileChangedAfterSigningIsNotSigned) {
    TempFolder temp;
    std::wstring copy = temp.File(L"fwstack.exe.download");
    auto bytes = ReadFileBytes(Release("fwstack-0.0.3.exe"));
    ASSERT_TRUE(bytes.has_value());
    ASSERT_GT(bytes->size(), 0x600u);
    (*bytes)[0x500] = static_cast<char>((*bytes)[0x500] ^ 0x01);
    ASSERT_TRUE(WriteFileBytes(copy, *bytes));
    Outcome outcome = Check(copy, 1, 0x80);
    ASSERT_TRUE(outcome.opened);
    EXPECT_FALSE(outcome.signedOk);
    EXPECT_FALSE(outcome.signerMatches);
    EXPECT_EQ(outcome.result.trustResult, BadDigest);
}

TEST(SignerCheck, VerifyResultCarriesTheRevocationChoiceAndLeavesTheVerdict) {
    struct Case {
        const char* file;
        u32 revocation;
        u32 flags;
        i32 trustResult;
    } cases[] = {
        {"fwstack-0.0.3.exe", 1, 0x80, 0},
        {"fwstack-0.0.3.exe", 0, 0, 0},
        {"fwstack-0.0.3-unsigned.exe", 1, 0x80, NoSignature},
        {"fwstack-0.0.3-unsigned.exe", 0, 0, NoSignature},
    };
    for (const Case& c : cases) {
        Outcome outcome = Check(Release(c.file), c.revocation, c.flags);
        ASSERT_TRUE(outcome.opened) << c.file;
        EXPECT_EQ(outcome.result.revocationChecks, c.revocation) << c.file;
        EXPECT_EQ(outcome.result.providerFlags, c.flags) << c.file;
        EXPECT_EQ(outcome.result.trustResult, c.trustResult) << c.file;
        // The verdict word belongs to the caller.
        EXPECT_EQ(outcome.result.verdict, 0xEEEEEEEEu) << c.file;
    }
}

TEST(SignerCheck, RequestIsTheGenericVerifyActionOnTheOpenFileThenClosed) {
    struct Case {
        const char* file;
        u32 revocation;
        u32 flags;
    } cases[] = {
        {"fwstack-0.0.3.exe", 1, 0x80},
        {"fwstack-0.0.3-unsigned.exe", 0, 0},  // the close call follows a failed verify too
    };
    const GUID genericVerifyV2 = {0x00AAC56B, 0xCD44, 0x11D0,
                                  {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};
    for (const Case& c : cases) {
        WatchedTrustProvider watch(true);
        std::wstring path = Release(c.file);
        Outcome outcome = Check(path, c.revocation, c.flags);
        ASSERT_TRUE(outcome.opened) << c.file;
        ASSERT_EQ(g_seen.size(), 2u) << c.file;
        for (size_t i = 0; i < 2; ++i) {
            const SeenRequest& seen = g_seen[i];
            EXPECT_EQ(seen.window, reinterpret_cast<HWND>(INVALID_HANDLE_VALUE));
            EXPECT_EQ(memcmp(&seen.action, &genericVerifyV2, sizeof(GUID)), 0);
            EXPECT_EQ(seen.size, 88u);
            EXPECT_EQ(seen.uiChoice, 2u);
            EXPECT_EQ(seen.revocation, c.revocation);
            EXPECT_EQ(seen.unionChoice, 1u);
            EXPECT_EQ(seen.providerFlags, c.flags);
            EXPECT_EQ(seen.callbackData, nullptr);
            EXPECT_EQ(seen.signatureSettings, nullptr);
            EXPECT_EQ(seen.fileInfoSize, 32u);
            EXPECT_EQ(seen.filePath, path);
            EXPECT_NE(seen.file, nullptr);
            EXPECT_NE(seen.file, INVALID_HANDLE_VALUE);
        }
        EXPECT_EQ(g_seen[0].stateAction, 1u) << c.file;
        EXPECT_EQ(g_seen[0].state, nullptr) << c.file;
        EXPECT_EQ(g_seen[1].stateAction, 2u) << c.file;
        // The close call hands back the state the verify call left.
        if (outcome.signedOk) EXPECT_NE(g_seen[1].state, nullptr) << c.file;
    }
}

TEST(SignerCheck, TrustedFileWithoutProviderStateCountsAsAnotherSigner) {
    WatchedTrustProvider watch(false, 0);
    Outcome outcome = Check(Release("fwstack-0.0.3.exe"), 1, 0x80);
    ASSERT_TRUE(outcome.opened);
    EXPECT_TRUE(outcome.signedOk);
    EXPECT_FALSE(outcome.signerMatches);
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(g_seen[1].stateAction, 2u);
}

TEST(SignerCheck, AnyNonZeroProviderResultIsNotSigned) {
    const LONG results[] = {static_cast<LONG>(0x800B0109), static_cast<LONG>(0x80092010),
                            ERROR_FILE_NOT_FOUND, 1};
    for (LONG r : results) {
        WatchedTrustProvider watch(false, r);
        Outcome outcome = Check(Release("fwstack-0.0.3.exe"), 0, 0);
        ASSERT_TRUE(outcome.opened);
        EXPECT_FALSE(outcome.signedOk) << r;
        EXPECT_FALSE(outcome.signerMatches) << r;
        EXPECT_EQ(outcome.result.trustResult, static_cast<i32>(r));
        ASSERT_EQ(g_seen.size(), 2u);
        EXPECT_EQ(g_seen[1].stateAction, 2u);
    }
}
